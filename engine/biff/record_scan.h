// Reading a workbook stream's records where some may be damaged: whether a record that reads
// starts at a place, and where records resume past bytes that do not read.
//
// Every reading that resumes after damage does it by one rule: records resume at the first place
// from which a run of records follows one another (FirstRun). How tolerant the reading is comes
// as a RunRule: which records count, how long a run must be and what ends one early. The readings
// and their rules:
// - the cell reader's walk (RecordCursor, records.h): kReadingRun, two plausible records, then
//   the weightiest chain of records in a window from there;
// - the check and the mending of a stream (Resync below): kMendingRun, three known records (the
//   filler over damage among them), then the true start inside a long false record;
// - the salvage over a chain of sectors still being put together: kChainRun, three plausible
//   records whose headers the chain holds so far.
// The bytes come through a Source: anything with Size() and U16(at) (SpanBytes for a stream in
// memory).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/base/bit_set.h"
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

// A stream in memory as a Source of records' bytes.
struct SpanBytes {
    Bytes bytes;
    std::uint64_t Size() const { return bytes.size(); }
    std::uint16_t U16(std::uint64_t at) const { return LoadLe16(bytes.data() + at); }
    // The first place at or after `from` whose byte is not zero (Size() when none is).
    std::uint64_t NextNonZero(std::uint64_t from) const
    {
        const auto found = std::find_if(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), [](std::uint8_t b) { return b != 0; });
        return static_cast<std::uint64_t>(found - bytes.begin());
    }
};

// What a reading takes for records that go on: which records count in a run, and what ends a run
// before its length. (A header of four zero bytes counts in no rule: where a writer put an empty
// record of type 0, WrittenEmptyRecord, the run goes on at the next record.)
struct RunRule {
    int records = 3;            // a run's length
    bool wholeBodies = true;    // a record counts only where the bytes hold its body, not its header alone
    bool filler = false;        // the filler over damage counts (else only plausible records)
    bool endCompletes = false;  // the bytes' end, reached after a record, completes a run
    bool eofCompletes = false;  // an end record after the first completes a run
};
inline constexpr RunRule kReadingRun{.records = 2, .wholeBodies = true, .filler = false, .endCompletes = true, .eofCompletes = false};
inline constexpr RunRule kMendingRun{.records = 3, .wholeBodies = true, .filler = true, .endCompletes = true, .eofCompletes = true};
inline constexpr RunRule kChainRun{.records = 3, .wholeBodies = false, .filler = false, .endCompletes = false, .eofCompletes = false};

// Whether a record that counts under `rule` starts at `at`.
template <RunRule rule, typename Source>
inline bool RecordCounts(const Source& source, std::uint64_t at)
{
    if (at + kRecordHeaderSize > source.Size())
        return false;
    const std::uint16_t type = source.U16(at);
    const std::uint16_t length = source.U16(at + 2);
    if (rule.wholeBodies && at + kRecordHeaderSize + length > source.Size())
        return false;
    return rule.filler ? Known(type, length) : PlausibleRecord(type, length);
}

// Whether `count` records that count under `rule` follow one another from `at`.
template <RunRule rule, typename Source>
inline bool RecordRunAt(const Source& source, std::uint64_t at, int count = rule.records)
{
    for (int i = 0; i < count; ++i) {
        if (rule.endCompletes && at == source.Size())
            return i > 0;
        if (!RecordCounts<rule>(source, at))
            return false;
        if (rule.eofCompletes && i > 0 && source.U16(at) == kEof)
            return true;
        at += kRecordHeaderSize + source.U16(at + 2);
    }
    return true;
}

// Where records resume: the first place from `from` on, and before `before`, where a run of
// records that count under `rule` starts; kNoPlace when there is none before the bytes end.
// (A stretch of zeros is passed over at once where the source can tell where it ends.)
template <RunRule rule, typename Source>
inline std::uint64_t FirstRun(const Source& source, std::uint64_t from, std::uint64_t before = kNoPlace)
{
    for (std::uint64_t at = from; at + kRecordHeaderSize <= source.Size() && at < before; ++at) {
        if constexpr (requires { source.NextNonZero(at); }) {
            if (source.U16(at) == 0 && source.U16(at + 2) == 0) {
                // The first place whose header holds the next byte that is not zero.
                at = source.NextNonZero(at + kRecordHeaderSize) - (kRecordHeaderSize - 1);
                if (at + kRecordHeaderSize > source.Size() || at >= before)
                    return kNoPlace;
            }
        }
        if (RecordRunAt<rule>(source, at))
            return at;
    }
    return kNoPlace;
}

// Reads past its common case: a record of no known type or length that nevertheless reads.
bool ReadsOtherwise(Bytes stream, std::size_t at);

// Four zero bytes at `at`: a record header no record has but where a writer put one
// (WrittenEmptyRecord).
inline bool ZeroHeader(Bytes stream, std::size_t at)
{
    return at + kRecordHeaderSize <= stream.size() && LoadLe32(stream.data() + at) == 0;
}

// Whether the four zero bytes at `at` are an empty record of type 0 that a writer put between
// records (one puts them between page-setup records), not zeros of damage: damage zeroes whole
// units of 64 bytes and more, so the zeros around a written one are fewer, and a record that
// reads follows it (after any more of them).
bool WrittenEmptyRecord(Bytes stream, std::size_t at);

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
// happen to look like records of some unknown type must not do. (RecordRunAt with kMendingRun.)
bool RunAt(Bytes stream, std::size_t at, int count);

// Whether a worksheet's BOF record starts at `at`, with records following it.
bool SheetStartsAt(Bytes stream, std::size_t at);

// Where the check and the mending pick records up again past damage: the first run of three
// known records from `from` on, and before `before` (FirstRun with kMendingRun), moved on past a
// false start inside a long record and onto a sheet's first record inside the run
// (record_scan.cpp); kNoPlace when there is none.
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
// up again where records read again past what does not. `visit` may change the record's body;
// where it gives a bool, false ends the walk.
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
        if constexpr (std::is_same_v<decltype(visit(at, type, length)), bool>) {
            if (!visit(at, type, length))
                return;
        } else {
            visit(at, type, length);
        }
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

// Writes filler records (zero bodies, each as long as a record may be, the last taking what is
// left) over [from, to), which is empty or holds a record header at least; each one's start is
// marked in `starts`, when given.
void WriteFillerRecords(std::vector<std::uint8_t>& stream, std::size_t from, std::size_t to, BitSet* starts = nullptr);

// Appends a record of `type` with `body` to `out`.
inline void AppendRecord(std::vector<std::uint8_t>& out, std::uint16_t type, Bytes body)
{
    const std::size_t at = out.size();
    out.resize(at + kRecordHeaderSize + body.size());
    WriteRecord(out, at, type, body);
}

}  // namespace tabulon::biff
