// The string table's buckets read under the differences the index's places most likely stand
// at from the stream's, and the strings of those that prove right chosen.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mend_strings_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

namespace {

using Candidates = std::vector<std::pair<int, std::int64_t>>;  // (votes, difference)

// How many ballots the buckets cast at most (see LikeliestDifferences).
constexpr std::size_t kMostBallots = std::size_t{1} << 22;

// Each bucket votes, for every CONTINUE record found, for the difference that puts its
// record there. Buckets share records: each record start votes once, with their number.
// The eight differences with most votes are tried (the most first, the larger difference
// first on a tie). The ballots are counted as they come, in the order of the differences:
// each start's own, one per record, merged (a large table casts millions of them). A table
// too large for every bucket to vote at every record (a 100 MB workbook's has thousands of
// each) votes with evenly spread buckets: the right difference has the votes of all of them.
Candidates LikeliestDifferences(const TableEvidence& evidence)
{
    Candidates candidates;
    std::map<std::int64_t, int> starts;
    const std::size_t ballots = evidence.buckets * std::max<std::size_t>(evidence.pieces.size(), 1);
    const std::size_t stride = (ballots + kMostBallots - 1) / kMostBallots;
    for (std::size_t k = 0; k < evidence.buckets; k += stride)
        ++starts[evidence.BucketStart(k) - evidence.BucketOffset(k)];
    std::vector<std::int64_t> records;  // where the CONTINUE records lie, the last first
    for (const TablePiece& piece : evidence.pieces)
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
    return candidates;
}

// Whether a text holds control characters other than tab and line ends: no string a writer
// wrote does, stray bytes read as one often do.
bool HoldsControlCharacters(std::u16string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char16_t c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; });
}

// Bytes that are not the ones written: zeroed units, and stretches that read as no record.
bool Wiped(const TableEvidence& evidence, std::size_t a, std::size_t b)
{
    return ZeroedUnitIn(evidence.found, a, b) ||
           std::any_of(evidence.untrusted.begin(), evidence.untrusted.end(), [&](const auto& r) { return r.first < b && a < r.second; });
}

// The bodies a bucket's strings are read through from `position`, in the record that begins
// at `record`: the run's own, shared, from that record; or, that record lost, the bytes up to
// the next record that survives and its run. Nothing where they cannot be read there; the
// runs read in go into `read`.
std::optional<ChainCursor> BucketCursor(const TableEvidence& evidence, std::size_t position, std::int64_t record, BucketRead& read)
{
    const Bytes found = evidence.found;
    const std::vector<TablePiece>& pieces = evidence.pieces;
    std::optional<ChainCursor> reading;
    std::optional<std::size_t> ownRun;  // of the record it lies in, when that survives
    auto next = std::upper_bound(pieces.begin(), pieces.end(), position,
                                 [](std::size_t a, const TablePiece& p) { return a < p.at; });
    if (next != pieces.begin() && std::prev(next)->at == static_cast<std::size_t>(record)) {
        const auto piece = std::prev(next);
        const std::size_t end = piece->at + kHeader + piece->length;
        if (position >= end)
            return reading;
        ownRun = piece->run;
        next = piece + 1;
        if (next != pieces.end() && next->run != piece->run)
            next = pieces.end();
        reading.emplace(evidence.runBodies[piece->run], piece->within, position - (piece->at + kHeader), found.data());
    } else if (next == pieces.end()) {
        // The table's one record lost its header: its bytes up to the index that follows.
        const std::size_t index = *evidence.index;
        if (!evidence.lostStart || index <= position || index - position > kMaxBody || index > found.size())
            return reading;
        reading.emplace(std::vector<Bytes>{Bytes(found.data() + position, index - position)}, found.data());
    } else {
        if (next->at - position > kMaxBody)
            return reading;
        if (next->at > found.size())
            return reading;
        std::vector<Bytes> bodies{Bytes(found.data() + position, next->at - position)};
        const std::vector<Bytes>& run = *evidence.runBodies[next->run];
        bodies.insert(bodies.end(), run.begin() + static_cast<std::ptrdiff_t>(next->within), run.end());
        reading.emplace(std::move(bodies), found.data());
    }
    if (next != pieces.end())
        read.runs[0] = next->run;
    if (ownRun)
        read.runs[1] = *ownRun;
    return reading;
}

// A bucket's strings read from `cursor` into `strings` as far as they read whole from bytes
// as they were written: `read` counts them, and those that read as text from the first on.
// A table laid out over the records it is read from is written behind its reading, so that
// the strings whose characters lie whole in the stream past the damage (`from` on, where
// nothing is written before the table is) are held by their place there, not copied: a
// large table's strings are not held twice. At most `most` strings (a bucket's, by default).
void ReadBucketStrings(const TableEvidence& evidence, ChainCursor& cursor, BucketRead& read, BucketStrings& strings,
                       std::size_t most = 0)
{
    most = most == 0 ? evidence.perBucket : most;
    const Bytes found = evidence.found;
    const bool byPlace = evidence.inPlace.at != kNoPlace;
    bool textual = true;
    std::u16string text;
    for (std::size_t i = 0; i < most; ++i) {
        if (!cursor.Settle())
            break;
        const std::size_t begin = cursor.Position();
        text.clear();
        const bool whole = cursor.String(false, &text);
        if (!whole || Wiped(evidence, begin, cursor.Position()))
            break;
        textual = textual && !HoldsControlCharacters(text);
        read.textual += textual ? 1 : 0;
        const std::uint8_t* chars = cursor.CharsAt();
        const std::size_t offset = chars ? static_cast<std::size_t>(chars - found.data()) : 0;
        if (byPlace && chars && text.size() * (cursor.Wide() ? 2 : 1) > 4 && offset >= evidence.from && offset <= 0xFFFF'FFFF &&
            cursor.Wide() == BucketStrings::HeldWide(text))
            strings.AddAt(static_cast<std::uint32_t>(offset), text.size(), cursor.Wide());
        else
            strings.Add(text);
        ++read.count;
    }
}

// Where bucket k's first string lies under difference d, and where the record it lies in
// begins. LibreOffice names a bucket whose first string begins a CONTINUE record by that
// record's header: the string lies right after it.
std::pair<std::int64_t, std::int64_t> BucketPlace(const TableEvidence& evidence, std::size_t k, std::int64_t d)
{
    const std::int64_t at = evidence.BucketStart(k) - d;
    const std::vector<TablePiece>& pieces = evidence.pieces;
    const auto piece = std::lower_bound(pieces.begin(), pieces.end(), at,
                                        [](const TablePiece& p, std::int64_t a) { return static_cast<std::int64_t>(p.at) < a; });
    if (at >= 0 && piece != pieces.end() && static_cast<std::int64_t>(piece->at) == at && !piece->lost)
        return {at + static_cast<std::int64_t>(kHeader), at};
    return {at, at - evidence.BucketOffset(k)};
}

// The strings of bucket k under difference d: from where its first string lies, read
// through the CONTINUE records of its run. A bucket whose record lost its header with the
// damage (the table's first, often) is read from its place up to the next record that
// survives. Nothing when no string starts there.
BucketRead ReadBucket(const TableEvidence& evidence, std::size_t k, std::int64_t d, BucketStrings& strings)
{
    const Bytes found = evidence.found;
    const auto [at, record] = BucketPlace(evidence, k, d);
    if (at < 0 || record + static_cast<std::int64_t>(kHeader) > at || static_cast<std::size_t>(at) + 3 > evidence.to)
        return {};
    const std::size_t position = static_cast<std::size_t>(at);
    if (position < evidence.bucketsFrom)
        return {};  // in what survives of the table's start, read from there
    if (position + 3 > found.size() || (found[position] | found[position + 1] | found[position + 2]) == 0 ||
        (found[position + 2] & ~0x0D) != 0)
        return {};  // wiped, or no string starts there
    BucketRead read;
    std::optional<ChainCursor> reading = BucketCursor(evidence, position, record, read);
    if (!reading)
        return {};
    read.first = strings.End();
    read.at = position;
    ChainCursor& cursor = *reading;
    ReadBucketStrings(evidence, cursor, read, strings);
    if (k + 1 < evidence.buckets && read.Count() == evidence.perBucket) {
        const std::int64_t nextAt = BucketPlace(evidence, k + 1, d).first;
        if (cursor.Settle()) {
            read.checked = true;
            read.lands = static_cast<std::int64_t>(cursor.Position()) == nextAt;
        }
    }
    return read;
}

// The record `position` lies in for BucketCursor: the surviving one whose body holds it, else
// none (-1: its header went with the damage, and its bytes run up to the next that survives).
std::int64_t RecordHolding(const TableEvidence& evidence, std::size_t position)
{
    const std::vector<TablePiece>& pieces = evidence.pieces;
    const auto after = std::upper_bound(pieces.begin(), pieces.end(), position, [](std::size_t a, const TablePiece& p) { return a < p.at; });
    if (after == pieces.begin())
        return -1;
    const TablePiece& piece = *std::prev(after);
    return position >= piece.at + kHeader && position < piece.at + kHeader + piece.length ? static_cast<std::int64_t>(piece.at) : -1;
}

// Where the string read from `start` ends (the next one's place): nothing where no string a
// table holds starts there (zeros, flags no string has, more characters than lie before `end`),
// it runs into wiped bytes, or it holds control characters (a reading begun inside a string
// reads the headers of the strings after it as characters).
std::optional<std::size_t> StringEndFrom(const TableEvidence& evidence, std::size_t start, std::size_t end, std::u16string& text)
{
    const Bytes found = evidence.found;
    if (start + 3 > found.size() || (found[start] | found[start + 1] | found[start + 2]) == 0 || (found[start + 2] & ~0x0D) != 0 ||
        start + 3 + LoadLe16(found.data() + start) > end + kHeader + 1)
        return std::nullopt;
    BucketRead unused;
    std::optional<ChainCursor> cursor = BucketCursor(evidence, start, RecordHolding(evidence, start), unused);
    text.clear();
    // (The table's last string ends with its last record: nothing follows to settle on.)
    if (!cursor || !cursor->String(false, &text) || Wiped(evidence, start, cursor->Position()) ||
        (cursor->Position() != end && !cursor->Settle()) || cursor->Position() > end || HoldsControlCharacters(text))
        return std::nullopt;
    return cursor->Position();
}

// The last strings of bucket k, whose first went with the damage, where bucket k + 1 stands at
// `end`: every place from `from` on is read as a string's start, and the places whose strings
// run on to `end` exactly kept. A reading begun inside a string may run into the right ones and
// reach `end` as well: where two readings meet, which came before is not proven, so the
// strings are proven from the last place where readings meet on (from the first reading's start
// where none do). Their count and where the first lies; nothing where none.
std::optional<std::pair<std::size_t, std::size_t>> ProvenTail(const TableEvidence& evidence, std::size_t from, std::size_t end)
{
    if (from >= end || end - from > kMaxBody * 512)
        return std::nullopt;
    // From the end back: the place after each that reaches the end, and how many strings do.
    const std::size_t span = end - from;
    std::vector<std::uint32_t> next(span, 0), strings(span, 0);  // (strings 0: does not reach it)
    std::u16string text;
    for (std::size_t k = span; k-- > 0;) {
        const std::optional<std::size_t> after = StringEndFrom(evidence, from + k, end, text);
        if (!after || *after <= from + k)
            continue;
        const std::size_t rest = *after == end ? 0 : strings[*after - from];
        if (*after != end && rest == 0)
            continue;
        next[k] = static_cast<std::uint32_t>(*after - from);
        strings[k] = static_cast<std::uint32_t>(rest + 1);
    }
    std::vector<std::uint8_t> reachedFrom(span, 0);  // readings that step onto each place (two at most counted)
    std::optional<std::size_t> first, lastMeeting;
    for (std::size_t k = 0; k < span; ++k) {
        if (strings[k] == 0)
            continue;
        first = first.value_or(k);
        if (reachedFrom[k] >= 2)
            lastMeeting = k;
        if (next[k] < span && reachedFrom[next[k]] < 2)
            ++reachedFrom[next[k]];
    }
    if (!first)
        return std::nullopt;
    const std::size_t proven = lastMeeting.value_or(*first);
    return std::pair{std::size_t{strings[proven]}, from + proven};
}

// How many buckets end where the next begins, and how many strings that read as text (no
// control characters) the buckets begin with: the right difference reads whole buckets, a
// wrong one stray bytes. The reading stops once the buckets left could not lift the
// score above `toBeat` even if all of them landed and read as text; `reads` gets what
// was read.
std::pair<std::size_t, std::size_t> Score(const TableEvidence& evidence, std::int64_t d, std::pair<std::size_t, std::size_t> toBeat,
                                          std::vector<BucketRead>& reads, BucketStrings& strings)
{
    std::size_t landing = 0, textual = 0;
    reads.clear();
    strings.Clear();
    for (std::size_t k = 0; k < evidence.buckets; ++k) {
        const std::size_t left = evidence.buckets - k;
        if (std::pair{landing + left, textual + left * evidence.perBucket} <= toBeat)
            break;
        reads.push_back(ReadBucket(evidence, k, d, strings));
        landing += reads.back().lands ? 1u : 0u;
        textual += reads.back().textual;
    }
    return std::pair{landing, textual};
}

// How many of the buckets whose first string was read from the table's surviving start the
// difference `d` puts where that string began. The start, read string by string, proves the
// index's places: in a table of strings much alike (a column of generated names), a wrong
// difference lands as many buckets past the damage as the right one, each a few hundred
// strings off.
std::size_t AgreeingWithStart(const TableEvidence& evidence, std::int64_t d)
{
    const StringRun& known = *evidence.known;
    std::size_t agreeing = 0;
    for (std::size_t k = 0; k < evidence.buckets && k * evidence.perBucket < known.Count(); ++k)
        agreeing += BucketPlace(evidence, k, d).first == static_cast<std::int64_t>(known.BeginOf(k * evidence.perBucket)) ? 1u : 0u;
    return agreeing;
}

// A bucket's strings stand where it ends exactly where the next begins; otherwise those
// before the damage it runs into (or the end of what survives), once the difference is
// proven by a bucket that lands. A bucket that reads whole but lands elsewhere is no
// bucket: nothing of it stands. The runs the buckets were read in go into `used`.
void MarkStanding(const TableEvidence& evidence, std::int64_t best, bool agreesWithStart, std::vector<BucketRead>& reads,
                  std::vector<bool>& used)
{
    // Where the table's start survives and nothing before it moved, the index's offsets are
    // the stream's own; where the start's strings lie where the difference puts them, it is
    // proven too.
    bool proven = (evidence.unmended.has_value() && best == 0) || agreesWithStart;
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
}

// The last strings of a bucket of `size` that ProvenTail proved (how many, and where the first
// lies), read into the choice's strings, the runs they lie in taken; nothing where they do not
// read again.
std::optional<BucketRead> TakeTail(const TableEvidence& evidence, std::pair<std::size_t, std::size_t> tail, std::size_t size,
                                   TableChoice& choice)
{
    BucketRead read;
    std::optional<ChainCursor> cursor = BucketCursor(evidence, tail.second, RecordHolding(evidence, tail.second), read);
    if (!cursor)
        return std::nullopt;
    read.first = choice.strings.End();
    read.at = tail.second;
    ReadBucketStrings(evidence, *cursor, read, choice.strings, tail.first);
    if (read.count < tail.first)
        return std::nullopt;
    read.skip = static_cast<std::uint32_t>(size - tail.first);
    read.stands = true;
    for (const std::size_t run : read.runs)
        if (run != kNoPlace)
            choice.used[run] = true;
    return read;
}

// Each bucket whose start or middle went with the damage, where the next bucket stands, keeps
// its last strings that ProvenTail proves: in place of its first ones where its start went,
// after them (as its tail) where only its first strings read up to the damage.
void ReadTails(const TableEvidence& evidence, std::int64_t best, TableChoice& choice)
{
    std::vector<BucketRead>& standing = choice.standing;
    choice.tails.assign(standing.size(), BucketRead());
    for (std::size_t k = 0; k + 1 < standing.size(); ++k) {
        const BucketRead& following = standing[k + 1];
        const bool head = standing[k].Count() > 0;
        if ((head && (standing[k].lands || !standing[k].stands || standing[k].skip > 0)) || !following.stands ||
            following.Count() == 0 || following.at == kNoPlace)
            continue;
        // (The bucket's first strings, where they read, are read either from its start or from
        // the table's.)
        const std::size_t bucketStart = k * evidence.perBucket;
        const std::size_t fromTableStart = evidence.known->Count() > bucketStart ? evidence.known->Count() - bucketStart : 0;
        const std::size_t first = std::max(standing[k].Count(), fromTableStart);
        const std::int64_t named = BucketPlace(evidence, k, best).first;
        const std::optional<std::pair<std::size_t, std::size_t>> tail =
            ProvenTail(evidence, static_cast<std::size_t>(std::max<std::int64_t>(named, 0)), following.at);
        if (!tail || tail->first >= evidence.perBucket || first + tail->first > evidence.perBucket)
            continue;
        if (std::optional<BucketRead> read = TakeTail(evidence, *tail, evidence.perBucket, choice))
            (head ? choice.tails[k] : standing[k]) = *read;
    }
}

// A table without an index (not every writer writes one) whose middle went, its start and its
// end surviving: no place past the hole is named, but its start says how many strings it holds.
// The strings after the last hole that ProvenTail proves, read back from the table's end, are
// its last ones (one bucket that holds them all, its first skipped).
void ReadUnindexedTail(const TableEvidence& evidence, TableChoice& choice)
{
    const std::size_t known = evidence.known->Count();
    if (evidence.index || !evidence.table || evidence.table->end == kNoPlace || evidence.declared <= known ||
        evidence.declared > evidence.found.size() / 3 || evidence.table->end > evidence.found.size())
        return;
    // Past the last zeroed unit (what lies before it is read as lost).
    const std::size_t end = evidence.table->end;
    std::size_t from = end;
    while (from > evidence.table->knownEnd) {
        const std::size_t unit = std::max(evidence.table->knownEnd, (from - 1) / kUnit * kUnit);
        if (Wiped(evidence, unit, from))
            break;
        from = unit;
    }
    const std::optional<std::pair<std::size_t, std::size_t>> tail = ProvenTail(evidence, from, end);
    if (!tail || known + tail->first > evidence.declared)
        return;
    if (std::optional<BucketRead> read = TakeTail(evidence, *tail, evidence.declared, choice))
        choice.standing.assign(1, *read);
}

}  // namespace

TableChoice ChooseStrings(const TableEvidence& evidence)
{
    TableChoice choice;
    choice.used.assign(evidence.runs, false);
    if (evidence.perBucket == 0) {
        ReadUnindexedTail(evidence, choice);
        return choice;
    }
    choice.indexCount = evidence.buckets * evidence.perBucket;
    Candidates candidates = LikeliestDifferences(evidence);
    // Where the table's start survives, the index's offsets are most likely the stream's own:
    // that difference goes first, and stands on a tie.
    if (evidence.unmended) {
        std::erase_if(candidates, [](const auto& candidate) { return candidate.second == 0; });
        candidates.insert(candidates.begin(), {0, 0});
    }
    // A difference that puts fewer of the buckets in the surviving start where their strings
    // began is not tried; one that puts more stands over any that lands more buckets.
    std::int64_t best = 0;
    std::size_t bestAgreeing = 0;
    std::pair<std::size_t, std::size_t> bestScore{0, 0};
    std::vector<BucketRead> reads, tried;  // the best difference's buckets; those under way
    BucketStrings triedStrings;
    for (const auto& candidate : candidates) {
        const std::size_t agreeing = AgreeingWithStart(evidence, candidate.second);
        if (agreeing < bestAgreeing)
            continue;
        const bool agreesMore = agreeing > bestAgreeing;
        const auto scored = Score(evidence, candidate.second, agreesMore ? std::pair<std::size_t, std::size_t>{0, 0} : bestScore,
                                  tried, triedStrings);
        if (agreesMore || scored > bestScore) {
            bestAgreeing = agreeing;
            bestScore = scored;
            best = candidate.second;
            std::swap(reads, tried);  // (read whole: a reading cut short scores no higher)
            std::swap(choice.strings, triedStrings);
        }
    }
    triedStrings.Clear();
    if (bestScore.second == 0)
        return choice;
    MarkStanding(evidence, best, bestAgreeing > 0, reads, choice.used);
    choice.standing = std::move(reads);
    ReadTails(evidence, best, choice);
    choice.indexed = true;
    return choice;
}

}  // namespace tabulon::mending
