// Command and control identifiers of the main window, as its menu, toolbar and wizard use them.
#pragma once

namespace tabulon::ui {

enum CommandId : int {
    kIdWizardFirst = 200,
    kIdNextButton = 201,
    kIdPreviousButton = 202,
    kIdFinishedButton = 203,
    kIdSelectAllCheck = 204,

    kIdAddFile = 61204,
    kIdRemoveSelected = 61205,
    kIdRemoveAll = 61206,
    kIdRepairFile = 61207,
    kIdSaveFile = 61208,
    kIdSettings = 61209,
    kIdHelp = 61210,

    kIdAppAbout = 57664,
    kIdAppExit = 57665,
};

}  // namespace tabulon::ui
