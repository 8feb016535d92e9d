// tabulon-repair --export-csv: the sheets of each workbook, as the repair brings it back, as
// CSV files in the folder given.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/io/os_file.h"
#include "engine/repair/pipeline/recovered_cells.h"
#include "options.h"

namespace tabulon::cli {

struct ExportResult {
    std::filesystem::path source;
    bool failed = true;
    std::string error;                        // why it failed; then nothing was written for it
    CellsFrom from = CellsFrom::Nothing;
    std::optional<SalvageReport> salvage;     // when the cells come from a salvage
    std::vector<std::filesystem::path> files; // written (with --dry-run: that would be)
};

// The CSV files one run has written, and the workbook each came from: a later workbook whose
// file has the same name never replaces one of them, not even with --overwrite.
struct RunExports {
    std::map<FileId, std::filesystem::path> written;
    std::map<std::filesystem::path, std::filesystem::path> planned;  // --dry-run: by absolute path
};

// Exports one workbook as `options` ask (options.exportCsvDir is set). A workbook writes all
// of its files or none: each is written beside its name and named once all are written; an
// existing file of a name is refused unless options.overwrite. Never throws.
ExportResult ExportWorkbookCsv(const std::filesystem::path& workbook, const Options& options, RunExports& run);

// One line for people (without the line break), for an export that did not fail.
std::string DescribeExport(const ExportResult& result, bool dryRun);

// One JSON object on one line (without the line break).
std::string ExportToJson(const ExportResult& result, bool dryRun);

// Exports every workbook of `options`, printing a line for each (or JSON, or errors only) and
// each failure on standard error; whether every one was exported.
bool ExportWorkbooks(const Options& options);

}  // namespace tabulon::cli
