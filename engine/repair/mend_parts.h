// What the mending's files share: reading the records, writing them, and the steps of
// MendWorkbookStream that have files of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/record_mend.h"

namespace tabulon::mending {

inline constexpr std::size_t kHeader = biff::kRecordHeaderSize;
inline constexpr std::size_t kMaxBody = biff::kMaxRecordBody;
inline constexpr std::size_t kNoPlace = ~std::size_t{0};

using Bytes = std::span<const std::uint8_t>;

// Here rather than in record_check.cpp: the scans for where records resume call it at every byte.
inline std::uint16_t U16(Bytes stream, std::size_t at)
{
    return LoadLe16(stream.data() + at);
}

// record_check.cpp
bool Known(std::uint16_t type, std::uint16_t length);
bool Reads(Bytes stream, std::size_t at);
bool ReadsKnown(Bytes stream, std::size_t at);
bool RunAt(Bytes stream, std::size_t at, int count);
std::size_t Resync(Bytes stream, std::size_t from, std::size_t before = kNoPlace);
std::optional<std::pair<std::size_t, std::uint16_t>> OddBofField(Bytes stream, std::size_t at);

// mend_fill.cpp
struct Walk {
    std::vector<bool> boundary;  // a record that reads starts here
    std::vector<std::pair<std::size_t, std::size_t>> holes;
    std::size_t end = 0;         // where the records end (the stream's size, or a cut)
    bool cut = false;            // a record runs past the end, or bytes that read as none
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> overwritten;  // what the filler went over
};

// The smallest unit a compound file keeps a stream in (a sector of the mini stream): damage
// that the salvage zeroes is whole units of it.
inline constexpr std::size_t kUnit = 64;
// Four zero bytes at `at`: no record's header.
bool ZeroHeader(Bytes stream, std::size_t at);
// Whether a unit of [from, to)'s units (64 bytes from a multiple of 64) is all zeros.
bool ZeroedUnitIn(Bytes stream, std::size_t from, std::size_t to);
void WriteFiller(std::vector<std::uint8_t>& stream, std::vector<bool>& boundary, std::size_t from, std::size_t to);
void WriteRecord(std::vector<std::uint8_t>& stream, std::size_t at, std::uint16_t type, Bytes body);
void Append(std::vector<std::uint8_t>& out, std::uint16_t type, Bytes body);
Walk WalkAndFill(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);

// mend_globals.cpp
std::string UnusedSheetName(Bytes stream, const std::vector<std::size_t>& entries, bool biff8, const std::vector<std::string>& taken);
std::vector<std::uint8_t> SheetEntry(std::size_t offset, std::u16string_view name, bool biff8);
std::u16string Wide(std::string_view ascii);
bool RebuildGlobals(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names, std::vector<MendedRegion>& regions);

// mend_strings.cpp
std::vector<std::uint8_t> RebuildStringTable(std::vector<std::uint8_t>& stream, std::size_t from, std::size_t to,
                                             std::vector<MendedRegion>& regions, const std::vector<std::u16string>& known = {},
                                             std::size_t declared = 0, std::optional<Bytes> unmended = std::nullopt);
void MendStringTableHole(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions,
                         const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& overwritten);

// mend_counts.cpp
void MendCounts(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);

}  // namespace tabulon::mending
