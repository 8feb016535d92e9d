// The stream's end: where the records end (a cut, or padding set aside), what follows the last
// sheet's end, and the end records and empty sheets that go at the end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mend_state.h"

namespace tabulon::mending {

using namespace biff;

// The stream ends where its records do: past a cut the records are lost; bytes after the last
// sheet's end that read as no record (a writer's padding) are set aside, and go back when the
// mending changes nothing at the stream's end.
void StreamEndsWhereRecordsEnd(MendState& m)
{
    std::vector<std::uint8_t>& stream = m.stream;
    Walk& walk = m.walk;
    if (walk.end >= stream.size())
        return;
    // What was mended past the end (the new globals' list entries re-pointed there) goes with it.
    KeepWithin(m.regions, walk.end);
    if (walk.cut)
        m.regions.push_back({MendedRegion::Kind::Lost, walk.end, stream.size() - walk.end, -1});
    else
        m.padding.assign(stream.begin() + static_cast<std::ptrdiff_t>(walk.end), stream.end());
    stream.resize(walk.end);
    walk.boundary.Resize(walk.end + 1);
}

namespace {

using Mark = Walk::Mark;

// The most substreams a sheet holds one in another: a chart in a sheet. (A stream that counts
// more open ones holds damage its records hide; as many end records close them as could matter.)
constexpr int kMostOpenSubstreams = 4;

// Where the substream that begins with the last sheet's first record at `lastSheet` ends
// (with `depth` 0), or where the records stop (with `depth` the substreams left open): by the
// marks where the walk for a chart's records passed the sheet and changed nothing, else by
// walking the records again.
std::size_t LastSheetEnd(const MendState& m, std::size_t lastSheet, int& depth)
{
    std::size_t at = lastSheet;
    // (What was written since the walk lies in the globals, before where it began.)
    const auto mark = std::lower_bound(m.marks.begin(), m.marks.end(), lastSheet, [](const Mark& k, std::size_t place) { return k.at < place; });
    if (m.marksHold && lastSheet >= m.marksFrom && mark != m.marks.end() && mark->at == lastSheet) {
        at = m.marksTo;
        for (auto k = mark; k != m.marks.end(); ++k) {
            depth += k->first ? 1 : -1;
            if (depth == 0) {
                at = k->end;
                break;
            }
        }
        return at;
    }
    const std::vector<std::uint8_t>& stream = m.stream;
    while (at + kHeader <= stream.size() && m.walk.boundary.Test(at)) {
        const std::uint16_t type = U16(stream, at);
        depth += type == kBof ? 1 : type == kEof ? -1 : 0;
        at += kHeader + U16(stream, at + 2);
        if (depth == 0)
            break;
    }
    return at;
}

// Where the last sheet an entry leads to begins (0: none does).
std::size_t LastSheetStart(const MendState& m)
{
    std::size_t lastSheet = 0;
    for (const Listed& sheet : m.listed) {
        if (m.LeadsToSheet(sheet.offset))
            lastSheet = std::max<std::size_t>(lastSheet, sheet.offset);
    }
    return lastSheet;
}

// How many substreams are open at the stream's end, from the last sheet an entry leads to on: the
// sheet, and a chart in it (BeginsInsideTheOpenSubstream); at most a few.
int OpenAtTheEnd(const MendState& m)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    int open = 0;
    std::size_t at = LastSheetStart(m);
    if (at == 0)
        return 0;
    for (; at + kHeader <= stream.size() && m.walk.boundary.Test(at); at += kHeader + U16(stream, at + 2)) {
        const std::uint16_t type = U16(stream, at);
        const std::uint16_t kind = U16(stream, at + 2) >= 4 ? U16(stream, at + kHeader + 2) : 0;
        if (type == kBof)
            open = BeginsInsideTheOpenSubstream(kind, static_cast<std::size_t>(open)) ? std::min(open + 1, kMostOpenSubstreams) : 1;
        else if (type == kEof && open > 0)
            --open;
    }
    return at >= stream.size() ? open : 0;
}

}  // namespace

// What follows the end of the last sheet is no part of the workbook (a stream found by its
// records may run on into other data, which reads as damage): it goes.
void CutAfterLastSheet(MendState& m)
{
    std::vector<std::uint8_t>& stream = m.stream;
    const std::size_t lastSheet = LastSheetStart(m);
    if (lastSheet == 0)
        return;
    int depth = 0;
    const std::size_t at = LastSheetEnd(m, lastSheet, depth);
    bool sheetsAfter = false;
    for (std::size_t k = NextBofBytes(stream, at); k != kNoPlace && k + kHeader <= stream.size() && !sheetsAfter;
         k = NextBofBytes(stream, k + 1))
        sheetsAfter = m.walk.boundary.Test(k);
    if (depth == 0 && at < stream.size() && !sheetsAfter) {
        std::erase_if(m.regions, [&](const MendedRegion& r) { return r.offset >= at; });
        for (MendedRegion& region : m.regions)
            region.length = std::min<std::uint64_t>(region.length, at - region.offset);
        stream.resize(at);
        m.walk.boundary.Resize(at + 1);
        m.padding.clear();
    }
}

// An entry that still leads into the middle of the records names a sheet that was not
// found: it comes back empty, as one past the end does, rather than lead readers astray,
// and the empty sheet is all replacement (a sheet lost, not one that was empty).
void EntriesNotFoundComeBackEmpty(MendState& m)
{
    for (const Listed& sheet : m.listed) {
        if (sheet.offset < m.stream.size() && !m.LeadsToSheet(sheet.offset) &&
            std::none_of(m.pastTheEnd.begin(), m.pastTheEnd.end(), [&](const Listed& l) { return l.record == sheet.record; })) {
            m.pastTheEnd.push_back(sheet);
            m.notFound.push_back(sheet.record);
        }
    }
}

namespace {

// A record of `type` appended to the stream, where records start; gives where it went.
std::size_t Append(MendState& m, std::uint16_t type, Bytes body)
{
    const std::size_t at = m.stream.size();
    m.stream.resize(at + kHeader + body.size());
    m.walk.boundary.Resize(m.stream.size() + 1);
    WriteRecord(m.stream, at, type, body);
    m.walk.boundary.Set(at);
    return at;
}

}  // namespace

// The open sheet gets its end, and a chart in it that the cut left open the chart's end first
// (a reader looking for the sheet's end would run past the stream's); sheets past the cut come
// back empty, under their names, each with the size of an empty sheet (LibreOffice shows no
// sheet of a workbook at all where one of them is no more than its first and end records).
void SheetsClosedAndLostOnesEmpty(MendState& m)
{
    std::vector<std::uint8_t>& stream = m.stream;
    const std::size_t closedAt = stream.size();
    for (int open = std::max(OpenAtTheEnd(m), m.EndsWithEof(stream.size()) ? 0 : 1); open > 0; --open)
        Append(m, kEof, {});
    for (const Listed& sheet : m.pastTheEnd) {
        const std::size_t offset = Append(m, kBof, m.sheetBof);
        const std::uint8_t noCells[14] = {};
        Append(m, kDimensions, Bytes(noCells, m.biff8 ? 14 : 10));
        Append(m, kEof, {});
        StoreLe32(stream.data() + sheet.record + kHeader, static_cast<std::uint32_t>(offset));
        m.regions.push_back({MendedRegion::Kind::Replaced, sheet.record + kHeader, 4, -1});
        if (std::find(m.notFound.begin(), m.notFound.end(), sheet.record) != m.notFound.end())
            m.regions.push_back({MendedRegion::Kind::Replaced, offset, stream.size() - offset, -1});
    }
    if (stream.size() > closedAt) {
        m.regions.push_back({MendedRegion::Kind::Replaced, closedAt, stream.size() - closedAt, -1});
        m.padding.clear();
    }
}

}  // namespace tabulon::mending
