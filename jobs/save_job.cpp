#include <system_error>
#include <thread>

#include "engine/os_file.h"
#include "file_moves.h"
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

// Copies the repaired copy over `target`; the copy is deleted only once that succeeded,
// so a failed save can be tried again.
bool CopyThenDelete(const fs::path& copy, const fs::path& target)
{
    try {
        CopyReplacing(copy, target);
    } catch (const std::system_error&) {
        return false;
    }
    std::error_code ignored;
    fs::remove(copy, ignored);
    return true;
}

bool SaveOne(JobHost& host, const fs::path& copy, const fs::path& destination)
{
    if (!CanOpenForReading(destination)) {
        try {
            MoveNoReplace(copy, destination);
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }
    if (host.AskYesNo(kOverwriteQuestion))
        return CopyThenDelete(copy, destination);
    const std::optional<fs::path> chosen = host.AskSaveAs(destination);
    return chosen && CopyThenDelete(copy, *chosen);
}

}  // namespace

std::string MakeSaveName(const std::string& name, const std::string& suffix)
{
    const auto dot = name.rfind('.');
    return (dot == std::string::npos ? std::string() : name.substr(0, dot)) + suffix + ".xls";
}

void SaveWorker(std::unique_ptr<SaveJob> job)
{
    JobHost& host = *job->host;
    const std::string suffix = job->suffix;
    const std::string folder = job->folder;
    const int count = static_cast<int>(job->paths.size());
    for (int i = 0; i < count; ++i) {
        host.Progress(WM_SAVE_PROGRESS, kSaveStarted, i);
        const std::string& entry = job->paths[static_cast<std::size_t>(i)];
        const fs::path copy = PathFromUtf8(entry);
        const bool usable = entry != kFailedPath && CanOpenForReading(copy);
        const fs::path destination = PathFromUtf8(folder + MakeSaveName(PathToUtf8(copy.filename()), suffix));
        std::this_thread::sleep_for(job->pause);

        const bool saved = usable && SaveOne(host, copy, destination);
        if (saved) {
            host.Progress(WM_SAVE_PROGRESS, kFileDone, i);
        } else {
            host.ShowMessage(kUnableToSave);
            host.Progress(WM_SAVE_PROGRESS, kFileFailed, i);
        }
        std::this_thread::sleep_for(job->pause);
    }
    host.Progress(WM_SAVE_PROGRESS, kJobFinished, 0);
}

}  // namespace tabulon::jobs
