// tabulon: the desktop program.
#include <QApplication>

#include "repair_app.h"

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tabulon"));
    QApplication::setOrganizationName(QStringLiteral("Quorvex"));
    QApplication::setApplicationVersion(QStringLiteral(TABULON_VERSION));
    tabulon::ui::CRepairApp repairApp;
    if (!repairApp.InitInstance())
        return 1;
    return QApplication::exec();
}
