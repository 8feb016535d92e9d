// The main window: menu, toolbar, status bar, and the wizard view as its client.
#pragma once

#include <QMainWindow>
#include <QMap>

class QAction;
class QToolBar;
class QStatusBar;

namespace tabulon::ui {

class CRepairApp;
class CWizardView;
class Prompter;

// The product and the version it was built as.
extern const QString kWindowTitle;
inline const QString kProductWebPage = QStringLiteral("https://www.quorvex.example/tabulon");

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    CMainFrame(CRepairApp& app, Prompter& prompter);
    ~CMainFrame() override;

    // Offers a command to the view first, then to the frame, then to the application.
    bool OnCmdMsg(int id);
    void OnOpenHelp();
    // The help document: next to the program first, then in the current folder.
    static QString FindHelpDocument();

    QAction* Action(int id) const { return actions_.value(id); }
    // What the wizard's layout is computed from.
    QSize ClientSize() const;

    QStatusBar* StatusBar;
    QToolBar* ToolBar;
    CWizardView* WizardView;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QAction* MakeAction(int id, const QString& menuText, const QString& toolText, const QString& strings);
    void UpdateCommandStates(int page);

    CRepairApp& app_;
    Prompter& prompter_;
    QMap<int, QAction*> actions_;
};

}  // namespace tabulon::ui
