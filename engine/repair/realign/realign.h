// Undoing damage that moved the bytes of a workbook rather than overwriting them: a wrapper
// before the compound file, a text-mode transfer that turned every LF into CR LF or every CR LF
// into LF, clusters of another file stitched in. The first stage of the repair: what follows
// works on the realigned bytes, which go into a new file, never into the workbook.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/io/sector_file.h"

namespace tabulon {

// What was undone, each count zero where that damage was not found.
struct RealignNote {
    std::uint64_t wrapperBytes = 0;  // cut from before the compound file's signature
    std::uint64_t crlfTurnedBack = 0;  // CR LF pairs turned back into LF (LF had become CR LF)
    std::uint64_t crRestored = 0;  // CRs put back before an LF (CR LF had become LF)
    std::uint32_t foreignClusters = 0;  // 4 KiB runs of other bytes removed
    // Cells left out: records whose bytes, or the shared string they show, more than one way
    // of undoing the damage could have given, none proved (their records became filler; every
    // other cell is proved).
    std::uint32_t cellsLeftOut = 0;

    bool Any() const { return wrapperBytes || crlfTurnedBack || crRestored || foreignClusters; }
};

struct Realigned {
    std::vector<std::uint8_t> bytes;
    RealignNote note;
};

// The file's bytes put back in place, when they were moved and the structure proves each
// decision: the result opens as a workbook whose records all read, where the bytes as found do
// not. Nothing when the file opens as it is, when no such damage is found, or when undoing it
// does not give a workbook that opens (then the salvage takes the bytes as found). Reads the
// file, never writes it. A caller that has just found that the file does not open as it is
// says so with `knownNotToOpen`, and the check is not made again.
std::optional<Realigned> Realign(SectorFile& file, bool knownNotToOpen = false);

}  // namespace tabulon
