// The application object: start-up, and the commands that belong to no window.
#pragma once

#include <memory>

namespace tabulon::ui {

class CMainFrame;
class Prompter;

class CRepairApp {
public:
    CRepairApp();
    ~CRepairApp();

    // Creates and shows the main window. The prompter is the window's own unless one is given.
    bool InitInstance(Prompter* prompter = nullptr);
    bool OnCmdMsg(int id);
    void ShowAboutBox();

    CMainFrame* MainFrame() const { return frame_.get(); }

private:
    std::unique_ptr<Prompter> ownPrompter_;
    Prompter* prompter_ = nullptr;
    std::unique_ptr<CMainFrame> frame_;
};

// Font families the drawing asks for by name, mapped to families Debian ships.
void RegisterFontSubstitutes();

}  // namespace tabulon::ui
