// The shared-string table read again from the places its index names, where its start or its
// middle was lost: what survives of it gathered, and the phases of its rebuilding in order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "engine/base/beside.h"
#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mend_strings_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

namespace {

// Where what lies between `from` and a table's first record at `first` may be written over
// from: past the last record there that is no filler; nothing when the records do not read on
// to `first`.
std::optional<std::size_t> FreeBefore(Bytes stream, std::size_t from, std::size_t first)
{
    std::size_t free = from, at = from;
    while (at < first && Reads(stream, at)) {
        const std::size_t end = at + kHeader + U16(stream, at + 2);
        if (U16(stream, at) != kFillerRecord)
            free = end;
        at = end;
    }
    if (at != first)
        return std::nullopt;
    return free;
}


// The index at `at` in `bytes` (the stream, or the bytes as found), `length` bytes of entries.
void TakeIndex(TableEvidence& evidence, Bytes bytes, std::size_t at, std::size_t length)
{
    evidence.index = at;
    evidence.indexParts.clear();
    evidence.indexBody.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at + kHeader),
                              bytes.begin() + static_cast<std::ptrdiff_t>(at + kHeader + length));
}

// What survives of the table in [from, to): its CONTINUE records, in runs of them one after
// another, and its index with the CONTINUE records that go on with it. False where the table's
// start survives there.
bool GatherRecords(TableEvidence& evidence)
{
    const std::vector<std::uint8_t>& stream = evidence.stream;
    const Bytes found = evidence.found;
    bool inRun = false;
    std::uint16_t runOwner = 0;  // the record before the CONTINUE records under way
    for (std::size_t at = evidence.from; at + kHeader <= evidence.to;) {
        if (!Reads(stream, at)) {
            at = Resync(stream, at + 1);
            if (at == kNoPlace)
                break;
            inRun = false;
            runOwner = 0;
            continue;
        }
        const std::uint16_t type = U16(stream, at);
        const std::uint16_t length = U16(stream, at + 2);
        if (type == kSst)
            return false;
        if (type == kContinue && runOwner == kExtSst) {
            // A large table's index goes on in CONTINUE records of its own.
            if (evidence.index) {
                evidence.indexBody.insert(evidence.indexBody.end(), stream.begin() + static_cast<std::ptrdiff_t>(at + kHeader),
                                          stream.begin() + static_cast<std::ptrdiff_t>(at + kHeader + length));
                evidence.indexParts.push_back(at);
            }
        } else if (type == kContinue) {
            evidence.runs += inRun ? 0 : 1;
            evidence.pieces.push_back({at, length, evidence.runs - 1});
        } else if (type == kExtSst && length >= 10) {
            TakeIndex(evidence, stream, at, length);
        } else if (type == kFillerRecord && at + kHeader <= found.size() && U16(found, at) == kExtSst && U16(found, at + 2) >= 10 &&
                   at + kHeader + U16(found, at + 2) <= std::min(evidence.to, found.size())) {
            // The index as it was found, where the walk made it filler (a hole took its last
            // bytes, which only pad its last entry, or followed it): its places still lead.
            TakeIndex(evidence, found, at, U16(found, at + 2));
        }
        inRun = type == kContinue && runOwner != kExtSst;
        runOwner = type == kContinue ? runOwner : type;
        at += kHeader + length;
    }
    return true;
}

// The record starts the index names, in order.
std::vector<std::size_t> IndexedRecordStarts(const std::vector<std::uint8_t>& indexBody)
{
    std::vector<std::size_t> named;
    for (std::size_t k = 0; k < (indexBody.size() - 2) / 8; ++k) {
        const std::size_t start = LoadLe32(indexBody.data() + 2 + 8 * k);
        const std::size_t offset = LoadLe16(indexBody.data() + 6 + 8 * k);
        if (start >= offset)
            named.push_back(start - offset);
    }
    std::sort(named.begin(), named.end());
    return named;
}

// The body's length of the table's record at `next` whose header went with the damage: it
// ends where the index says a record begins (`named`), or the next record that reads, or the
// index. Nothing where that leaves no record.
std::optional<std::size_t> LostRecordLength(const TableEvidence& evidence, const std::vector<std::size_t>& named, std::size_t next)
{
    std::size_t end = *evidence.index;
    const auto after = std::upper_bound(named.begin(), named.end(), next);
    if (after != named.end())
        end = std::min(end, *after);
    for (const TablePiece& p : evidence.pieces)
        if (p.at > next)
            end = std::min(end, p.at);
    if (end < next + kHeader || end - next - kHeader > kMaxBody)
        return std::nullopt;
    return end - next - kHeader;
}

// The table's own records from its start, where the start survives, one run with it: the
// buckets after a hole in the start are read there, and strings go on across them. A record
// whose header went with the damage begins where the one before ends (see LostRecordLength).
void ChainFromStart(TableEvidence& evidence)
{
    const std::vector<std::uint8_t>& stream = evidence.stream;
    const Bytes found = evidence.found;
    std::vector<TablePiece>& pieces = evidence.pieces;
    const std::vector<std::size_t> named = IndexedRecordStarts(evidence.indexBody);
    const std::size_t start = evidence.table->at;
    std::vector<TablePiece> chain{{start, U16(stream, start + 2), 0}};
    for (std::size_t next = start + kHeader + U16(stream, start + 2); next + kHeader <= std::min(evidence.to, *evidence.index);) {
        const auto real = std::find_if(pieces.begin(), pieces.end(), [&](const TablePiece& p) { return p.at == next; });
        std::size_t length = 0;
        bool lost = false;
        if (real != pieces.end()) {
            length = real->length;
        } else if (Reads(stream, next) && U16(stream, next) == kContinue) {
            length = U16(stream, next + 2);
        } else if (std::all_of(found.begin() + static_cast<std::ptrdiff_t>(next), found.begin() + static_cast<std::ptrdiff_t>(next + kHeader),
                               [](std::uint8_t b) { return b == 0; })) {
            const std::optional<std::size_t> lostLength = LostRecordLength(evidence, named, next);
            if (!lostLength)
                break;
            length = *lostLength;
            lost = true;
        } else {
            break;
        }
        chain.push_back({next, length, 0, 0, lost});
        next += kHeader + length;
    }
    const std::size_t chainEnd = chain.back().at + kHeader + chain.back().length;
    std::erase_if(pieces, [&](const TablePiece& p) { return p.at < chainEnd; });
    for (TablePiece& p : pieces)
        ++p.run;
    pieces.insert(pieces.begin(), chain.begin(), chain.end());
    std::size_t highest = 0;
    for (const TablePiece& p : pieces)
        highest = std::max(highest, p.run);
    evidence.runs = highest + 1;
    // Buckets in the table's start count from where its strings stopped reading.
    evidence.bucketsFrom = std::min(evidence.bucketsFrom, evidence.table->knownEnd);
}

// Each run's bodies, and each record's place among them.
void ShareRunBodies(TableEvidence& evidence)
{
    evidence.runBodies.resize(evidence.runs);
    for (TablePiece& piece : evidence.pieces) {
        auto& bodies = evidence.runBodies[piece.run];
        if (!bodies)
            bodies = std::make_shared<std::vector<Bytes>>();
        piece.within = bodies->size();
        bodies->emplace_back(evidence.found.data() + piece.at + kHeader, piece.length);
    }
}

// How many strings each of the index's buckets holds, and how many buckets it names, where
// there is something to read them from.
void CountBuckets(TableEvidence& evidence)
{
    if (!evidence.index || (evidence.pieces.empty() && !evidence.lostStart))
        return;
    evidence.perBucket = LoadLe16(evidence.indexBody.data());
    evidence.buckets = (evidence.indexBody.size() - 2u) / 8;
}

// Where the globals go on past the new start (`goesOnPast`) and the table's records and its
// index lie one after another, filler between them at most, every record read from, the
// new table takes their place: the stream does not grow by it. [inPlace, indexEnd) It
// starts right after the new start where nothing but filler comes between, else right
// after the last record before it, never behind filler: a reader that loses its way in a
// run of filler and looks for records again after it takes a table that begins with empty
// strings (zeros) for records of no length and misses its first one. (Whether every record
// was read from, and the new table fits, is told once the buckets are read.)
InPlace FindPlaceOverRecords(const TableEvidence& evidence)
{
    const std::vector<std::uint8_t>& stream = evidence.stream;
    const std::vector<TablePiece>& pieces = evidence.pieces;
    InPlace in;
    if (!(evidence.goesOnPast && evidence.place && !evidence.table && evidence.known->Count() == 0 && !evidence.lostStart &&
          evidence.index && !pieces.empty()))
        return in;
    const std::size_t index = *evidence.index;
    in.indexEnd = evidence.indexParts.empty() ? index + kHeader + U16(stream, index + 2)
                                              : evidence.indexParts.back() + kHeader + U16(stream, evidence.indexParts.back() + 2);
    std::size_t at = pieces.front().at;
    while (at < in.indexEnd && Reads(stream, at) && (U16(stream, at) == kContinue || U16(stream, at) == kFillerRecord || at == index))
        at += kHeader + U16(stream, at + 2);
    if (at == in.indexEnd)
        in.at = FreeBefore(stream, evidence.from, pieces.front().at).value_or(kNoPlace);
    if (in.at == evidence.from && (*evidence.goesOnPast == evidence.from || *evidence.goesOnPast + kHeader <= evidence.from)) {
        in.at = *evidence.goesOnPast;
        in.afterStart = true;
    } else if (in.at == evidence.from) {
        in.at = kNoPlace;  // the new start moves the rest, filler behind it
    }
    return in;
}

// As many strings as the cells name, into `named`, within what the index counts: the cells'
// records are looked over on a second thread while the buckets are read (neither writes the
// stream), where there is a table to rebuild at all, or new globals that must hold one.
void StartNaming(std::optional<Beside>& naming, const TableEvidence& evidence, std::size_t& named)
{
    if (!((evidence.index && (!evidence.pieces.empty() || evidence.lostStart)) || evidence.known->Count() > 0 || evidence.declared > 0 ||
          evidence.noneInGlobals))
        return;
    const std::vector<std::uint8_t>& stream = evidence.stream;
    const std::size_t to = evidence.to;
    naming.emplace(stream.size() - std::min(to, stream.size()), [&stream, &named, to] {
        for (std::size_t at = to; at + kHeader + 10 <= stream.size() && Reads(stream, at);) {
            if (U16(stream, at) == kLabelSst && U16(stream, at + 2) == 10)
                named = std::max<std::size_t>(named, std::size_t{LoadLe32(stream.data() + at + kHeader + 6)} + 1);
            at += kHeader + U16(stream, at + 2);
        }
    });
}

}  // namespace

// When the shared-string table lost its start with the globals, or its middle to a hole, what
// survives of it after the damage (its CONTINUE records, in [from, to)) is read again from the
// places the table's index (EXTSST) names, where each bucket's first string begins; `known`
// (of `given`) are the strings read from its start when that survives, and `declared` how many
// it says it holds. The index counts from the stream's old start, which may be gone too: of the
// differences that put buckets in CONTINUE records, the one under which the buckets begin
// with the most strings that read as text stands. The table comes back as long as the index
// says, strings that are gone as empty ones, and the records it was read from become filler;
// where nothing of it survives, as many empty ones as the cells name. Gives the new table's
// records, or nothing when there is nothing to go by. What survives is gathered first, then
// the buckets are read and their strings chosen, then the table is laid out, each over the one
// evidence.
std::vector<std::uint8_t> RebuildStringTable(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions,
                                             StringTableEvidence given)
{
    TableEvidence evidence(stream, regions, std::move(given));
    if (!GatherRecords(evidence))
        return {};  // the table's start survives
    if (evidence.table && evidence.index && evidence.unmended && evidence.indexBody.size() >= 10)
        ChainFromStart(evidence);
    ShareRunBodies(evidence);
    CountBuckets(evidence);
    evidence.inPlace = FindPlaceOverRecords(evidence);
    std::size_t named = 0;
    std::optional<Beside> naming;
    StartNaming(naming, evidence, named);
    TableChoice choice = ChooseStrings(evidence);
    if (naming)
        naming->Wait();
    // Nothing to go by, and no table that has to go. Globals whose table went whole still get
    // one of empty strings where the cells name strings: a reader refuses a workbook (xlrd) or
    // shows its sheets empty (LibreOffice) where a cell names a string no table holds.
    if (!choice.indexed && evidence.known->Count() == 0 && evidence.declared == 0 && !(evidence.noneInGlobals && named > 0))
        return {};
    return WriteTable(evidence, choice, named);
}

bool RebuildStringTableIn(std::vector<std::uint8_t>& stream, std::size_t from, std::size_t to, std::vector<MendedRegion>& regions,
                          const TablePlace& place, std::optional<std::size_t> goesOnPast)
{
    bool placed = false;
    StringTableEvidence evidence(from, to);
    evidence.place = [&](std::size_t size) {
        placed = true;
        return place(size);
    };
    evidence.goesOnPast = goesOnPast;
    evidence.noneInGlobals = true;
    RebuildStringTable(stream, regions, std::move(evidence));
    return placed;
}

}  // namespace tabulon::mending
