// The repair and save jobs: what they report, what they may ask of the window, and the
// record each worker is started with. No window code here: the window implements JobHost.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "engine/repair/pipeline/repair.h"

namespace tabulon::jobs {

// Progress messages and their codes (the message's first argument; the second is the file's
// index in the job's path list).
inline constexpr int WM_REPAIR_PROGRESS = 5000;
inline constexpr int WM_SAVE_PROGRESS = 5001;

enum ProgressCode : int {
    kJobFinished = 0,   // once, after the last file (index 0)
    kRepairStarted = 1, // the repair of file i begins
    kSaveStarted = 2,   // the saving of file i begins
    kFileFailed = 3,
    kFileDone = 4,
};

// The marker a failed repair leaves in the path list.
inline const std::string kFailedPath = "FAIL";

// What a worker asks of the window. Every call returns only once the window has handled it.
class JobHost {
public:
    virtual ~JobHost() = default;
    virtual void Progress(int message, int code, int index) = 0;
    // How far the salvage of file `index` of the repair job has come, in percent: sent while a
    // salvage takes more than a second, each time the figure changes.
    virtual void Salvaging(int /*index*/, int /*percent*/) {}
    // Entry `index` of the path list the window keeps for this job becomes `path`.
    virtual void SetPath(int index, const std::string& path) = 0;
    // What the repair of file `index` found: the rebuild that stood and the verdict on it.
    virtual void SetReport(int index, const RepairReport& report) = 0;
    // File `index` of the save job was saved as `saved` (before its code 4 is sent).
    virtual void SetSaved(int index, const std::string& saved) = 0;
    // A message box with an OK button and the information icon.
    virtual void ShowMessage(const std::string& text) = 0;
    // A question with Yes and No buttons and the information icon; true for Yes.
    virtual bool AskYesNo(const std::string& text) = 0;
    // The Save As dialog, opened on `proposed`; nothing when it was cancelled.
    virtual std::optional<std::filesystem::path> AskSaveAs(const std::filesystem::path& proposed) = 0;
};

// The record a worker is started with and owns until it ends (RepairJob and SaveJob).
struct JobRecord {
    std::unique_ptr<JobHost> host;
    std::vector<std::string> paths;  // UTF-8 paths, in the order of the job's list
    std::vector<std::string> sources;    // save job: the workbook each entry was repaired from
    std::vector<std::string> originals;  // save job: every workbook of the repair; none is ever replaced
    std::vector<std::string> savedAs;    // save job: where an earlier save put each entry's copy
                                         // (empty: not saved yet); such an entry is not saved again
    std::string suffix;              // save job: the suffix of saved names
    std::string folder;              // save job: the destination folder (SavePath joins names to it);
                                     // repair job: the job's private temporary folder
    // The two pauses per file that pace what the user sees.
    std::chrono::milliseconds pause{300};
};
using RepairJob = JobRecord;
using SaveJob = JobRecord;

// Copies each workbook into its own place in the job's private folder and rebuilds the
// copy's header; the workbook itself is only read.
void RepairWorker(std::unique_ptr<RepairJob> job);

// Moves each repaired copy to the destination folder as base name + suffix + ".xls", asking
// before it replaces anything. It never replaces a workbook of the repair (also through a
// link), a write-protected file, or a file saved from another workbook in the same job or by an
// earlier save, and never writes through a symbolic link: it replaces the link itself. An entry
// an earlier save has saved already counts as saved and is left as it is. Each failure shows
// kUnableToSave and, a paragraph below it, why.
void SaveWorker(std::unique_ptr<SaveJob> job);

// Why no saved file can go into `folder` (a folder text as the save job joins it to a name;
// empty: the current folder), or nothing when one can. It is tried as a save writes: a file of
// its own is made there and removed again. std::errc::no_such_file_or_directory or
// std::errc::not_a_directory when the folder is not there.
std::optional<std::error_code> CheckSaveFolder(const std::string& folder);

// The characters of `name` before its last "." (none when it has no "."), then `suffix`,
// then ".xls".
std::string MakeSaveName(const std::string& name, const std::string& suffix);

// Where a save into `folder` puts the file `name`: the folder text and the name with exactly
// one separator between them, whether the folder text ends with none, one or several (a
// settings file edited by hand or written by an older version holds it without one); the
// native separator is the one added. An empty folder text is the current folder: the bare name.
std::string SavePath(const std::string& folder, const std::string& name);
// The folder a save into `folder` puts its files in, as people are told it and as it is opened:
// SavePath's folder, ending with one separator; the current folder where the text is empty.
std::string SavedFolder(const std::string& folder);

// The texts the jobs show.
inline const std::string kUnableToOpen = "Uable to Open File ";
inline const std::string kUnableToLoad = "Uable to Load File in memory";
inline const std::string kTooLargeForAWorkbook =
    "This file is 2 GiB or larger, which no legacy .xls workbook can be";
inline const std::string kOverwriteQuestion = "A file with the same name already exist \nOverwrite existing file";
// A later workbook whose saved name is that of a file this job saved from an earlier one.
std::string DescribeSameSavedName(const std::string& saved, const std::string& earlier, const std::string& later);
inline const std::string kUnableToSave =
    "Uable to Save File, Either the file already exit,\nor it is used by some other program";
// kUnableToSave, then why, in a paragraph of its own.
std::string SaveFailureMessage(const std::string& reason);

}  // namespace tabulon::jobs
