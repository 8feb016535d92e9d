#include "repair_workbook.h"

#include <system_error>

#include "engine/os_file.h"

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
    if (file.Length() > kMaxWorkbookLength)
        throw Failure{"is 2 GiB or larger, which no version-3 workbook can be; left untouched"};
}

fs::path Destination(const fs::path& workbook, const Options& options)
{
    fs::path folder = options.outputDir ? PathFromUtf8(*options.outputDir) : workbook.parent_path();
    if (folder.empty())
        folder = ".";
    return folder / CopyName(workbook, options.suffix);
}

// Refusals that need no writing, so that a dry run predicts them too.
void CheckDestination(const fs::path& workbook, const fs::path& destination, const Options& options)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(destination, error);
    if (error && error != std::errc::no_such_file_or_directory)
        throw Failure{"cannot check " + PathToUtf8(destination) + ": " + error.message()};
    if (!fs::exists(status))
        return;
    if (fs::equivalent(workbook, destination, error))
        throw Failure{"the copy " + PathToUtf8(destination) +
                      " would replace the workbook itself; choose another suffix or folder, or use --in-place"};
    if (!options.overwrite)
        throw Failure{PathToUtf8(destination) + " already exists; use --overwrite to replace it"};
    if (fs::is_directory(status))
        throw Failure{PathToUtf8(destination) + " is a folder"};
}

// Copies the workbook into a private file beside the destination, repairs the copy and
// only then gives it its name, so that nothing half-written is ever left under that name.
void WriteRepairedCopy(OsFile& source, const HeaderBytes& header, const fs::path& destination, const Options& options)
{
    fs::path temporaryPath;
    OsFile copy = [&] {
        try {
            return OsFile::CreateUnique(destination.parent_path(), temporaryPath);
        } catch (const std::system_error& error) {
            throw Failure{"cannot write into " + PathToUtf8(destination.parent_path()) + ": " + Reason(error)};
        }
    }();
    try {
        copy.CopyPermissionsFrom(source);
        CopyFileContents(source, copy);
        copy.Seek(0);
        copy.Write(header);  // the repair's only change, as on the workbook itself
        copy.Close();
        if (options.overwrite)
            RenameReplace(temporaryPath, destination);
        else
            RenameNoReplace(temporaryPath, destination);
    } catch (const std::system_error& error) {
        std::error_code ignored;
        fs::remove(temporaryPath, ignored);
        if (error.code() == std::errc::file_exists)
            throw Failure{PathToUtf8(destination) + " already exists; use --overwrite to replace it"};
        throw Failure{"writing " + PathToUtf8(destination) + " failed: " + Reason(error)};
    }
}

}  // namespace

fs::path CopyName(const fs::path& workbook, const std::string& suffix)
{
    const std::string name = PathToUtf8(workbook.filename());
    const auto dot = name.rfind('.');
    const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    return PathFromUtf8(base + suffix + ".xls");
}

bool WorkbookResult::Opens() const
{
    if (check)
        return check->Opens();
    return report && !report->refused && report->check.Opens();
}

WorkbookResult RepairWorkbook(const fs::path& workbook, const Options& options)
{
    WorkbookResult result;
    result.source = workbook;
    const RebuildMode mode = options.designRebuildOnly ? RebuildMode::Design : RebuildMode::Auto;
    auto refuseIfNoWorkbook = [&result] {
        if (result.report->refused)
            throw Failure{DescribeNotAWorkbook(*result.report->refused) + "; nothing was written"};
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
            result.output = workbook;
            result.report = options.dryRun ? PlanRepair(file, mode) : RepairHeader(file, mode);
            refuseIfNoWorkbook();
            if (!options.dryRun)
                file.Close();
        } else {
            OsFile source = OpenWorkbook(workbook, OsFile::Access::Read);
            CheckLength(source);
            const fs::path destination = Destination(workbook, options);
            CheckDestination(workbook, destination, options);
            result.output = destination;
            result.report = PlanRepair(source, mode);
            refuseIfNoWorkbook();
            if (!options.dryRun)
                WriteRepairedCopy(source, result.report->after, destination, options);
        }
        result.outcome = options.dryRun ? Outcome::DryRun : Outcome::Repaired;
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
