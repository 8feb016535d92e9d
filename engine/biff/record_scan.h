// Reading a workbook stream's records where some may be damaged: whether a record that reads
// starts at a place, and where records resume past bytes that do not read. The strict walk is
// RecordCursor (records.h); these are the rules the check, the mending and the salvage share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"

namespace tabulon::biff {

using Bytes = std::span<const std::uint8_t>;

// No place in the stream: where a search finds nothing.
inline constexpr std::size_t kNoPlace = ~std::size_t{0};

// The 16-bit field at `at`. (Inline: the scans for where records resume ask it at every byte.)
inline std::uint16_t U16(Bytes stream, std::size_t at)
{
    return LoadLe16(stream.data() + at);
}

// Whether a record of `type` and `length` says that records go on where it lies: a plausible
// record, or filler.
inline bool Known(std::uint16_t type, std::uint16_t length)
{
    return type == kFillerRecord ? length <= kMaxRecordBody : PlausibleRecord(type, length);
}

// Reads past its common case: a record of no known type or length that nevertheless reads.
bool ReadsOtherwise(Bytes stream, std::size_t at);

// Whether a record that reads starts at `at`: a known record (KnownInChain) whose body the
// stream holds, or an unknown type of a possible length followed by a plausible record. (Asked
// of every record of every walk: the common case without a call.)
inline bool Reads(Bytes stream, std::size_t at)
{
    if (at + kRecordHeaderSize > stream.size())
        return false;
    const std::uint16_t length = LoadLe16(stream.data() + at + 2);
    if (at + kRecordHeaderSize + length > stream.size())
        return false;
    return Known(LoadLe16(stream.data() + at), length) || ReadsOtherwise(stream, at);
}

// Whether a record of a known type and fitting length, whose body the stream holds, starts at `at`.
bool ReadsKnown(Bytes stream, std::size_t at);

// Whether `count` records of known types follow one another from `at` (fewer when the stream
// or a sheet ends first): where the records are picked up again after damage, bytes that only
// happen to look like records of some unknown type must not do.
bool RunAt(Bytes stream, std::size_t at, int count);

// Whether a worksheet's BOF record starts at `at`, with records following it.
bool SheetStartsAt(Bytes stream, std::size_t at);

// The first place from `from` on, and before `before`, where three records follow one another
// (see record_scan.cpp for the false starts it passes over); kNoPlace when there is none.
std::size_t Resync(Bytes stream, std::size_t from, std::size_t before = kNoPlace);

// The first place at or after `from` whose two bytes read as a BOF record's type, record start
// or not; kNoPlace when none does before the end.
inline std::size_t NextBofBytes(Bytes stream, std::size_t from)
{
    while (from + 2 <= stream.size()) {
        const void* found = std::memchr(stream.data() + from, kBof & 0xFF, stream.size() - from - 1);
        if (found == nullptr)
            return kNoPlace;
        from = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - stream.data());
        if (stream[from + 1] == kBof >> 8)
            return from;
        ++from;
    }
    return kNoPlace;
}

// Calls `visit(at, type, length)` for each record that reads from `from` on, picking the walk
// up again where records read again past what does not. `visit` may change the record's body.
template <typename Visit>
void ForEachReadingRecord(Bytes stream, std::size_t from, Visit visit)
{
    for (std::size_t at = from; at + kRecordHeaderSize <= stream.size();) {
        if (!Reads(stream, at)) {
            at = Resync(stream, at + 1);
            if (at == kNoPlace)
                return;
            continue;
        }
        const std::uint16_t type = U16(stream, at);
        const std::size_t length = U16(stream, at + 2);
        visit(at, type, length);
        at += kRecordHeaderSize + length;
    }
}

// Writes a record of `type` with `body` at `at` (the stream has room for it).
inline void WriteRecord(std::vector<std::uint8_t>& stream, std::size_t at, std::uint16_t type, Bytes body)
{
    StoreLe16(stream.data() + at, type);
    StoreLe16(stream.data() + at + 2, static_cast<std::uint16_t>(body.size()));
    std::copy(body.begin(), body.end(), stream.begin() + static_cast<std::ptrdiff_t>(at + kRecordHeaderSize));
}

// Appends a record of `type` with `body` to `out`.
inline void AppendRecord(std::vector<std::uint8_t>& out, std::uint16_t type, Bytes body)
{
    const std::size_t at = out.size();
    out.resize(at + kRecordHeaderSize + body.size());
    WriteRecord(out, at, type, body);
}

}  // namespace tabulon::biff
