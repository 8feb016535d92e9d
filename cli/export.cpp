#include "export.h"

#include <iostream>
#include <memory>
#include <system_error>

#include "engine/export/csv_export.h"
#include "engine/io/file_moves.h"
#include "words/report_text.h"
#include "report.h"

namespace tabulon::cli {
namespace {

namespace fs = std::filesystem;

// A failure with the text the user sees.
struct Failure {
    std::string message;
};

OsFile OpenWorkbook(const fs::path& workbook)
{
    try {
        return OsFile::Open(workbook, OsFile::Access::Read);
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::is_a_directory)
            throw Failure{"is a folder, not a workbook"};
        if (error.code() == std::errc::invalid_argument)
            throw Failure{"is not a regular file"};
        throw Failure{"cannot open: " + error.code().message()};
    }
}

std::string WhyNothingToExport(const RecoveredCells& recovered)
{
    if (recovered.from == CellsFrom::Nothing)
        return recovered.report.refused ? DescribeRefusal(recovered.report)
                                        : "no workbook can be found in it, nor any of its cells";
    if (recovered.cells.encrypted)
        return "is encrypted: its cells cannot be read without the password";
    return "has no worksheet to export";
}

fs::path AbsoluteName(const fs::path& path)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    return (error ? path : absolute).lexically_normal();
}

// Refusals that need no writing, so that a dry run predicts them too.
void CheckTarget(const fs::path& target, const Options& options, const RunExports& run)
{
    const fs::path* earlier = nullptr;
    if (options.dryRun) {
        const auto planned = run.planned.find(AbsoluteName(target));
        earlier = planned == run.planned.end() ? nullptr : &planned->second;
    } else if (const std::optional<FileId> id = IdentifyFile(target, false)) {
        const auto written = run.written.find(*id);
        earlier = written == run.written.end() ? nullptr : &written->second;
    }
    if (earlier)
        throw Failure{PathToUtf8(target) + (options.dryRun ? " would be" : " was") + " written from " +
                      PathToUtf8(*earlier) + " earlier in this run; " + (options.dryRun ? "it would not be replaced" : "not replaced")};
    std::error_code error;
    const fs::file_status status = fs::symlink_status(target, error);
    if (error && error != std::errc::no_such_file_or_directory)
        throw Failure{"cannot check " + PathToUtf8(target) + ": " + error.message()};
    if (!fs::exists(status))
        return;
    if (fs::is_directory(status))
        throw Failure{PathToUtf8(target) + " is a folder"};
    if (!options.overwrite)
        throw Failure{PathToUtf8(target) + " already exists; use --overwrite to replace it"};
}

// Every file is written in full beside its name before the first takes its name; when one
// cannot take its name, those named before it are removed again.
void WriteFiles(const std::vector<std::pair<fs::path, std::string>>& files, OsFile& workbook, bool overwrite)
{
    std::vector<std::unique_ptr<FileBeside>> written;
    for (const auto& [target, text] : files) {
        try {
            written.push_back(std::make_unique<FileBeside>(target));
        } catch (const std::system_error& error) {
            throw Failure{"cannot write into " + PathToUtf8(target.parent_path()) + ": " + error.code().message()};
        }
        try {
            FileBeside& file = *written.back();
            file.File().CopyPermissionsFrom(workbook);  // the cells are as private as the workbook
            file.File().WriteAll(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        } catch (const std::system_error& error) {
            throw Failure{"writing " + PathToUtf8(target) + " failed: " + error.code().message()};
        }
    }
    for (std::size_t i = 0; i < written.size(); ++i) {
        try {
            written[i]->Name(overwrite);
        } catch (const std::system_error& error) {
            std::error_code ignored;
            for (std::size_t k = 0; k < i; ++k)
                fs::remove(files[k].first, ignored);
            const fs::path& target = files[i].first;
            if (error.code() == std::errc::file_exists)
                throw Failure{PathToUtf8(target) + " already exists; use --overwrite to replace it"};
            throw Failure{"writing " + PathToUtf8(target) + " failed: " + error.code().message()};
        }
    }
}

const char* SourceName(CellsFrom from)
{
    switch (from) {
    case CellsFrom::Workbook: return "workbook";
    case CellsFrom::RepairedHeader: return "repaired";
    case CellsFrom::Salvage: return "salvaged";
    case CellsFrom::Realigned: return "realigned";
    case CellsFrom::DamagedStream: return "damaged stream";
    case CellsFrom::FileRecords: return "file records";
    case CellsFrom::Nothing: break;
    }
    return nullptr;
}

}  // namespace

ExportResult ExportWorkbookCsv(const fs::path& workbook, const Options& options, RunExports& run)
{
    ExportResult result;
    result.source = workbook;
    try {
        OsFile file = OpenWorkbook(workbook);
        if (file.Length() > kMaxFileLength)
            throw Failure{"is 2 GiB or larger, which no version-3 workbook can be"};
        RecoveredCells recovered = RecoverCells(file);
        result.from = recovered.from;
        if (recovered.from == CellsFrom::Salvage)
            result.salvage = recovered.report.salvage;
        const std::vector<CsvFile> names =
            recovered.cells.encrypted ? std::vector<CsvFile>{} : CsvFileNames(recovered.cells, PathToUtf8(workbook.filename()));
        if (names.empty())
            throw Failure{WhyNothingToExport(recovered)};

        const fs::path folder = PathFromUtf8(*options.exportCsvDir);
        std::error_code error;
        if (!fs::is_directory(folder, error))
            throw Failure{"cannot write into " + PathToUtf8(folder) + ": no such folder"};
        std::vector<std::pair<fs::path, std::string>> files;
        for (const CsvFile& name : names) {
            const fs::path target = folder / PathFromUtf8(name.name);
            CheckTarget(target, options, run);
            files.emplace_back(target, options.dryRun ? std::string() : SheetCsv(recovered.cells, recovered.cells.sheets[name.sheet]));
        }
        if (options.dryRun) {
            for (const auto& [target, text] : files)
                run.planned.emplace(AbsoluteName(target), workbook);
        } else {
            WriteFiles(files, file, options.overwrite);
            for (const auto& [target, text] : files) {
                if (const std::optional<FileId> id = IdentifyFile(target, false))
                    run.written.insert_or_assign(*id, workbook);
            }
        }
        for (auto& [target, text] : files)
            result.files.push_back(target);
        result.failed = false;
    } catch (const Failure& failure) {
        result.error = failure.message + "; " + kNothingWritten;
    } catch (const std::system_error& error) {
        result.error = "reading failed: " + error.code().message() + "; " + kNothingWritten;
    } catch (const std::exception& error) {
        result.error = error.what() + std::string("; ") + kNothingWritten;
    }
    if (result.failed)
        result.files.clear();
    return result;
}

std::string DescribeExport(const ExportResult& result, bool dryRun)
{
    std::string line = (dryRun ? "would export " : "exported ") + PathToUtf8(result.source);
    if (!result.files.empty())
        line += " into " + PathToUtf8(result.files.front().parent_path());
    switch (result.from) {
    case CellsFrom::RepairedHeader: line += "; read with a rebuilt header"; break;
    case CellsFrom::Realigned: line += "; read with its moved bytes put back"; break;
    case CellsFrom::Salvage:
        line += "; read from what a salvage brought back (" + (result.salvage ? DescribeSalvage(*result.salvage) : std::string()) + ")";
        break;
    case CellsFrom::DamagedStream:
        line += "; no repair opens it: read from its damaged workbook data (the workbook stream), cells may be missing";
        break;
    case CellsFrom::FileRecords:
        line += "; its workbook data was found only in pieces: read from the workbook records found in the file "
                "(no workbook stream), cells may be missing";
        break;
    case CellsFrom::Workbook:
    case CellsFrom::Nothing: break;
    }
    // The files one a line, however many sheets the workbook has.
    if (!result.files.empty())
        line += ":";
    for (const fs::path& file : result.files)
        line += "\n  " + PathToUtf8(file.filename());
    return line;
}

std::string ExportToJson(const ExportResult& result, bool dryRun)
{
    std::string json = "{\"path\":" + JsonString(PathToUtf8(result.source));
    json += ",\"outcome\":\"" + std::string(result.failed ? "failed" : dryRun ? "dry-run" : "exported") + "\"";
    json += ",\"error\":" + (result.failed ? JsonString(result.error) : std::string("null"));
    const char* source = result.failed ? nullptr : SourceName(result.from);
    json += ",\"read\":" + (source ? JsonString(source) : std::string("null"));
    json += ",\"salvage\":" + (result.salvage && !result.failed ? JsonString(DescribeSalvage(*result.salvage)) : std::string("null"));
    json += ",\"files\":";
    if (result.failed)
        return json + "null}";
    json += "[";
    for (std::size_t i = 0; i < result.files.size(); ++i) {
        json += i > 0 ? "," : "";
        json += JsonString(PathToUtf8(result.files[i]));
    }
    return json + "]}";
}

bool ExportWorkbooks(const Options& options)
{
    bool all = true;
    RunExports run;
    for (const std::string& name : options.workbooks) {
        const ExportResult result = ExportWorkbookCsv(PathFromUtf8(name), options, run);
        if (result.failed) {
            all = false;
            std::cerr << "tabulon-repair: " << name << ": " << result.error << "\n" << std::flush;
        }
        if (options.json)
            std::cout << ExportToJson(result, options.dryRun) << "\n" << std::flush;
        else if (!options.quiet && !result.failed)
            std::cout << DescribeExport(result, options.dryRun) << "\n" << std::flush;
    }
    return all;
}

}  // namespace tabulon::cli
