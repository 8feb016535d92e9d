// Probes that judge one 512-byte sector, and scans that apply them to a whole file.
//
// The probes are fixed-threshold heuristics: they accept any 512 bytes, never fail and keep
// no state. The scans read the file's whole sectors (sectors 0 to N - 2, where N is the
// file length divided by 512) and never the header or a trailing partial block.
#pragma once

#include <array>
#include <functional>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/cfb/consts.h"
#include "engine/io/sector_file.h"

namespace tabulon {

using SectorView = std::span<const std::uint8_t, kSectorSize>;
using SectorBytes = std::array<std::uint8_t, kSectorSize>;

// Block count N: the file length over 512, remainder dropped, header included.
std::uint32_t BlockCount(std::uint64_t fileLength);

// The 512 bytes at `offset`; what the file does not supply reads as zero.
SectorBytes ReadBlockAt(SectorFile& file, std::uint64_t offset);
// Sector `index`, which begins at (index + 1) * 512, read as ReadBlockAt reads.
SectorBytes ReadSector(SectorFile& file, std::uint32_t index);

// Whether a sector looks like a sector of the allocation table: more than 54 of its 128
// entries hold a special marker or continue a chain into the next entry (v + 1 == next).
// Entry 127 has no next entry and counts by the marker test alone.
bool IsFatLikeSector(SectorView sector);

// Which table position the sector's content suggests, given the position n it is tested
// for: entries below 512 count as themselves, larger ones as n * 128 + j; the signed 32-bit
// sum is divided by 128 twice, truncating toward zero.
std::int32_t EstimateFatIndex(SectorView sector, std::int32_t n);

// The number of leading UTF-16LE units of `entry` whose low byte is non-zero; `entry` runs
// from the start of a directory entry to the end of its sector.
std::size_t CountNameUnits(std::span<const std::uint8_t> entry);

// Whether a sector looks like a directory sector: of the 12 marks (name length matching the
// name, object type at most 5, colour flag 0 or 1, for each of the 4 entries) 8 or more hold.
bool IsDirectorySector(SectorView sector);

// The same question asked with other tolerances. Whether every entry of the 512 bytes at
// `sector` is one a writer could have made (read strictly) or an unused one (no type, no name),
// the first in use: a sector a directory's chain may lead through.
bool DirectorySectorReads(const std::uint8_t* sector);
// How well the 512 bytes at `sector` read as a directory sector, for weighing places against one
// another: each entry a writer could have made counts `strong`, any other 1 where its marks are
// ones a writer could give (an object type, a colour, a name length of whole units within the
// longest name: an unused entry's among them), and one whose marks are not makes it 0.
int DirectorySectorScore(const std::uint8_t* sector, int strong);

// What the scans keep of one sector read as an allocation table.
struct FatSummary {
    bool fatLike = false;
    // Sum of the entries below 512 plus the indices j of the others (32-bit, wrapping).
    std::uint32_t baseSum = 0;
    // Number of entries of 512 or more.
    std::uint32_t largeCount = 0;
};

FatSummary SummarizeFatSector(SectorView sector);
std::int32_t EstimateFatIndex(const FatSummary& summary, std::int32_t n);

// One front-to-back pass over a file's whole sectors, in large reads, that answers every
// scan afterwards without reading again. What it keeps has a fixed size, whatever the file
// holds, apart from the sectors named in `keep`, which are copied as they pass so that a
// caller can probe them without a second read.
class SectorScan {
public:
    // Called with every whole sector as the pass reads it, for other work on the same pass.
    using Observer = std::function<void(std::uint32_t index, SectorView sector)>;

    static SectorScan Run(SectorFile& file, std::span<const std::uint32_t> keep = {}, const Observer& observer = {});

    std::uint32_t BlockCount() const { return blockCount_; }

    // Number of allocation-table-like sectors.
    std::uint32_t CountFatLikeSectors() const { return fatLikeCount_; }
    // First allocation-table-like sector, in file order, whose estimate with n is n (the
    // second one with skipFirst), or -1.
    std::int32_t FindFatSector(std::int32_t n, bool skipFirst) const;
    // First directory-like sector whose first entry is a root storage entry, or -1.
    std::int32_t FindRootDirectorySector() const { return rootDirectory_; }

    // The bytes of a sector named in `keep`, or nullptr when it is not a whole sector.
    const SectorBytes* KeptSector(std::uint32_t index) const;

private:
    // Positions the header can name directly; their answers are settled during the pass.
    static constexpr std::int32_t kTabledPositions = static_cast<std::int32_t>(kHeaderDifatEntries);

    void Examine(std::uint32_t index, SectorView sector);
    void RecordTablePositions(std::uint32_t index, const FatSummary& summary);
    void RecordMatch(std::uint32_t n, std::uint32_t index);

    std::uint32_t blockCount_ = 0;
    std::uint32_t fatLikeCount_ = 0;
    // The first two table-like sectors whose entries are all 512 or more: beyond the tabled
    // positions, they are the only ones that can match.
    std::int32_t firstAllLarge_ = -1;
    std::int32_t secondAllLarge_ = -1;
    std::array<std::int32_t, kTabledPositions> firstMatch_{};
    std::array<std::int32_t, kTabledPositions> secondMatch_{};
    // Bit n is set while position n has fewer than two matches.
    std::array<std::uint64_t, 2> unsettled_ = {~std::uint64_t{0}, (std::uint64_t{1} << (kTabledPositions - 64)) - 1};
    std::int32_t rootDirectory_ = -1;
    std::vector<std::pair<std::uint32_t, SectorBytes>> kept_;
};

// The scans with their file-level signatures; each makes one pass of its own.
std::uint32_t CountFatLikeSectors(SectorFile& file);
std::int32_t FindFatSector(SectorFile& file, std::int32_t n, bool skipFirst);
std::int32_t FindRootDirectorySector(SectorFile& file);

}  // namespace tabulon
