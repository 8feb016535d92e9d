// Reading the workbook stream's records as the mending does, and finding where they first go wrong.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mend_parts.h"
#include "engine/repair/record_mend.h"

namespace tabulon::mending {

using namespace biff;

// Reads (mend_parts.h) past its common case: a record of no known type or length that
// nevertheless reads.
bool ReadsOtherwise(Bytes stream, std::size_t at)
{
    const std::uint16_t type = U16(stream, at);
    const std::uint16_t length = U16(stream, at + 2);
    if (KnownInChain(stream, at))
        return true;
    const std::size_t next = at + kHeader + length;
    return type <= kHighestRecordType && length <= kMaxBody && next + kHeader <= stream.size() &&
           next + kHeader + U16(stream, next + 2) <= stream.size() && Known(U16(stream, next), U16(stream, next + 2));
}

// Whether a record of a known type and fitting length, whose body the stream holds, starts at `at`.
bool ReadsKnown(Bytes stream, std::size_t at)
{
    return at + kHeader <= stream.size() && at + kHeader + U16(stream, at + 2) <= stream.size() &&
           Known(U16(stream, at), U16(stream, at + 2));
}

// Whether `count` records of known types follow one another from `at` (fewer when the stream
// or a sheet ends first): where the records are picked up again after damage, bytes that only
// happen to look like records of some unknown type must not do.
bool RunAt(Bytes stream, std::size_t at, int count)
{
    for (int i = 0; i < count; ++i) {
        if (at == stream.size())
            return i > 0;
        if (!ReadsKnown(stream, at))
            return false;
        if (U16(stream, at) == kEof && i > 0)
            return true;
        at += kHeader + U16(stream, at + 2);
    }
    return true;
}

// Whether a worksheet's BOF record starts at `at`, with records following it.
bool SheetStartsAt(Bytes stream, std::size_t at)
{
    if (!IsBofType(U16(stream, at)))
        return false;
    const std::optional<Bof> bof = BofAt(stream, at);
    return bof && bof->substream == kWorksheetSubstream && RunAt(stream, at, 3);
}

// The first place from `from` on, and before `before`, where three records follow one another.
// Bytes of a long record's body (a picture, a theme) now and then read as a few records, the
// first of them long enough to run over a sheet's start: a sheet's BOF inside the run, where
// the run has no record start, is where records resume.
std::size_t Resync(Bytes stream, std::size_t from, std::size_t before)
{
    for (std::size_t at = from; at + kHeader <= stream.size() && at < before; ++at) {
        if (!RunAt(stream, at, 3))
            continue;
        // The end of a record cut by damage, its last bytes read as a header, can start a run
        // whose first record runs over the true records and lands on one of them: a place
        // inside that first record from which records read one by one up to its end is where
        // they resume (the end of a cell's record read as a formula would show a made-up value).
        // (Within the record's first 512 bytes, where the true start lies when the damage ended
        // just before it: the work stays bounded on bytes that read as records everywhere.)
        // A short record's bytes may read as a record or two by chance: only a long one, with
        // three records or more inside, is taken for such a false start.
        constexpr std::size_t kReach = 512;
        constexpr std::size_t kLongest = 64;
        constexpr int kFewestInside = 3;
        for (bool moved = true; moved;) {
            moved = false;
            const std::size_t end = U16(stream, at + 2) >= kLongest ? at + kHeader + U16(stream, at + 2) : at;
            for (std::size_t inside = at + 1; inside + kHeader <= end && inside <= at + kReach && !moved; ++inside) {
                std::size_t k = inside;
                int records = 0;
                while (k < end && ReadsKnown(stream, k) && records < 64) {
                    k += kHeader + U16(stream, k + 2);
                    ++records;
                }
                if (k == end && records >= kFewestInside) {
                    at = inside;
                    moved = true;
                }
            }
        }
        std::size_t start = at;
        for (int i = 0; i < 3 && start + kHeader <= stream.size(); ++i) {
            const std::size_t end = start + kHeader + U16(stream, start + 2);
            for (std::size_t inside = start + 1; inside < end && inside + kHeader <= stream.size(); ++inside) {
                if (SheetStartsAt(stream, inside))
                    return inside;
            }
            start = end;
        }
        return at;
    }
    return kNoPlace;
}

// A BOF record's version or substream type that no writer uses, one bit away from exactly one
// value that is used: where it lies and what it should be. Readers tell BIFF5 from BIFF8 by the
// version's high byte alone, so that a version whose high byte is one of theirs (0x0580, as
// some writers give it) is no damage.
std::optional<std::pair<std::size_t, std::uint16_t>> OddBofField(Bytes stream, std::size_t at)
{
    constexpr std::uint16_t kVersions[] = {kBiff5Version, kBiff8Version};
    constexpr std::uint16_t kSubstreams[] = {kGlobalsSubstream, kVbModuleSubstream, kWorksheetSubstream, kChartSubstream, kMacroSubstream, kWorkspaceSubstream};
    if (U16(stream, at) != kBof || U16(stream, at + 2) < 4)
        return std::nullopt;
    auto check = [&](std::size_t field, std::span<const std::uint16_t> used) -> std::optional<std::pair<std::size_t, std::uint16_t>> {
        const std::uint16_t value = U16(stream, field);
        if (std::find(used.begin(), used.end(), value) != used.end())
            return std::nullopt;
        std::optional<std::uint16_t> near;
        for (const std::uint16_t candidate : used) {
            if (std::popcount(static_cast<unsigned>(value ^ candidate)) == 1) {
                if (near)
                    return std::nullopt;
                near = candidate;
            }
        }
        return near ? std::optional(std::pair{field, *near}) : std::nullopt;
    };
    const unsigned high = U16(stream, at + kHeader) >> 8;
    if (high != kBiff5Version >> 8 && high != kBiff8Version >> 8) {
        if (auto version = check(at + kHeader, kVersions))
            return version;
    }
    return check(at + kHeader + 2, kSubstreams);
}

}  // namespace tabulon::mending

namespace tabulon {
namespace {

using namespace biff;
using namespace mending;

std::optional<std::uint64_t> FirstBrokenRecord(std::span<const std::uint8_t> stream)
{
    const std::size_t size = stream.size();
    if (size < 8 || !IsBofType(U16(stream, 0)))
        return 0;
    // Where the records start is told again from every 256th of them: no mark for each byte.
    constexpr std::size_t kCheckpointEvery = 256;
    std::vector<std::size_t> checkpoints;
    std::size_t records = 0;
    std::vector<std::uint32_t> sheets;
    bool inGlobals = true;
    bool closed = false;  // the last substream ended with its EOF
    std::size_t at = 0;
    while (at < size) {
        if (!Reads(stream, at)) {
            // Filler after the last sheet's end is no damage.
            if (closed && Resync(stream, at) == kNoPlace)
                break;
            return at;
        }
        if (records++ % kCheckpointEvery == 0)
            checkpoints.push_back(at);
        const std::uint16_t type = U16(stream, at);
        const std::uint16_t length = U16(stream, at + 2);
        if (const auto odd = type == kBof ? OddBofField(stream, at) : std::nullopt)
            return odd->first;
        if (inGlobals && type == kBoundSheet && length >= 4)
            sheets.push_back(LoadLe32(stream.data() + at + kHeader));
        if (type == kEof)
            inGlobals = false;
        closed = type == kEof;
        at += kHeader + length;
    }
    const std::size_t recordsEnd = at;
    const auto recordStartsAt = [&](std::size_t place) {
        const auto after = std::upper_bound(checkpoints.begin(), checkpoints.end(), place);
        if (after == checkpoints.begin() || place >= recordsEnd)
            return false;
        std::size_t record = *std::prev(after);
        while (record < place)
            record += kHeader + U16(stream, record + 2);
        return record == place;
    };
    for (const std::uint32_t sheet : sheets) {
        if (sheet >= size || !recordStartsAt(sheet) || U16(stream, sheet) != kBof)
            return sheet;
    }
    if (!closed)
        return size;
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> FirstRecordDamage(std::span<const std::uint8_t> stream)
{
    if (const std::optional<std::uint64_t> broken = FirstBrokenRecord(stream))
        return broken;
    // Counts a length contradicts live in the globals: a copy of them is mended to find out.
    std::size_t globalsEnd = 0;
    while (globalsEnd + kHeader <= stream.size() && U16(stream, globalsEnd) != kEof)
        globalsEnd += kHeader + U16(stream, globalsEnd + 2);
    const std::span<const std::uint8_t> asFound = stream.first(std::min(globalsEnd, stream.size()));
    if (!CountsMayNeedMending(asFound))
        return std::nullopt;  // (no copy of the globals to mend)
    std::vector<std::uint8_t> globals(asFound.begin(), asFound.end());
    std::vector<MendedRegion> regions;
    MendCounts(globals, regions);
    if (regions.empty())
        return std::nullopt;
    return std::min_element(regions.begin(), regions.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; })->offset;
}

}  // namespace tabulon
