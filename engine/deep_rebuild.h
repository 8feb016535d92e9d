// A second, deeper rebuild of the header: every derivable field worked out from the file's
// own structure, without reading the damaged header at all.
#pragma once

#include <optional>

#include "header.h"
#include "sector_file.h"

namespace tabulon {

// The canonical version-3 header for the allocation table, directory, mini allocation table
// and DIFAT found in the file, or nothing when no consistent structure exists. Reads the
// file (never bytes 0 to 511), never writes it. Throws std::system_error when a read fails.
std::optional<HeaderBytes> DeepRebuildHeader(SectorFile& file);

}  // namespace tabulon
