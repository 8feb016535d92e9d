// The shared-string table read again from the places its index names, where its start or its
// middle was lost.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/beside.h"
#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

namespace {

// The strings read from a table's buckets, one after another in chunks of a fixed size, each
// as a character count, a byte that tells whether it is wide, and its characters as the table
// holds them: a bucket's strings take no memory of their own, and none is copied as they grow
// (a large workbook's table is read back whole). A string whose characters lie whole in the
// stream, as they are to be written, may be held by its place there instead (four bytes for
// its characters): its characters are then read from the stream when it is asked for.
class BucketStrings {
public:
    struct Place {
        std::uint32_t chunk = 0;
        std::uint32_t at = 0;
    };

    Place End() const
    {
        return chunks_.empty() ? Place{} : Place{static_cast<std::uint32_t>(chunks_.size() - 1), static_cast<std::uint32_t>(used_.back())};
    }
    // Whether Add holds `text` two bytes a character (one is enough for none above 0xFF).
    static bool HeldWide(std::u16string_view text)
    {
        return std::any_of(text.begin(), text.end(), [](char16_t c) { return c > 0xFF; });
    }
    void Add(std::u16string_view text)
    {
        const bool wide = HeldWide(text);
        std::uint8_t* out = Take(3 + text.size() * (wide ? 2 : 1));
        StoreLe16(out, static_cast<std::uint16_t>(text.size()));
        out[2] = wide ? 1 : 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (wide)
                StoreLe16(out + 3 + 2 * i, text[i]);
            else
                out[3 + i] = static_cast<std::uint8_t>(text[i]);
        }
    }
    // A string of `characters` characters that lie in the stream from `offset` on, one byte
    // each or two (`wide`), as Add would hold them.
    void AddAt(std::uint32_t offset, std::size_t characters, bool wide)
    {
        std::uint8_t* out = Take(3 + 4);
        StoreLe16(out, static_cast<std::uint16_t>(characters));
        out[2] = static_cast<std::uint8_t>(kByPlace | (wide ? 1 : 0));
        StoreLe32(out + 3, offset);
        byPlace_ = true;
    }
    // Whether any string is held by its place in the stream.
    bool AnyByPlace() const { return byPlace_; }
    // The string at `place`, which moves on to the next; those held by their place are read
    // from `stream`.
    StringRun::Text Next(Place& place, const std::uint8_t* stream) const
    {
        if (place.at == used_[place.chunk])
            place = {place.chunk + 1, 0};
        const std::uint8_t* at = chunks_[place.chunk].get() + place.at;
        const bool wide = (at[2] & 1) != 0;
        const std::size_t size = std::size_t{LoadLe16(at)} * (wide ? 2 : 1);
        if ((at[2] & kByPlace) != 0) {
            place.at += 3 + 4;
            return {std::span(stream + LoadLe32(at + 3), size), wide};
        }
        place.at += static_cast<std::uint32_t>(3 + size);
        return {std::span(at + 3, size), wide};
    }
    void Clear()
    {
        chunks_.clear();
        sizes_.clear();
        used_.clear();
        byPlace_ = false;
    }

private:
    // `size` bytes at the end, in a new chunk where the last has no room for them.
    std::uint8_t* Take(std::size_t size)
    {
        if (chunks_.empty() || used_.back() + size > sizes_.back()) {
            sizes_.push_back(std::max(kChunk, size));
            chunks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(sizes_.back()));
            used_.push_back(0);
        }
        std::uint8_t* out = chunks_.back().get() + used_.back();
        used_.back() += size;
        return out;
    }

    static constexpr std::size_t kChunk = std::size_t{1} << 16;  // (a longer string gets one of its own)
    static constexpr std::uint8_t kByPlace = 0x02;
    bool byPlace_ = false;
    std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;
    std::vector<std::size_t> sizes_;  // of each chunk
    std::vector<std::size_t> used_;   // of each chunk
};

// A table written over the bytes its own strings are read from: what is written goes out only
// below the first byte of the strings still to be read (`limit`, from the buckets on whose
// strings come next, counted from the table's start), the rest is held until then.
class WrittenBehind {
public:
    WrittenBehind(std::uint8_t* to, std::function<std::size_t(std::size_t)> limit) : to_(to), limit_(std::move(limit)) {}

    void Put(const std::uint8_t* bytes, std::size_t n) { held_.insert(held_.end(), bytes, bytes + n); }
    // Two bytes at `at` written again (a record's length, once it is known), out or held.
    void Patch(std::size_t at, std::uint16_t value)
    {
        for (std::size_t i = 0; i < 2; ++i) {
            const auto byte = static_cast<std::uint8_t>(value >> (8 * i));
            if (at + i < out_)
                to_[at + i] = byte;
            else
                held_[head_ + (at + i - out_)] = byte;
        }
    }
    // The strings of the buckets from `bucket` on come next.
    void Release(std::size_t bucket) { LetOut(limit_(bucket)); }
    void Finish() { LetOut(kNoPlace); }

private:
    void LetOut(std::size_t limit)
    {
        const std::size_t end = std::min(limit, out_ + (held_.size() - head_));
        if (end <= out_)
            return;
        std::memcpy(to_ + out_, held_.data() + head_, end - out_);
        head_ += end - out_;
        out_ = end;
        if (head_ == held_.size()) {
            held_.clear();
            head_ = 0;
        } else if (2 * head_ >= held_.size()) {
            held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }

    std::uint8_t* to_;
    std::function<std::size_t(std::size_t)> limit_;
    std::vector<std::uint8_t> held_;  // from `head_` on: what has not gone out
    std::size_t head_ = 0;
    std::size_t out_ = 0;  // how much went out
};

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

}  // namespace


// When the shared-string table lost its start with the globals, or its middle to a hole, what
// survives of it after the damage (its CONTINUE records, in [from, to)) is read again from the
// places the table's index (EXTSST) names, where each bucket's first string begins; `known`
// are the strings read from its start when that survives, and `declared` how many it says
// it holds. The index counts from the stream's old start, which may be gone too: of the
// differences that put buckets in CONTINUE records, the one under which the buckets begin
// with the most strings that read as text stands. The table comes back as long as the index
// says, strings that are gone as empty ones, and the records it was read from become filler.
// Gives the new table's records, or nothing when there is nothing to go by.
std::vector<std::uint8_t> RebuildStringTable(std::vector<std::uint8_t>& stream, std::size_t from, std::size_t to,
                                             std::vector<MendedRegion>& regions, const StringRun& known,
                                             std::size_t declared, std::optional<Bytes> unmended,
                                             const std::vector<std::pair<std::size_t, std::size_t>>& untrusted,
                                             std::size_t bucketsFrom, std::optional<TableStart> table, const TablePlace& place,
                                             std::optional<std::size_t> goesOnPast)
{
    // Strings are read from the bytes as they were found: filler over a hole may have taken
    // the end of a record whose header went.
    const Bytes found = unmended.value_or(Bytes(stream));
    // The table's first record lost its header, and no record of it may follow: its strings
    // lie in the bytes before the index.
    const bool lostStart = unmended.has_value() && !table;
    struct Piece {
        std::size_t at;  // a CONTINUE record
        std::size_t length;  // of its body
        std::size_t run;  // the run of them, one after another, that it belongs to
        std::size_t within = 0;  // its place in that run
        bool lost = false;  // its header went with the damage: the table's records around tell where
    };
    std::vector<Piece> pieces;
    std::optional<std::size_t> index;
    std::vector<std::uint8_t> indexBody;  // the index's entries, across its CONTINUE records
    std::vector<std::size_t> indexParts;   // those CONTINUE records
    std::size_t runs = 0;
    bool inRun = false;
    std::uint16_t runOwner = 0;  // the record before the CONTINUE records under way
    for (std::size_t at = from; at + kHeader <= to;) {
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
            return {};  // the table's start survives
        if (type == kContinue && runOwner == kExtSst) {
            // A large table's index goes on in CONTINUE records of its own.
            if (index) {
                indexBody.insert(indexBody.end(), stream.begin() + static_cast<std::ptrdiff_t>(at + kHeader),
                                 stream.begin() + static_cast<std::ptrdiff_t>(at + kHeader + length));
                indexParts.push_back(at);
            }
        } else if (type == kContinue) {
            runs += inRun ? 0 : 1;
            pieces.push_back({at, length, runs - 1});
        } else if (type == kExtSst && length >= 10) {
            index = at;
            indexParts.clear();
            indexBody.assign(stream.begin() + static_cast<std::ptrdiff_t>(at + kHeader),
                             stream.begin() + static_cast<std::ptrdiff_t>(at + kHeader + length));
        } else if (type == kFillerRecord && at + kHeader <= found.size() && U16(found, at) == kExtSst && U16(found, at + 2) >= 10 &&
                   at + kHeader + U16(found, at + 2) <= std::min(to, found.size())) {
            // The index as it was found, where the walk made it filler (a hole took its last
            // bytes, which only pad its last entry, or followed it): its places still lead.
            index = at;
            indexParts.clear();
            indexBody.assign(found.begin() + static_cast<std::ptrdiff_t>(at + kHeader),
                             found.begin() + static_cast<std::ptrdiff_t>(at + kHeader + U16(found, at + 2)));
        }
        inRun = type == kContinue && runOwner != kExtSst;
        runOwner = type == kContinue ? runOwner : type;
        at += kHeader + length;
    }
    // The table's own records from its start, where the start survives, one run with it: the
    // buckets after a hole in the start are read there, and strings go on across them. A record
    // whose header went with the damage begins where the one before ends and ends where the
    // index says a record begins (or the next record that reads, or the index).
    if (table && index && unmended && indexBody.size() >= 10) {
        std::vector<std::size_t> named;  // the record starts the index names
        for (std::size_t k = 0; k < (indexBody.size() - 2) / 8; ++k) {
            const std::size_t start = LoadLe32(indexBody.data() + 2 + 8 * k);
            const std::size_t offset = LoadLe16(indexBody.data() + 6 + 8 * k);
            if (start >= offset)
                named.push_back(start - offset);
        }
        std::sort(named.begin(), named.end());
        std::vector<Piece> chain{{table->at, U16(stream, table->at + 2), 0}};
        for (std::size_t next = table->at + kHeader + U16(stream, table->at + 2); next + kHeader <= std::min(to, *index);) {
            const auto real = std::find_if(pieces.begin(), pieces.end(), [&](const Piece& p) { return p.at == next; });
            std::size_t length = 0;
            bool lost = false;
            if (real != pieces.end()) {
                length = real->length;
            } else if (Reads(stream, next) && U16(stream, next) == kContinue) {
                length = U16(stream, next + 2);
            } else if (std::all_of(found.begin() + static_cast<std::ptrdiff_t>(next), found.begin() + static_cast<std::ptrdiff_t>(next + kHeader),
                           [](std::uint8_t b) { return b == 0; })) {
                std::size_t end = *index;
                const auto after = std::upper_bound(named.begin(), named.end(), next);
                if (after != named.end())
                    end = std::min(end, *after);
                for (const Piece& p : pieces)
                    if (p.at > next)
                        end = std::min(end, p.at);
                if (end < next + kHeader || end - next - kHeader > kMaxBody)
                    break;
                length = end - next - kHeader;
                lost = true;
            } else {
                break;
            }
            chain.push_back({next, length, 0, 0, lost});
            next += kHeader + length;
        }
        {
            const std::size_t chainEnd = chain.back().at + kHeader + chain.back().length;
            std::erase_if(pieces, [&](const Piece& p) { return p.at < chainEnd; });
            for (Piece& p : pieces)
                ++p.run;
            pieces.insert(pieces.begin(), chain.begin(), chain.end());
            std::size_t highest = 0;
            for (const Piece& p : pieces)
                highest = std::max(highest, p.run);
            runs = highest + 1;
            // Buckets in the table's start count from where its strings stopped reading.
            bucketsFrom = std::min(bucketsFrom, table->knownEnd);
        }
    }
    // Each run's bodies, read as one by the buckets that lie in it (shared, not copied).
    std::vector<std::shared_ptr<std::vector<Bytes>>> runBodies(runs);
    for (Piece& piece : pieces) {
        auto& bodies = runBodies[piece.run];
        if (!bodies)
            bodies = std::make_shared<std::vector<Bytes>>();
        piece.within = bodies->size();
        bodies->emplace_back(found.data() + piece.at + kHeader, piece.length);
    }
    // The strings the index leads to; with no index to go by, those read from the table's
    // start alone.
    std::vector<bool> used(runs, false);
    struct BucketRead {
        // Its strings, from its first on, as far as they are proven: `count` of them from
        // `first` in the reading's strings.
        BucketStrings::Place first;
        std::uint32_t count = 0;
        std::size_t Count() const { return count; }
        std::uint32_t textual = 0;  // how many of them, from the first, read as text (no control characters)
        std::array<std::size_t, 2> runs{kNoPlace, kNoPlace};  // the runs of CONTINUE records it read in
        bool lands = false;    // all of them read, ending where the next bucket begins
        bool checked = false;  // whether the next bucket's start could tell
        bool stands = false;   // its strings go into the table
        std::size_t at = kNoPlace;  // where its first string lies (its others lie after it)
    };
    // Where the globals go on past the new start (`goesOnPast`) and the table's records and its
    // index lie one after another, filler between them at most, every record read from, the
    // new table takes their place: the stream does not grow by it. [inPlace, indexEnd) It
    // starts right after the new start where nothing but filler comes between, else right
    // after the last record before it, never behind filler: a reader that loses its way in a
    // run of filler and looks for records again after it takes a table that begins with empty
    // strings (zeros) for records of no length and misses its first one. (Whether every record
    // was read from, and the new table fits, is told once the buckets are read.)
    std::size_t inPlace = kNoPlace;
    bool afterStart = false;  // right after the new start, which then moves nothing
    std::size_t indexEnd = 0;
    if (goesOnPast && place && !table && known.Count() == 0 && !lostStart && index && !pieces.empty()) {
        indexEnd = indexParts.empty() ? *index + kHeader + U16(stream, *index + 2)
                                      : indexParts.back() + kHeader + U16(stream, indexParts.back() + 2);
        std::size_t at = pieces.front().at;
        while (at < indexEnd && Reads(stream, at) &&
               (U16(stream, at) == kContinue || U16(stream, at) == kFillerRecord || at == *index))
            at += kHeader + U16(stream, at + 2);
        if (at == indexEnd)
            inPlace = FreeBefore(stream, from, pieces.front().at).value_or(kNoPlace);
        if (inPlace == from && (*goesOnPast == from || *goesOnPast + kHeader <= from)) {
            inPlace = *goesOnPast;
            afterStart = true;
        } else if (inPlace == from) {
            inPlace = kNoPlace;  // the new start moves the rest, filler behind it
        }
    }
    // A table laid out there is written behind its reading, so that the strings whose
    // characters lie whole in the stream past the damage (`from` on, where nothing is written
    // before the table is) are held by their place there, not copied: a large table's strings
    // are not held twice.
    const bool byPlace = inPlace != kNoPlace;
    // As many strings as the cells name, within what the index counts: the cells' records are
    // looked over on a second thread while the buckets are read (neither writes the stream),
    // where there is a table to rebuild at all.
    std::size_t named = 0;
    std::optional<Beside> naming;
    if ((index && (!pieces.empty() || lostStart)) || known.Count() > 0 || declared > 0) {
        naming.emplace(stream.size() - std::min(to, stream.size()), [&stream, &named, to] {
            for (std::size_t at = to; at + kHeader + 10 <= stream.size() && Reads(stream, at);) {
                if (U16(stream, at) == kLabelSst && U16(stream, at + 2) == 10)
                    named = std::max<std::size_t>(named, std::size_t{LoadLe32(stream.data() + at + kHeader + 6)} + 1);
                at += kHeader + U16(stream, at + 2);
            }
        });
    }
    std::vector<BucketRead> standing;  // by bucket: the strings that stand (none where a bucket does not)
    BucketStrings standingStrings;  // theirs
    std::size_t perBucket = 0;
    std::size_t indexCount = 0;
    const bool indexed = [&] {
    if (!index || (pieces.empty() && !lostStart))
        return false;
    const std::uint8_t* entries = indexBody.data();
    perBucket = LoadLe16(entries);
    const std::size_t buckets = (indexBody.size() - 2u) / 8;
    if (perBucket == 0 || buckets * pieces.size() > (std::size_t{1} << 22))
        return false;
    indexCount = buckets * perBucket;
    auto bucketStart = [&](std::size_t k) { return std::int64_t{LoadLe32(entries + 2 + 8 * k)}; };
    auto bucketOffset = [&](std::size_t k) { return std::int64_t{LoadLe16(entries + 6 + 8 * k)}; };
    // Each bucket votes, for every CONTINUE record found, for the difference that puts its
    // record there. Buckets share records: each record start votes once, with their number.
    // The eight differences with most votes are tried (the most first, the larger difference
    // first on a tie). The ballots are counted as they come, in the order of the differences:
    // each start's own, one per record, merged (a large table casts millions of them).
    std::vector<std::pair<int, std::int64_t>> candidates;  // (votes, difference)
    {
        std::map<std::int64_t, int> starts;
        for (std::size_t k = 0; k < buckets; ++k)
            ++starts[bucketStart(k) - bucketOffset(k)];
        std::vector<std::int64_t> records;  // where the CONTINUE records lie, the last first
        for (const Piece& piece : pieces)
            records.push_back(static_cast<std::int64_t>(piece.at));
        std::sort(records.begin(), records.end(), std::greater<>());
        struct Next {
            std::int64_t d;  // the next difference of a start
            int weight;      // its number of buckets
            std::int64_t start;
            std::size_t record;  // of `records`
        };
        const auto later = [](const Next& a, const Next& b) { return a.d > b.d; };
        std::vector<Next> heads;
        for (const auto& [start, weight] : starts) {
            if (!records.empty())
                heads.push_back({start - records.front(), weight, start, 0});
        }
        std::make_heap(heads.begin(), heads.end(), later);
        const auto consider = [&](std::int64_t d, int votes) {
            candidates.emplace_back(votes, d);
            std::push_heap(candidates.begin(), candidates.end(), std::greater<>());
            if (candidates.size() > 8) {
                std::pop_heap(candidates.begin(), candidates.end(), std::greater<>());
                candidates.pop_back();
            }
        };
        std::optional<std::pair<std::int64_t, int>> counting;  // the difference under way
        while (!heads.empty()) {
            std::pop_heap(heads.begin(), heads.end(), later);
            Next& head = heads.back();
            if (counting && counting->first == head.d) {
                counting->second += head.weight;
            } else {
                if (counting)
                    consider(counting->first, counting->second);
                counting = std::pair(head.d, head.weight);
            }
            if (++head.record < records.size()) {
                head.d = head.start - records[head.record];
                std::push_heap(heads.begin(), heads.end(), later);
            } else {
                heads.pop_back();
            }
        }
        if (counting)
            consider(counting->first, counting->second);
        std::sort(candidates.begin(), candidates.end(), std::greater<>());
    }
    // The strings of bucket k under difference d: from where its first string lies, read
    // through the CONTINUE records of its run. A bucket whose record lost its header with the
    // damage (the table's first, often) is read from its place up to the next record that
    // survives. Nothing when no string starts there.
    // Bytes that are not the ones written: zeroed units, and stretches that read as no record.
    auto wiped = [&](std::size_t a, std::size_t b) {
        return ZeroedUnitIn(found, a, b) ||
               std::any_of(untrusted.begin(), untrusted.end(), [&](const auto& r) { return r.first < b && a < r.second; });
    };
    auto readBucket = [&](std::size_t k, std::int64_t d, BucketStrings& strings) -> BucketRead {
        const std::int64_t at = bucketStart(k) - d;
        const std::int64_t record = at - bucketOffset(k);
        if (at < 0 || record + static_cast<std::int64_t>(kHeader) > at || static_cast<std::size_t>(at) + 3 > to)
            return {};
        const std::size_t position = static_cast<std::size_t>(at);
        if (position < bucketsFrom)
            return {};  // in what survives of the table's start, read from there
        if (position + 3 > found.size() || (found[position] | found[position + 1] | found[position + 2]) == 0 ||
            (found[position + 2] & ~0x0D) != 0)
            return {};  // wiped, or no string starts there
        std::optional<std::size_t> ownRun;  // of the record it lies in, when that survives
        auto next = std::upper_bound(pieces.begin(), pieces.end(), position,
                                     [](std::size_t a, const Piece& p) { return a < p.at; });
        // The bodies to read through: the run's own, shared, from the record the bucket lies
        // in; or, that record lost, the bytes up to the next record that survives and its run.
        std::optional<ChainCursor> reading;
        if (next != pieces.begin() && std::prev(next)->at == static_cast<std::size_t>(record)) {
            const auto piece = std::prev(next);
            const std::size_t end = piece->at + kHeader + piece->length;
            if (position >= end)
                return {};
            ownRun = piece->run;
            next = piece + 1;
            if (next != pieces.end() && next->run != piece->run)
                next = pieces.end();
            reading.emplace(runBodies[piece->run], piece->within, position - (piece->at + kHeader), found.data());
        } else if (next == pieces.end()) {
            // The table's one record lost its header: its bytes up to the index that follows.
            if (!lostStart || *index <= position || *index - position > kMaxBody || *index > found.size())
                return {};
            reading.emplace(std::vector<Bytes>{Bytes(found.data() + position, *index - position)}, found.data());
        } else {
            if (next->at - position > kMaxBody)
                return {};
            if (next->at > found.size())
                return {};
            std::vector<Bytes> bodies{Bytes(found.data() + position, next->at - position)};
            const std::vector<Bytes>& run = *runBodies[next->run];
            bodies.insert(bodies.end(), run.begin() + static_cast<std::ptrdiff_t>(next->within), run.end());
            reading.emplace(std::move(bodies), found.data());
        }
        BucketRead read;
        read.first = strings.End();
        read.at = position;
        if (next != pieces.end())
            read.runs[0] = next->run;
        if (ownRun)
            read.runs[1] = *ownRun;
        ChainCursor& cursor = *reading;
        bool textual = true;
        std::u16string text;
        for (std::size_t i = 0; i < perBucket; ++i) {
            if (!cursor.Settle())
                break;
            const std::size_t begin = cursor.Position();
            text.clear();
            const bool whole = cursor.String(false, &text);
            if (!whole || wiped(begin, cursor.Position()))
                break;
            textual = textual && std::none_of(text.begin(), text.end(), [](char16_t c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; });
            read.textual += textual ? 1 : 0;
            const std::uint8_t* chars = cursor.CharsAt();
            const std::size_t offset = chars ? static_cast<std::size_t>(chars - found.data()) : 0;
            if (byPlace && chars && text.size() * (cursor.Wide() ? 2 : 1) > 4 && offset >= from && offset <= 0xFFFF'FFFF &&
                cursor.Wide() == BucketStrings::HeldWide(text))
                strings.AddAt(static_cast<std::uint32_t>(offset), text.size(), cursor.Wide());
            else
                strings.Add(text);
            ++read.count;
        }
        if (k + 1 < buckets && read.Count() == perBucket) {
            const std::int64_t nextAt = bucketStart(k + 1) - d;
            if (cursor.Settle()) {
                read.checked = true;
                read.lands = static_cast<std::int64_t>(cursor.Position()) == nextAt;
            }
        }
        return read;
    };
    // How many buckets end where the next begins, and how many strings that read as text (no
    // control characters) the buckets begin with: the right difference reads whole buckets, a
    // wrong one stray bytes. The reading stops once the buckets left could not lift the
    // score above `toBeat` even if all of them landed and read as text; `reads` gets what
    // was read.
    auto score = [&](std::int64_t d, std::pair<std::size_t, std::size_t> toBeat, std::vector<BucketRead>& reads, BucketStrings& strings) {
        std::size_t landing = 0, textual = 0;
        reads.clear();
        strings.Clear();
        for (std::size_t k = 0; k < buckets; ++k) {
            const std::size_t left = buckets - k;
            if (std::pair{landing + left, textual + left * perBucket} <= toBeat)
                break;
            reads.push_back(readBucket(k, d, strings));
            landing += reads.back().lands ? 1u : 0u;
            textual += reads.back().textual;
        }
        return std::pair{landing, textual};
    };
    // Where the table's start survives, the index's offsets are most likely the stream's own:
    // that difference goes first, and stands on a tie.
    if (unmended) {
        std::erase_if(candidates, [](const auto& candidate) { return candidate.second == 0; });
        candidates.insert(candidates.begin(), {0, 0});
    }
    std::int64_t best = 0;
    std::pair<std::size_t, std::size_t> bestScore{0, 0};
    std::vector<BucketRead> reads, tried;  // the best difference's buckets; those under way
    BucketStrings triedStrings;
    for (const auto& candidate : candidates) {
        const auto scored = score(candidate.second, bestScore, tried, triedStrings);
        if (scored > bestScore) {
            bestScore = scored;
            best = candidate.second;
            std::swap(reads, tried);  // (read whole: a reading cut short scores no higher)
            std::swap(standingStrings, triedStrings);
        }
    }
    triedStrings.Clear();
    if (bestScore.second == 0)
        return false;

    // A bucket's strings stand where it ends exactly where the next begins; otherwise those
    // before the damage it runs into (or the end of what survives), once the difference is
    // proven by a bucket that lands. A bucket that reads whole but lands elsewhere is no
    // bucket: nothing of it stands.
    // Where the table's start survives and nothing before it moved, the index's offsets are
    // the stream's own.
    bool proven = unmended.has_value() && best == 0;
    for (const BucketRead& read : reads) {
        proven = proven || read.lands;
        for (const std::size_t run : read.runs) {
            if (run != kNoPlace)
                used[run] = true;
        }
    }
    for (BucketRead& read : reads) {
        if (!read.lands && (!proven || read.checked))
            read = BucketRead();
        else
            read.stands = true;
    }
    standing = std::move(reads);
    return true;
    }();
    if (!indexed && known.Count() == 0 && declared == 0)
        return {};  // nothing to go by, and no table that has to go
    if (naming)
        naming->Wait();
    // The strings by their place: those read from the table's start, then the buckets' that
    // stand; the rest are gone.
    std::size_t held = known.Count();
    for (std::size_t k = 0; k < standing.size(); ++k) {
        if (standing[k].stands)
            held = std::max(held, k * perBucket + standing[k].Count());
    }
    // (Asked in order: a bucket's strings are read one after another from its first.)
    std::size_t nextWanted = kNoPlace;
    BucketStrings::Place reading;
    const std::uint8_t* placesIn = found.data();  // where the strings held by their place lie
    const auto text = [&](std::size_t n) -> StringRun::Text {
        if (n < known.Count())
            return known.At(n);
        const std::size_t k = perBucket == 0 ? standing.size() : n / perBucket;
        const std::size_t i = perBucket == 0 ? 0 : n % perBucket;
        if (k >= standing.size() || i >= standing[k].Count())
            return {};
        if (n != nextWanted) {
            reading = standing[k].first;
            for (std::size_t skipped = 0; skipped < i; ++skipped)
                standingStrings.Next(reading, placesIn);
        }
        nextWanted = n + 1;
        return standingStrings.Next(reading, placesIn);
    };
    // (No table holds more strings than the stream has room for, three bytes each at least.)
    const std::size_t count = std::max(held, std::min({named, std::max(indexCount, declared), stream.size() / 3}));

    // The new table: each string whole in one record where it fits, else its characters go on
    // in the next with a flags byte of their own, as the format has it. Laid out twice: once
    // to learn its size, then into memory of that size (`out`), or over what it is read from
    // (`behind`).
    const auto layOut = [&](std::uint8_t* out, WrittenBehind* behind = nullptr) {
        const bool write = out != nullptr;
        std::size_t size = 0;
        std::size_t record = 0;  // where the record under way begins
        const auto put = [&](const std::uint8_t* bytes, std::size_t n) {
            if (behind)
                behind->Put(bytes, n);
            else if (write)
                std::memcpy(out + size, bytes, n);
            size += n;
        };
        const auto open = [&](std::uint16_t type) {
            record = size;
            const std::uint8_t header[kHeader] = {static_cast<std::uint8_t>(type & 0xFF), static_cast<std::uint8_t>(type >> 8), 0, 0};
            put(header, kHeader);
        };
        const auto close = [&] {
            if (behind)
                behind->Patch(record + 2, static_cast<std::uint16_t>(size - record - kHeader));
            else if (write)
                StoreLe16(out + record + 2, static_cast<std::uint16_t>(size - record - kHeader));
        };
        const auto room = [&] { return kMaxBody - (size - record - kHeader); };
        open(kSst);
        std::uint8_t counts[8];
        StoreLe32(counts, static_cast<std::uint32_t>(count));
        StoreLe32(counts + 4, static_cast<std::uint32_t>(count));
        put(counts, 8);
        for (std::size_t n = 0; n < count; ++n) {
            if (behind && perBucket > 0 && n >= known.Count() && n % perBucket == 0)
                behind->Release(n / perBucket);
            const StringRun::Text string = text(n);
            const std::size_t characters = string.Characters();
            const std::size_t width = string.wide ? 2 : 1;
            const std::uint8_t flags = string.wide ? 1 : 0;
            if (room() < 3 + (characters == 0 ? 0 : width)) {
                close();
                open(kContinue);
            }
            const std::uint8_t head[3] = {static_cast<std::uint8_t>(characters & 0xFF), static_cast<std::uint8_t>(characters >> 8), flags};
            put(head, 3);
            for (std::size_t i = 0; i < characters;) {
                if (room() < width) {
                    close();
                    open(kContinue);
                    put(&flags, 1);
                }
                const std::size_t take = std::min(characters - i, room() / width);
                put(string.bytes.data() + i * width, take * width);
                i += take;
            }
        }
        close();
        return size;
    };
    const std::size_t size = layOut(nullptr);

    // The table goes in the place of the records it is read from (see above) where every run
    // of them was read from and it fits there, filler after it.
    const bool everyRunRead = std::all_of(used.begin(), used.end(), [](bool u) { return u; });
    if (inPlace != kNoPlace && !(everyRunRead && (indexEnd - inPlace == size || size + kHeader <= indexEnd - inPlace)))
        inPlace = kNoPlace;
    // Strings held by their place are laid out elsewhere before their records become filler.
    std::vector<std::uint8_t> records;
    const bool laidOut = inPlace == kNoPlace && standingStrings.AnyByPlace();
    if (laidOut) {
        records.resize(size);
        layOut(records.data());
    }

    // What it was read from, and the index, which no longer fits, become filler (before the
    // table goes where `place` says: the stream may move then).
    // (In their place, the table and the filler after it are written over them all.)
    auto neutralise = [&](std::size_t at, std::size_t end) {
        if (inPlace == kNoPlace)
            WriteFiller(stream, nullptr, at, end);
        regions.push_back({MendedRegion::Kind::Replaced, at, end - at, -1});
    };
    for (const Piece& piece : pieces) {
        if (used[piece.run] && !(table && piece.at == table->at))
            neutralise(piece.at, piece.at + kHeader + piece.length);
    }
    if (index && U16(stream, *index) != kFillerRecord)
        neutralise(*index, *index + kHeader + U16(stream, *index + 2));
    for (const std::size_t part : indexParts)
        neutralise(part, part + kHeader + U16(stream, part + 2));

    if (inPlace != kNoPlace) {
        const std::size_t before = stream.size();
        place(0);
        const std::size_t shift = stream.size() - before;  // (none when right after the new start)
        // Written behind the reading: no further than the first string still to be read, of
        // the buckets to come (the place of each bucket's first string, which the new start
        // moved up by `shift` with the rest).
        placesIn = stream.data() + shift;
        std::vector<std::size_t> firstAt(standing.size() + 1, kNoPlace);
        for (std::size_t k = standing.size(); k-- > 0;)
            firstAt[k] = std::min(firstAt[k + 1], standing[k].stands && standing[k].Count() > 0 ? standing[k].at : kNoPlace);
        WrittenBehind behind(stream.data() + shift + inPlace, [&](std::size_t bucket) {
            const std::size_t first = firstAt[std::min(bucket, standing.size())];
            return first == kNoPlace ? kNoPlace : first > inPlace ? first - inPlace : 0;
        });
        layOut(stream.data() + inPlace + shift, &behind);
        behind.Finish();
        if (inPlace + size < indexEnd)
            WriteFiller(stream, nullptr, inPlace + size + shift, indexEnd + shift);
        // (What lies before `from` is the new start's.)
        const std::size_t written = afterStart ? from : inPlace;
        if (written < pieces.front().at)
            regions.push_back({MendedRegion::Kind::Replaced, written + shift, pieces.front().at - written, -1});
    } else if (place) {
        std::uint8_t* into = place(size);
        if (laidOut)
            std::copy(records.begin(), records.end(), into);
        else
            layOut(into);
        records = {};
    } else if (!laidOut) {
        records.resize(size);
        layOut(records.data());
    }
    return records;
}

bool RebuildStringTableIn(std::vector<std::uint8_t>& stream, std::size_t from, std::size_t to, std::vector<MendedRegion>& regions,
                          const TablePlace& place, std::optional<std::size_t> goesOnPast)
{
    bool placed = false;
    const TablePlace placing = [&](std::size_t size) {
        placed = true;
        return place(size);
    };
    RebuildStringTable(stream, from, to, regions, {}, 0, std::nullopt, {}, 0, std::nullopt, placing, goesOnPast);
    return placed;
}

}  // namespace tabulon::mending
