#include "main_frame.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>

#include "commands.h"
#include "prompter.h"
#include "repair_app.h"
#include "res/artwork.h"
#include "wizard_view.h"

namespace tabulon::ui {

const QString kWindowTitle = QStringLiteral("Quorvex Tabulon Version " TABULON_VERSION);

namespace {

// On Windows a compiled help file is taken where one has been put; the download carries the
// HTML document, as on Linux.
const QString kHelpDocument = QStringLiteral("help.html");
#ifdef Q_OS_WIN
const QStringList kHelpDocuments = {QStringLiteral("help.chm"), kHelpDocument};
#else
const QStringList kHelpDocuments = {kHelpDocument};
#endif

const QString kJobInProgress = QStringLiteral("Repair or Save is in progress. Please wait for it to end");

}  // namespace

CMainFrame::CMainFrame(CRepairApp& app, Prompter& prompter) : app_(app), prompter_(prompter)
{
    setObjectName(QStringLiteral("MainFrame"));
    setWindowTitle(kWindowTitle);
    setWindowIcon(ApplicationIcon());

    // Status-bar prompt and tooltip of each command, separated by a line break.
    QAction* addFile = MakeAction(kIdAddFile, QStringLiteral("Add File..."), QStringLiteral("Add File"),
                                  QStringLiteral("Add File\nAdd File to the list"));
    QAction* removeSelected = MakeAction(kIdRemoveSelected, QStringLiteral("Remove Selected"), QStringLiteral("Remove"),
                                         QStringLiteral("Remove the selected file\n Remove file form the list"));
    QAction* removeAll = MakeAction(kIdRemoveAll, QStringLiteral("Remove All"), QString(),
                                    QStringLiteral("Remove all files form the list\nRemove all file form the list"));
    QAction* exit = MakeAction(kIdAppExit, QStringLiteral("E&xit"), QString(),
                               QStringLiteral("Quit the application; prompts to save documents\nExit"));
    QAction* repairFile = MakeAction(kIdRepairFile, QStringLiteral("&Repair File"), QStringLiteral("Repair File"),
                                     QStringLiteral("Repair the selected files\n Repair the selected file"));
    QAction* saveFile = MakeAction(kIdSaveFile, QStringLiteral("Save File"), QStringLiteral("Save File"),
                                   QStringLiteral("Save the selected files\nsave the selected file"));
    QAction* settings = MakeAction(kIdSettings, QStringLiteral("&Settings"), QStringLiteral("Setting"),
                                   QStringLiteral("Configure Tabulon\nConfigure Tabulon"));
    QAction* help = MakeAction(kIdHelp, QStringLiteral("&Help"), QStringLiteral("Help"), QStringLiteral("Excel help\nHelp"));
    QAction* about = MakeAction(kIdAppAbout, QStringLiteral("&About Tabulon..."), QString(),
                                QStringLiteral("Display program information, version number and copyright\nAbout"));

    QMenu* fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    fileMenu->addActions({addFile, removeSelected, removeAll, exit});
    QMenu* toolMenu = menuBar()->addMenu(QStringLiteral("&Tool"));
    toolMenu->addActions({repairFile, saveFile});
    toolMenu->addSeparator();
    toolMenu->addAction(settings);
    QMenu* helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    helpMenu->addActions({help, about});

    ToolBar = new QToolBar(QStringLiteral("ToolBar"), this);
    ToolBar->setObjectName(QStringLiteral("ToolBar"));
    ToolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    ToolBar->setIconSize(QSize(50, 50));
    ToolBar->setMovable(true);  // the gripper of the band it sits in
    ToolBar->setFloatable(false);
    const QList<QAction*> buttons = {addFile, removeSelected, repairFile, saveFile, settings, help};
    for (int index = 0; index < buttons.size(); ++index) {
        QIcon icon;
        icon.addPixmap(ToolbarPixmap(index, false), QIcon::Normal);
        icon.addPixmap(ToolbarPixmap(index, true), QIcon::Active);
        buttons[index]->setIcon(icon);
        ToolBar->addAction(buttons[index]);
        if (QWidget* button = ToolBar->widgetForAction(buttons[index])) {
            button->setMinimumSize(60, 75);
            button->setObjectName(buttons[index]->iconText() + QStringLiteral("ToolButton"));
        }
    }
    addToolBar(Qt::TopToolBarArea, ToolBar);
    // Menu items show no images; the toolbar's buttons do.
    for (QAction* action : actions_)
        action->setIconVisibleInMenu(false);

    StatusBar = statusBar();
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    auto* ready = new QLabel(QStringLiteral("Ready"), StatusBar);
    ready->setObjectName(QStringLiteral("ReadyPane"));
    StatusBar->addWidget(ready, 1);
    // Qt cannot tell the state of the lock keys on every platform: the indicators stay grey.
    for (const char* indicator : {"CAP", "NUM", "SCRL"}) {
        auto* label = new QLabel(QString::fromLatin1(indicator), StatusBar);
        label->setObjectName(QString::fromLatin1(indicator) + QStringLiteral("Indicator"));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setEnabled(false);
        StatusBar->addPermanentWidget(label);
    }

    WizardView = new CWizardView(prompter_, this);
    setCentralWidget(WizardView);
    connect(WizardView, &CWizardView::PageChanged, this, &CMainFrame::UpdateCommandStates);
    UpdateCommandStates(WizardView->Page);
    resize(900, 650);
}

CMainFrame::~CMainFrame() = default;

QAction* CMainFrame::MakeAction(int id, const QString& menuText, const QString& toolText, const QString& strings)
{
    auto* action = new QAction(menuText, this);
    action->setData(id);
    action->setObjectName(QStringLiteral("Command%1").arg(id));
    if (!toolText.isEmpty())
        action->setIconText(toolText);
    const QStringList parts = strings.split(QLatin1Char('\n'));
    action->setStatusTip(parts.value(0));
    action->setToolTip(parts.value(1));
    connect(action, &QAction::triggered, this, [this, id] { OnCmdMsg(id); });
    actions_.insert(id, action);
    return action;
}

bool CMainFrame::OnCmdMsg(int id)
{
    if (WizardView->OnCmdMsg(id))
        return true;
    if (id == kIdHelp) {
        OnOpenHelp();
        return true;
    }
    return app_.OnCmdMsg(id);
}

QString CMainFrame::FindHelpDocument()
{
    // Next to the program, in the installed data folder, then in the current folder.
    const QString program = QCoreApplication::applicationDirPath();
    for (const QString& folder :
         {program, QDir(program).filePath(QStringLiteral("../share/tabulon")), QDir::currentPath()}) {
        for (const QString& name : kHelpDocuments) {
            const QFileInfo candidate(QDir(folder).filePath(name));
            if (candidate.isFile())
                return candidate.absoluteFilePath();
        }
    }
    return {};
}

void CMainFrame::OnOpenHelp()
{
    const QString document = FindHelpDocument();
    if (document.isEmpty()) {
        prompter_.ShowMessage(QStringLiteral("The help document %1 was not found next to the program or in the "
                                             "current folder.").arg(kHelpDocument),
                              MessageIcon::Warning, MessageButtons::Ok);
        return;
    }
    prompter_.OpenUrl(QUrl::fromLocalFile(document));
}

void CMainFrame::UpdateCommandStates(int page)
{
    // Save File starts saving from the repaired page; there is nothing to save before or after.
    actions_.value(kIdSaveFile)->setEnabled(page != PageAdd && page != PageSaved);
}

QSize CMainFrame::ClientSize() const
{
    // The frame's client area is the window below its menu bar (a native menu bar takes none).
    const int menuHeight = menuBar()->isNativeMenuBar() ? 0 : menuBar()->sizeHint().height();
    return {width(), height() - menuHeight};
}

void CMainFrame::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    const QSize client = ClientSize();
    WizardView->LayoutControls(0, client.width(), client.height());
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    // A worker holds the view and its path lists until its last message.
    if (WizardView->JobRunning()) {
        prompter_.ShowMessage(kJobInProgress, MessageIcon::Warning, MessageButtons::Ok);
        event->ignore();
        return;
    }
    prompter_.OpenUrl(QUrl(kProductWebPage));
    event->accept();
}

}  // namespace tabulon::ui
