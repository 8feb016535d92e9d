// The damage the benchmarks do to an intact workbook in memory: the patterns of
// tabulon-recovery, which tabulon-salvage-bench times the salvage on as well. One case is a
// pattern, a seed and the workbook's file name, which together fix every random number.
#pragma once

#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "recovery_cells.h"

namespace tabulon::bench {

enum class Pattern {
    HeaderWiped,
    HeaderGarbled,
    FirstTableSector,
    TableSector,
    FirstDirectorySector,
    DirectorySector,
    Block,
    BitFlips,
    Truncated,
    FirstBlock,
    LfToCrLf,
    CrLfToLf,
    Wrapper,
    ForeignClusters,
    ThreeSectors,
    HeaderAndBlock
};

struct PatternInfo {
    Pattern pattern;
    const char* id;    // for --pattern
    const char* name;  // in the tables
    bool seeded;       // false: the damage is the same whatever the seed, so one case per workbook
    unsigned salt;     // mixed into each case's random numbers; kept when patterns are added
};

// Damage past the header, and to the header alone (measured by the cells as the rest is). The
// salts are the places the patterns had before the header and the first table sector joined,
// so that each older pattern still damages a workbook as it did.
inline constexpr PatternInfo kPatterns[] = {
    {Pattern::HeaderWiped, "header-wiped", "header wiped", false, 7},
    {Pattern::HeaderGarbled, "header-garbled", "header garbled", true, 8},
    {Pattern::FirstTableSector, "first-table-sector", "first table sector zeroed", false, 9},
    {Pattern::TableSector, "table-sector", "table sector zeroed", true, 0},
    {Pattern::FirstDirectorySector, "first-directory-sector", "first directory sector zeroed", false, 1},
    {Pattern::DirectorySector, "directory-sector", "directory sector zeroed", true, 2},
    {Pattern::Block, "block", "4 KiB block zeroed", true, 3},
    {Pattern::BitFlips, "bit-flips", "16 bits flipped", true, 4},
    {Pattern::Truncated, "truncated", "cut in the last quarter", true, 5},
    {Pattern::FirstBlock, "first-block", "first 4 KiB zeroed (header too)", false, 6},
    {Pattern::LfToCrLf, "lf-to-crlf", "every LF turned into CR LF", false, 10},
    {Pattern::CrLfToLf, "crlf-to-lf", "every CR LF turned into LF", false, 11},
    {Pattern::Wrapper, "wrapper", "128 bytes in front", true, 12},
    {Pattern::ForeignClusters, "foreign-clusters", "two 4 KiB foreign clusters", true, 13},
    {Pattern::ThreeSectors, "three-sectors", "three 512-byte sectors zeroed", true, 14},
    {Pattern::HeaderAndBlock, "header-and-block", "header and a 4 KiB block zeroed", true, 15},
};

// The pattern of that --pattern id, or nothing.
const PatternInfo* FindPattern(std::string_view id);

// The random numbers of one case: from the workbook's file name (so that a workbook run alone
// is damaged as in a run over its folder), the seed and the pattern's salt.
std::mt19937 CaseRandom(std::string_view fileName, int seed, const PatternInfo& pattern);

// The damaged copy, or nothing when the workbook has nothing the pattern can hit.
std::optional<Bytes> Damage(const Bytes& original, const CompoundLayout& layout, Pattern pattern, std::mt19937& random);

// The bytes of `original` that `damaged`, made from it by `pattern`, no longer holds, one flag
// per byte: those changed in place or cut off, and the CRs a CR LF to LF transfer dropped.
// Bytes that moved (a wrapper in front, CRs or clusters put in between) are all still there.
std::vector<bool> DestroyedBytes(const Bytes& original, const Bytes& damaged, Pattern pattern);

}  // namespace tabulon::bench
