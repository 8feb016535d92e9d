// The list of sheets, in the globals, where it lost entries or its entries lead nowhere: sheets
// no entry leads to get entries back in the globals' damaged stretches, or the entries that
// lead nowhere, in order.
#include <algorithm>
#include <bit>
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

// Entries past the globals' end (where an end record went back) are no longer the list's.
void EntriesPastTheGlobalsGo(MendState& m)
{
    std::erase_if(m.listed, [&](const Listed& l) { return l.record >= m.globalsEnd; });
    std::erase_if(m.pastTheEnd, [&](const Listed& l) { return l.record >= m.globalsEnd; });
}

namespace {

// Whether the entry of the list at `record` names a kind of sheet other than the one whose first
// record is at `sheet` (an entry's offset that the damage changed keeps its kind; a kind no
// entry has is the damage's too, and tells nothing).
bool KindsDisagree(Bytes stream, std::size_t record, std::size_t sheet)
{
    if (U16(stream, record + 2) < 6 || U16(stream, sheet + 2) < 4)
        return false;
    const std::uint8_t listed = stream[record + kHeader + 5];
    return (listed <= 2 || listed == 6) && listed != ListedKindOf(U16(stream, sheet + kHeader + 2));
}

}  // namespace

// A sheet whose entry in the list was destroyed: a first record of the stream's top level that
// no entry leads to. A worksheet's follows an end record or filler (a hole that took the sheet
// before's end); a chart sheet's or a macro sheet's follows an end record that closed every
// substream before it (a chart after filler may be one a hole cut from the sheet holding it).
// The list gets them back below.
void FindOrphanSheets(MendState& m)
{
    const std::vector<std::uint8_t>& stream = m.stream;
    std::size_t open = 0;
    std::uint16_t previous = kEof;  // (the walk begins at the globals' own end record)
    for (std::size_t at = m.globalsEnd; at + kHeader <= stream.size() && m.walk.boundary.Test(at); at += kHeader + U16(stream, at + 2)) {
        const std::uint16_t type = U16(stream, at);
        if (type == kBof && at + kHeader + 4 <= stream.size()) {
            const std::uint16_t kind = U16(stream, at + kHeader + 2);
            const bool orphan = kind == kWorksheetSubstream ? previous == kEof || previous == kFillerRecord
                                                            : (kind == kChartSubstream || kind == kMacroSubstream) && previous == kEof && open == 0;
            if (orphan && std::none_of(m.listed.begin(), m.listed.end(), [&](const Listed& l) { return l.offset == at; }))
                m.orphans.push_back(at);
            open = BeginsInsideTheOpenSubstream(kind, open) ? open + 1 : 1;
        }
        open -= type == kEof && open > 0 ? 1 : 0;
        previous = type;
    }
}

// An entry that leads to no sheet's first record, where one changed bit in its offset leads to
// a sheet no entry leads to, and to none other: that sheet's (the entry's name and order stand).
// (Entries past the stream's end too: a changed high bit leads far past it.)
void EntriesOneBitFromAnOrphanLeadToIt(MendState& m)
{
    for (Listed& entry : m.listed) {
        if (m.LeadsToSheet(entry.offset))
            continue;
        const auto oneBitAway = [&](std::size_t orphan) {
            return std::popcount(entry.offset ^ static_cast<std::uint32_t>(orphan)) == 1 && !KindsDisagree(m.stream, entry.record, orphan);
        };
        const auto orphan = std::find_if(m.orphans.begin(), m.orphans.end(), oneBitAway);
        if (orphan == m.orphans.end() || std::find_if(std::next(orphan), m.orphans.end(), oneBitAway) != m.orphans.end())
            continue;
        std::erase_if(m.pastTheEnd, [&](const Listed& l) { return l.record == entry.record; });
        entry.offset = static_cast<std::uint32_t>(*orphan);
        StoreLe32(m.stream.data() + entry.record + kHeader, entry.offset);
        m.regions.push_back({MendedRegion::Kind::Replaced, entry.record + kHeader, 4, -1});
        m.orphans.erase(orphan);
    }
}

// Entries that lead to no sheet's first record, and as many sheets that no entry leads to
// (the stream lost or gained bytes before them): taken in order, when the list then leads
// to the sheets in stream order.
// (Again after new entries went into the holes, for the sheets that found no room there:
// a second mending would see the same.)
void PairDanglingEntries(MendState& m)
{
    std::vector<Listed>& listed = m.listed;
    std::vector<std::size_t> dangling;  // in `listed`
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (listed[i].offset < m.stream.size() && !m.LeadsToSheet(listed[i].offset))
            dangling.push_back(i);  // (those past the end come back empty, at the end)
    }
    if (m.orphans.empty() || dangling.size() != m.orphans.size())
        return;
    std::vector<Listed> tried = listed;
    for (std::size_t j = 0; j < dangling.size(); ++j) {
        if (KindsDisagree(m.stream, listed[dangling[j]].record, m.orphans[j]))
            return;
        tried[dangling[j]].offset = static_cast<std::uint32_t>(m.orphans[j]);
    }
    std::sort(tried.begin(), tried.end(), [](const Listed& a, const Listed& b) { return a.record < b.record; });
    for (std::size_t i = 1; i < tried.size(); ++i) {
        if (tried[i - 1].offset >= tried[i].offset)
            return;
    }
    for (std::size_t j = 0; j < dangling.size(); ++j) {
        Listed& entry = listed[dangling[j]];
        entry.offset = static_cast<std::uint32_t>(m.orphans[j]);
        StoreLe32(m.stream.data() + entry.record + kHeader, entry.offset);
        m.regions.push_back({MendedRegion::Kind::Replaced, entry.record + kHeader, 4, -1});
    }
    m.orphans.clear();
}

namespace {

// The first hole in the globals, past their first record, with room for `need` bytes of
// entries: exactly, or with room for filler after them.
auto HoleInGlobalsFor(MendState& m, std::size_t need)
{
    return std::find_if(m.walk.holes.begin(), m.walk.holes.end(), [&](const auto& h) {
        const std::size_t room = h.second - h.first;
        return h.first > 0 && h.second <= m.globalsEnd && FitsInPlace(need, room);
    });
}

}  // namespace

// With the whole list gone, the names the document summary gives say how many sheets
// there were: when they are more than survive and all the damage lies before the first
// survivor, the lost ones came first. They come back empty under their names (their
// entries lead past the end, at the end), ahead of the survivors, which take the names after
// theirs: every sheet keeps its place. All the entries go into one hole, or none does.
void ListFromSummaryNames(MendState& m)
{
    const std::vector<std::u16string>& names = m.names;
    const bool holesBefore = !m.orphans.empty() && std::none_of(m.walk.holes.begin(), m.walk.holes.end(), [&](const auto& h) {
        return h.second > m.orphans.front();
    });
    if (!(m.listed.empty() && holesBefore && names.size() > m.orphans.size()))
        return;
    const std::size_t lostSheets = names.size() - m.orphans.size();
    std::vector<std::uint8_t> entries;
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < names.size(); ++i) {
        starts.push_back(entries.size());
        AppendRecord(entries, kBoundSheet, SheetEntry(i < lostSheets ? 0xFFFFFFFF : m.orphans[i - lostSheets], names[i], m.biff8, m.stream));
    }
    const std::size_t need = entries.size();
    const auto hole = HoleInGlobalsFor(m, need);
    if (hole == m.walk.holes.end())
        return;
    const auto [from, to] = *hole;
    m.ForgetStarts(from, to);
    std::copy(entries.begin(), entries.end(), m.stream.begin() + static_cast<std::ptrdiff_t>(from));
    for (std::size_t i = 0; i < names.size(); ++i) {
        m.walk.boundary.Set(from + starts[i]);
        const Listed entry{from + starts[i], i < lostSheets ? 0xFFFFFFFFu : static_cast<std::uint32_t>(m.orphans[i - lostSheets])};
        m.listed.push_back(entry);
        if (i < lostSheets)
            m.pastTheEnd.push_back(entry);
    }
    if (to > from + need)
        WriteFiller(m.stream, &m.walk.boundary, from + need, to);
    Cover(m.regions, from, to);
    m.walk.holes.erase(hole);
    m.orphans.clear();
}

// A sheet whose entry in the list was destroyed: the list gets it back in the damaged
// stretch of the globals, under a name of its own ("Sheet" and a number none has). The
// orphans no hole had room for are left.
void OrphansGetEntries(MendState& m)
{
    std::vector<std::uint8_t>& stream = m.stream;
    Walk& walk = m.walk;
    std::vector<std::size_t> roomless;  // orphans no hole had room for
    for (const std::size_t orphan : m.orphans) {
        std::vector<std::size_t> entries;
        for (const Listed& sheet : m.listed)
            entries.push_back(sheet.record);
        const std::vector<std::uint8_t> body = SheetEntry(orphan, Wide(UnusedSheetName(stream, entries, m.biff8, {})), m.biff8, stream);
        const std::size_t need = kHeader + body.size();
        auto hole = HoleInGlobalsFor(m, need);
        if (hole == walk.holes.end()) {
            roomless.push_back(orphan);
            continue;
        }
        m.ForgetStarts(hole->first, hole->second);
        WriteRecord(stream, hole->first, kBoundSheet, body);
        walk.boundary.Set(hole->first);
        m.listed.push_back({hole->first, static_cast<std::uint32_t>(orphan)});
        if (hole->second > hole->first + need)
            WriteFiller(stream, &walk.boundary, hole->first + need, hole->second);
        Cover(m.regions, hole->first, hole->second);
        hole->first += need;
        if (hole->first == hole->second)
            walk.holes.erase(hole);
    }
    m.orphans = std::move(roomless);
}

// The list in the order of its records.
void ListInRecordOrder(MendState& m)
{
    std::sort(m.listed.begin(), m.listed.end(), [](const Listed& a, const Listed& b) { return a.record < b.record; });
}

}  // namespace tabulon::mending
