// tabulon: the desktop program.
#include <QApplication>

#include <cstdio>
#include <cstring>

#include "engine/io/freed_memory.h"
#include "main_frame.h"
#include "repair_app.h"
#include "wizard_view.h"

namespace {

const char* const kUsage =
    "Usage: tabulon [WORKBOOK...]\n"
    "Repair the damaged header of legacy spreadsheet workbooks (*.xls) in a window.\n"
    "The workbooks named are added to the list of files to repair.\n"
    "\n"
    "  -h, --help     show this help\n"
    "      --version  show the program's version\n"
    "  --             every argument after it is a workbook, even one starting with '-'\n";

// Help and the version are answered before the window's toolkit starts, so that they work
// where there is no display. Help wins over the version, as with tabulon-repair.
int AnswerWithoutWindow(int argc, char** argv)
{
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            break;
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        version = version || std::strcmp(argv[i], "--version") == 0;
    }
    if (!version)
        return -1;
    std::fputs("tabulon " TABULON_VERSION "\n", stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (const int answered = AnswerWithoutWindow(argc, argv); answered >= 0)
        return answered;
    tabulon::KeepFreedMemory();
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
