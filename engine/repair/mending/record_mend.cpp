#include "engine/repair/mending/mending.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mend_state.h"

namespace tabulon {

namespace mending {

using namespace biff;

void Cover(std::vector<MendedRegion>& regions, std::size_t from, std::size_t to)
{
    const bool held = std::any_of(regions.begin(), regions.end(), [&](const MendedRegion& r) {
        return r.kind == MendedRegion::Kind::Replaced && r.offset <= from && to <= r.offset + r.length;
    });
    if (!held && from < to)
        regions.push_back({MendedRegion::Kind::Replaced, from, to - from, -1});
}

void KeepWithin(std::vector<MendedRegion>& regions, std::size_t end)
{
    std::erase_if(regions, [&](const MendedRegion& r) { return r.kind == MendedRegion::Kind::Replaced && r.offset >= end; });
    for (MendedRegion& region : regions) {
        region.offset = std::min<std::uint64_t>(region.offset, end);
        if (region.kind == MendedRegion::Kind::Replaced)
            region.length = std::min<std::uint64_t>(region.length, end - region.offset);
    }
}

bool SheetStartFromGlobals(MendState& m)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    m.bofLength = stream.size() < kHeader ? 0 : U16(stream, 2);
    if (m.bofLength < 4 || stream.size() < kHeader + m.bofLength)
        return false;
    m.sheetBof.assign(stream.begin() + kHeader, stream.begin() + static_cast<std::ptrdiff_t>(kHeader + m.bofLength));
    StoreLe16(m.sheetBof.data() + 2, kWorksheetSubstream);
    return true;
}

void ReadSheetList(MendState& m)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    m.globalsEnd = stream.size();
    for (std::size_t at = 0; at + kHeader <= stream.size() && m.walk.boundary.Test(at);) {
        const std::uint16_t type = U16(stream, at);
        if (type == kEof) {
            m.globalsEnd = at;
            break;
        }
        if (type == kBoundSheet && U16(stream, at + 2) >= 4)
            m.listed.push_back({at, LoadLe32(stream.data() + at + kHeader)});
        at += kHeader + U16(stream, at + 2);
    }
    m.biff8 = U16(stream, kHeader) >= kBiff8Version;
    // (Their sheets come back empty at the end, once the list is whole.)
    for (const Listed& sheet : m.listed) {
        if (sheet.offset >= stream.size())
            m.pastTheEnd.push_back(sheet);
    }
}

// Each region's sheet: by its place in the list, the sheet whose first record is the last
// at or before the region; none for a region in the globals. Entries that lead to no
// sheet's first record place nothing.
void PlaceRegionsInSheets(MendState& m)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    std::size_t globalsEndNow = stream.size();
    std::vector<std::pair<std::uint32_t, int>> starts;  // a sheet's first record, its place
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at);) {
        if (U16(stream, at) == kEof) {
            globalsEndNow = at;
            break;
        }
        if (U16(stream, at) == kBoundSheet && U16(stream, at + 2) >= 4)
            starts.emplace_back(LoadLe32(stream.data() + at + kHeader), static_cast<int>(starts.size()));
        at += kHeader + U16(stream, at + 2);
    }
    std::erase_if(starts, [&](const auto& start) {
        return start.first <= globalsEndNow || !ReadsKnown(stream, start.first) || U16(stream, start.first) != kBof;
    });
    for (MendedRegion& region : m.regions) {
        int sheet = -1;
        std::uint32_t best = 0;
        for (const auto& [start, place] : starts) {
            if (start <= region.offset && start >= best) {
                best = start;
                sheet = place;
            }
        }
        region.sheet = region.offset < globalsEndNow ? -1 : sheet;
    }
}

}  // namespace mending

using namespace biff;
using namespace mending;

bool mending::StartLost(Bytes stream)
{
    return stream.size() < 8 || U16(stream, 0) != kBof || U16(stream, 2) < 8 || !ReadsKnown(stream, 0) ||
           U16(stream, kHeader + 2) == kWorksheetSubstream;
}

namespace {

// One round of mending: its rules one after another, each seeing what those before it wrote.
// `wiped`: the damage wiped bytes (the walk broke at zeros, in this round or one before, or the
// salvage found the stream after them); `changed`: bits changed outside the stream.
std::vector<MendedRegion> MendOnce(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names, bool& wiped, bool changed)
{
    MendState m(stream, names);
    // The workbook's start is gone: new globals hold the surviving sheets together.
    if (StartLost(stream)) {
        wiped = wiped || ZeroedUnitIn(stream, 0, std::min(Resync(stream, 0), stream.size()), true);
        if (!RebuildGlobals(stream, names, m.regions))
            return std::move(m.regions);
    }
    m.walk = WalkAndFill(stream, m.regions);
    wiped = wiped || m.walk.wiped;
    StreamEndsWhereRecordsEnd(m);
    if (!SheetStartFromGlobals(m))
        return std::move(m.regions);  // not even the first record reads: nothing to hold sheets together
    ReadSheetList(m);

    // The sheets' first and end records, where damage took them.
    SheetStartsWithAChangedBitGoBack(m);
    LostSheetStartsGoBack(m);
    SheetsSplitWhereCellsGoBack(m);
    SubstreamsWithoutTheirStartGo(m);
    SheetsEndInTheirHoles(m);
    ChartRecordsInWorksheetsGo(m);
    GlobalsEndWhereEndRecordsWentBack(m);
    SheetStartLostWithGlobalsEndGoesBack(m);

    // The list of sheets, where it lost entries or they lead nowhere.
    EntriesPastTheGlobalsGo(m);
    FindOrphanSheets(m);
    EntriesOneBitFromAnOrphanLeadToIt(m);
    PairDanglingEntries(m);
    ListFromSummaryNames(m);
    OrphansGetEntries(m);
    PairDanglingEntries(m);
    ListInRecordOrder(m);

    // The stream's end.
    CutAfterLastSheet(m);
    EntriesNotFoundComeBackEmpty(m);
    SheetsClosedAndLostOnesEmpty(m);

    // Records mended within themselves.
    MendCounts(stream, m.regions);
    CellsNoWorkbookHoldsGo(stream, m.regions, wiped, changed);
    CommentsAndTextBoxesHoldTogether(stream, m.regions);
    MendStringTableHole(stream, m.regions, m.walk.overwritten);
    if (!m.regions.empty()) {
        CellsNamingNoStringGo(stream, m.regions);
        ExternalNamesWithoutTheirBookGo(stream, m.biff8, m.regions);
        NamesOfLostNamesBecomeErrors(stream, m.biff8, m.regions);
    }
    CellStylesTheCellsNameComeBack(stream, m.regions);
    stream.insert(stream.end(), m.padding.begin(), m.padding.end());
    PlaceRegionsInSheets(m);
    return std::move(m.regions);
}

}  // namespace

std::size_t RoomToMend(std::span<const std::uint8_t> stream)
{
    if (!StartLost(stream))
        return 0;
    // New globals go in front of what survives before the first sheet: default formatting (up
    // to the 4,050 cell styles a workbook may name), the list of sheets and filler up to the
    // grid of units. (A string table read again takes the place of the records it was read
    // from; only where it cannot does the stream grow by it, and is written anew.)
    for (std::size_t at = NextBofBytes(stream, 0); at != kNoPlace; at = NextBofBytes(stream, at + 1)) {
        if (at + kHeader + 4 <= stream.size() && U16(stream, at + 2) >= 4 && U16(stream, at + kHeader + 2) == kWorksheetSubstream &&
            RunAt(stream, at, 3))
            return std::size_t{1} << 18;
    }
    return 0;
}

std::vector<MendedRegion> MendWorkbookStream(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names,
                                             bool* settled, DamageOutside outside)
{
    // What one round mends can leave room or order that the next takes up (a string table
    // written anew leaves room for a list entry; cells that follow filler a round wrote): rounds
    // go on until one changes nothing, so that a stream mended once is left as it is when mended
    // again. Up to eight: streams the fuzzer made took six.
    // (The filler a round writes is zeros: whether the damage wiped bytes is told by the holes
    // before they are filled, and holds for the rounds after.)
    bool wiped = outside == DamageOutside::StartWiped;
    const bool changed = outside == DamageOutside::BitsChanged;
    std::vector<MendedRegion> regions = MendOnce(stream, names, wiped, changed);
    if (settled)
        *settled = regions.empty();
    for (int round = 0; round < 7 && !regions.empty(); ++round) {
        const std::vector<MendedRegion> more = MendOnce(stream, names, wiped, changed);
        if (more.empty()) {
            if (settled)
                *settled = true;
            break;
        }
        // A later round may end the stream sooner (what follows the last sheet goes).
        KeepWithin(regions, stream.size());
        regions.insert(regions.end(), more.begin(), more.end());
    }
    return regions;
}

}  // namespace tabulon
