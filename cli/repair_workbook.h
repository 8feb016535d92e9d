// Repairing one workbook as the command line's options ask.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "engine/io/os_file.h"
#include "engine/repair/pipeline/repair.h"
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
    // Whether what was written (or would be) holds less than the workbook did: a salvage that
    // lost sheets, records, names or streams, or a header written where damage beyond it remains.
    bool DataLost() const;
};

// The copies one run has written, and the workbook each was written from: a later workbook
// whose copy has the same name never replaces one of them, not even with --overwrite.
struct RunCopies {
    // Each written copy by the identity of its name (a link there is never followed).
    std::map<FileId, std::filesystem::path> written;
    // A dry run writes nothing, so it keeps where each copy would go: its folder's canonical
    // path plus its name.
    std::map<std::filesystem::path, std::filesystem::path> planned;
};

// The copy's name: the base name up to its last "." plus the suffix plus ".xls".
std::filesystem::path CopyName(const std::filesystem::path& workbook, const std::string& suffix);

// Never throws: every failure is described in the result. A copy written (or, in a dry run,
// one that would be) is added to `copies`. `progress` hears how far a salvage has come.
WorkbookResult RepairWorkbook(const std::filesystem::path& workbook, const Options& options, RunCopies& copies,
                              const SalvageProgress& progress = {});

}  // namespace tabulon::cli
