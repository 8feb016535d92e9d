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
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

// A BOF record's version or substream type that no writer uses, one bit away from exactly one
// value that is used: where it lies and what it should be. Readers tell BIFF5 from BIFF8 by the
// version's high byte alone, so that a version whose high byte is one of theirs (0x0580, as
// some writers give it) is no damage.
std::optional<std::pair<std::size_t, std::uint16_t>> OddBofField(Bytes stream, std::size_t at)
{
    constexpr std::uint16_t kVersions[] = {kBiff5Version, kBiff8Version};
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
    if (VersionOfBof(U16(stream, at + kHeader)) == 0) {
        if (auto version = check(at + kHeader, kVersions))
            return version;
    }
    return check(at + kHeader + 2, kSubstreamTypes);
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
    std::vector<std::uint32_t> sorted;  // (once the globals end)
    bool inGlobals = true;
    bool closed = false;  // the last substream ended with its EOF
    // The substreams open where the walk stands (a chart in a sheet ends before the sheet), and
    // whether the outermost is the globals or a sheet an entry leads to: readers read a sheet
    // from there up to its end, and one that never ends runs on into the next sheet, or past
    // the stream's end. (A substream no entry leads to, no reader reads.)
    std::size_t open = 0;
    bool listedOpen = false;
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
        if (type == kBof) {
            const bool listed = at == 0 || std::ranges::binary_search(sorted, static_cast<std::uint32_t>(at));
            if (listed && open > 0 && listedOpen)
                return at;  // the sheet before never ends
            if (listed || open == 0)
                open = 0, listedOpen = listed;  // a substream of the outermost level
            ++open;
        } else if (type == kEof && open > 0) {
            --open;
        }
        if (type == kEof && inGlobals) {
            inGlobals = false;
            sorted = sheets;
            std::ranges::sort(sorted);
        }
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
    if (!closed || (open > 0 && listedOpen))
        return size;
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> FirstRecordDamage(std::span<const std::uint8_t> stream)
{
    if (const std::optional<std::uint64_t> broken = FirstBrokenRecord(stream))
        return broken;
    // Counts a length contradicts live in the globals.
    std::size_t globalsEnd = 0;
    while (globalsEnd + kHeader <= stream.size() && U16(stream, globalsEnd) != kEof)
        globalsEnd += kHeader + U16(stream, globalsEnd + 2);
    return CountsDamage(stream.first(std::min(globalsEnd, stream.size())));
}

std::optional<std::uint64_t> mending::CountsDamage(Bytes globals)
{
    // A copy of them is mended to find out.
    if (!CountsMayNeedMending(globals))
        return std::nullopt;  // (no copy of the globals to mend)
    std::vector<std::uint8_t> copy(globals.begin(), globals.end());
    std::vector<MendedRegion> regions;
    MendCounts(copy, regions);
    if (regions.empty())
        return std::nullopt;
    return std::min_element(regions.begin(), regions.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; })->offset;
}

}  // namespace tabulon
