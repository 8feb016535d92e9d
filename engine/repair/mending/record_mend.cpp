#include "engine/repair/mending/mending.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"

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

// The regions of a stream that now ends at `end`: none replaced past it, none running past it.
void KeepWithin(std::vector<MendedRegion>& regions, std::size_t end)
{
    std::erase_if(regions, [&](const MendedRegion& r) { return r.kind == MendedRegion::Kind::Replaced && r.offset >= end; });
    for (MendedRegion& region : regions) {
        region.offset = std::min<std::uint64_t>(region.offset, end);
        if (region.kind == MendedRegion::Kind::Replaced)
            region.length = std::min<std::uint64_t>(region.length, end - region.offset);
    }
}

}  // namespace mending

using namespace biff;
using namespace mending;

namespace {

// Whether the stream's start is gone (a stream that begins with a worksheet's first record has
// lost its globals as well).
bool StartLost(Bytes stream)
{
    return stream.size() < 8 || U16(stream, 0) != kBof || U16(stream, 2) < 8 || !ReadsKnown(stream, 0) ||
           U16(stream, kHeader + 2) == kWorksheetSubstream;
}

std::vector<MendedRegion> MendOnce(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names)
{
    std::vector<MendedRegion> regions;
    if (StartLost(stream)) {
        // The workbook's start is gone: new globals hold the surviving sheets together.
        if (!RebuildGlobals(stream, names, regions))
            return regions;
    }
    Walk walk = WalkAndFill(stream, regions);
    // Bytes after the last sheet's end that read as no record (a writer's padding) are set
    // aside, and go back when the mending changes nothing at the stream's end.
    std::vector<std::uint8_t> padding;
    if (walk.end < stream.size()) {
        // What was mended past the end (the new globals' list entries re-pointed there) goes with it.
        KeepWithin(regions, walk.end);
        if (walk.cut)
            regions.push_back({MendedRegion::Kind::Lost, walk.end, stream.size() - walk.end, -1});
        else
            padding.assign(stream.begin() + static_cast<std::ptrdiff_t>(walk.end), stream.end());
        stream.resize(walk.end);
        walk.boundary.Resize(walk.end + 1);
    }

    // The first record of a sheet: the globals' own, as a worksheet's.
    const std::uint16_t bofLength = stream.size() < kHeader ? 0 : U16(stream, 2);
    if (bofLength < 4 || stream.size() < kHeader + bofLength)
        return regions;  // not even the first record reads: nothing to hold sheets together
    std::vector<std::uint8_t> sheetBof(stream.begin() + kHeader, stream.begin() + static_cast<std::ptrdiff_t>(kHeader + bofLength));
    StoreLe16(sheetBof.data() + 2, kWorksheetSubstream);

    // The list of sheets, in the globals.
    struct Listed {
        std::size_t record;
        std::uint32_t offset;
    };
    std::vector<Listed> listed;
    std::size_t globalsEnd = stream.size();
    for (std::size_t at = 0; at + kHeader <= stream.size() && walk.boundary.Test(at);) {
        const std::uint16_t type = U16(stream, at);
        if (type == kEof) {
            globalsEnd = at;
            break;
        }
        if (type == kBoundSheet && U16(stream, at + 2) >= 4)
            listed.push_back({at, LoadLe32(stream.data() + at + kHeader)});
        at += kHeader + U16(stream, at + 2);
    }
    const bool biff8 = U16(stream, kHeader) >= kBiff8Version;

    // The record that starts last before `at` (kNoPlace: none).
    auto recordBefore = [&](std::size_t at) -> std::size_t { return walk.boundary.Before(at); };
    auto endsWithEof = [&](std::size_t at) {  // the record that ends at `at` is an EOF
        const std::size_t before = recordBefore(at);
        return before != kNoPlace && U16(stream, before) == kEof && before + kHeader + U16(stream, before + 2) == at;
    };

    std::vector<Listed> pastTheEnd;
    for (const Listed& sheet : listed) {
        const std::size_t offset = sheet.offset;
        if (offset < stream.size() && walk.boundary.Test(offset) && U16(stream, offset) == kBof)
            continue;
        if (offset >= stream.size()) {
            pastTheEnd.push_back(sheet);
            continue;
        }
        // Its first record was in a hole: written back there, with the end record of the
        // sheet before it when that one lost its own.
        const auto hole = std::find_if(walk.holes.begin(), walk.holes.end(),
                                       [&](const auto& h) { return h.first <= offset && offset < h.second; });
        if (hole == walk.holes.end())
            continue;
        const auto [from, to] = *hole;
        const std::size_t bofEnd = offset + kHeader + bofLength;
        const std::size_t before = offset - from;
        // The sheet before lost its end with the damage: an end record goes right before, in
        // room that is either exactly one or leaves filler room in front of it.
        const bool needEof = before == kHeader || before >= 2 * kHeader;
        const std::size_t eofAt = needEof ? offset - kHeader : offset;
        const bool fits = (before == 0 || before >= kHeader) && bofEnd <= to && (to == bofEnd || to - bofEnd >= kHeader);
        // What follows the hole up to the next substream's end or start is a sheet's, not the
        // globals' (an entry whose offset counts bytes the stream lost may lead into them).
        bool globalsFollow = false;
        for (std::size_t at = to; at + kHeader <= stream.size() && walk.boundary.Test(at) && !globalsFollow;) {
            const std::uint16_t type = U16(stream, at);
            if (type == kEof || type == kBof)
                break;
            // (Some writers put a code page or country record in a sheet as well.)
            globalsFollow = IsGlobalsRecord(type) && type != kCodePage && type != kCountry;
            at += kHeader + U16(stream, at + 2);
        }
        if (!fits || globalsFollow)
            continue;
        for (std::size_t k = from; k < to; ++k)
            walk.boundary.Reset(k);
        if (eofAt > from)
            WriteFiller(stream, &walk.boundary, from, eofAt);
        if (needEof) {
            WriteRecord(stream, eofAt, kEof, {});
            walk.boundary.Set(eofAt);
        }
        WriteRecord(stream, offset, kBof, sheetBof);
        walk.boundary.Set(offset);
        if (to > bofEnd)
            WriteFiller(stream, &walk.boundary, bofEnd, to);
        Cover(regions, from, to);
        // What is left of the hole on either side is room for the next sheet's first record.
        const auto place = walk.holes.erase(hole);
        const auto after = to > bofEnd ? walk.holes.insert(place, {bofEnd, to}) : place;
        if (eofAt > from)
            walk.holes.insert(after, {from, eofAt});
    }

    // Fills the hole [from, to) with an end record and a worksheet's first record at its end
    // (filler before them); gives where the end record went.
    const auto endAndSheetStartAtTheEnd = [&](std::size_t from, std::size_t to) {
        const std::size_t eofAt = to - (2 * kHeader + bofLength);
        for (std::size_t k = from; k < to; ++k)
            walk.boundary.Reset(k);
        if (eofAt > from)
            WriteFiller(stream, &walk.boundary, from, eofAt);
        WriteRecord(stream, eofAt, kEof, {});
        walk.boundary.Set(eofAt);
        WriteRecord(stream, eofAt + kHeader, kBof, sheetBof);
        walk.boundary.Set(eofAt + kHeader);
        Cover(regions, from, to);
        return eofAt;
    };

    // A hole inside a worksheet after which the cells go back to rows well above the last ones
    // before it (a sheet's cells come row by row; one row back is some writers' way around
    // merged cells) took the sheet's end and the next sheet's first record: the records after
    // it are another sheet's, not this one's. They get an end record and a first record back
    // at the hole's end, and the list an entry below, as for a sheet whose entry was lost.
    const auto cellRow = [&](std::size_t at) -> std::optional<unsigned> {
        const std::uint16_t type = U16(stream, at);
        if (!IsCellRecord(type) || U16(stream, at + 2) < 4)
            return std::nullopt;
        return U16(stream, at + kHeader);
    };
    for (auto& [from, to] : walk.holes) {
        const std::size_t need = 2 * kHeader + bofLength;
        if (from < globalsEnd || !(to - from == need || to - from >= need + kHeader))
            continue;
        // (Only where the damage zeroed bytes: bytes of something else read as cells now and
        // then, rows and all.)
        const auto found = std::find_if(walk.overwritten.begin(), walk.overwritten.end(), [&, from = from](const auto& o) {
            return o.first <= from && from < o.first + o.second.size();
        });
        bool zeroed = false;
        for (std::size_t unit = (from + kUnit - 1) / kUnit * kUnit; found != walk.overwritten.end() && !zeroed &&
                                                                   unit + kUnit <= std::min(to, found->first + found->second.size());
             unit += kUnit) {
            const auto first = found->second.begin() + static_cast<std::ptrdiff_t>(unit - found->first);
            zeroed = std::all_of(first, first + kUnit, [](std::uint8_t b) { return b == 0; });
        }
        if (!zeroed)
            continue;
        std::optional<unsigned> before, after;
        for (std::size_t k = to; k + kHeader <= stream.size() && walk.boundary.Test(k) && !after;) {
            const std::uint16_t type = U16(stream, k);
            if (type == kBof || type == kEof || type == kFillerRecord)
                break;
            after = cellRow(k);
            k += kHeader + U16(stream, k + 2);
        }
        if (!after)
            continue;
        bool inWorksheet = false;
        for (std::size_t k = recordBefore(from); k != kNoPlace; k = recordBefore(k)) {
            const std::uint16_t type = U16(stream, k);
            if (type == kEof)
                break;
            if (type == kBof) {
                inWorksheet = U16(stream, k + 2) >= 4 && U16(stream, k + kHeader + 2) == kWorksheetSubstream;
                break;
            }
            if (!before)
                before = cellRow(k);
        }
        if (!inWorksheet || !before || *after + 1 >= *before)
            continue;
        to = endAndSheetStartAtTheEnd(from, to);
    }

    // A hole that took the first record of a substream inside a sheet (a chart's): the records
    // after it up to an end record are that substream's, when a second end record, the sheet's
    // own, follows before any sheet starts, or when chart records come before that end record
    // and the sheet's own records after it (a sheet holding more than one chart has the next
    // one's first record before its end). Cells among them (a chart's series values) are no
    // cells of the sheet: they become filler, the substream's end record with them.
    for (auto& [from, to] : walk.holes) {
        std::size_t firstEnd = kNoPlace;
        bool nested = false, chart = false;
        for (std::size_t at = to; at + kHeader <= stream.size() && walk.boundary.Test(at) && !nested;) {
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
        for (std::size_t k = to; k < end; ++k)
            walk.boundary.Reset(k);
        WriteFiller(stream, &walk.boundary, to, end);
        Cover(regions, to, end);
        to = end;
    }

    // A chart's records right in a worksheet: the chart's first record went with damage the
    // stream was joined across (a lost sector the chain leaves out). No worksheet holds chart
    // records of its own; from the first of them up to the next end record the records are the
    // chart's. Its cells (series values) become filler, and its end record with them when the
    // sheet's own records follow it (otherwise it stands for the sheet's, lost with the chart's
    // first record).
    // The walk notes the first and end records it passes, and where it stops: the end of the
    // last sheet is found by them below, unless the walk changed the records after the globals.
    // Where the first walk went straight through records nothing changed since, with no
    // record of a chart's kinds past the globals, this walk has nothing to do: its marks are
    // the first walk's.
    using Mark = Walk::Mark;
    std::vector<Mark> marks;
    const std::size_t marksFrom = globalsEnd;
    std::size_t marksTo = globalsEnd;  // where the walk stopped
    bool marksHold = true;
    if (walk.straight && regions.empty() && walk.end == stream.size() &&
        (walk.lastChartRecord == kNoPlace || walk.lastChartRecord < globalsEnd)) {
        const auto first = std::lower_bound(walk.marks.begin(), walk.marks.end(), globalsEnd,
                                            [](const Mark& m, std::size_t place) { return m.at < place; });
        marks.assign(first, walk.marks.end());
        marksTo = stream.size();
    } else {
        std::vector<std::uint16_t> open;  // the kinds of the substreams the walk is in
        bool orphan = false;
        const auto goes = [&](std::size_t at, std::size_t end) {
            for (std::size_t k = at; k < end; ++k)
                walk.boundary.Reset(k);
            WriteFiller(stream, &walk.boundary, at, end);
            Cover(regions, at, end);
            marksHold = false;
        };
        for (std::size_t at = globalsEnd; at + kHeader <= stream.size() && walk.boundary.Test(at); marksTo = at) {
            const std::uint16_t type = U16(stream, at), length = U16(stream, at + 2);
            const std::size_t end = at + kHeader + length;
            if (type == kBof || type == kEof)
                marks.push_back({at, end, type == kBof});
            if (type == kBof && length >= 4) {
                open.push_back(U16(stream, at + kHeader + 2));
            } else if (type == kEof) {
                const bool sheetGoesOn = end + kHeader <= stream.size() && walk.boundary.Test(end) && U16(stream, end) != kBof;
                if (orphan && sheetGoesOn)
                    goes(at, end);
                else if (!open.empty())
                    open.pop_back();
                orphan = false;
            } else if (open.size() == 1 && open.back() == kWorksheetSubstream && IsChartRecord(type)) {
                orphan = true;
            } else if (orphan && IsCellRecord(type)) {
                goes(at, end);
            }
            at = end;
        }
    }

    // Where the globals end now that end records went back.
    for (std::size_t at = 0; at + kHeader <= stream.size() && walk.boundary.Test(at);) {
        if (U16(stream, at) == kEof) {
            globalsEnd = std::min(globalsEnd, at);
            break;
        }
        at += kHeader + U16(stream, at + 2);
    }

    // A sheet whose first record went with the end of the globals (and its entry in the list
    // with them): records of a sheet's own kinds follow the damage, before the first end
    // record. Its first record goes back at the end of the damaged stretch, after an end
    // record for the globals; the list gets it back below.
    // The hole is the last before that end record; or, where a sheet's first records (its
    // dimensions, its row index) follow an earlier one before any cell, with no record of the
    // globals' own kinds after it, that one: the holes after it lie in the sheet's cells.
    const auto sheetFollows = [&](std::size_t to) {
        bool sheetRecords = false;
        bool globalsRecords = false;
        for (std::size_t at = to; at < globalsEnd && walk.boundary.Test(at) && !globalsRecords;) {
            const std::uint16_t type = U16(stream, at);
            sheetRecords = sheetRecords || IsSheetRecord(type);
            // (A BIFF5 worksheet has an EXTERNSHEET list of its own.)
            globalsRecords = (IsGlobalsRecord(type) && !(type == kExternSheet && !biff8)) || type == kBof;
            at += kHeader + U16(stream, at + 2);
        }
        return sheetRecords && !globalsRecords;
    };
    const auto sheetStartFollows = [&](std::size_t to) {
        for (std::size_t at = to; at < globalsEnd && walk.boundary.Test(at);) {
            const std::uint16_t type = U16(stream, at);
            if (type == kDimensions || type == kIndex)
                return true;
            if (IsCellRecord(type))
                return false;
            at += kHeader + U16(stream, at + 2);
        }
        return false;
    };
    auto endHole = std::find_if(walk.holes.begin(), walk.holes.end(), [&](const auto& h) {
        return h.second <= globalsEnd && sheetStartFollows(h.second) && sheetFollows(h.second);
    });
    if (endHole == walk.holes.end()) {
        const auto last = std::find_if(walk.holes.rbegin(), walk.holes.rend(), [&](const auto& h) { return h.second <= globalsEnd; });
        if (last != walk.holes.rend() && sheetFollows(last->second))
            endHole = std::prev(last.base());
    }
    if (endHole != walk.holes.end()) {
        auto& [from, to] = *endHole;
        const bool listedThere =
            std::any_of(listed.begin(), listed.end(), [from = from, to = to](const Listed& l) { return from <= l.offset && l.offset <= to; });
        const std::size_t need = 2 * kHeader + bofLength;
        if (!listedThere && (to - from == need || to - from >= need + kHeader)) {
            to = endAndSheetStartAtTheEnd(from, to);
            globalsEnd = to;
        }
    }

    // Entries past the globals' end (where an end record went back) are no longer the list's.
    std::erase_if(listed, [&](const Listed& l) { return l.record >= globalsEnd; });
    std::erase_if(pastTheEnd, [&](const Listed& l) { return l.record >= globalsEnd; });

    // A sheet whose entry in the list was destroyed: the list gets it back in the damaged
    // stretch of the globals, under a name of its own ("Sheet" and a number none has).
    std::vector<std::size_t> orphans;
    for (std::size_t at = NextBofBytes(stream, globalsEnd); at != kNoPlace && at + kHeader + 4 <= stream.size();
         at = NextBofBytes(stream, at + 1)) {
        if (!walk.boundary.Test(at) || U16(stream, at + kHeader + 2) != kWorksheetSubstream)
            continue;
        const std::size_t before = recordBefore(at);
        const bool topLevel = before == kNoPlace || U16(stream, before) == kEof || U16(stream, before) == kFillerRecord;
        const bool isListed = std::any_of(listed.begin(), listed.end(), [&](const Listed& l) { return l.offset == at; });
        if (topLevel && !isListed)
            orphans.push_back(at);
    }
    // Entries that lead to no sheet's first record, and as many sheets that no entry leads to
    // (the stream lost or gained bytes before them): taken in order, when the list then leads
    // to the sheets in stream order.
    // (Again after new entries went into the holes, for the sheets that found no room there:
    // a second mending would see the same.)
    auto leadsToSheet = [&](std::size_t offset) { return offset < stream.size() && walk.boundary.Test(offset) && U16(stream, offset) == kBof; };
    auto pairDangling = [&] {
        std::vector<std::size_t> dangling;  // in `listed`
        for (std::size_t i = 0; i < listed.size(); ++i) {
            if (listed[i].offset < stream.size() && !leadsToSheet(listed[i].offset))
                dangling.push_back(i);  // (those past the end come back empty, below)
        }
        if (orphans.empty() || dangling.size() != orphans.size())
            return;
        std::vector<Listed> tried = listed;
        for (std::size_t j = 0; j < dangling.size(); ++j)
            tried[dangling[j]].offset = static_cast<std::uint32_t>(orphans[j]);
        std::sort(tried.begin(), tried.end(), [](const Listed& a, const Listed& b) { return a.record < b.record; });
        for (std::size_t i = 1; i < tried.size(); ++i) {
            if (tried[i - 1].offset >= tried[i].offset)
                return;
        }
        for (std::size_t j = 0; j < dangling.size(); ++j) {
            Listed& entry = listed[dangling[j]];
            entry.offset = static_cast<std::uint32_t>(orphans[j]);
            StoreLe32(stream.data() + entry.record + kHeader, entry.offset);
            regions.push_back({MendedRegion::Kind::Replaced, entry.record + kHeader, 4, -1});
        }
        orphans.clear();
    };
    pairDangling();
    // With the whole list gone, the names the document summary gives say how many sheets
    // there were: when they are more than survive and all the damage lies before the first
    // survivor, the lost ones came first. They come back empty under their names (their
    // entries lead past the end, below), ahead of the survivors, which take the names after
    // theirs: every sheet keeps its place. All the entries go into one hole, or none does.
    const bool holesBefore = !orphans.empty() && std::none_of(walk.holes.begin(), walk.holes.end(), [&](const auto& h) {
        return h.second > orphans.front();
    });
    if (listed.empty() && holesBefore && names.size() > orphans.size()) {
        const std::size_t lostSheets = names.size() - orphans.size();
        std::vector<std::uint8_t> entries;
        std::vector<std::size_t> starts;
        for (std::size_t i = 0; i < names.size(); ++i) {
            starts.push_back(entries.size());
            AppendRecord(entries, kBoundSheet, SheetEntry(i < lostSheets ? 0xFFFFFFFF : orphans[i - lostSheets], names[i], biff8));
        }
        const std::size_t need = entries.size();
        const auto hole = std::find_if(walk.holes.begin(), walk.holes.end(), [&](const auto& h) {
            const std::size_t room = h.second - h.first;
            return h.first > 0 && h.second <= globalsEnd && (room == need || room >= need + kHeader);
        });
        if (hole != walk.holes.end()) {
            const auto [from, to] = *hole;
            for (std::size_t k = from; k < to; ++k)
                walk.boundary.Reset(k);
            std::copy(entries.begin(), entries.end(), stream.begin() + static_cast<std::ptrdiff_t>(from));
            for (std::size_t i = 0; i < names.size(); ++i) {
                walk.boundary.Set(from + starts[i]);
                const Listed entry{from + starts[i], i < lostSheets ? 0xFFFFFFFFu : static_cast<std::uint32_t>(orphans[i - lostSheets])};
                listed.push_back(entry);
                if (i < lostSheets)
                    pastTheEnd.push_back(entry);
            }
            if (to > from + need)
                WriteFiller(stream, &walk.boundary, from + need, to);
            Cover(regions, from, to);
            walk.holes.erase(hole);
            orphans.clear();
        }
    }
    std::vector<std::size_t> roomless;  // orphans no hole had room for
    for (const std::size_t orphan : orphans) {
        std::vector<std::size_t> entries;
        for (const Listed& sheet : listed)
            entries.push_back(sheet.record);
        const std::vector<std::uint8_t> body = SheetEntry(orphan, Wide(UnusedSheetName(stream, entries, biff8, {})), biff8);
        const std::size_t need = kHeader + body.size();
        auto hole = std::find_if(walk.holes.begin(), walk.holes.end(), [&](const auto& h) {
            const std::size_t room = h.second - h.first;
            return h.first > 0 && h.second <= globalsEnd && (room == need || room >= need + kHeader);
        });
        if (hole == walk.holes.end()) {
            roomless.push_back(orphan);
            continue;
        }
        for (std::size_t k = hole->first; k < hole->second; ++k)
            walk.boundary.Reset(k);
        WriteRecord(stream, hole->first, kBoundSheet, body);
        walk.boundary.Set(hole->first);
        listed.push_back({hole->first, static_cast<std::uint32_t>(orphan)});
        if (hole->second > hole->first + need)
            WriteFiller(stream, &walk.boundary, hole->first + need, hole->second);
        Cover(regions, hole->first, hole->second);
        hole->first += need;
        if (hole->first == hole->second)
            walk.holes.erase(hole);
    }
    orphans = roomless;
    pairDangling();
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) { return a.record < b.record; });

    // What follows the end of the last sheet is no part of the workbook (a stream found by its
    // records may run on into other data, which reads as damage): it goes.
    std::size_t lastSheet = 0;
    for (const Listed& sheet : listed) {
        if (sheet.offset < stream.size() && walk.boundary.Test(sheet.offset) && U16(stream, sheet.offset) == kBof)
            lastSheet = std::max<std::size_t>(lastSheet, sheet.offset);
    }
    if (lastSheet > 0) {
        int depth = 0;
        std::size_t at = lastSheet;
        // (What was written since the walk above lies in the globals, before where it began.)
        const auto mark = std::lower_bound(marks.begin(), marks.end(), lastSheet, [](const Mark& m, std::size_t place) { return m.at < place; });
        if (marksHold && lastSheet >= marksFrom && mark != marks.end() && mark->at == lastSheet) {
            at = marksTo;
            for (auto m = mark; m != marks.end(); ++m) {
                depth += m->first ? 1 : -1;
                if (depth == 0) {
                    at = m->end;
                    break;
                }
            }
        } else {
            while (at + kHeader <= stream.size() && walk.boundary.Test(at)) {
                const std::uint16_t type = U16(stream, at);
                depth += type == kBof ? 1 : type == kEof ? -1 : 0;
                at += kHeader + U16(stream, at + 2);
                if (depth == 0)
                    break;
            }
        }
        bool sheetsAfter = false;
        for (std::size_t k = NextBofBytes(stream, at); k != kNoPlace && k + kHeader <= stream.size() && !sheetsAfter;
             k = NextBofBytes(stream, k + 1))
            sheetsAfter = walk.boundary.Test(k);
        if (depth == 0 && at < stream.size() && !sheetsAfter) {
            std::erase_if(regions, [&](const MendedRegion& r) { return r.offset >= at; });
            for (MendedRegion& region : regions)
                region.length = std::min<std::uint64_t>(region.length, at - region.offset);
            stream.resize(at);
            walk.boundary.Resize(at + 1);
            padding.clear();
        }
    }

    // An entry that still leads into the middle of the records names a sheet that was not
    // found: it comes back empty, as one past the end does, rather than lead readers astray,
    // and the empty sheet is all replacement (a sheet lost, not one that was empty).
    std::vector<std::size_t> notFound;  // by the entry's place
    for (const Listed& sheet : listed) {
        if (sheet.offset < stream.size() && !leadsToSheet(sheet.offset) &&
            std::none_of(pastTheEnd.begin(), pastTheEnd.end(), [&](const Listed& l) { return l.record == sheet.record; })) {
            pastTheEnd.push_back(sheet);
            notFound.push_back(sheet.record);
        }
    }

    // The open sheet gets its end; sheets past the cut come back empty, under their names.
    auto append = [&](std::uint16_t type, Bytes body) {
        const std::size_t at = stream.size();
        stream.resize(at + kHeader + body.size());
        walk.boundary.Resize(stream.size() + 1);
        WriteRecord(stream, at, type, body);
        walk.boundary.Set(at);
        return at;
    };
    const std::size_t closedAt = stream.size();
    if (!endsWithEof(stream.size()))
        append(kEof, {});
    for (const Listed& sheet : pastTheEnd) {
        const std::size_t offset = append(kBof, sheetBof);
        append(kEof, {});
        StoreLe32(stream.data() + sheet.record + kHeader, static_cast<std::uint32_t>(offset));
        regions.push_back({MendedRegion::Kind::Replaced, sheet.record + kHeader, 4, -1});
        if (std::find(notFound.begin(), notFound.end(), sheet.record) != notFound.end())
            regions.push_back({MendedRegion::Kind::Replaced, offset, stream.size() - offset, -1});
    }
    if (stream.size() > closedAt) {
        regions.push_back({MendedRegion::Kind::Replaced, closedAt, stream.size() - closedAt, -1});
        padding.clear();
    }

    MendCounts(stream, regions);
    CellsNoWorkbookHoldsGo(stream, regions);
    MendStringTableHole(stream, regions, walk.overwritten);
    stream.insert(stream.end(), padding.begin(), padding.end());

    // Each region's sheet: by its place in the list, the sheet whose first record is the last
    // at or before the region; none for a region in the globals. Entries that lead to no
    // sheet's first record place nothing.
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
    for (MendedRegion& region : regions) {
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
    return regions;
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
                                             bool* settled)
{
    // What one round mends can leave room or order that the next takes up (a string table
    // written anew leaves room for a list entry): rounds go on until one changes nothing, so
    // that a stream mended once is left as it is when mended again.
    std::vector<MendedRegion> regions = MendOnce(stream, names);
    if (settled)
        *settled = regions.empty();
    for (int round = 0; round < 3 && !regions.empty(); ++round) {
        const std::vector<MendedRegion> more = MendOnce(stream, names);
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
