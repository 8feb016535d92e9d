// Counts inside records that their lengths, or the string table's index, contradict.
#include <bit>
#include <cstddef>
#include <cstdint>
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

// Counts inside records that their lengths contradict, mended where exactly one change of
// a bit agrees with the length: a sheet name's length in the list of sheets, the count of an
// external-reference list, and the lengths of the shared strings, which the table's index
// (EXTSST) checks, since each bucket it names begins exactly where the strings before it end.
// Without `kMend` nothing is written: it gives whether a count may need mending (where the
// mending would change something, or look for a changed bit), and false where none does.
template <bool kMend, class Stream>
bool CountsPass(Stream& stream, std::vector<MendedRegion>& regions)
{
    if (stream.size() < 8)
        return false;
    const bool biff8 = U16(stream, 2) >= 16 && U16(stream, kHeader) >= kBiff8Version;
    std::vector<std::pair<std::size_t, std::size_t>> table;  // the string table's bodies
    std::size_t index = kNoPlace;
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at);) {
        const std::uint16_t type = U16(stream, at);
        const std::size_t length = U16(stream, at + 2);
        auto* body = stream.data() + at + kHeader;
        if (type == kEof || type == kFilePass)
            break;
        if (type == kBoundSheet && length >= (biff8 ? 8u : 7u)) {
            const std::uint8_t count = body[6];
            const std::uint8_t flags = biff8 ? body[7] : 0;
            const std::size_t chars = length - (biff8 ? 8 : 7);
            const bool agrees = biff8 ? (flags & ~1) == 0 && chars == std::size_t{count} * ((flags & 1) ? 2 : 1) : chars == count;
            if (!agrees) {
                std::vector<std::pair<std::uint8_t, std::uint8_t>> readings;
                for (const std::uint8_t wide : {std::uint8_t{0}, std::uint8_t{1}}) {
                    if ((!biff8 && wide) || (wide && chars % 2 != 0))
                        continue;
                    const std::size_t other = wide ? chars / 2 : chars;
                    if (other >= 1 && other <= 31 && BitsApart(count, static_cast<std::uint32_t>(other)) + BitsApart(flags, wide) == 1)
                        readings.emplace_back(static_cast<std::uint8_t>(other), wide);
                }
                if (readings.size() == 1) {
                    if constexpr (!kMend) {
                        return true;
                    } else {
                        body[6] = readings[0].first;
                        if (biff8)
                            body[7] = readings[0].second;
                        regions.push_back({MendedRegion::Kind::Replaced, at + kHeader + 6, biff8 ? 2u : 1u, -1});
                    }
                }
            }
        }
        if (type == kExternSheet && biff8 && length >= 2 && (length - 2) % 6 == 0) {
            const std::uint16_t count = LoadLe16(body);
            const std::size_t other = (length - 2) / 6;
            if (count != other && BitsApart(count, static_cast<std::uint32_t>(other)) == 1) {
                if constexpr (!kMend) {
                    return true;
                } else {
                    StoreLe16(body, static_cast<std::uint16_t>(other));
                    regions.push_back({MendedRegion::Kind::Replaced, at + kHeader, 2, -1});
                }
            }
        }
        if (type == kSst && table.empty() && length >= 8) {
            table.emplace_back(at + kHeader, at + kHeader + length);
            for (std::size_t next = at + kHeader + length;
                 next + kHeader <= stream.size() && Reads(stream, next) && U16(stream, next) == kContinue;
                 next += kHeader + U16(stream, next + 2))
                table.emplace_back(next + kHeader, next + kHeader + U16(stream, next + 2));
        }
        if (type == kExtSst && length >= 10)
            index = at;
        at += kHeader + length;
    }
    if (!biff8 || table.empty() || index == kNoPlace)
        return false;
    const std::uint8_t* entries = stream.data() + index + kHeader;
    const std::size_t perBucket = LoadLe16(entries);
    const std::size_t buckets = (U16(stream, index + 2) - 2u) / 8;
    // The search for a changed bit reads a bucket once for each bit of each string's header:
    // in time that grows with the square of the bucket, which large tables make long.
    constexpr std::size_t kLongestBucketSearched = 512;
    if (perBucket == 0 || perBucket > kLongestBucketSearched)
        return false;
    // Where bucket k's strings begin, by the index, and where the strings before them end.
    auto bucketStart = [&](std::size_t k) -> std::size_t { return LoadLe32(entries + 2 + 8 * k); };
    std::vector<Bytes> bodies;
    for (const auto& [from, to] : table)
        bodies.emplace_back(stream.data() + from, to - from);
    ChainCursor cursor(bodies, stream.data());
    if (!cursor.Skip(8))  // the counts
        return false;
    for (std::size_t k = 0; k + 1 < buckets; ++k) {
        if (!cursor.Settle() || cursor.Position() != bucketStart(k))
            return false;  // out of step already: nothing here to go by
        const ChainCursor bucket = cursor;
        bool whole = true;
        for (std::size_t i = 0; i < perBucket && whole; ++i)
            whole = cursor.String();
        if (whole && cursor.Settle() && cursor.Position() == bucketStart(k + 1))
            continue;
        // Zeros over the bucket are a lost stretch, not a flipped bit: the table is read again
        // around it (MendStringTableHole).
        if (ZeroedUnitIn(stream, bucket.Position(), bucketStart(k + 1)))
            return false;
        if constexpr (!kMend) {
            return true;
        } else {
            // The one changed bit in a string's length, flags, run count or far-east size that
            // makes this bucket end where the next begins.
            // When two readings agree with the index (a shorter text and a longer far-east block),
            // the one whose far-east data has its own layout stands.
            struct Fix {
                std::size_t offset;
                std::uint8_t value;
                bool strict;
            };
            std::vector<Fix> fixes;
            constexpr std::size_t kMostFixes = 4;
            ChainCursor walk = bucket;
            for (std::size_t i = 0; i < perBucket && fixes.size() < kMostFixes; ++i) {
                if (!walk.Settle())
                    break;
                const ChainCursor at = walk;
                std::uint16_t count = 0;
                std::uint8_t flags = 0;
                if (!walk.Le16(count) || !walk.Byte(flags))
                    break;
                const std::size_t header = at.Position();
                const std::size_t extra = ((flags & 0x08) ? 2 : 0) + ((flags & 0x04) ? 4 : 0);
                if (header + 3 + extra > at.PieceEnd())
                    break;  // a header split between records: not looked into
                for (std::size_t byte = 0; byte < 3 + extra && fixes.size() < kMostFixes; ++byte) {
                    for (int bit = 0; bit < 8 && fixes.size() < kMostFixes; ++bit) {
                        const std::size_t where = header + byte;
                        stream[where] ^= static_cast<std::uint8_t>(1u << bit);
                        auto lands = [&](bool strict) {
                            ChainCursor probe = at;
                            bool reads = true;
                            for (std::size_t j = i; j < perBucket && reads; ++j)
                                reads = probe.String(strict);
                            return reads && probe.Settle() && probe.Position() == bucketStart(k + 1);
                        };
                        if (lands(false))
                            fixes.push_back({where, stream[where], lands(true)});
                        stream[where] ^= static_cast<std::uint8_t>(1u << bit);
                    }
                }
                walk = at;
                if (!walk.String())
                    break;
            }
            if (fixes.size() > 1)
                std::erase_if(fixes, [](const Fix& fix) { return !fix.strict; });
            if (fixes.size() != 1)
                return false;
            stream[fixes[0].offset] = fixes[0].value;
            regions.push_back({MendedRegion::Kind::Replaced, fixes[0].offset, 1, -1});
            cursor = bucket;
            for (std::size_t i = 0; i < perBucket; ++i)
                cursor.String();
        }
    }
    return false;
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
