#include <system_error>
#include <thread>

#include "engine/io/file_moves.h"
#include "engine/io/freed_memory.h"
#include "engine/io/os_file.h"
#include "engine/repair/pipeline/repair.h"
#include "words/report_text.h"
#include "job.h"

namespace tabulon::jobs {
namespace {

namespace fs = std::filesystem;

enum class Outcome { Repaired, CannotOpen, CannotCopy, NotAWorkbook, TooLarge };

struct FileResult {
    Outcome outcome;
    fs::path copy;
    std::optional<RepairReport> report;
};

// Each workbook gets a folder of its own inside the job's private folder, so that copies of
// same-named workbooks from different folders never meet, and the copy keeps its name.
FileResult RepairOne(const fs::path& source, const fs::path& jobFolder, int index, const SalvageProgress& progress)
{
    std::optional<OsFile> input;
    try {
        input = OsFile::Open(source, OsFile::Access::Read);
    } catch (const std::system_error&) {
        return {Outcome::CannotOpen, {}, std::nullopt};
    }
    // Refused before anything is copied: no rebuild can address it, and the copy alone would
    // fill the temporary folder.
    try {
        if (input->Length() > kMaxFileLength)
            return {Outcome::TooLarge, {}, std::nullopt};
    } catch (const std::system_error&) {
        return {Outcome::CannotOpen, {}, std::nullopt};
    }

    const fs::path place = jobFolder / std::to_string(index);
    const fs::path copyPath = place / source.filename();
    std::optional<OsFile> copy;
    try {
        if (jobFolder.empty() || !fs::create_directory(place))
            return {Outcome::CannotCopy, {}, std::nullopt};
        copy = OsFile::CreateNew(copyPath);
        copy->CopyPermissionsFrom(*input);
        CopyFileContents(*input, *copy);
    } catch (const std::system_error&) {
        copy.reset();
        std::error_code ignored;
        fs::remove_all(place, ignored);
        return {Outcome::CannotCopy, {}, std::nullopt};
    }

    std::optional<RepairResult> repair;
    try {
        // Where no header makes it open, the copy's streams go into a new file beside it,
        // which takes its name when it opens.
        std::optional<FileBeside> salvaged;
        const auto besideCopy = [&]() -> SectorFile& {
            salvaged.emplace(copyPath);
            salvaged->File().CopyPermissionsFrom(*input);
            return salvaged->File();
        };
        repair = RepairWorkingCopy(*copy, RebuildMode::Auto, besideCopy, progress);
        WriteRepair(*copy, repair->report);  // the header chosen, where no new file holds the repair
        copy->Close();
        if (WroteNewFile(repair->report))
            salvaged->Name(true);
    } catch (const std::system_error&) {
        // A read, write or full disk inside the rebuild: the copy is no repair; drop it.
        copy.reset();
        std::error_code ignored;
        fs::remove_all(place, ignored);
        return {Outcome::CannotOpen, {}, std::nullopt};
    }
    if (repair->outcome == RepairOutcome::Refused) {
        std::error_code ignored;
        fs::remove_all(place, ignored);
        return {Outcome::NotAWorkbook, {}, std::move(repair->report)};
    }
    return {Outcome::Repaired, copyPath, std::move(repair->report)};
}

}  // namespace

void RepairWorker(std::unique_ptr<RepairJob> job)
{
    JobHost& host = *job->host;
    const fs::path jobFolder = fs::path(job->folder);
    const int count = static_cast<int>(job->paths.size());
    for (int i = 0; i < count; ++i) {
        host.Progress(WM_REPAIR_PROGRESS, kRepairStarted, i);
        const fs::path source = PathFromUtf8(job->paths[static_cast<std::size_t>(i)]);
        // A salvage that takes more than a second tells the window how far it has come.
        const auto started = std::chrono::steady_clock::now();
        int shown = -1;
        const auto salvaging = [&](int percent) {
            if (percent != shown && std::chrono::steady_clock::now() - started >= std::chrono::seconds(1)) {
                shown = percent;
                host.Salvaging(i, percent);
            }
        };
        const FileResult result = RepairOne(source, jobFolder, i, salvaging);
        GiveBackFreedMemory();
        if (result.report)
            host.SetReport(i, *result.report);
        if (result.outcome != Outcome::Repaired) {
            // The refusals name the file: the user may have added many.
            const std::string named = PathToUtf8(source) + "\n";
            host.ShowMessage(result.outcome == Outcome::NotAWorkbook ? named + DescribeRefusal(*result.report)
                             : result.outcome == Outcome::TooLarge   ? named + kTooLargeForAWorkbook
                             : result.outcome == Outcome::CannotCopy ? kUnableToLoad
                                                                     : kUnableToOpen);
            host.SetPath(i, kFailedPath);
            host.Progress(WM_REPAIR_PROGRESS, kFileFailed, i);
            continue;
        }
        std::this_thread::sleep_for(job->pause);
        host.SetPath(i, PathToUtf8(result.copy));
        host.Progress(WM_REPAIR_PROGRESS, kFileDone, i);
        std::this_thread::sleep_for(job->pause);
    }
    host.Progress(WM_REPAIR_PROGRESS, kJobFinished, 0);
}

}  // namespace tabulon::jobs
