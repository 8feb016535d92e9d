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

// What a save came to: saved, or failed with the text to show.
struct Outcome {
    bool saved = false;
    std::string message = kUnableToSave;
};

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
            return {};
        if (!CanOpenForReading(destination) && !IsLink(destination)) {
            try {
                MoveNoReplace(copy, destination);
            } catch (const std::system_error&) {
                return {};
            }
            return Saved(destination, source);
        }
        if (const auto earlier = SavedBefore(destination))
            return {false, DescribeSameSavedName(PathToUtf8(destination), *earlier, source)};
        if (host_.AskYesNo(kOverwriteQuestion))
            return Replace(copy, destination, source);
        const std::optional<fs::path> chosen = host_.AskSaveAs(destination);
        if (!chosen)
            return {};
        if (IsOriginal(*chosen))
            return {};
        if (const auto earlier = SavedBefore(*chosen))
            return {false, DescribeSameSavedName(PathToUtf8(*chosen), *earlier, source)};
        return Replace(copy, *chosen, source);
    }

private:
    bool IsOriginal(const fs::path& path) const
    {
        const auto id = IdentifyFile(path, true);
        return id && originals_.contains(*id);
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
            return {};
        try {
            CopyReplacing(copy, target);
        } catch (const std::system_error&) {
            return {};
        }
        std::error_code ignored;
        fs::remove(copy, ignored);
        return Saved(target, source);
    }

    Outcome Saved(const fs::path& target, const std::string& source)
    {
        if (const auto id = IdentifyFile(target, false))
            saved_[*id] = source;
        return {true, {}};
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
    for (int i = 0; i < count; ++i) {
        host.Progress(WM_SAVE_PROGRESS, kSaveStarted, i);
        const std::size_t entryIndex = static_cast<std::size_t>(i);
        const std::string& entry = job->paths[entryIndex];
        const fs::path copy = PathFromUtf8(entry);
        const bool usable = entry != kFailedPath && CanOpenForReading(copy);
        const fs::path destination = PathFromUtf8(folder + MakeSaveName(PathToUtf8(copy.filename()), suffix));
        const std::string source = entryIndex < job->sources.size() ? job->sources[entryIndex] : entry;
        std::this_thread::sleep_for(job->pause);

        const Outcome outcome = usable ? saver.Save(copy, destination, source) : Outcome{};
        if (outcome.saved) {
            host.Progress(WM_SAVE_PROGRESS, kFileDone, i);
        } else {
            host.ShowMessage(outcome.message);
            host.Progress(WM_SAVE_PROGRESS, kFileFailed, i);
        }
        std::this_thread::sleep_for(job->pause);
    }
    host.Progress(WM_SAVE_PROGRESS, kJobFinished, 0);
}

}  // namespace tabulon::jobs
