#include "repair_workbook.h"

#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "engine/io/file_moves.h"
#include "engine/io/os_file.h"
#include "words/report_text.h"
#include "engine/repair/salvage/salvage.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon::cli {
namespace {

namespace fs = std::filesystem;

// A failure with the text the user sees.
struct Failure {
    std::string message;
};

std::string Reason(const std::system_error& error)
{
    return error.code().message();
}

OsFile OpenWorkbook(const fs::path& workbook, OsFile::Access access)
{
    try {
        return OsFile::Open(workbook, access);
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::is_a_directory)
            throw Failure{"is a folder, not a workbook"};
        if (error.code() == std::errc::invalid_argument)
            throw Failure{"is not a regular file"};
        throw Failure{"cannot open: " + Reason(error)};
    }
}

void CheckLength(OsFile& file)
{
    if (file.Length() > kMaxFileLength)
        throw Failure{std::string("is 2 GiB or larger, which no version-3 workbook can be; ") + kNothingWritten};
}

fs::path Destination(const fs::path& workbook, const Options& options)
{
    fs::path folder = options.outputDir ? PathFromUtf8(*options.outputDir) : workbook.parent_path();
    if (folder.empty())
        folder = ".";
    return folder / CopyName(workbook, options.suffix);
}

// A name that exists where the copy goes, refused without --overwrite. A link there is never
// written through: --overwrite replaces the link itself.
Failure NameTaken(const fs::path& destination)
{
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(destination, error)))
        return Failure{PathToUtf8(destination) +
                       " is a symbolic link; use --overwrite to replace the link itself (never what it points to)"};
    return Failure{PathToUtf8(destination) + " already exists; use --overwrite to replace it"};
}

// Where a dry run's copy would go, spelled one way: the folder's canonical path (links and
// "." resolved) plus the name, itself never followed.
fs::path PlannedName(const fs::path& destination)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(destination, error);
    const fs::path folder = error ? fs::path() : fs::weakly_canonical(absolute.parent_path(), error);
    return error ? destination.lexically_normal() : folder / destination.filename();
}

// The workbook an earlier copy of this run at `destination` was written from, if there is one.
const fs::path* EarlierSource(const fs::path& destination, const RunCopies& copies, bool dryRun)
{
    if (dryRun) {
        const auto planned = copies.planned.find(PlannedName(destination));
        return planned == copies.planned.end() ? nullptr : &planned->second;
    }
    const std::optional<FileId> id = IdentifyFile(destination, false);
    const auto written = id ? copies.written.find(*id) : copies.written.end();
    return written == copies.written.end() ? nullptr : &written->second;
}

void AddCopy(const fs::path& destination, const fs::path& workbook, RunCopies& copies, bool dryRun)
{
    if (dryRun)
        copies.planned.emplace(PlannedName(destination), workbook);
    else if (const std::optional<FileId> id = IdentifyFile(destination, false))
        copies.written.insert_or_assign(*id, workbook);
}

// Refusals that need no writing, so that a dry run predicts them too. Those thrown always
// apply; the one given back only when there is something to write, so that a kept workbook,
// which writes nothing, is not refused.
std::optional<Failure> CheckDestination(const fs::path& workbook, const fs::path& destination, const Options& options,
                                        const RunCopies& copies)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(destination, error);
    if (error && error != std::errc::no_such_file_or_directory)
        throw Failure{"cannot check " + PathToUtf8(destination) + ": " + error.message()};
    const bool exists = fs::exists(status);
    if (exists && fs::equivalent(workbook, destination, error)) {
        if (fs::is_symlink(status))
            throw Failure{"the copy " + PathToUtf8(destination) +
                          " is a symbolic link to the workbook itself; choose another suffix or folder, or use --in-place"};
        throw Failure{"the copy " + PathToUtf8(destination) +
                      " would replace the workbook itself; choose another suffix or folder, or use --in-place"};
    }
    if (const fs::path* earlier = EarlierSource(destination, copies, options.dryRun))
        return Failure{"the copy " + PathToUtf8(destination) + (options.dryRun ? " would be" : " was") +
                       " written from " + PathToUtf8(*earlier) + " earlier in this run; " +
                       (options.dryRun ? "it would not be replaced" : "not replaced")};
    if (!exists)
        return std::nullopt;
    if (options.overwrite && fs::is_directory(status))
        throw Failure{PathToUtf8(destination) + " is a folder"};
    if (!options.overwrite)
        return NameTaken(destination);
    return std::nullopt;
}

// Tests change the workbook here, between reading it and writing, by naming a marker file in
// this variable: it is created, and the repair waits (a few seconds at most) until it is gone.
void PauseBeforeWriteForTest()
{
    const char* marker = std::getenv("TABULON_TEST_PAUSE_BEFORE_WRITE");
    if (marker == nullptr || *marker == '\0')
        return;
    const fs::path path = PathFromUtf8(marker);
    try {
        OsFile::CreateNew(path).Close();
    } catch (const std::system_error&) {
        return;
    }
    std::error_code error;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (fs::exists(path, error) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    fs::remove(path, error);
}

// A workbook that stays damaged: what is wrong with it, what a salvage came to, and that
// nothing was written; `hint`, what to do instead, after that.
Failure StillDamaged(const RepairReport& report, const std::string& hint = {})
{
    return Failure{"still damaged: " + DescribeFinding(*report.check.FirstProblem()) + "; " +
                   (report.salvage ? SentenceInLine(DescribeSalvageOf(report)) + "; " : std::string()) + kNothingWritten + hint};
}

// In auto mode a copy is written only when it opens, or when its header makes the compound
// file whole and what remains lies beyond the header: a copy no reader can make sense of would
// only be read as text, every line of bytes a wrong cell.
void RefuseUnreadableCopy(const RepairReport& report, RebuildMode mode)
{
    if (mode == RebuildMode::Auto && RepairWrites(report) && RepairOutcomeOf(report) == RepairOutcome::RebuiltUnreadable)
        throw StillDamaged(report);
}

// Copies the workbook into a private file beside the destination and works the repair out from
// the copy's own bytes, so the header always fits the sectors beside it even when the workbook
// changes meanwhile. The copy takes its name only once written and flushed; a kept or refused
// workbook leaves no file at all: `refusal` stops it once the verdict says there is something
// to write.
RepairReport RepairIntoCopy(OsFile& source, const fs::path& destination, RebuildMode mode, const Options& options,
                            const std::optional<Failure>& refusal, const SalvageProgress& progress)
{
    std::optional<FileBeside> copy;
    try {
        copy.emplace(destination);
    } catch (const std::system_error& error) {
        throw Failure{"cannot write into " + PathToUtf8(destination.parent_path()) + ": " + Reason(error)};
    }
    try {
        copy->File().CopyPermissionsFrom(source);
        CopyFileContents(source, copy->File());
        CheckLength(copy->File());
        // Where no header makes it open, its streams go into a new file under the copy's name.
        std::optional<FileBeside> salvaged;
        const auto besideCopy = [&]() -> SectorFile& {
            salvaged.emplace(destination);
            salvaged->File().CopyPermissionsFrom(source);
            return salvaged->File();
        };
        RepairReport report = RepairWorkingCopy(copy->File(), mode, besideCopy, progress).report;
        if (WroteNewFile(report)) {
            if (refusal)
                throw *refusal;
            PauseBeforeWriteForTest();
            salvaged->Name(options.overwrite);
            return report;
        }
        salvaged.reset();  // a salvage that did not stand leaves nothing behind
        if (!RepairWrites(report))
            return report;
        RefuseUnreadableCopy(report, mode);
        if (refusal)
            throw *refusal;
        PauseBeforeWriteForTest();
        WriteRepair(copy->File(), report);  // the repair's only change, as on the workbook itself
        copy->Name(options.overwrite);
        return report;
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::file_exists)
            throw NameTaken(destination);
        throw Failure{"writing " + PathToUtf8(destination) + " failed: " + Reason(error)};
    }
}

// The only write is the header at offset 0, and only when it helps: in auto mode a result
// that still does not open leaves the workbook as it was. The file's length and last-write
// time are compared just before that write, so a header worked out for other bytes never lands.
void RepairInPlace(OsFile& file, WorkbookResult& result, RebuildMode mode, bool dryRun)
{
    const OsFile::FileStamp planned = file.Stamp();
    result.report = PlanRepair(file, mode);
    const RepairReport& report = *result.report;
    // Bytes that moved are put back only into a new file: the workbook keeps its length.
    if (report.realign)
        throw Failure{"the workbook's bytes have moved, which only a copy can put right: " +
                      SentenceInLine(DescribeRealign(*report.realign)) + "; " + kNothingWritten +
                      "; run without --in-place to write the realigned workbook into a copy"};
    const std::string copyHint = NeedsSalvage(report) ? "; run without --in-place to salvage it into a copy"
                                                      : "; run without --in-place to repair it into a copy";
    // In auto mode the header is written only where the workbook then opens with no damage left:
    // damage beyond the header is mended only in a copy, and a workbook whose own header stands
    // over damage is left as it is. (--rebuild=design writes any header that reads the compound
    // file.)
    const RepairOutcome outcome = RepairOutcomeOf(report);
    const bool damageRemains = outcome == RepairOutcome::RebuiltUnreadable || outcome == RepairOutcome::RebuiltDamageRemains;
    if (outcome == RepairOutcome::Failed)
        throw StillDamaged(report, NeedsSalvage(report) ? copyHint : "");
    if (damageRemains && mode == RebuildMode::Auto)
        throw StillDamaged(report, copyHint);
    if (!RepairWrites(report))
        return;
    if (dryRun)
        return;
    PauseBeforeWriteForTest();
    if (file.Stamp() != planned) {
        result.report.reset();  // worked out for bytes that are no longer there
        throw Failure{std::string("changed while it was being repaired; ") + kNothingWritten};
    }
    WriteRepair(file, report);
    file.Close();
}

}  // namespace

fs::path CopyName(const fs::path& workbook, const std::string& suffix)
{
    const std::string name = PathToUtf8(workbook.filename());
    const auto dot = name.rfind('.');
    const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    return PathFromUtf8(base + suffix + ".xls");
}

bool WorkbookResult::DataLost() const
{
    if (!report || outcome == Outcome::Failed || outcome == Outcome::Checked)
        return false;
    switch (RepairOutcomeOf(*report)) {
    case RepairOutcome::SalvagedPartial:
    case RepairOutcome::RealignedDamageRemains:
    case RepairOutcome::RebuiltDamageRemains:
        return true;
    default:
        return false;
    }
}

bool WorkbookResult::Opens() const
{
    if (check)
        return check->Opens();
    return report && !report->refused && report->check.Opens();
}

WorkbookResult RepairWorkbook(const fs::path& workbook, const Options& options, RunCopies& copies, const SalvageProgress& progress)
{
    WorkbookResult result;
    result.source = workbook;
    const RebuildMode mode = options.designRebuildOnly ? RebuildMode::Design : RebuildMode::Auto;
    auto refuseIfNoWorkbook = [&result] {
        if (RepairOutcomeOf(*result.report) == RepairOutcome::Refused)
            throw Failure{DescribeRefusal(*result.report) + "; " + kNothingWritten};
    };
    try {
        if (options.check) {
            OsFile file = OpenWorkbook(workbook, OsFile::Access::Read);
            CheckLength(file);
            result.check = VerifyWorkbook(file);
            result.outcome = Outcome::Checked;
            return result;
        }
        if (options.inPlace) {
            OsFile file = OpenWorkbook(workbook, options.dryRun ? OsFile::Access::Read : OsFile::Access::ReadWrite);
            CheckLength(file);
            RepairInPlace(file, result, mode, options.dryRun);
            refuseIfNoWorkbook();
            result.output = workbook;
        } else {
            OsFile source = OpenWorkbook(workbook, OsFile::Access::Read);
            CheckLength(source);
            const fs::path destination = Destination(workbook, options);
            const std::optional<Failure> refusal = CheckDestination(workbook, destination, options, copies);
            if (options.dryRun) {
                MemorySectorFile salvaged;  // what a salvage would write, to tell its outcome
                const auto inMemory = [&salvaged]() -> SectorFile& { return salvaged; };
                result.report = RepairWorkingCopy(source, mode, inMemory, progress).report;
                RefuseUnreadableCopy(*result.report, mode);
            } else {
                result.report = RepairIntoCopy(source, destination, mode, options, refusal, progress);
            }
            refuseIfNoWorkbook();
            if (refusal && (RepairWrites(*result.report) || WroteNewFile(*result.report)))
                throw *refusal;
            result.output = destination;
        }
        const RepairOutcome outcome = RepairOutcomeOf(*result.report);
        if (outcome == RepairOutcome::Failed)
            throw StillDamaged(*result.report);  // its own header stands; no salvage brought its records back
        if (outcome == RepairOutcome::Kept) {
            result.output.reset();
            result.outcome = Outcome::Kept;
        } else {
            result.outcome = options.dryRun ? Outcome::DryRun : Outcome::Repaired;
            if (!options.inPlace)
                AddCopy(*result.output, workbook, copies, options.dryRun);
        }
    } catch (const Failure& failure) {
        result.error = failure.message;
    } catch (const std::system_error& error) {
        result.error = (options.inPlace && !options.dryRun ? "repair failed: " : "reading failed: ") + Reason(error);
    } catch (const std::exception& error) {
        result.error = error.what();
    }
    if (result.outcome == Outcome::Failed)
        result.output.reset();
    return result;
}

}  // namespace tabulon::cli
