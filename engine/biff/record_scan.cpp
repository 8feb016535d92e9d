// Where records read and where they resume: the rules the check, the mending and the salvage
// share (record_scan.h).
#include "engine/biff/record_scan.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tabulon::biff {

// Reads past its common case: a record of no known type or length that
// nevertheless reads.
bool ReadsOtherwise(Bytes stream, std::size_t at)
{
    const std::uint16_t type = U16(stream, at);
    const std::uint16_t length = U16(stream, at + 2);
    if (type == 0 && length == 0)
        return WrittenEmptyRecord(stream, at);
    if (KnownInChain(stream, at))
        return true;
    const std::size_t next = at + kRecordHeaderSize + length;
    return type <= kHighestRecordType && length <= kMaxRecordBody && next + kRecordHeaderSize <= stream.size() &&
           next + kRecordHeaderSize + U16(stream, next + 2) <= stream.size() && Known(U16(stream, next), U16(stream, next + 2));
}

bool WrittenEmptyRecord(Bytes stream, std::size_t at)
{
    // The smallest stretch damage zeroes is a sector of the mini stream; writers put an empty
    // record or two in a row, no more.
    constexpr std::size_t kZeroedUnit = 64;
    constexpr std::size_t kMostInARow = 3;
    std::size_t first = at;
    while (first >= kRecordHeaderSize && ZeroHeader(stream, first - kRecordHeaderSize) && at - first < kMostInARow * kRecordHeaderSize)
        first -= kRecordHeaderSize;
    std::size_t next = at;
    while (ZeroHeader(stream, next) && next - first <= kMostInARow * kRecordHeaderSize)
        next += kRecordHeaderSize;
    if (next == at || next - first > kMostInARow * kRecordHeaderSize)
        return false;
    std::size_t from = first;
    while (from > 0 && stream[from - 1] == 0 && next - from < kZeroedUnit)
        --from;
    std::size_t to = next;
    while (to < stream.size() && stream[to] == 0 && to - from < kZeroedUnit)
        ++to;
    if (to - from >= kZeroedUnit)
        return false;
    // The records after them go on as records do, more empty ones among them, up to the end of
    // the sheet or for a good many records (the bytes of a cell after a zeroed header, read as
    // records, soon stop reading). Writers put them among a sheet's settings: a sheet's start
    // right after them is the end record before it zeroed, and a cell there the bytes of a cell
    // after its zeroed header.
    constexpr int kRecordsOn = 24;
    std::size_t place = next;
    if (place + kRecordHeaderSize <= stream.size() && (IsBofType(U16(stream, place)) || IsCellRecord(U16(stream, place)) ||
                                                       U16(stream, place) == kRow))
        return false;
    std::size_t empty = 0;
    for (int records = 0; records < kRecordsOn;) {
        if (place == stream.size())
            return records > 0;
        if (ZeroHeader(stream, place) && ++empty <= 2 * kMostInARow) {
            place += kRecordHeaderSize;
            continue;
        }
        if (!ReadsKnown(stream, place))
            return false;
        if (records++ > 0 && U16(stream, place) == kEof)
            return true;
        place += kRecordHeaderSize + U16(stream, place + 2);
    }
    return true;
}

void WriteFillerRecords(std::vector<std::uint8_t>& stream, std::size_t from, std::size_t to, BitSet* starts)
{
    while (from < to) {
        const std::size_t room = to - from;
        std::size_t body = std::min(room - kRecordHeaderSize, std::size_t{kMaxRecordBody});
        const std::size_t left = room - kRecordHeaderSize - body;
        if (left > 0 && left < kRecordHeaderSize)
            body -= kRecordHeaderSize - left;  // leave room for one more header
        StoreLe16(stream.data() + from, kFillerRecord);
        StoreLe16(stream.data() + from + 2, static_cast<std::uint16_t>(body));
        std::fill_n(stream.begin() + static_cast<std::ptrdiff_t>(from + kRecordHeaderSize), body, std::uint8_t{0});
        if (starts)
            starts->Set(from);
        from += kRecordHeaderSize + body;
    }
}

bool ReadsKnown(Bytes stream, std::size_t at)
{
    return RecordCounts<kMendingRun>(SpanBytes{stream}, at);
}

bool RunAt(Bytes stream, std::size_t at, int count)
{
    return RecordRunAt<kMendingRun>(SpanBytes{stream}, at, count);
}

bool SheetStartsAt(Bytes stream, std::size_t at)
{
    if (!IsBofType(U16(stream, at)))
        return false;
    const std::optional<Bof> bof = BofAt(stream, at);
    return bof && bof->substream == kWorksheetSubstream && RunAt(stream, at, 3);
}

namespace {

// The end of a record cut by damage, its last bytes read as a header, can start a run whose
// first record runs over the true records and lands on one of them: a place inside that first
// record from which records read one by one up to its end is where they resume (the end of a
// cell's record read as a formula would show a made-up value). (Within the record's first 512
// bytes, where the true start lies when the damage ended just before it: the work stays bounded
// on bytes that read as records everywhere.) A short record's bytes may read as a record or two
// by chance: only a long one, with three records or more inside, is taken for such a false start.
std::size_t PastFalseStart(Bytes stream, std::size_t at)
{
    constexpr std::size_t kReach = 512;
    constexpr std::size_t kLongest = 64;
    constexpr int kFewestInside = 3;
    for (bool moved = true; moved;) {
        moved = false;
        const std::size_t end = U16(stream, at + 2) >= kLongest ? at + kRecordHeaderSize + U16(stream, at + 2) : at;
        for (std::size_t inside = at + 1; inside + kRecordHeaderSize <= end && inside <= at + kReach && !moved; ++inside) {
            std::size_t k = inside;
            int records = 0;
            while (k < end && ReadsKnown(stream, k) && records < 64) {
                k += kRecordHeaderSize + U16(stream, k + 2);
                ++records;
            }
            if (k == end && records >= kFewestInside) {
                at = inside;
                moved = true;
            }
        }
    }
    return at;
}

// Bytes of a long record's body (a picture, a theme) now and then read as a few records, the
// first of them long enough to run over a sheet's start: a sheet's BOF inside the run of three
// from `at`, where the run has no record start, is where records resume.
std::size_t SheetStartInsideRun(Bytes stream, std::size_t at)
{
    std::size_t start = at;
    for (int i = 0; i < 3 && start + kRecordHeaderSize <= stream.size(); ++i) {
        const std::size_t end = start + kRecordHeaderSize + U16(stream, start + 2);
        for (std::size_t inside = start + 1; inside < end && inside + kRecordHeaderSize <= stream.size(); ++inside) {
            if (SheetStartsAt(stream, inside))
                return inside;
        }
        start = end;
    }
    return at;
}

}  // namespace

std::size_t Resync(Bytes stream, std::size_t from, std::size_t before)
{
    const std::uint64_t at = FirstRun<kMendingRun>(SpanBytes{stream}, from, before);
    if (at == kNoPlace)
        return kNoPlace;
    return SheetStartInsideRun(stream, PastFalseStart(stream, static_cast<std::size_t>(at)));
}

}  // namespace tabulon::biff
