// The window's side of a running job: each call from the worker runs on the window's thread
// while the worker waits for it, as the jobs expect.
#pragma once

#include <QObject>

class QThread;

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "jobs/job.h"

namespace tabulon::ui {

class CWizardView;

// One job's worker thread and what it shares with the window. It lives on the window's thread
// and outlives its worker: destroying it (or Stop) lets go of the view and waits for the worker
// to end. From then on the worker's calls still return, but do nothing: a question is answered
// "no", the Save As dialog "cancelled".
class WindowJob final : public QObject {
    Q_OBJECT
public:
    using Worker = void (*)(std::unique_ptr<jobs::JobRecord>);
    using ViewCall = std::function<void(CWizardView&)>;

    // Starts `worker` on a thread of its own, its host calling `view`; `message` names the job
    // (jobs::WM_REPAIR_PROGRESS or jobs::WM_SAVE_PROGRESS).
    WindowJob(CWizardView& view, int message, Worker worker, std::unique_ptr<jobs::JobRecord> job);
    ~WindowJob() override;

    // Lets go of the view and waits for the worker to end, handling the calls it makes meanwhile
    // here rather than through the event loop. On the window's thread, and never from inside
    // one of this job's own calls (the worker would wait for this wait).
    void Stop();

    // The worker's side: runs `call` with the view on the window's thread and returns when it
    // has run, or at once when the view has been let go.
    void RunOnWindowThread(const ViewCall& call);

private:
    // Runs the call the worker waits for, if any. On the window's thread.
    Q_INVOKABLE void RunWaitingCall();

    QThread* const windowThread_;
    CWizardView* view_;    // read and cleared on the window's thread only
    bool inCall_ = false;  // the window's thread is inside one of the worker's calls

    // Between the threads, under mutex_ (std::mutex rather than Qt's, so that ThreadSanitizer
    // sees every hand-over).
    std::mutex mutex_;
    std::condition_variable changed_;
    const ViewCall* waiting_ = nullptr;  // the call the worker is blocked on
    bool ended_ = false;                 // the worker has returned and dropped its host

    std::thread thread_;
};

// The JobHost a worker of the window is given: each call goes to its WindowJob.
class ViewJobHost final : public jobs::JobHost {
public:
    ViewJobHost(WindowJob& job, int message) : job_(job), message_(message) {}

    void Progress(int message, int code, int index) override;
    void Salvaging(int index, int percent) override;
    void SetPath(int index, const std::string& path) override;
    void SetReport(int index, const RepairReport& report) override;
    void SetSaved(int index, const std::string& saved) override;
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    std::optional<std::filesystem::path> AskSaveAs(const std::filesystem::path& proposed) override;

private:
    WindowJob& job_;
    int message_;
};

}  // namespace tabulon::ui
