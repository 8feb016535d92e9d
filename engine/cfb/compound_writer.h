// Writing a fresh compound file (version 3, 512-byte sectors) from a list of streams and
// storages: for a workbook whose own structure is past repair, what can still be read of it
// goes into a new file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cfb/consts.h"
#include "engine/cfb/directory_entry.h"
#include "engine/io/sector_file.h"

namespace tabulon {


// One entry of a compound file to be written: a stream or a storage, placed under a parent storage.
struct CompoundEntry {
    std::u16string name;                    // 1 to 31 code units; no null, '/', '\', ':' or '!'
    std::uint8_t type = kObjectTypeStream;  // kObjectTypeStream or kObjectTypeStorage; the root is implicit
    int parent = -1;                        // index of the parent storage in the list; -1: the root
    std::vector<std::uint8_t> data;         // a stream's bytes; a storage has none
    std::array<std::uint8_t, 16> clsid{};
    std::uint32_t stateBits = 0;
    std::uint64_t created = 0, modified = 0;  // FILETIME values as stored
};

// What the root entry carries besides its children. Times are written as given; readers
// expect a creation time of 0 there.
struct CompoundRoot {
    std::array<std::uint8_t, 16> clsid{};
    std::uint64_t created = 0, modified = 0;
};

// The order siblings are kept in: a shorter name first, names of one length by their code
// units in upper case. Negative, zero or positive as `a` comes before, with or after `b`.
// Upper case is known for Latin, Greek, Cyrillic, Armenian and the full-width forms; other
// units compare as they are.
int CompareEntryNames(std::u16string_view a, std::u16string_view b);

// Writes a fresh compound file holding the entries, from offset 0 of `out` (which should be
// empty: nothing past the new file is cut off).
//
// Layout, in sectors: the streams of 4096 bytes or more one after the other, each contiguous;
// the mini stream (smaller streams, in list order); the mini table; the directory (root,
// then the entries in list order, so entry i is directory entry i + 1); the allocation table;
// the DIFAT sectors when more than 109 table sectors are needed. Siblings form a balanced
// tree coloured black, with the deepest level red when it is not full.
//
// Throws std::invalid_argument for entries it cannot write (a bad name, type or parent, a
// parent loop, a storage with data, two names under one parent that compare equal, a file
// of 2^31 bytes or more) before writing anything, std::system_error from `out`.
void WriteCompoundFile(SectorFile& out, const CompoundRoot& root, const std::vector<CompoundEntry>& entries);

}  // namespace tabulon
