// The sheets' first and end records where damage took them: written back where the list of
// sheets or the records around a hole say a sheet begins, and the records of a substream that
// lost its first record taken out.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mend_state.h"

namespace tabulon::mending {

using namespace biff;

namespace {

// Whether what follows the hole ending at `to`, up to the next substream's end or start, holds
// a record of the globals' own kinds: then it is the globals', not a sheet's (an entry whose
// offset counts bytes the stream lost may lead into them).
bool GlobalsFollow(const MendState& m, std::size_t to)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    bool globalsFollow = false;
    for (std::size_t at = to; at + kHeader <= stream.size() && m.walk.boundary.Test(at) && !globalsFollow;) {
        const std::uint16_t type = U16(stream, at);
        if (type == kEof || type == kBof)
            break;
        globalsFollow = IsGlobalsOnlyRecord(type, m.biff8);
        at += kHeader + U16(stream, at + 2);
    }
    return globalsFollow;
}

}  // namespace

// A sheet's first record whose kind a changed bit made another's: where an entry of the list
// leads to a record with the length of the workbook's own first record, naming a kind of
// substream, at the top level of the stream (after an end record or filler), whose kind is one
// bit from a first record's. Its kind is set right.
void SheetStartsWithAChangedBitGoBack(MendState& m)
{
    std::vector<std::uint8_t>& stream = m.stream;
    for (const Listed& sheet : m.listed) {
        const std::size_t at = sheet.offset;
        if (at >= stream.size() || !m.walk.boundary.Test(at) || at + kHeader + 4 > stream.size())
            continue;
        const std::uint16_t type = U16(stream, at);
        if (std::popcount(static_cast<unsigned>(type ^ kBof)) != 1 || U16(stream, at + 2) != m.bofLength)
            continue;
        const std::uint16_t kind = U16(stream, at + kHeader + 2);
        const bool substream = kind != kGlobalsSubstream && std::ranges::find(kSubstreamTypes, kind) != std::end(kSubstreamTypes);
        const std::size_t before = m.RecordBefore(at);
        const bool topLevel = before != kNoPlace && (m.EndsWithEof(at) || U16(stream, before) == kFillerRecord);
        if (!substream || !topLevel)
            continue;
        StoreLe16(stream.data() + at, kBof);
        m.regions.push_back({MendedRegion::Kind::Replaced, at, 2, -1});
    }
}

// A sheet whose entry leads into a hole had its first record there: written back there, with
// the end record of the sheet before it when that one lost its own.
void LostSheetStartsGoBack(MendState& m)
{
    std::vector<std::uint8_t>& stream = m.stream;
    Walk& walk = m.walk;
    for (const Listed& sheet : m.listed) {
        const std::size_t offset = sheet.offset;
        if (offset >= stream.size() || m.LeadsToSheet(offset))
            continue;  // (those past the end come back empty at the end)
        const auto hole = std::find_if(walk.holes.begin(), walk.holes.end(),
                                       [&](const auto& h) { return h.first <= offset && offset < h.second; });
        if (hole == walk.holes.end())
            continue;
        const auto [from, to] = *hole;
        const std::size_t bofEnd = offset + kHeader + m.bofLength;
        const std::size_t before = offset - from;
        // The sheet before lost its end with the damage: an end record goes right before, in
        // room that is either exactly one or leaves filler room in front of it.
        const bool needEof = before == kHeader || before >= 2 * kHeader;
        const std::size_t eofAt = needEof ? offset - kHeader : offset;
        const bool fits = (before == 0 || before >= kHeader) && bofEnd <= to && (to == bofEnd || to - bofEnd >= kHeader);
        if (!fits || GlobalsFollow(m, to))
            continue;
        m.ForgetStarts(from, to);
        if (eofAt > from)
            WriteFiller(stream, &walk.boundary, from, eofAt);
        if (needEof) {
            WriteRecord(stream, eofAt, kEof, {});
            walk.boundary.Set(eofAt);
        }
        WriteRecord(stream, offset, kBof, m.sheetBof);
        walk.boundary.Set(offset);
        if (to > bofEnd)
            WriteFiller(stream, &walk.boundary, bofEnd, to);
        Cover(m.regions, from, to);
        // What is left of the hole on either side is room for the next sheet's first record.
        const auto place = walk.holes.erase(hole);
        const auto after = to > bofEnd ? walk.holes.insert(place, {bofEnd, to}) : place;
        if (eofAt > from)
            walk.holes.insert(after, {from, eofAt});
    }
}

std::size_t EndAndSheetStartAtTheEnd(MendState& m, std::size_t from, std::size_t to)
{
    const std::size_t eofAt = to - kSheetStartRoom - m.bofLength;
    m.ForgetStarts(from, to);
    if (eofAt > from)
        WriteFiller(m.stream, &m.walk.boundary, from, eofAt);
    WriteRecord(m.stream, eofAt, kEof, {});
    m.walk.boundary.Set(eofAt);
    WriteRecord(m.stream, eofAt + kHeader, kBof, m.sheetBof);
    m.walk.boundary.Set(eofAt + kHeader);
    // (An empty filler record after it: LibreOffice takes the record right after a sheet's first
    // for one of those that always follow it there, and shows none of its cells.)
    const std::size_t fillerAt = eofAt + 2 * kHeader + m.bofLength;
    WriteRecord(m.stream, fillerAt, kFillerRecord, {});
    m.walk.boundary.Set(fillerAt);
    Cover(m.regions, from, to);
    return eofAt;
}

namespace {

// The row of the cell record at `at`; nothing for a record that is no cell's, or no cell any
// program writes (bytes of a record a hole cut read as one now and then right after it).
std::optional<unsigned> CellRow(const std::vector<std::uint8_t>& stream, std::size_t at)
{
    const std::uint16_t type = U16(stream, at);
    if (!IsCellRecord(type) || U16(stream, at + 2) < 4 || NoCellAnyProgramWrites(stream, at, U16(stream, 0) == kBof))
        return std::nullopt;
    return U16(stream, at + kHeader);
}

// Whether the damage zeroed a whole unit of the hole [from, to) (by what the walk's filler
// went over).
bool HoleZeroedAUnit(const Walk& walk, std::size_t from, std::size_t to)
{
    const auto found = std::find_if(walk.overwritten.begin(), walk.overwritten.end(),
                                    [&](const auto& o) { return o.first <= from && from < o.first + o.second.size(); });
    bool zeroed = false;
    for (std::size_t unit = (from + kUnit - 1) / kUnit * kUnit;
         found != walk.overwritten.end() && !zeroed && unit + kUnit <= std::min(to, found->first + found->second.size());
         unit += kUnit) {
        const auto first = found->second.begin() + static_cast<std::ptrdiff_t>(unit - found->first);
        zeroed = std::all_of(first, first + kUnit, [](std::uint8_t b) { return b == 0; });
    }
    return zeroed;
}

// The row of the first cell after the hole ending at `to`, before the next first, end or
// filler record.
std::optional<unsigned> FirstRowAfter(const MendState& m, std::size_t to)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    std::optional<unsigned> after;
    for (std::size_t k = to; k + kHeader <= stream.size() && m.walk.boundary.Test(k) && !after;) {
        const std::uint16_t type = U16(stream, k);
        if (type == kBof || type == kEof || type == kFillerRecord)
            break;
        after = CellRow(stream, k);
        k += kHeader + U16(stream, k + 2);
    }
    return after;
}

// The row of the last cell before the hole starting at `from`, when the hole lies in a
// worksheet (nothing otherwise).
std::optional<unsigned> LastRowInWorksheetBefore(const MendState& m, std::size_t from)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    std::optional<unsigned> before;
    bool inWorksheet = false;
    for (std::size_t k = m.RecordBefore(from); k != kNoPlace; k = m.RecordBefore(k)) {
        const std::uint16_t type = U16(stream, k);
        if (type == kEof)
            break;
        if (type == kBof) {
            inWorksheet = U16(stream, k + 2) >= 4 && U16(stream, k + kHeader + 2) == kWorksheetSubstream;
            break;
        }
        if (!before)
            before = CellRow(stream, k);
    }
    return inWorksheet ? before : std::nullopt;
}

}  // namespace

// A hole inside a worksheet after which the cells go back to rows well above the last ones
// before it (a sheet's cells come row by row; one row back is some writers' way around
// merged cells) took the sheet's end and the next sheet's first record: the records after
// it are another sheet's, not this one's. They get an end record and a first record back
// at the hole's end, and the list an entry below, as for a sheet whose entry was lost.
void SheetsSplitWhereCellsGoBack(MendState& m)
{
    for (auto& [from, to] : m.walk.holes) {
        const std::size_t need = kSheetStartRoom + m.bofLength;
        if (from < m.globalsEnd || !FitsInPlace(need, to - from))
            continue;
        // (Only where the damage zeroed bytes: bytes of something else read as cells now and
        // then, rows and all.)
        if (!HoleZeroedAUnit(m.walk, from, to))
            continue;
        const std::optional<unsigned> after = FirstRowAfter(m, to);
        if (!after)
            continue;
        const std::optional<unsigned> before = LastRowInWorksheetBefore(m, from);
        if (!before || *after + 1 >= *before)
            continue;
        to = EndAndSheetStartAtTheEnd(m, from, to);
    }
}

namespace {

// Whether the first or end record nearest before `at` is a chart's first record.
bool InABegunChart(const MendState& m, std::size_t at)
{
    for (std::size_t k = m.RecordBefore(at); k != kNoPlace; k = m.RecordBefore(k)) {
        const std::uint16_t type = U16(m.stream, k);
        if (type == kEof)
            return false;
        if (type == kBof)
            return U16(m.stream, k + 2) >= 4 && U16(m.stream, k + kHeader + 2) == kChartSubstream;
    }
    return false;
}

}  // namespace

// A hole that took the first record of a substream inside a sheet (a chart's): the records
// after it up to an end record are that substream's, when a second end record, the sheet's
// own, follows before any sheet starts, or when chart records come before that end record
// and the sheet's own records after it (a sheet holding more than one chart has the next
// one's first record before its end). Cells among them (a chart's series values) are no
// cells of the sheet: they become filler, the substream's end record with them. (A hole in a
// chart whose first record stands took no first record: the end records after it are the
// chart's and the sheet's.)
void SubstreamsWithoutTheirStartGo(MendState& m)
{
    std::vector<std::uint8_t>& stream = m.stream;
    for (auto& [from, to] : m.walk.holes) {
        if (InABegunChart(m, from))
            continue;
        std::size_t firstEnd = kNoPlace;
        bool nested = false, chart = false;
        for (std::size_t at = to; at + kHeader <= stream.size() && m.walk.boundary.Test(at) && !nested;) {
            const std::uint16_t type = U16(stream, at);
            if (type == kBof)
                break;
            if (firstEnd != kNoPlace && chart)
                nested = true;  // a record of the sheet's own after the chart's end
            if (type == kEof) {
                nested = nested || firstEnd != kNoPlace;
                firstEnd = firstEnd == kNoPlace ? at : firstEnd;
            }
            chart = chart || (firstEnd == kNoPlace && IsChartRecord(type));
            at += kHeader + U16(stream, at + 2);
        }
        if (!nested)
            continue;
        const std::size_t end = firstEnd + kHeader;
        m.ForgetStarts(to, end);
        WriteFiller(stream, &m.walk.boundary, to, end);
        Cover(m.regions, to, end);
        to = end;
    }
}

namespace {

// `ends` end records go at the end of the hole [from, to) (filler before them), where there
// is room.
bool EndsAtTheEndOf(MendState& m, std::pair<std::size_t, std::size_t>& hole, std::size_t ends)
{
    auto& [from, to] = hole;
    const std::size_t room = ends * kHeader;
    if (!FitsInPlace(room, to - from))
        return false;
    const std::size_t eofAt = to - room;
    m.ForgetStarts(from, to);
    if (eofAt > from)
        WriteFiller(m.stream, &m.walk.boundary, from, eofAt);
    for (std::size_t at = eofAt; at < to; at += kHeader) {
        WriteRecord(m.stream, at, kEof, {});
        m.walk.boundary.Set(at);
    }
    Cover(m.regions, from, to);
    to = eofAt;
    return true;
}

// The most records before a sheet's first record that may go to make room for the end records
// of what is open there.
constexpr int kMostRecordsForEnds = 4;

// Room for `ends` end records right before `at`, or before the end records right before it,
// over the few records before (no first or end record among them), which become filler;
// false where they make no room.
bool EndsOverTheRecordsBefore(MendState& m, std::size_t at, std::size_t ends)
{
    std::size_t to = at;
    for (std::size_t before = m.RecordBefore(to); before != kNoPlace && before + kHeader == to && U16(m.stream, before) == kEof;
         before = m.RecordBefore(to))
        to = before;
    const std::size_t room = ends * kHeader;
    std::size_t from = to;
    for (int records = 0; records < kMostRecordsForEnds; ++records) {
        from = m.RecordBefore(from);
        if (from == kNoPlace || U16(m.stream, from) == kBof || U16(m.stream, from) == kEof)
            return false;
        if (FitsInPlace(room, to - from)) {
            std::pair<std::size_t, std::size_t> made{from, to};
            return EndsAtTheEndOf(m, made, ends);
        }
    }
    return false;
}

}  // namespace

// The globals or a sheet still open where the next entry's sheet begins, or a sheet still open
// at the stream's end: readers looking for its end run on into the next sheet, or past the
// stream's end (xlrd fails on the workbook). Its end records go back:
// - where the last hole ends right at the next sheet's first record, there, as many as are open
//   (the walk picks records up again at a sheet's first record, past an end record the damage
//   left before it);
// - where the sheet's last hole lies in its last embedded chart, with none of a chart's records
//   after it there, the chart's at the end of that hole: the sheet's own records after the
//   hole (its window, its rows' index) and its end record were read as the chart's. At the
//   stream's end a cut may have taken the sheet's end as well; there, records of a sheet's own
//   kinds that no chart holds must follow the hole in the chart;
// - else right before the next sheet's first record, over the last records before it, which
//   are lost: the stream joined across what went (the salvage leaves out a lost sector), with
//   no hole to tell where. At the stream's end they are appended (SheetsClosedAndLostOnesEmpty).
void SheetsEndInTheirHoles(MendState& m)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    std::vector<std::size_t> starts{0};  // (the globals', and the sheets')
    for (const Listed& sheet : m.listed)
        starts.push_back(sheet.offset);
    std::ranges::sort(starts);
    std::size_t depth = 0;
    bool inChart = false;                                 // an embedded chart, one level in
    std::pair<std::size_t, std::size_t>* hole = nullptr;  // the sheet's last hole
    bool chartHole = false;       // that hole lies in the sheet's last chart, no chart record after it
    bool sheetAfterHole = false;  // the sheet's own records after it, in the chart
    std::size_t nextHole = 0;     // (the holes lie in the stream's order, as the walk goes)
    for (std::size_t at = 0; at + kHeader <= stream.size() && m.walk.boundary.Test(at);) {
        const std::uint16_t type = U16(stream, at), length = U16(stream, at + 2);
        const bool inTheChart = depth == 2 && inChart;
        if (type == kBof) {
            const std::uint16_t kind = length >= 4 ? U16(stream, at + kHeader + 2) : 0;
            const bool listed = std::ranges::binary_search(starts, at);
            if (depth > 0 && listed) {
                const bool ended = (hole && hole->second == at && EndsAtTheEndOf(m, *hole, depth)) ||
                                   (hole && chartHole && depth == 1 && EndsAtTheEndOf(m, *hole, 1));
                if (!ended)
                    EndsOverTheRecordsBefore(m, at, depth);
            }
            if (listed || !BeginsInsideTheOpenSubstream(kind, depth)) {
                depth = 0;  // a substream of the outermost level
                hole = nullptr;
            }
            ++depth;
            if (depth == 2) {
                inChart = kind == kChartSubstream;
                chartHole = chartHole && !inChart;
            }
        } else if (type == kEof) {
            depth -= depth > 0 ? 1 : 0;
        } else if (type == kFillerRecord) {
            auto& holes = m.walk.holes;
            while (nextHole < holes.size() && holes[nextHole].second <= at)
                ++nextHole;
            if (nextHole < holes.size() && holes[nextHole].first <= at && &holes[nextHole] != hole) {
                hole = &holes[nextHole];
                chartHole = inTheChart;
                sheetAfterHole = false;
            }
        } else if (inTheChart && IsChartRecord(type)) {
            chartHole = false;  // the hole lay inside the chart
        } else if (inTheChart && IsSheetRecord(type) && !IsCellRecord(type)) {
            sheetAfterHole = true;
        }
        at += kHeader + length;
    }
    if (depth == 1 && hole && chartHole && sheetAfterHole)
        EndsAtTheEndOf(m, *hole, 1);
}

namespace {

using Mark = Walk::Mark;

// Where the first walk went straight through records nothing changed since, with no record
// of a chart's kinds past the globals: the walk for a chart's records has nothing to do, and
// its marks are the first walk's.
bool FirstWalkHoldsTheMarks(const MendState& m)
{
    const Walk& walk = m.walk;
    return walk.straight && m.regions.empty() && walk.end == m.stream.size() &&
           (walk.lastChartRecord == kNoPlace || walk.lastChartRecord < m.globalsEnd);
}

// The chart's records [at, end) go: filler over them, and the marks no longer hold.
void ChartRecordsGo(MendState& m, std::size_t at, std::size_t end)
{
    m.ForgetStarts(at, end);
    WriteFiller(m.stream, &m.walk.boundary, at, end);
    Cover(m.regions, at, end);
    m.marksHold = false;
}

// Whether a chart's record is the one at `at`. A chart's records come in runs (a block's begin
// and end records around most of them): one alone in a sheet is a changed bit in another
// record's kind, no chart.
bool ChartRecordFollows(const MendState& m, std::size_t at)
{
    return at + kHeader <= m.stream.size() && m.walk.boundary.Test(at) && IsChartRecord(U16(m.stream, at));
}

}  // namespace

// A chart's records right in a worksheet: the chart's first record went with damage the
// stream was joined across (a lost sector the chain leaves out). No worksheet holds chart
// records of its own; from the first of two in a row up to the next end record the records are
// the chart's. Its cells (series values) become filler, and its end record with them when the
// sheet's own records follow it (otherwise it stands for the sheet's, lost with the chart's
// first record).
// The walk notes the first and end records it passes, and where it stops: the end of the
// last sheet is found by them, unless the walk changed the records after the globals.
void ChartRecordsInWorksheetsGo(MendState& m)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    m.marksFrom = m.globalsEnd;
    m.marksTo = m.globalsEnd;  // where the walk stopped
    m.marksHold = true;
    if (FirstWalkHoldsTheMarks(m)) {
        const auto first = std::lower_bound(m.walk.marks.begin(), m.walk.marks.end(), m.globalsEnd,
                                            [](const Mark& mark, std::size_t place) { return mark.at < place; });
        m.marks.assign(first, m.walk.marks.end());
        m.marksTo = stream.size();
        return;
    }
    std::vector<std::uint16_t> open;  // the kinds of the substreams the walk is in
    bool orphan = false;
    for (std::size_t at = m.globalsEnd; at + kHeader <= stream.size() && m.walk.boundary.Test(at); m.marksTo = at) {
        const std::uint16_t type = U16(stream, at), length = U16(stream, at + 2);
        const std::size_t end = at + kHeader + length;
        if (type == kBof || type == kEof)
            m.marks.push_back({at, end, type == kBof});
        if (type == kBof && length >= 4) {
            open.push_back(U16(stream, at + kHeader + 2));
            orphan = false;  // (what follows is the new substream's)
        } else if (type == kEof) {
            const bool sheetGoesOn = end + kHeader <= stream.size() && m.walk.boundary.Test(end) && U16(stream, end) != kBof;
            if (orphan && sheetGoesOn)
                ChartRecordsGo(m, at, end);
            else if (!open.empty())
                open.pop_back();
            orphan = false;
        } else if (open.size() == 1 && open.back() == kWorksheetSubstream && IsChartRecord(type) && ChartRecordFollows(m, end)) {
            orphan = true;
        } else if (orphan && IsCellRecord(type)) {
            ChartRecordsGo(m, at, end);
        }
        at = end;
    }
}

// Where the globals end now that end records went back.
void GlobalsEndWhereEndRecordsWentBack(MendState& m)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    for (std::size_t at = 0; at + kHeader <= stream.size() && m.walk.boundary.Test(at);) {
        if (U16(stream, at) == kEof) {
            m.globalsEnd = std::min(m.globalsEnd, at);
            break;
        }
        at += kHeader + U16(stream, at + 2);
    }
}

namespace {

// Whether records of a sheet's own kinds follow `to` before the globals' end, and none of
// the globals' own kinds.
bool SheetFollows(const MendState& m, std::size_t to)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    bool sheetRecords = false;
    bool globalsRecords = false;
    for (std::size_t at = to; at < m.globalsEnd && m.walk.boundary.Test(at) && !globalsRecords;) {
        const std::uint16_t type = U16(stream, at);
        sheetRecords = sheetRecords || IsSheetRecord(type);
        globalsRecords = IsGlobalsOnlyRecord(type, m.biff8) || type == kBof;
        at += kHeader + U16(stream, at + 2);
    }
    return sheetRecords && !globalsRecords;
}

// Whether a sheet's first records (its dimensions, its row index) follow `to` before any cell.
bool SheetStartFollows(const MendState& m, std::size_t to)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    for (std::size_t at = to; at < m.globalsEnd && m.walk.boundary.Test(at);) {
        const std::uint16_t type = U16(stream, at);
        if (type == kDimensions || type == kIndex)
            return true;
        if (IsCellRecord(type))
            return false;
        at += kHeader + U16(stream, at + 2);
    }
    return false;
}

}  // namespace

// A sheet whose first record went with the end of the globals (and its entry in the list
// with them): records of a sheet's own kinds follow the damage, before the first end
// record. Its first record goes back at the end of the damaged stretch, after an end
// record for the globals; the list gets it back later.
// The hole is the last before that end record; or, where a sheet's first records (its
// dimensions, its row index) follow an earlier one before any cell, with no record of the
// globals' own kinds after it, that one: the holes after it lie in the sheet's cells.
void SheetStartLostWithGlobalsEndGoesBack(MendState& m)
{
    auto& holes = m.walk.holes;
    auto endHole = std::find_if(holes.begin(), holes.end(), [&](const auto& h) {
        return h.second <= m.globalsEnd && SheetStartFollows(m, h.second) && SheetFollows(m, h.second);
    });
    if (endHole == holes.end()) {
        const auto last = std::find_if(holes.rbegin(), holes.rend(), [&](const auto& h) { return h.second <= m.globalsEnd; });
        if (last != holes.rend() && SheetFollows(m, last->second))
            endHole = std::prev(last.base());
    }
    if (endHole == holes.end())
        return;
    auto& [from, to] = *endHole;
    const bool listedThere =
        std::any_of(m.listed.begin(), m.listed.end(), [from = from, to = to](const Listed& l) { return from <= l.offset && l.offset <= to; });
    const std::size_t need = kSheetStartRoom + m.bofLength;
    if (!listedThere && FitsInPlace(need, to - from)) {
        to = EndAndSheetStartAtTheEnd(m, from, to);
        m.globalsEnd = to;
    }
}

}  // namespace tabulon::mending
