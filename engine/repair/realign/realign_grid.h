// The realign stage's walk over the sector grid: the bytes of a compound file put back in their
// places where bytes were lost or stitched in, for realign.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tabulon::realigning {

inline constexpr std::uint8_t kCr = 0x0D;
inline constexpr std::uint8_t kLf = 0x0A;
inline constexpr std::uint64_t kClusterSize = 4096;

// What moved the bytes, as the walk below undoes it. Each place where it acted changes the
// distance between a byte's place in the original and in the bytes as found by `step`: a CR lost
// before an LF by one, a foreign cluster stitched in by minus 4096.
enum class Move { LostCr, ForeignCluster };

// Whether the bytes open as a workbook (the check of a whole file, records and all).
bool Opens(std::span<const std::uint8_t> bytes);
// Whether a compound file's signature starts at `at`.
bool SignatureAt(std::span<const std::uint8_t> bytes, std::size_t at);

struct GridResult {
    std::vector<std::uint8_t> bytes;  // the original's, as far as the structure proves it
    std::uint64_t acted = 0;          // the places where a move was undone
    std::uint32_t cellsLeftOut = 0;   // cell records no reading proved (their own bytes, or a shared string they show), made filler
};

// `bytes` put back on the sector grid: the allocation-table and directory sectors read as such
// only where they truly begin, the workbook stream's records chain only where no byte is missing
// or too many. Nothing where a decision cannot be proved, nor (`onlyMoved`) where the bytes
// stand on the grid as they are.
std::optional<GridResult> PutBackOnGrid(std::span<const std::uint8_t> bytes, Move move, bool onlyMoved = false);

}  // namespace tabulon::realigning
