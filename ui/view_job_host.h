// The window's side of a running job: each call from the worker runs on the window's thread
// while the worker waits for it, as the jobs expect.
#pragma once

#include <QPointer>

#include "jobs/job.h"

namespace tabulon::ui {

class CWizardView;

class ViewJobHost final : public jobs::JobHost {
public:
    ViewJobHost(CWizardView& view, int message) : view_(&view), message_(message) {}

    void Progress(int message, int code, int index) override;
    void SetPath(int index, const std::string& path) override;
    void SetReport(int index, const RepairReport& report) override;
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    std::optional<std::filesystem::path> AskSaveAs(const std::filesystem::path& proposed) override;

private:
    // Runs `call` on the window's thread and waits for it; does nothing once the view is gone.
    template <typename Call>
    void OnWindowThread(Call call);

    QPointer<CWizardView> view_;
    int message_;
};

}  // namespace tabulon::ui
