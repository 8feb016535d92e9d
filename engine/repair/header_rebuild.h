// Rebuilding the header of a version-3 compound file from the file's own sectors.
#pragma once

#include "engine/cfb/header.h"
#include "engine/cfb/sector_probes.h"
#include "engine/io/sector_file.h"

namespace tabulon {

struct HeaderRebuild {
    HeaderBytes before{};  // as read; bytes past the end of a short file read as zero
    HeaderBytes after{};   // as the rebuild writes it
};

// Works out the header that RebuildHeader would write. Reads the file, never writes it.
// Throws std::system_error when a file operation fails, and with std::errc::file_too_large
// for a file of 2^31 bytes or more, before reading anything.
HeaderRebuild PlanHeaderRebuild(SectorFile& file);

// What the rebuild's pass over the file saw, for callers that need it afterwards.
struct ScanFacts {
    std::uint32_t fatLikeSectors = 0;
    std::int32_t rootDirectorySector = -1;
};
// The same, also handing every whole sector to `observer` during the rebuild's one pass.
HeaderRebuild PlanHeaderRebuild(SectorFile& file, const SectorScan::Observer& observer, ScanFacts& facts);

// Rebuilds the header in place. Every other byte of the file stays as it is: the only write
// is the 512-byte header at offset 0, made once and last, so a failure before it leaves the
// file untouched. A file shorter than 512 bytes grows to 512 bytes. The position afterwards
// is 512. Throws as PlanHeaderRebuild does.
HeaderRebuild RebuildHeader(SectorFile& file);

}  // namespace tabulon
