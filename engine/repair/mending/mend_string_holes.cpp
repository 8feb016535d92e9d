// A hole in the shared-string table, or in the globals before it: the strings after it read
// again from the places the table's index names, and the table written anew where it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

namespace {

// The globals' bytes before `globalsEnd` as they were found: filler (an earlier mending's,
// headers and all) stands for bytes that were lost, and what this mending's walk went over
// comes back. Told without a copy, the stream's own but for those few stretches, put together
// a unit at a time where one of them touches it; or copied whole.
class GlobalsFound {
public:
    GlobalsFound(const std::vector<std::uint8_t>& stream, std::size_t globalsEnd,
                 const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& overwritten)
        : stream_(stream), end_(globalsEnd)
    {
        for (std::size_t at = 0; at < globalsEnd;) {
            const std::size_t next = at + kHeader + U16(stream, at + 2);
            if (U16(stream, at) == kFillerRecord)
                fillers_.push_back({at, next, nullptr});
            at = next;
        }
        for (const auto& [at, bytes] : overwritten) {
            if (at < globalsEnd)
                overwritten_.push_back({at, at + std::min(bytes.size(), globalsEnd - at), bytes.data()});
        }
    }

    // The bytes of [from, from + n) as found, into `out`: the filler's zeros, then what the
    // walk went over, in its order.
    void Copy(std::size_t from, std::size_t n, std::uint8_t* out) const
    {
        std::copy_n(stream_.begin() + static_cast<std::ptrdiff_t>(from), n, out);
        const auto put = [&](const Patch& patch) {
            const std::size_t begin = std::max(patch.from, from), end = std::min(patch.to, from + n);
            if (begin >= end)
                return;
            if (patch.bytes)
                std::copy(patch.bytes + (begin - patch.from), patch.bytes + (end - patch.from), out + (begin - from));
            else
                std::fill(out + (begin - from), out + (end - from), std::uint8_t{0});
        };
        for (auto filler = FirstFillerEndingAfter(from); filler != fillers_.end() && filler->from < from + n; ++filler)
            put(*filler);
        std::for_each(overwritten_.begin(), overwritten_.end(), put);
    }
    // All of them; `untrusted` gets the stretches the walk went over that read as no record,
    // not zeroed.
    std::vector<std::uint8_t> Whole(std::vector<std::pair<std::size_t, std::size_t>>& untrusted) const
    {
        std::vector<std::uint8_t> unmended(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(end_));
        for (const Patch& filler : fillers_)
            std::fill(unmended.begin() + static_cast<std::ptrdiff_t>(filler.from),
                      unmended.begin() + static_cast<std::ptrdiff_t>(std::min(filler.to, end_)), std::uint8_t{0});
        for (const Patch& patch : overwritten_) {
            std::copy(patch.bytes, patch.bytes + (patch.to - patch.from), unmended.begin() + static_cast<std::ptrdiff_t>(patch.from));
            if (!mending::ZeroedUnitIn(unmended, patch.from, patch.to))
                untrusted.emplace_back(patch.from, patch.to);
        }
        return unmended;
    }
    // As ZeroedUnitIn over the globals as found.
    bool ZeroedUnitIn(std::size_t from, std::size_t to) const
    {
        const std::size_t last = std::min(to + kUnit - 1, end_);
        for (std::size_t unit = from / kUnit * kUnit; unit < to && unit + kUnit <= last; unit += kUnit) {
            if (UnitZeroed(unit))
                return true;
        }
        return false;
    }
    // The units that ZeroedUnitIn(from, to) goes over and finds zeroed, in order: asked of
    // every string of a large table, a search in them takes the place of a look at its bytes.
    std::vector<std::size_t> ZeroedUnits(std::size_t from, std::size_t to) const
    {
        std::vector<std::size_t> units;
        const std::size_t last = std::min(to + kUnit - 1, end_);
        for (std::size_t unit = from / kUnit * kUnit; unit < to && unit + kUnit <= last; unit += kUnit) {
            if (UnitZeroed(unit))
                units.push_back(unit);
        }
        return units;
    }

private:
    struct Patch {
        std::size_t from, to;
        const std::uint8_t* bytes;  // none: zeros
    };
    // Whether the unit at `unit` (within the globals) is all zeros as found.
    bool UnitZeroed(std::size_t unit) const
    {
        const auto touches = [&](const Patch& p) { return p.from < unit + kUnit && unit < p.to; };
        const auto filler = FirstFillerEndingAfter(unit);
        const bool touched = (filler != fillers_.end() && touches(*filler)) || std::any_of(overwritten_.begin(), overwritten_.end(), touches);
        if (!touched)
            return mending::ZeroedUnitIn(Bytes(stream_).first(end_), unit, unit + kUnit);
        std::uint8_t bytes[kUnit];
        Copy(unit, kUnit, bytes);
        return std::all_of(std::begin(bytes), std::end(bytes), [](std::uint8_t b) { return b == 0; });
    }
    // (Filler records follow one another: the first that ends past `at`.)
    std::vector<Patch>::const_iterator FirstFillerEndingAfter(std::size_t at) const
    {
        return std::upper_bound(fillers_.begin(), fillers_.end(), at, [](std::size_t a, const Patch& p) { return a < p.to; });
    }

    const std::vector<std::uint8_t>& stream_;
    std::size_t end_;
    std::vector<Patch> fillers_;      // in stream order
    std::vector<Patch> overwritten_;  // few
};

// Whether the table whose records' bodies are `bodies` holds as many strings as it counts.
bool HoldsWhatItCounts(const std::vector<Bytes>& bodies, const std::uint8_t* stream)
{
    if (bodies.empty() || bodies.front().size() < 8)
        return false;
    ChainCursor cursor(bodies, stream);
    bool reads = cursor.Skip(8);
    for (std::uint32_t i = LoadLe32(bodies.front().data() + 4); reads && i > 0; --i)
        reads = cursor.String();
    return reads;
}

// Where the table's records end, their own run of CONTINUE records stopping at `runEnd`: right
// there, or where filler follows them (a hole took a record's header), past the CONTINUE records
// that follow the filler, up to a record of another kind. The next CONTINUE record lies no
// further on than the record the hole cut and the one after it reach (the walk past the hole
// may have taken bytes of that record for records of other kinds). Nothing where no such run
// follows.
std::size_t TableRecordsEnd(const std::vector<std::uint8_t>& stream, std::size_t runEnd, std::size_t globalsEnd)
{
    if (runEnd + kHeader > globalsEnd || !Reads(stream, runEnd) || U16(stream, runEnd) != kFillerRecord)
        return runEnd;
    const std::size_t reach = runEnd + 2 * (kHeader + kMaxBody);
    std::size_t at = runEnd;
    while (at < reach && at + kHeader <= globalsEnd && Reads(stream, at) && U16(stream, at) != kContinue)
        at += kHeader + U16(stream, at + 2);
    std::size_t end = kNoPlace;
    while (at + kHeader <= globalsEnd && Reads(stream, at) && U16(stream, at) == kContinue) {
        at += kHeader + U16(stream, at + 2);
        end = at;
    }
    const bool otherFollows = at + kHeader <= stream.size() && Reads(stream, at) && U16(stream, at) != kFillerRecord && at <= globalsEnd;
    return otherFollows ? end : kNoPlace;
}

// A hole that took the shared-string table's first record header and all, in the middle of
// the globals: no table is left for readers, but its index may be, and the bytes of its
// strings between the hole and the index (or the CONTINUE records there). Those strings are
// read by the index, from the places it names, and the table is written anew after it (the
// index, which no longer fits, becomes filler: the table right after the hole's filler would
// stand where a reader resumes past the hole, and be passed over). Gives whether it was.
bool MendLostTableStart(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions,
                        const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& overwritten, std::size_t globalsEnd)
{
    // The index, and the hole right before it: filler, and the table's CONTINUE records after it.
    std::size_t index = kNoPlace, from = kNoPlace;
    for (std::size_t at = 0; at < globalsEnd && Reads(stream, at);) {
        const std::uint16_t type = U16(stream, at);
        if (type == kExtSst && U16(stream, at + 2) >= 10) {
            index = at;
            break;
        }
        if (type == kFillerRecord)
            from = from == kNoPlace ? at : from;
        else if (type != kContinue)
            from = kNoPlace;
        at += kHeader + U16(stream, at + 2);
    }
    if (index == kNoPlace || from == kNoPlace)
        return false;
    std::vector<std::pair<std::size_t, std::size_t>> untrusted;
    const std::vector<std::uint8_t> unmended = GlobalsFound(stream, globalsEnd, overwritten).Whole(untrusted);
    const std::size_t before = regions.size();
    StringTableEvidence evidence(from, globalsEnd);
    evidence.unmended = Bytes(unmended);
    evidence.untrusted = untrusted;
    evidence.bucketsFrom = from;
    const std::vector<std::uint8_t> rebuilt = RebuildStringTable(stream, regions, std::move(evidence));
    if (rebuilt.empty())
        return false;
    const std::size_t indexEnd = index + kHeader + U16(stream, index + 2);
    ReplaceInGlobals(stream, regions, before, indexEnd, indexEnd, rebuilt);
    return true;
}

// The table went whole, its index with it: where the cells name strings, a table of as many
// empty ones goes right before the globals' end (at `globalsEnd`).
void EmptyTableWhereCellsNameStrings(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions, std::size_t globalsEnd)
{
    const std::size_t before = regions.size();
    StringTableEvidence evidence(globalsEnd, globalsEnd);
    evidence.noneInGlobals = true;
    const std::vector<std::uint8_t> rebuilt = RebuildStringTable(stream, regions, std::move(evidence));
    if (!rebuilt.empty())
        ReplaceInGlobals(stream, regions, before, globalsEnd, globalsEnd, rebuilt);
}

}  // namespace

void ReplaceInGlobals(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions, std::size_t before,
                     std::size_t from, std::size_t to, const std::vector<std::uint8_t>& bytes)
{
    // What was neutralised inside the stretch goes with it.
    std::erase_if(regions, [&, i = std::size_t{0}](const MendedRegion& r) mutable {
        return i++ >= before && r.offset >= from && r.offset < to;
    });
    const std::int64_t delta = static_cast<std::int64_t>(bytes.size()) - static_cast<std::int64_t>(to - from);
    auto moved = [&](std::uint64_t offset) { return offset >= to ? offset + static_cast<std::uint64_t>(delta) : offset; };
    // In place: what follows the stretch moves by the difference.
    const std::size_t size = stream.size();
    if (delta > 0)
        stream.resize(size + static_cast<std::size_t>(delta));
    std::memmove(stream.data() + from + bytes.size(), stream.data() + to, size - to);
    if (delta < 0)
        stream.resize(size - static_cast<std::size_t>(-delta));
    std::copy(bytes.begin(), bytes.end(), stream.begin() + static_cast<std::ptrdiff_t>(from));
    for (MendedRegion& region : regions)
        region.offset = moved(region.offset);
    regions.push_back({MendedRegion::Kind::Replaced, from, bytes.size(), -1});
    if (delta == 0)
        return;  // no offset moved
    bool pastGlobals = false;
    ForEachReadingRecord(stream, 0, [&](std::size_t at, std::uint16_t type, std::size_t length) {
        std::uint8_t* body = stream.data() + at + kHeader;
        if (type == kBoundSheet && length >= 4 && !pastGlobals)
            StoreLe32(body, static_cast<std::uint32_t>(moved(LoadLe32(body))));
        pastGlobals = pastGlobals || type == kEof;
        if (type == kIndex && length >= 16) {
            for (std::size_t k = 16; k + 4 <= length; k += 4)
                StoreLe32(body + k, static_cast<std::uint32_t>(moved(LoadLe32(body + k))));
        }
    });
}

// A hole in the shared-string table loses every string after it to readers, which read the
// table from its start. The strings after the hole are read again from the places the
// table's index names, and the table is written anew where it was; the offsets after it move
// along (the list of sheets, the sheets' row indexes). Not for an encrypted workbook, whose
// bytes depend on where they are.
void MendStringTableHole(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions,
                         const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& overwritten)
{
    std::size_t table = kNoPlace, tableEnd = 0, globalsEnd = kNoPlace;
    bool holeAfter = false;  // filler follows the table's records
    std::vector<Bytes> bodies;
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at);) {
        const std::uint16_t type = U16(stream, at);
        const std::size_t next = at + kHeader + U16(stream, at + 2);
        if (type == kEof) {
            globalsEnd = at;
            break;
        }
        if (type == kFilePass)
            return;
        if (type == kSst && table == kNoPlace && U16(stream, at + 2) >= 8) {
            table = at;
            bodies.emplace_back(stream.data() + at + kHeader, U16(stream, at + 2));
            tableEnd = next;
            while (tableEnd + kHeader <= stream.size() && Reads(stream, tableEnd) && U16(stream, tableEnd) == kContinue) {
                bodies.emplace_back(stream.data() + tableEnd + kHeader, U16(stream, tableEnd + 2));
                tableEnd += kHeader + U16(stream, tableEnd + 2);
            }
            holeAfter = tableEnd + kHeader <= stream.size() && U16(stream, tableEnd) == kFillerRecord;
        }
        at = next;
    }
    if (table == kNoPlace && globalsEnd != kNoPlace) {
        if (!MendLostTableStart(stream, regions, overwritten, globalsEnd))
            EmptyTableWhereCellsNameStrings(stream, regions, globalsEnd);
        return;
    }
    if (table == kNoPlace || globalsEnd == kNoPlace || globalsEnd < tableEnd)
        return;
    // A table that holds fewer strings than it counts, where the mending replaced anything (its
    // last records went with nothing after them to tell), is read again too: readers that read
    // as many as it counts (xlrd) run off its end.
    const bool holdsFewer = !regions.empty() && !HoldsWhatItCounts(bodies, stream.data());
    // A table with no zeroed unit and nothing lost after it is left as it is (below). Where
    // nothing this walk went over lies in or just after it and no filler follows it, its bytes
    // as found are the stream's: that is told without a copy of the globals (which the string
    // table makes most of in a large workbook).
    {
    const std::size_t reach = std::min(globalsEnd, tableEnd + kUnit);
        bool asFound = !std::any_of(overwritten.begin(), overwritten.end(), [&](const auto& o) {
            return o.first < reach && table < o.first + o.second.size();
        });
        for (std::size_t at = tableEnd; asFound && at < reach; at += kHeader + U16(stream, at + 2))
            asFound = U16(stream, at) != kFillerRecord;
        if (asFound && !holdsFewer && !ZeroedUnitIn(Bytes(stream).first(globalsEnd), table, tableEnd))
            return;
    }
    // The globals as they were found: whether the table reads whole is told without a copy of
    // them (most of a large workbook's globals are its table, and a mended table followed by
    // filler reads whole); a table read again is read from one.
    const GlobalsFound found(stream, globalsEnd, overwritten);
    // Whole, as far as anything tells: none of its units was zeroed, and nothing that follows
    // it was lost, or it holds as many strings as it says, to its last byte. (Empty strings
    // are zeros too: a run of them, as a mended table holds, is no damage.) What the mending
    // wrote since into a hole after it (a list entry, a sheet's first record) does not count.
    holeAfter = holeAfter || std::any_of(overwritten.begin(), overwritten.end(), [&](const auto& o) { return o.first == tableEnd; });
    // A hole that began in the table's last unit and went on past it: the damage zeroes whole
    // units, so the table's last bytes are zeros from that unit's start to its end, and a
    // string that reaches into them lost its last characters.
    std::size_t zeroedTail = tableEnd;
    if (holeAfter) {
        const std::size_t unit = (tableEnd - 1) / kUnit * kUnit;
        std::uint8_t tail[kUnit];
        if (unit > table + kHeader) {
            found.Copy(unit, tableEnd - unit, tail);
            if (std::all_of(tail, tail + (tableEnd - unit), [](std::uint8_t b) { return b == 0; }))
                zeroedTail = unit;
        }
    }
    // (Asked of every string: the table's zeroed units are found once.)
    const std::vector<std::size_t> zeroedUnits = found.ZeroedUnits(table, tableEnd);
    const auto zeroed = [&](std::size_t from, std::size_t to) {
        if (to > zeroedTail)
            return true;
        if (from < table || to > tableEnd)
            return found.ZeroedUnitIn(from, to);
        const auto unit = std::lower_bound(zeroedUnits.begin(), zeroedUnits.end(), from / kUnit * kUnit);
        return unit != zeroedUnits.end() && *unit < to;
    };
    if (!holeAfter && zeroedUnits.empty() && !holdsFewer)
        return;
    ChainCursor whole(bodies, stream.data());
    bool reads = whole.Skip(8);
    for (std::uint32_t i = LoadLe32(stream.data() + table + kHeader + 4); reads && i > 0; --i) {
        const std::size_t begin = whole.Settle() ? whole.Position() : 0;
        reads = whole.String() && (whole.Characters() == 0 || !zeroed(begin, whole.Position()));
    }
    if (reads && !whole.Settle())
        return;

    // The strings from the table's start, one after another, as far as they lie in bytes as
    // they were written: past the first that does not, no string's place is known.
    const std::size_t declared = LoadLe32(stream.data() + table + kHeader + 4);
    StringRun known;
    ChainCursor cursor(bodies, stream.data());
    cursor.Skip(8);
    std::size_t knownEnd = tableEnd;  // where the first string that does not read begins
    std::u16string text;
    while (known.Count() < declared && cursor.Settle()) {
        const std::size_t begin = cursor.Position();
        text.clear();
        if (!cursor.String(false, &text) || zeroed(begin, cursor.Position())) {
            knownEnd = begin;
            break;
        }
        known.Add(text, begin);
    }
    // Without a hole after it, the table's own CONTINUE records are where the index leads.
    const std::size_t from = holeAfter ? tableEnd : table + kHeader + U16(stream, table + 2);
    const std::size_t before = regions.size();
    std::vector<std::pair<std::size_t, std::size_t>> untrusted;
    const std::vector<std::uint8_t> unmended = found.Whole(untrusted);
    StringTableEvidence evidence(from, globalsEnd);
    evidence.known = &known;
    evidence.declared = declared;
    evidence.unmended = Bytes(unmended);
    evidence.untrusted = untrusted;
    evidence.bucketsFrom = holeAfter ? tableEnd : table + kHeader + 8;
    evidence.table = TableStart{table, knownEnd, TableRecordsEnd(stream, tableEnd, globalsEnd)};
    const std::vector<std::uint8_t> rebuilt = RebuildStringTable(stream, regions, std::move(evidence));
    if (rebuilt.empty())
        return;
    ReplaceInGlobals(stream, regions, before, table, tableEnd, rebuilt);
}

}  // namespace tabulon::mending
