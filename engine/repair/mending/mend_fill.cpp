// Filler over damaged stretches, and the lengths and types one flipped bit away that make the
// records after them read.
#include <algorithm>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

// Writes filler records over [from, to), at least 4 bytes.
void WriteFiller(std::vector<std::uint8_t>& stream, BitSet* boundary, std::size_t from, std::size_t to)
{
    WriteFillerRecords(stream, from, to, boundary);
}

namespace {

// The one change of a single bit in the record's type or length at `at` that makes it and the
// records after it read; nothing when there is none or more than one.
std::optional<std::pair<std::size_t, std::uint16_t>> OneFlippedBit(Bytes stream, std::size_t at)
{
    std::optional<std::pair<std::size_t, std::uint16_t>> found;
    int count = 0;
    const std::uint16_t type = U16(stream, at);
    const std::uint16_t length = U16(stream, at + 2);
    for (int bit = 0; bit < 16 && count < 2; ++bit) {
        const auto flipped = static_cast<std::uint16_t>(1u << bit);
        const std::uint16_t otherLength = length ^ flipped;
        if (Known(type, otherLength) && type != kFillerRecord && at + kHeader + otherLength <= stream.size() &&
            RunAt(stream, at + kHeader + otherLength, 3)) {
            found = {at + 2, otherLength};
            ++count;
        }
        const std::uint16_t otherType = type ^ flipped;
        if (Known(otherType, length) && otherType != kFillerRecord && at + kHeader + length <= stream.size() &&
            RunAt(stream, at + kHeader + length, 3)) {
            found = {at, otherType};
            ++count;
        }
    }
    return count == 1 ? found : std::nullopt;
}

// The record at `at` with one set bit of its length cleared, where records read after it, one
// after another, past `broken` (where the longer length led): the shortest such length,
// which keeps the most of what the longer one swallowed.
std::optional<std::uint16_t> ShorterByOneBit(Bytes stream, std::size_t at, std::size_t broken)
{
    const std::uint16_t type = U16(stream, at);
    const std::uint16_t length = U16(stream, at + 2);
    // Records read one after another up to `broken`, or up to a sheet's end after which no
    // records follow before it (padding).
    auto readsPast = [&](std::size_t from) {
        bool ended = false;
        while (from < broken && Reads(stream, from)) {
            ended = U16(stream, from) == kEof;
            from += kHeader + U16(stream, from + 2);
        }
        return from >= broken || (ended && Resync(stream, from, broken) == kNoPlace);
    };
    std::optional<std::uint16_t> shortest;
    for (int bit = 0; bit < 16; ++bit) {
        const auto other = static_cast<std::uint16_t>(length & ~(1u << bit));
        if (other != length && type != kFillerRecord && Known(type, other) && RunAt(stream, at + kHeader + other, 3) &&
            readsPast(at + kHeader + other) && (!shortest || other < *shortest))
            shortest = other;
    }
    return shortest;
}

}  // namespace

namespace {

// Whether the unit at `unit` is all zeros (eight words at a time).
bool ZeroUnitAt(Bytes stream, std::size_t unit)
{
    std::uint64_t any = 0;
    for (std::size_t k = 0; k < kUnit; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, stream.data() + unit + k, 8);
        any |= word;
    }
    return any == 0;
}

}  // namespace

bool ZeroedUnitIn(Bytes stream, std::size_t from, std::size_t to, bool wholly)
{
    const std::size_t first = (wholly ? from + kUnit - 1 : from) / kUnit * kUnit;
    const std::size_t last = std::min(wholly ? to : to + kUnit - 1, stream.size());  // where the units may end
    for (std::size_t unit = first; unit < to && unit + kUnit <= last; unit += kUnit) {
        if (ZeroUnitAt(stream, unit))
            return true;
    }
    return false;
}

namespace {

// Where the walk stands: the record it is at, the one before it (kNoPlace: none to go by), and
// whether that one was an end record.
struct Stand {
    std::size_t at;
    std::size_t previous;
    bool afterEof;
};

// Where records are picked up again after the break at `at` (kNoPlace: nowhere).
std::size_t WhereRecordsResume(Bytes stream, std::size_t at)
{
    std::size_t next = at + kHeader <= stream.size() ? Resync(stream, at + 1) : kNoPlace;
    // Where records are picked up again, an end record followed by records that are not
    // a sheet's first is bytes of a lost record that happen to look like one.
    auto falseEof = [&](std::size_t p) {
        return U16(stream, p) == kEof && U16(stream, p + 2) == 0 && ReadsKnown(stream, p + kHeader) &&
               U16(stream, p + kHeader) != kBof;
    };
    // Fewer than three records that run to the stream's end without an end record are
    // what a cut left of one: no proof that records begin there.
    auto toTheCut = [&](std::size_t p) {
        for (int i = 0; i < 3; ++i) {
            if (p == stream.size())
                return true;
            if (!ReadsKnown(stream, p) || U16(stream, p) == kEof)
                return false;
            p += kHeader + U16(stream, p + 2);
        }
        return false;
    };
    while (next != kNoPlace && (ZeroHeader(stream, next) || falseEof(next) || toTheCut(next)))
        next = Resync(stream, next + 1);
    return next;
}

// The record before the break gets the shortest length one set bit shorter after which records
// read (see ShorterByOneBit), and the walk goes back to it; `clearOfZeros`: only a length that
// ends the record before any zeroed unit, with no zero header after it. Not where nothing reads
// again after a sheet's end (`next` is kNoPlace): bytes after the last sheet's end are no such
// place. Gives whether it did.
bool ShortenRecordBefore(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions, Stand& stand, std::size_t next,
                         bool clearOfZeros)
{
    if (stand.previous == kNoPlace || (next == kNoPlace && stand.afterEof))
        return false;
    const auto shorter = ShorterByOneBit(stream, stand.previous, stand.at);
    if (!shorter || (clearOfZeros && (ZeroedUnitIn(stream, stand.previous, stand.previous + kHeader + *shorter) ||
                                      ZeroHeader(stream, stand.previous + kHeader + *shorter))))
        return false;
    StoreLe16(stream.data() + stand.previous + 2, *shorter);
    regions.push_back({MendedRegion::Kind::Replaced, stand.previous + 2, 2, -1});
    stand.at = stand.previous;
    stand.previous = kNoPlace;
    return true;
}

// Whether the walk broke at `at` where the damage zeroed bytes: the record before ran into a
// zeroed unit and went (`zeroed`), or one holds the header at `at`. (Not four zero bytes alone:
// a writer's padding after the last end record, whose bits a flip changed, is no damage's.)
bool BrokeAtZeros(Bytes stream, std::size_t at, bool zeroed)
{
    return zeroed || ZeroedUnitIn(stream, at, std::min(at + kHeader, stream.size()));
}

// Nothing reads from where the walk stands on: filler after the last sheet's end, or a cut.
// Where only zeros follow a cut (the rest of its last sector, zeroed) and the record before ends
// in them, its last bytes are those zeros, not its own: it goes too. `atZeros`: the walk stands
// where the damage zeroed bytes (MendBreak); then the cut is the damage's zeroing, as a hole's
// would be.
void EndWalk(Bytes stream, Walk& walk, const Stand& stand, bool atZeros)
{
    walk.cut = !stand.afterEof;
    walk.end = stand.at;
    walk.wiped = walk.wiped || (walk.cut && atZeros);
    const auto zeros = [&](std::size_t from) {
        return std::all_of(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.end(), [](std::uint8_t b) { return b == 0; });
    };
    if (walk.cut && stand.previous != kNoPlace && stand.at > stand.previous + kHeader && stream[stand.at - 1] == 0 && zeros(stand.at)) {
        walk.boundary.Reset(stand.previous);
        walk.end = stand.previous;
    }
}

// Whether the damage at the break `at` lies in the header there: zeros (`headerZeroed`), or a
// header whose own length leads to where records read again (`next`), or whose type with that
// length is a record the table knows (a bit of its type or its length changed).
bool HeaderAtBreakDamaged(Bytes stream, std::size_t at, std::size_t next, bool headerZeroed)
{
    if (headerZeroed)
        return true;
    if (next == kNoPlace || next < at + kHeader || next - at - kHeader > kMaxRecordBody)
        return false;
    const auto length = static_cast<std::uint16_t>(next - at - kHeader);
    return U16(stream, at + 2) == length || KnownRecord(U16(stream, at), length);
}

// Filler from the break up to `next`, where records read again, what it goes over kept in the
// walk; gives where the walk goes on, nothing when no record fits there (a cut). `zeroed`: the
// record before ran into a zeroed unit and went already.
std::optional<Stand> FillOverBreak(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions, Walk& walk, const Stand& stand,
                                   std::size_t next, bool zeroed, bool headerZeroed)
{
    const std::size_t at = stand.at;
    const std::size_t previous = stand.previous;
    std::size_t from = at;
    // A cell right before the break: bytes lost or added inside it (a line end a transfer
    // changed, a length grown or cut, clusters of another file) moved its end, and what it
    // holds may be its neighbours' bytes. It goes too, unless the damage lies in the header
    // at the break itself.
    if (!zeroed && previous != kNoPlace && previous > 0 && IsCellRecord(U16(stream, previous)) &&
        !HeaderAtBreakDamaged(stream, at, next, headerZeroed)) {
        from = previous;
        walk.boundary.Reset(previous);
    }
    if (next - from < kHeader && previous != kNoPlace && previous > 0) {
        from = previous;  // too little room for a header: the record before goes too
        walk.boundary.Reset(previous);
    } else if (next - from < kHeader && next + kHeader <= stream.size()) {
        next += kHeader + U16(stream, next + 2);  // (never the workbook's first record: the one after)
    }
    if (next - from < kHeader) {
        walk.cut = true;
        walk.end = at;
        return std::nullopt;
    }
    walk.overwritten.emplace_back(from, std::vector<std::uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(from),
                                                                 stream.begin() + static_cast<std::ptrdiff_t>(next)));
    walk.wiped = walk.wiped || (BrokeAtZeros(stream, at, zeroed) && ZeroedUnitIn(stream, from, next, true));
    WriteFiller(stream, &walk.boundary, from, next);
    if (!walk.holes.empty() && walk.holes.back().second >= from)
        walk.holes.back() = {std::min(walk.holes.back().first, from), next};
    else
        walk.holes.emplace_back(from, next);
    regions.push_back({MendedRegion::Kind::Replaced, from, next - from, -1});
    return Stand{next, previous, false};
}

// Where records stop reading: the length or type a bit away that makes them read on, else
// filler up to where they read again. Gives where the walk goes on; nothing when it ends there.
std::optional<Stand> MendBreak(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions, Walk& walk, Stand stand)
{
    const std::size_t next = WhereRecordsResume(stream, stand.at);
    // A length grown by a flipped bit whose shorter value a bit away ends the record before
    // any zeroed unit, with records reading after it, is the record's own: zeros further on
    // (a palette's black, say) are no hole it ran into.
    if (ShortenRecordBefore(stream, regions, stand, next, true))
        return stand;
    // The record before the break runs into a zeroed unit: its body went with the damage,
    // and what it holds there are the zeros of the hole, not its own bytes. It goes too.
    // (Not the string table's records: the table is read again from what survives of
    // them, string by string, below.)
    const bool zeroed = stand.previous != kNoPlace && U16(stream, stand.previous) != kSst && U16(stream, stand.previous) != kContinue &&
                        ZeroedUnitIn(stream, stand.previous, stand.at);
    if (zeroed) {
        walk.boundary.Reset(stand.previous);
        stand.at = stand.previous;
        stand.previous = kNoPlace;
    }
    // A length grown by a flipped bit reads as well, but swallows the records after it and
    // leads here, where nothing reads (or past the end): the record before gets the one
    // shorter length a bit away after which records read. (A shorter length than the
    // record's would land inside it, which a hole right after a record cannot be told
    // from.)
    if (ShortenRecordBefore(stream, regions, stand, next, false))
        return stand;
    if (next == kNoPlace) {
        EndWalk(stream, walk, stand, BrokeAtZeros(stream, stand.at, zeroed));
        return std::nullopt;
    }
    // (Not in a header the zeros of a hole reach: a length zeroed is no bit flipped, and one
    // bit set in it leads far, over whatever lies there.)
    const bool headerZeroed = ZeroHeader(stream, stand.at) || ZeroedUnitIn(stream, stand.at, std::min(stand.at + kHeader, stream.size()));
    if (const auto fix = zeroed || headerZeroed ? std::nullopt : OneFlippedBit(stream, stand.at)) {
        StoreLe16(stream.data() + fix->first, fix->second);
        regions.push_back({MendedRegion::Kind::Replaced, fix->first, 2, -1});
        return stand;
    }
    return FillOverBreak(stream, regions, walk, stand, next, zeroed, headerZeroed);
}

}  // namespace

Walk WalkAndFill(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    Walk walk;
    // (Every change the walk makes is in a record's odd BOF field, or past the first place
    // where records do not read straight on.)
    const auto changing = [&walk] {
        walk.straight = false;
        walk.marks.clear();
    };
    walk.boundary = BitSet(stream.size() + 1);
    std::size_t at = 0;
    std::size_t previous = kNoPlace;
    bool afterEof = false;
    while (at < stream.size()) {
        // (Four zero bytes read as a record only where a writer put them: a header zeroed with
        // the unit around it, over a body that looks like an EOF, say, does not.)
        if (Reads(stream, at)) {
            walk.boundary.Set(at);
            const std::uint16_t type = U16(stream, at);
            afterEof = type == kEof;
            if (walk.straight && (type == kBof || type == kEof))
                walk.marks.push_back({at, at + kHeader + U16(stream, at + 2), type == kBof});
            if (IsChartRecord(type))
                walk.lastChartRecord = at;
            if (const auto odd = type == kBof ? OddBofField(stream, at) : std::nullopt) {
                changing();
                StoreLe16(stream.data() + odd->first, odd->second);
                regions.push_back({MendedRegion::Kind::Replaced, odd->first, 2, -1});
            }
            if (type == kFillerRecord) {
                // Filler written earlier (over globals that were rebuilt) is room as well.
                const std::size_t end = at + kHeader + U16(stream, at + 2);
                if (!walk.holes.empty() && walk.holes.back().second == at)
                    walk.holes.back().second = end;
                else
                    walk.holes.emplace_back(at, end);
            }
            previous = at;
            at += kHeader + U16(stream, at + 2);
            continue;
        }
        changing();
        const std::optional<Stand> after = MendBreak(stream, regions, walk, {at, previous, afterEof});
        if (!after)
            return walk;
        at = after->at;
        previous = after->previous;
        afterEof = after->afterEof;
    }
    walk.end = stream.size();
    return walk;
}

}  // namespace tabulon::mending
