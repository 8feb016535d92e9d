// Repairing one workbook as the command line's options ask.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "engine/repair.h"
#include "options.h"

namespace tabulon::cli {

enum class Outcome {
    Repaired,
    DryRun,
    Kept,  // the workbook opens as it is: nothing written, nor would be
    Checked,
    Failed,
};

struct WorkbookResult {
    std::filesystem::path source;
    Outcome outcome = Outcome::Failed;
    std::string error;                           // why it failed, for Outcome::Failed
    std::optional<std::filesystem::path> output; // the file written (or that would be); none when kept
    std::optional<RepairReport> report;          // present once the header was worked out
    std::optional<WorkbookCheck> check;          // --check: the workbook as it is
    // Whether the workbook opens as repaired (or, with --check, as it is).
    bool Opens() const;
};

// The copy's name: the base name up to its last "." plus the suffix plus ".xls".
std::filesystem::path CopyName(const std::filesystem::path& workbook, const std::string& suffix);

// Never throws: every failure is described in the result.
WorkbookResult RepairWorkbook(const std::filesystem::path& workbook, const Options& options);

}  // namespace tabulon::cli
