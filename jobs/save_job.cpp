#include <map>
#include <set>
#include <system_error>
#include <thread>

#include "engine/io/file_moves.h"
#include "engine/io/os_file.h"
#include "job.h"

namespace tabulon::jobs {
namespace {

namespace fs = std::filesystem;

bool CanOpenForReading(const fs::path& path)
{
    try {
        OsFile::Open(path, OsFile::Access::Read);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

bool IsLink(const fs::path& path)
{
    std::error_code ignored;
    return fs::is_symlink(fs::symlink_status(path, ignored));
}

std::string FolderText(const fs::path& file)
{
    return file.has_parent_path() ? PathToUtf8(file.parent_path()) : std::string("the current folder");
}

// What a save came to: saved (as `savedAs`, unless an earlier save did it), or failed for
// `reason`, in the user's words.
struct Outcome {
    bool saved = false;
    std::string reason;
    fs::path savedAs;
};

Outcome Failed(std::string reason)
{
    return {false, std::move(reason), {}};
}

// Why writing `target` failed, for the user: a folder that cannot be written is named as such.
Outcome WriteFailed(const fs::path& target, const std::system_error& error, bool replacing)
{
    const std::error_code code = error.code();
    if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted ||
        code == std::errc::read_only_file_system)
        return Failed("The folder " + FolderText(target) + " cannot be written into (" + code.message() + ").");
    if (code == std::errc::file_exists)
        return Failed(PathToUtf8(target) + " appeared while the copy was being saved; it was not replaced.");
    return Failed((replacing ? "Replacing " : "Writing ") + PathToUtf8(target) + " failed: " + code.message() + ".");
}

// Why the repaired copy itself cannot be saved: the repair failed, or the copy is gone or unreadable.
std::optional<std::string> CopyProblem(const std::string& entry)
{
    if (entry == kFailedPath)
        return "The repair of this workbook failed, so there is no repaired copy to save.";
    try {
        OsFile::Open(PathFromUtf8(entry), OsFile::Access::Read);
        return std::nullopt;
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory)
            return "The repaired copy is no longer there, so there is nothing to save; repair the workbook again.";
        return "The repaired copy cannot be read (" + error.code().message() + ").";
    }
}

class Saver {
public:
    Saver(JobHost& host, const std::vector<std::string>& originals) : host_(host)
    {
        for (const std::string& original : originals) {
            if (const auto id = IdentifyFile(PathFromUtf8(original), true))
                originals_.insert(*id);
        }
    }

    Outcome Save(const fs::path& copy, const fs::path& destination, const std::string& source)
    {
        // A workbook of the repair is never the destination, whatever name leads to it.
        if (IsOriginal(destination))
            return Failed(WouldReplaceOriginal(destination, source) + " Choose another suffix or folder in Settings.");
        if (!CanOpenForReading(destination) && !IsLink(destination)) {
            try {
                MoveNoReplace(copy, destination);
            } catch (const std::system_error& error) {
                return WriteFailed(destination, error, false);
            }
            return Saved(destination, source);
        }
        if (const auto earlier = SavedBefore(destination))
            return Failed(DescribeSameSavedName(PathToUtf8(destination), *earlier, source));
        if (host_.AskYesNo(kOverwriteQuestion))
            return Replace(copy, destination, source);
        const std::optional<fs::path> chosen = host_.AskSaveAs(destination);
        if (!chosen)
            return Failed("Save As was cancelled; the repaired copy is kept for another try.");
        if (IsOriginal(*chosen))
            return Failed(WouldReplaceOriginal(*chosen, source));
        if (const auto earlier = SavedBefore(*chosen))
            return Failed(DescribeSameSavedName(PathToUtf8(*chosen), *earlier, source));
        return Replace(copy, *chosen, source);
    }

    // A file an earlier save wrote from `source`: never replaced by another workbook's copy.
    void SavedEarlier(const fs::path& saved, const std::string& source)
    {
        if (const auto id = IdentifyFile(saved, false))
            saved_.emplace(*id, source);
    }

private:
    bool IsOriginal(const fs::path& path) const
    {
        const auto id = IdentifyFile(path, true);
        return id && originals_.contains(*id);
    }

    static std::string WouldReplaceOriginal(const fs::path& target, const std::string& source)
    {
        const auto targetId = IdentifyFile(target, true);
        const bool itself = targetId && targetId == IdentifyFile(PathFromUtf8(source), true);
        return "Saving it as " + PathToUtf8(target) +
               (itself ? " would replace the workbook itself" : " would replace another workbook of this repair") +
               ", which is never written.";
    }

    // The workbook whose copy this job saved as `path` (the name itself, not a link's target).
    std::optional<std::string> SavedBefore(const fs::path& path) const
    {
        const auto id = IdentifyFile(path, false);
        if (!id)
            return std::nullopt;
        const auto found = saved_.find(*id);
        if (found == saved_.end())
            return std::nullopt;
        return found->second;
    }

    // Copies the repaired copy over `target` (a symbolic link is replaced, never written
    // through); the copy is deleted only once that succeeded, so a failed save can be tried again.
    Outcome Replace(const fs::path& copy, const fs::path& target, const std::string& source)
    {
        if (!IsLink(target) && IsWriteProtected(target))
            return Failed(PathToUtf8(target) + " is write-protected, so it was not replaced.");
        try {
            CopyReplacing(copy, target);
        } catch (const std::system_error& error) {
            return WriteFailed(target, error, true);
        }
        std::error_code ignored;
        fs::remove(copy, ignored);
        return Saved(target, source);
    }

    Outcome Saved(const fs::path& target, const std::string& source)
    {
        if (const auto id = IdentifyFile(target, false))
            saved_[*id] = source;
        return {true, {}, target};
    }

    JobHost& host_;
    std::set<FileId> originals_;
    std::map<FileId, std::string> saved_;  // the files saved so far, and the workbook of each
};

}  // namespace

std::string MakeSaveName(const std::string& name, const std::string& suffix)
{
    const auto dot = name.rfind('.');
    return (dot == std::string::npos ? std::string() : name.substr(0, dot)) + suffix + ".xls";
}

std::string SavePath(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return name;
    constexpr char kSeparator = static_cast<char>(fs::path::preferred_separator);
    const auto isSeparator = [](char c) { return c == '/' || c == kSeparator; };
    std::size_t end = folder.size();
    while (end > 0 && isSeparator(folder[end - 1]))
        --end;
    return folder.substr(0, end) + kSeparator + name;
}

std::string SavedFolder(const std::string& folder)
{
    if (!folder.empty())
        return SavePath(folder, std::string());
    std::error_code error;
    const fs::path current = fs::current_path(error);
    return error ? std::string() : SavePath(PathToUtf8(current), std::string());
}

std::string SaveFailureMessage(const std::string& reason)
{
    return kUnableToSave + "\n\n" + reason;
}

std::optional<std::error_code> CheckSaveFolder(const std::string& folder)
{
    const fs::path place = PathFromUtf8(SavedFolder(folder));
    std::error_code error;
    const fs::file_status status = fs::status(place, error);
    if (error)
        return error;
    if (!fs::is_directory(status))
        return std::make_error_code(std::errc::not_a_directory);
    try {
        FileBeside probe(place / "probe.xls");  // never named: removed as it goes
    } catch (const std::system_error& failure) {
        return failure.code();
    }
    return std::nullopt;
}

std::string DescribeSameSavedName(const std::string& saved, const std::string& earlier, const std::string& later)
{
    return "Could not save " + later + ":\n" + saved + "\nis the repaired copy of " + earlier +
           ",\nsaved a moment ago, and it is not replaced.";
}

void SaveWorker(std::unique_ptr<SaveJob> job)
{
    JobHost& host = *job->host;
    const std::string suffix = job->suffix;
    const std::string folder = job->folder;
    Saver saver(host, job->originals);
    const int count = static_cast<int>(job->paths.size());
    const auto savedEarlier = [&job](std::size_t i) { return i < job->savedAs.size() ? job->savedAs[i] : std::string(); };
    const auto sourceOf = [&job](std::size_t i) { return i < job->sources.size() ? job->sources[i] : job->paths[i]; };
    for (std::size_t i = 0; i < job->paths.size(); ++i) {
        if (!savedEarlier(i).empty())
            saver.SavedEarlier(PathFromUtf8(savedEarlier(i)), sourceOf(i));
    }
    for (int i = 0; i < count; ++i) {
        host.Progress(WM_SAVE_PROGRESS, kSaveStarted, i);
        const std::size_t entryIndex = static_cast<std::size_t>(i);
        const std::string& entry = job->paths[entryIndex];
        const fs::path copy = PathFromUtf8(entry);
        const std::string source = sourceOf(entryIndex);
        std::this_thread::sleep_for(job->pause);

        Outcome outcome;
        if (!savedEarlier(entryIndex).empty()) {
            outcome = {true, {}, {}};  // its copy is where the earlier save put it; nothing to do
        } else if (const std::optional<std::string> problem = CopyProblem(entry)) {
            outcome = Failed(*problem);
        } else {
            const fs::path destination = PathFromUtf8(SavePath(folder, MakeSaveName(PathToUtf8(copy.filename()), suffix)));
            outcome = saver.Save(copy, destination, source);
        }
        if (outcome.saved) {
            if (!outcome.savedAs.empty())
                host.SetSaved(i, PathToUtf8(outcome.savedAs));
            host.Progress(WM_SAVE_PROGRESS, kFileDone, i);
        } else {
            host.ShowMessage(SaveFailureMessage(outcome.reason));
            host.Progress(WM_SAVE_PROGRESS, kFileFailed, i);
        }
        std::this_thread::sleep_for(job->pause);
    }
    host.Progress(WM_SAVE_PROGRESS, kJobFinished, 0);
}

}  // namespace tabulon::jobs
