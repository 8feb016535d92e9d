#include "view_job_host.h"

#include <QThread>

#include "engine/io/os_file.h"
#include "prompter.h"
#include "wizard_view.h"

namespace tabulon::ui {

WindowJob::WindowJob(CWizardView& view, int message, Worker worker, std::unique_ptr<jobs::JobRecord> job)
    : windowThread_(QThread::currentThread()), view_(&view)
{
    job->host = std::make_unique<ViewJobHost>(*this, message);
    thread_ = std::thread([this, worker, record = std::move(job)]() mutable {
        worker(std::move(record));  // drops the host before it returns
        {
            const std::lock_guard lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
    });
}

WindowJob::~WindowJob()
{
    Stop();
}

void WindowJob::Stop()
{
    view_ = nullptr;
    Q_ASSERT(!inCall_);
    std::unique_lock lock(mutex_);
    // The worker may be blocked in a call right now, or make more before it ends; with the
    // window's thread waiting here, nothing else would run them.
    while (!ended_) {
        if (waiting_) {
            lock.unlock();
            RunWaitingCall();
            lock.lock();
        } else {
            changed_.wait(lock);
        }
    }
    lock.unlock();
    if (thread_.joinable())
        thread_.join();
}

void WindowJob::RunOnWindowThread(const ViewCall& call)
{
    if (QThread::currentThread() == windowThread_) {  // a blocking hand-over to itself would never return
        if (view_)
            call(*view_);
        return;
    }
    std::unique_lock lock(mutex_);
    waiting_ = &call;
    changed_.notify_all();  // a Stop waiting for the worker runs it
    lock.unlock();
    QMetaObject::invokeMethod(this, "RunWaitingCall", Qt::QueuedConnection);
    lock.lock();
    changed_.wait(lock, [this] { return waiting_ == nullptr; });
}

void WindowJob::RunWaitingCall()
{
    if (inCall_)
        return;  // a modal dialog of the running call lets events through: it is not over yet
    const ViewCall* call = nullptr;
    {
        const std::lock_guard lock(mutex_);
        call = waiting_;
    }
    if (!call)
        return;  // already run, by Stop or by an earlier hand-over's event
    if (view_) {
        inCall_ = true;
        (*call)(*view_);
        inCall_ = false;
    }
    {
        const std::lock_guard lock(mutex_);
        waiting_ = nullptr;
    }
    changed_.notify_all();
}

void ViewJobHost::Progress(int message, int code, int index)
{
    job_.RunOnWindowThread([=](CWizardView& view) {
        if (message == jobs::WM_REPAIR_PROGRESS)
            view.OnRepairProgress(code, index);
        else if (message == jobs::WM_SAVE_PROGRESS)
            view.OnSaveProgress(code, index);
    });
}

void ViewJobHost::Salvaging(int index, int percent)
{
    job_.RunOnWindowThread([=](CWizardView& view) { view.OnSalvaging(index, percent); });
}

void ViewJobHost::SetPath(int index, const std::string& path)
{
    job_.RunOnWindowThread([&](CWizardView& view) {
        QStringList& paths = message_ == jobs::WM_REPAIR_PROGRESS ? view.RepairPaths : view.SavePaths;
        if (index >= 0 && index < paths.size())
            paths[index] = QString::fromStdString(path);
    });
}

void ViewJobHost::SetReport(int index, const RepairReport& report)
{
    job_.RunOnWindowThread([&](CWizardView& view) { view.SetRepairReport(index, report); });
}

void ViewJobHost::SetSaved(int index, const std::string& saved)
{
    job_.RunOnWindowThread([&](CWizardView& view) { view.SetSavedFile(index, QString::fromStdString(saved)); });
}

void ViewJobHost::ShowMessage(const std::string& text)
{
    job_.RunOnWindowThread([&](CWizardView& view) {
        view.Prompts().ShowMessage(QString::fromStdString(text), MessageIcon::Information, MessageButtons::Ok);
    });
}

bool ViewJobHost::AskYesNo(const std::string& text)
{
    bool yes = false;  // stays "no" once the window has let go
    job_.RunOnWindowThread([&](CWizardView& view) {
        yes = view.Prompts().ShowMessage(QString::fromStdString(text), MessageIcon::Information,
                                         MessageButtons::YesNo) == MessageAnswer::Yes;
    });
    return yes;
}

std::optional<std::filesystem::path> ViewJobHost::AskSaveAs(const std::filesystem::path& proposed)
{
    QString chosen;  // stays empty, "cancelled", once the window has let go
    job_.RunOnWindowThread([&](CWizardView& view) {
        chosen = view.Prompts().ChooseSaveAs(QString::fromStdString(PathToUtf8(proposed)));
    });
    if (chosen.isEmpty())
        return std::nullopt;
    return PathFromUtf8(chosen.toStdString());
}

}  // namespace tabulon::ui
