// Counts inside records that their lengths, or the string table's index and count, contradict.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/pieces.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

namespace {

int BitsApart(std::uint32_t a, std::uint32_t b)
{
    return std::popcount(a ^ b);
}

// A sheet name's length in the entry of the list of sheets at `at` (and, in BIFF8, its flags),
// where the entry's length contradicts it and exactly one changed bit agrees with the length:
// gives whether there is such a bit (set right with `kMend`).
template <bool kMend, class Stream>
bool MendSheetNameLength(Stream& stream, std::size_t at, bool biff8, std::vector<MendedRegion>& regions)
{
    const std::size_t length = U16(stream, at + 2);
    auto* body = stream.data() + at + kHeader;
    const std::uint8_t count = body[6];
    const std::uint8_t flags = biff8 ? body[7] : 0;
    const std::size_t chars = length - (biff8 ? 8 : 7);
    const bool agrees = biff8 ? (flags & ~1) == 0 && chars == std::size_t{count} * ((flags & 1) ? 2 : 1) : chars == count;
    if (agrees)
        return false;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> readings;
    for (const std::uint8_t wide : {std::uint8_t{0}, std::uint8_t{1}}) {
        if ((!biff8 && wide) || (wide && chars % 2 != 0))
            continue;
        const std::size_t other = wide ? chars / 2 : chars;
        if (other >= 1 && other <= 31 && BitsApart(count, static_cast<std::uint32_t>(other)) + BitsApart(flags, wide) == 1)
            readings.emplace_back(static_cast<std::uint8_t>(other), wide);
    }
    if (readings.size() != 1)
        return false;
    if constexpr (kMend) {
        body[6] = readings[0].first;
        if (biff8)
            body[7] = readings[0].second;
        regions.push_back({MendedRegion::Kind::Replaced, at + kHeader + 6, biff8 ? 2u : 1u, -1});
    }
    return true;
}

// The count of the external-reference list at `at`, where one changed bit makes it the count
// the record's length holds: gives whether there is such a bit (set right with `kMend`).
template <bool kMend, class Stream>
bool MendExternCount(Stream& stream, std::size_t at, std::vector<MendedRegion>& regions)
{
    const std::size_t length = U16(stream, at + 2);
    auto* body = stream.data() + at + kHeader;
    const std::uint16_t count = LoadLe16(body);
    const std::size_t other = (length - 2) / 6;
    if (count == other || BitsApart(count, static_cast<std::uint32_t>(other)) != 1)
        return false;
    if constexpr (kMend) {
        StoreLe16(body, static_cast<std::uint16_t>(other));
        regions.push_back({MendedRegion::Kind::Replaced, at + kHeader, 2, -1});
    }
    return true;
}

// Where the globals hold the string table's bodies, and its index (EXTSST): how many strings a
// bucket holds, and the buckets' entries, which go on in CONTINUE records after a large table's.
struct StringTableRecords {
    std::vector<std::pair<std::size_t, std::size_t>> bodies;
    std::optional<std::size_t> perBucket;
    std::vector<std::uint8_t> indexEntries;
};

// The bodies of the CONTINUE records that follow, one after another, the record ending at
// `end`, each as [from, to).
template <class Stream, class Take>
void ForEachContinueAfter(const Stream& stream, std::size_t end, const Take& take)
{
    for (std::size_t next = end; next + kHeader <= stream.size() && Reads(stream, next) && U16(stream, next) == kContinue;
         next += kHeader + U16(stream, next + 2))
        take(next + kHeader, next + kHeader + U16(stream, next + 2));
}

// The counts in the globals' records (a sheet name's length, an external-reference list's
// count), and where the string table and its index lie. Without `kMend`, gives whether a count
// may need mending; false with it.
template <bool kMend, class Stream>
bool MendRecordCounts(Stream& stream, bool biff8, std::vector<MendedRegion>& regions, StringTableRecords& strings)
{
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at);) {
        const std::uint16_t type = U16(stream, at);
        const std::size_t length = U16(stream, at + 2);
        if (type == kEof || type == kFilePass)
            break;
        if (type == kBoundSheet && length >= (biff8 ? 8u : 7u) && MendSheetNameLength<kMend>(stream, at, biff8, regions)) {
            if constexpr (!kMend)
                return true;
        }
        if (type == kExternSheet && biff8 && length >= 2 && (length - 2) % 6 == 0 && MendExternCount<kMend>(stream, at, regions)) {
            if constexpr (!kMend)
                return true;
        }
        if (type == kSst && strings.bodies.empty() && length >= 8) {
            strings.bodies.emplace_back(at + kHeader, at + kHeader + length);
            ForEachContinueAfter(stream, at + kHeader + length,
                                 [&](std::size_t from, std::size_t to) { strings.bodies.emplace_back(from, to); });
        }
        if (type == kExtSst && length >= 10 && !strings.perBucket) {
            strings.perBucket = U16(stream, at + kHeader);
            const auto entries = [&](std::size_t from, std::size_t to) {
                strings.indexEntries.insert(strings.indexEntries.end(), stream.begin() + static_cast<std::ptrdiff_t>(from),
                                            stream.begin() + static_cast<std::ptrdiff_t>(to));
            };
            entries(at + kHeader + 2, at + kHeader + length);
            ForEachContinueAfter(stream, at + kHeader + length, entries);
        }
        at += kHeader + length;
    }
    return false;
}

// A changed bit in a string's header: where, the byte it makes, and whether the string's
// far-east data then has its own layout.
struct Fix {
    std::size_t offset;
    std::uint8_t value;
    bool strict;
};
constexpr std::size_t kMostFixes = 4;

// How many strings the search for a changed bit may read: a reading out of step seldom gets
// far (a string's flags read from its characters seldom hold), but bytes made to hold readings
// that do would make the search take the square of the table.
class ReadingBudget {
public:
    explicit ReadingBudget(std::size_t strings) : left_(strings) {}
    bool Take()
    {
        if (left_ == 0)
            return false;
        --left_;
        return true;
    }
    bool Spent() const { return left_ == 0; }

private:
    std::size_t left_;
};

// Whether `cursor`, past a bucket's strings, is where the next bucket begins: at `next`, or for
// the last bucket (kNoPlace), at the end of the table's last record.
bool EndsAt(ChainCursor& cursor, std::size_t next)
{
    if (next == kNoPlace)
        return !cursor.Settle();
    return cursor.Settle() && cursor.Position() == next;
}

// Whether nothing but zeros follow `cursor` to the end of the table's last record.
bool PaddingToTheEnd(ChainCursor cursor)
{
    std::uint8_t byte = 0;
    while (cursor.Settle() && cursor.Byte(byte)) {
        if (byte != 0)
            return false;
    }
    return true;
}

// Each bit of the first `bytes` bytes of the string at `at` changed in turn (in the stream, and
// put back): those after which the `strings` strings from there end at `next`, up to kMostFixes
// of them in all.
void FixesInStringHeader(std::vector<std::uint8_t>& stream, const ChainCursor& at, std::size_t bytes, std::size_t strings,
                         std::size_t next, std::vector<Fix>& fixes, ReadingBudget& budget)
{
    const std::size_t header = at.Position();
    for (std::size_t byte = 0; byte < bytes && fixes.size() < kMostFixes; ++byte) {
        for (int bit = 0; bit < 8 && fixes.size() < kMostFixes; ++bit) {
            const std::size_t where = header + byte;
            stream[where] ^= static_cast<std::uint8_t>(1u << bit);
            auto lands = [&](bool strict) {
                ChainCursor probe = at;
                bool reads = true;
                for (std::size_t j = 0; j < strings && reads; ++j)
                    reads = budget.Take() && probe.String(strict) && probe.Position() <= next;  // (past the bucket it has missed)
                return reads && EndsAt(probe, next);
            };
            if (lands(false))
                fixes.push_back({where, stream[where], lands(true)});
            stream[where] ^= static_cast<std::uint8_t>(1u << bit);
        }
    }
}

// How many of the `perBucket` strings from `bucket` read before the reading breaks: a string
// that does not read, or ends past `next`, where the next bucket begins (kNoPlace: the last).
std::size_t StringsBeforeBreak(ChainCursor walk, std::size_t perBucket, std::size_t next)
{
    std::size_t read = 0;
    while (read < perBucket && walk.Settle() && walk.String() && walk.Position() <= next)
        ++read;
    return read;
}

// The one changed bit in a string's length, flags, run count or far-east size that makes the
// `perBucket` strings read from `bucket` end where the next bucket begins (see EndsAt). When two
// readings agree with the index (a shorter text and a longer far-east block), the one whose
// far-east data has its own layout stands. The bit lies in a string up to the one where the
// reading breaks, and within kSearchedBeforeBreak strings of it: past a changed length or
// flags the strings are read out of step, and seldom read on for long.
std::optional<Fix> OneChangedBitInBucket(std::vector<std::uint8_t>& stream, const ChainCursor& bucket, std::size_t perBucket,
                                         std::size_t next, ReadingBudget& budget)
{
    constexpr std::size_t kSearchedBeforeBreak = 512;
    const std::size_t breaks = StringsBeforeBreak(bucket, perBucket, next);
    std::vector<Fix> fixes;
    ChainCursor walk = bucket;
    for (std::size_t i = 0; i <= breaks && i < perBucket && fixes.size() < kMostFixes; ++i) {
        if (!walk.Settle())
            break;
        const ChainCursor at = walk;
        if (i + kSearchedBeforeBreak >= breaks) {
            std::uint16_t count = 0;
            std::uint8_t flags = 0;
            if (!walk.Le16(count) || !walk.Byte(flags))
                break;
            const std::size_t extra = ((flags & 0x08) ? 2 : 0) + ((flags & 0x04) ? 4 : 0);
            if (at.Position() + 3 + extra > at.PieceEnd())
                break;  // a header split between records: not looked into
            FixesInStringHeader(stream, at, 3 + extra, perBucket - i, next, fixes, budget);
            walk = at;
        }
        if (!walk.String())
            break;
    }
    if (budget.Spent())
        return std::nullopt;
    if (fixes.size() > 1)
        std::erase_if(fixes, [](const Fix& fix) { return !fix.strict; });
    if (fixes.size() != 1)
        return std::nullopt;
    return fixes[0];
}

// The lengths of the shared strings, which the table's index checks, since each bucket it names
// begins exactly where the strings before it end, and the last ends with the table's last
// record, after as many strings as the table counts (which checks a table without an index).
// Without `kMend`, gives whether one may need mending; false with it.
template <bool kMend, class Stream>
bool MendStringLengths(Stream& stream, const StringTableRecords& strings, std::vector<MendedRegion>& regions)
{
    // A table without an index is one bucket of every string it counts.
    const std::uint8_t* entries = strings.indexEntries.data();
    const std::size_t counted = LoadLe32(stream.data() + strings.bodies.front().first + 4);
    const std::size_t perBucket = strings.perBucket.value_or(counted);
    const std::size_t buckets = strings.perBucket ? strings.indexEntries.size() / 8 : 1;
    if (perBucket == 0 || buckets == 0)
        return false;
    std::vector<Bytes> bodies;
    std::size_t tableBytes = 0;
    for (const auto& [from, to] : strings.bodies) {
        bodies.emplace_back(stream.data() + from, to - from);
        tableBytes += to - from;
    }
    // (A string takes three bytes at least: the table holds no more than a third of its bytes.)
    ReadingBudget budget(std::size_t{64} * (tableBytes / 3 + 1) + (std::size_t{1} << 20));
    // Where bucket k's strings begin, by the index, and where the strings before them end.
    // LibreOffice names a bucket whose first string begins a CONTINUE record by that record's
    // header: the string lies right after it.
    auto bucketStart = [&](std::size_t k) -> std::size_t {
        if (!strings.perBucket)
            return strings.bodies.front().first + 8;
        const std::size_t named = LoadLe32(entries + 8 * k);
        const auto body = std::lower_bound(strings.bodies.begin(), strings.bodies.end(), named + kHeader,
                                           [](const auto& b, std::size_t at) { return b.first < at; });
        return body != strings.bodies.end() && body->first == named + kHeader ? named + kHeader : named;
    };
    // The last bucket holds the strings the others leave of the count, up to a bucket's worth;
    // with a count that leaves none or more, it tells nothing, nor where filler follows the
    // table's records (the hole it fills may have taken the table's last bytes).
    const std::size_t before = perBucket * (buckets - 1);
    const std::size_t end = strings.bodies.back().second;
    const bool lastTells = counted > before && counted - before <= perBucket &&
                           !(end + kHeader <= stream.size() && U16(stream, end) == kFillerRecord);
    ChainCursor cursor(bodies, stream.data());
    if (!cursor.Skip(8))  // the counts
        return false;
    for (std::size_t k = 0; k + 1 < buckets || (k + 1 == buckets && lastTells); ++k) {
        if (!cursor.Settle() || cursor.Position() != bucketStart(k))
            return false;  // out of step already: nothing here to go by
        const bool last = k + 1 == buckets;
        const std::size_t count = last ? counted - before : perBucket;
        const std::size_t next = last ? kNoPlace : bucketStart(k + 1);
        const ChainCursor bucket = cursor;
        bool whole = true;
        for (std::size_t i = 0; i < count && whole; ++i)
            whole = cursor.String();
        if (whole && EndsAt(cursor, next))
            continue;
        // Zeros after as many strings as the table counts, every one of them read, are a
        // writer's padding, which readers pass over, not a changed length.
        if (last && whole && PaddingToTheEnd(cursor))
            return false;
        // Zeros over the bucket are a lost stretch, not a flipped bit: the table is read again
        // around it (MendStringTableHole).
        if (ZeroedUnitIn(stream, bucket.Position(), last ? end : next))
            return false;
        if constexpr (!kMend) {
            return true;
        } else {
            const std::optional<Fix> fix = OneChangedBitInBucket(stream, bucket, count, next, budget);
            if (!fix)
                return false;
            stream[fix->offset] = fix->value;
            regions.push_back({MendedRegion::Kind::Replaced, fix->offset, 1, -1});
            cursor = bucket;
            for (std::size_t i = 0; i < count; ++i)
                cursor.String();
        }
    }
    return false;
}

// Counts inside records that their lengths contradict, mended where exactly one change of
// a bit agrees with the length: a sheet name's length in the list of sheets, the count of an
// external-reference list, and the lengths of the shared strings, which the table's index
// (EXTSST) checks, since each bucket it names begins exactly where the strings before it end,
// and the table's count and its last record's end check.
// Without `kMend` nothing is written: it gives whether a count may need mending (where the
// mending would change something, or look for a changed bit), and false where none does.
template <bool kMend, class Stream>
bool CountsPass(Stream& stream, std::vector<MendedRegion>& regions)
{
    if (stream.size() < 8)
        return false;
    const bool biff8 = U16(stream, 2) >= 16 && U16(stream, kHeader) >= kBiff8Version;
    StringTableRecords strings;
    if (MendRecordCounts<kMend>(stream, biff8, regions, strings))
        return true;
    if (!biff8 || strings.bodies.empty())
        return false;
    return MendStringLengths<kMend>(stream, strings, regions);
}

}  // namespace

void MendCounts(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    CountsPass<true>(stream, regions);
}

bool CountsMayNeedMending(std::span<const std::uint8_t> stream)
{
    std::vector<MendedRegion> none;
    return CountsPass<false>(stream, none);
}

}  // namespace tabulon::mending
