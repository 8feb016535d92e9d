// The whole header repair: the plain rebuild, checked; a deeper rebuild when the plain one
// leaves the workbook unreadable; and a refusal for files that are no workbooks at all.
#pragma once

#include <optional>
#include <string>

#include "header.h"
#include "sector_file.h"
#include "verify.h"

namespace tabulon {

enum class RebuildMode {
    Auto,    // the plain rebuild, then the deep one if the plain result does not open
    Design,  // the plain rebuild alone, exactly, never refused
};

enum class RebuildUsed {
    Design,  // the plain rebuild's header
    Deep,    // the deep rebuild's header
    Kept,    // the file opened as it was: its header is kept and nothing is written
    None,    // refused: nothing written
};

enum class NotAWorkbook {
    ZipArchive,         // an .xlsx or other zip file
    HtmlDocument,
    XmlDocument,
    LargeSectors,       // a compound file with 4096-byte sectors (version 4)
    NoCompoundStructure,
};

struct RepairReport {
    HeaderBytes before{};
    HeaderBytes after{};
    RebuildUsed used = RebuildUsed::None;
    WorkbookCheck check;                 // of the file as repaired (or, refused, as found)
    std::optional<NotAWorkbook> refused;  // set when nothing was written
};

// Works out the repair without writing anything. In Auto mode a file that already opens is
// kept as it is (`used` is Kept).
RepairReport PlanRepair(SectorFile& file, RebuildMode mode);
// Repairs in place: the only write is the chosen 512-byte header at offset 0, made last, and
// none for a refused or kept file. Throws std::system_error when a file operation fails.
RepairReport RepairHeader(SectorFile& file, RebuildMode mode);

// Whether carrying out `report` writes anything at all.
bool RepairWrites(const RepairReport& report);
// Writes the header `report` chose at offset 0 (nothing when RepairWrites is false).
void WriteRepair(SectorFile& file, const RepairReport& report);

// Verifies the file as it would read with `header` in place of its first 512 bytes.
WorkbookCheck VerifyWithHeader(SectorFile& file, const HeaderBytes& header);

std::string DescribeNotAWorkbook(NotAWorkbook what);

}  // namespace tabulon
