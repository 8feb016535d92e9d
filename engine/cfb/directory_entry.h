// One 128-byte directory entry: its codec, for every part of the engine that reads or writes
// the directory.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/cfb/consts.h"

namespace tabulon {

// The longest name an entry holds, in UTF-16 units without the terminating null.
inline constexpr std::size_t kMaxEntryNameLength = 31;

struct DirectoryEntry {
    std::u16string name;
    std::uint8_t type = 0;    // kObjectTypeStorage, kObjectTypeStream, kObjectTypeRootStorage; 0: unused
    std::uint8_t colour = 0;  // of the red-black tree: 0 red, 1 black
    std::uint32_t left = kNoStream;
    std::uint32_t right = kNoStream;
    std::uint32_t child = kNoStream;
    std::array<std::uint8_t, 16> clsid{};
    std::uint32_t stateBits = 0;
    std::uint64_t created = 0, modified = 0;
    std::uint32_t start = kEndOfChain;
    // Version-3 files use the low 32 bits of the size field only; the high half is not read.
    std::uint64_t size = 0;
};

enum class EntryReading {
    // Whatever the bytes say: the name is the units before its first null, as many as its
    // length gives less the null (at most 31). For reading files whose directory is trusted.
    Lenient,
    // Whatever the bytes say, the name as the readers that take every unit its length covers
    // read it: the place of the null included (at most 32 units), up to the first null. A name
    // whose null is not where its length says then reads as another, longer name. For checking
    // a file as those readers would.
    Covered,
    // Only an entry that a writer could have made: a storage, stream or root, with a name of
    // 1 to 31 units, no null among them, its length counting the null that ends it. For telling
    // entries from other bytes.
    Strict,
    // As Strict, but a name length one bit away from the one the name's first null gives is
    // taken for that one, and a name's null may have one bit set (a changed bit). For
    // salvaging what damage left of a directory.
    StrictButOneBit,
};

// Decodes the 128 bytes at `raw`; nothing when `reading` is Strict or StrictButOneBit and they
// are no entry.
std::optional<DirectoryEntry> ReadDirectoryEntry(const std::uint8_t* raw, EntryReading reading);

// Writes `entry` into the 128 bytes at `raw` (its name at most kMaxEntryNameLength units; the
// size in all 64 bits, the high half zero in version 3).
void WriteDirectoryEntry(std::uint8_t* raw, const DirectoryEntry& entry);

}  // namespace tabulon
