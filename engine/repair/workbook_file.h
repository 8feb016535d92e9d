// The workbook in its compound file: which stream holds it, and the check of a file as a
// workbook.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/cfb/verify.h"
#include "engine/io/sector_file.h"

namespace tabulon {

// The structural check of the file as a workbook: a compound file whose stream named "Workbook"
// or "Book" (any case) begins with a BOF record of BIFF2 to BIFF8.
WorkbookCheck VerifyWorkbook(SectorFile& file);

// The workbook stream: "Workbook" (BIFF8) or else "Book" (BIFF5) directly under the root, names
// compared without regard to case. Nothing when there is neither or the file cannot be read.
// A stream cut short comes back as far as it goes.
std::optional<std::vector<std::uint8_t>> ReadWorkbookStream(SectorFile& file);

}  // namespace tabulon
