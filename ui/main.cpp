// tabulon: the desktop program.
#include <QApplication>

#include <cstdio>

#include "main_frame.h"
#include "repair_app.h"
#include "wizard_view.h"

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tabulon"));
    QApplication::setOrganizationName(QStringLiteral("Quorvex"));
    QApplication::setApplicationVersion(QStringLiteral(TABULON_VERSION));
    // Workbooks named on the command line ("Open with") are added as Add File adds them;
    // anything else is refused.
    const QStringList arguments = QApplication::arguments().mid(1);
    QStringList workbooks;
    bool filesOnly = false;
    for (const QString& argument : arguments) {
        if (!filesOnly && argument == QStringLiteral("--")) {
            filesOnly = true;
        } else if (!filesOnly && argument.startsWith(QLatin1Char('-'))) {
            std::fprintf(stderr, "tabulon: unknown option '%s'\nUsage: tabulon [WORKBOOK...]\n", qPrintable(argument));
            return 2;
        } else {
            workbooks << argument;
        }
    }
    tabulon::ui::CRepairApp repairApp;
    if (!repairApp.InitInstance())
        return 1;
    if (!workbooks.isEmpty())
        repairApp.MainFrame()->WizardView->AddFilesFromOutside(workbooks);
    return QApplication::exec();
}
