#include "view_job_host.h"

#include <QThread>

#include "engine/os_file.h"
#include "prompter.h"
#include "wizard_view.h"

namespace tabulon::ui {

template <typename Call>
void ViewJobHost::OnWindowThread(Call call)
{
    CWizardView* view = view_.data();
    if (!view)
        return;
    // A blocking call to the window's own thread would never return.
    if (QThread::currentThread() == view->thread())
        call(*view);
    else
        QMetaObject::invokeMethod(view, [&call, view] { call(*view); }, Qt::BlockingQueuedConnection);
}

void ViewJobHost::Progress(int message, int code, int index)
{
    OnWindowThread([=](CWizardView& view) {
        if (message == jobs::WM_REPAIR_PROGRESS)
            view.OnRepairProgress(code, index);
        else if (message == jobs::WM_SAVE_PROGRESS)
            view.OnSaveProgress(code, index);
    });
}

void ViewJobHost::SetPath(int index, const std::string& path)
{
    OnWindowThread([&](CWizardView& view) {
        QStringList& paths = message_ == jobs::WM_REPAIR_PROGRESS ? view.RepairPaths : view.SavePaths;
        if (index >= 0 && index < paths.size())
            paths[index] = QString::fromStdString(path);
    });
}

void ViewJobHost::SetReport(int index, const RepairReport& report)
{
    OnWindowThread([&](CWizardView& view) { view.SetRepairReport(index, report); });
}

void ViewJobHost::ShowMessage(const std::string& text)
{
    OnWindowThread([&](CWizardView& view) {
        view.Prompts().ShowMessage(QString::fromStdString(text), MessageIcon::Information, MessageButtons::Ok);
    });
}

bool ViewJobHost::AskYesNo(const std::string& text)
{
    bool yes = false;  // stays "no" if the window is gone
    OnWindowThread([&](CWizardView& view) {
        yes = view.Prompts().ShowMessage(QString::fromStdString(text), MessageIcon::Information,
                                         MessageButtons::YesNo) == MessageAnswer::Yes;
    });
    return yes;
}

std::optional<std::filesystem::path> ViewJobHost::AskSaveAs(const std::filesystem::path& proposed)
{
    QString chosen;  // stays empty, "cancelled", if the window is gone
    OnWindowThread([&](CWizardView& view) {
        chosen = view.Prompts().ChooseSaveAs(QString::fromStdString(PathToUtf8(proposed)));
    });
    if (chosen.isEmpty())
        return std::nullopt;
    return PathFromUtf8(chosen.toStdString());
}

}  // namespace tabulon::ui
