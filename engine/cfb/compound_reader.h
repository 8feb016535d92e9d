// Reading the streams of a compound file whose header is trusted: for checking what a repair
// or a fresh write produced, and for reading cells.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "engine/cfb/compound_writer.h"
#include "engine/io/sector_file.h"

namespace tabulon {

// One stream or storage as the directory has it.
struct CompoundStream {
    std::vector<std::u16string> path;       // names from under the root down to this entry's own
    std::uint8_t type = kObjectTypeStream;  // kObjectTypeStream or kObjectTypeStorage
    int parent = -1;                        // index of its storage in the same list; -1: the root
    std::vector<std::uint8_t> data;         // empty for a storage
    std::array<std::uint8_t, 16> clsid{};
    std::uint32_t stateBits = 0;
    std::uint64_t created = 0, modified = 0;
    std::uint32_t declaredSize = 0;  // the size the directory gives
    bool truncated = false;          // the chain ended before the declared size: data is shorter
};

// Every stream and storage reachable from the root, with its place in the tree, in directory
// order; nothing when the file cannot be read as a compound file (no version-3 header with
// 512-byte sectors, no directory, no root entry).
//
// Bounded by the file: a chain ends at ENDOFCHAIN, at a link outside the file or the table,
// or at a sector some chain went through already (a loop, or a sector two streams claim), so
// that every sector is read once at most and no stream holds more than the file. Directory
// loops are cut the same way; entries more than 16 levels down are left out.
std::optional<std::vector<CompoundStream>> ReadCompoundFile(SectorFile& file);

// Where one stream's bytes lie in the file: runs of (file offset, length), in stream order,
// as far as its chain goes (a small stream's through the mini stream's sectors).
struct StreamLayout {
    std::vector<std::u16string> path;  // as CompoundStream's
    std::vector<std::pair<std::uint64_t, std::uint32_t>> runs;
};
// Every stream reachable from the root and where its bytes lie, under the same conditions and
// bounds as ReadCompoundFile; no byte of a stream is read.
std::optional<std::vector<StreamLayout>> MapCompoundStreams(SectorFile& file);

// The root entry's CLSID and times, under the same conditions as ReadCompoundFile.
std::optional<CompoundRoot> ReadCompoundRoot(SectorFile& file);

// The first stream of `names` found directly under the root (the first name before the second,
// and so on; ASCII letters compared without regard to case). Nothing when there is none or the
// file cannot be read. A stream cut short comes back as far as it goes. `spare`: bytes of room
// behind it, for a stream that is to grow where it lies.
std::optional<std::vector<std::uint8_t>> ReadRootStream(SectorFile& file, std::span<const std::u16string_view> names,
                                                       std::size_t spare = 0);
// What ReadRootStream would give, handed to `take` a piece at a time in order (at most 1 MiB a
// piece, each but the last a whole number of sectors), never held whole; `take` gives false to
// stop. False when there is no such stream, the file cannot be read, or `take` stopped.
bool ReadRootStreamInPieces(SectorFile& file, std::span<const std::u16string_view> names,
                            const std::function<bool(std::span<const std::uint8_t>)>& take);
// Whether ReadRootStream would give exactly `expected`; the stream is read a piece at a time,
// never held whole.
bool RootStreamEquals(SectorFile& file, std::span<const std::u16string_view> names, std::span<const std::uint8_t> expected);

}  // namespace tabulon
