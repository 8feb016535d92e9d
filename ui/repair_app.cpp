#include "repair_app.h"

#include <QFont>

#include "about_dialog.h"
#include "commands.h"
#include "main_frame.h"
#include "prompter.h"

namespace tabulon::ui {

CRepairApp::CRepairApp() = default;
CRepairApp::~CRepairApp() = default;

void RegisterFontSubstitutes()
{
    QFont::insertSubstitutions(QStringLiteral("Monotype Corsiva"), {QStringLiteral("Z003"), QStringLiteral("URW Chancery L")});
    QFont::insertSubstitution(QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"));
    QFont::insertSubstitution(QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"));
}

bool CRepairApp::InitInstance(Prompter* prompter)
{
    RegisterFontSubstitutes();
    WidgetPrompter* widgetPrompter = nullptr;
    if (!prompter) {
        ownPrompter_ = std::make_unique<WidgetPrompter>(nullptr);
        widgetPrompter = static_cast<WidgetPrompter*>(ownPrompter_.get());
        prompter = widgetPrompter;
    }
    prompter_ = prompter;
    frame_ = std::make_unique<CMainFrame>(*this, *prompter_);
    if (widgetPrompter)
        widgetPrompter->SetOwner(frame_.get());
    frame_->show();
    return true;
}

bool CRepairApp::OnCmdMsg(int id)
{
    switch (id) {
    case kIdAppAbout:
        ShowAboutBox();
        return true;
    case kIdAppExit:
        frame_->close();
        return true;
    default:
        return false;
    }
}

void CRepairApp::ShowAboutBox()
{
    CAboutDlg dialog(frame_.get());
    prompter_->RunDialog(dialog);
}

}  // namespace tabulon::ui
