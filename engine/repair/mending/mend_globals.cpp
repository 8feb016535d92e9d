// New globals for the sheets of a stream whose start is gone, and the list entries the
// mending writes for sheets that lost theirs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/formula_needs.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

namespace {

// Bytes written as pairs of hexadecimal digits; blanks are for reading only.
std::vector<std::uint8_t> Hex(std::string_view text)
{
    auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ')
            continue;
        if (high < 0) {
            high = digit(c);
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit(c)));
            high = -1;
        }
    }
    return bytes;
}

}  // namespace

// A name for a sheet whose entry in the list was lost: "Sheet" and the lowest number that no
// entry of the list (`entries`, where their records start) and none of `taken` has.
std::string UnusedSheetName(Bytes stream, const std::vector<std::size_t>& entries, bool biff8, const std::vector<std::string>& taken)
{
    for (int number = 1;; ++number) {
        const std::string candidate = "Sheet" + std::to_string(number);
        bool used = std::find(taken.begin(), taken.end(), candidate) != taken.end();
        for (const std::size_t entry : entries) {
            if (U16(stream, entry + 2) < 8)
                continue;  // too short to hold a name
            const std::size_t body = entry + kHeader;
            const std::size_t length = stream[body + 6];
            const std::size_t chars = body + (biff8 ? 8 : 7);
            used = used || (length == candidate.size() && chars + length <= stream.size() &&
                            std::equal(candidate.begin(), candidate.end(), stream.begin() + static_cast<std::ptrdiff_t>(chars)));
        }
        if (!used)
            return candidate;
    }
}

// The body of a list entry for a visible sheet that starts at `offset`: a worksheet, or the
// kind of sheet the first record there says (a macro sheet's or a chart sheet's).
std::vector<std::uint8_t> SheetEntry(std::size_t offset, std::u16string_view name, bool biff8, Bytes stream)
{
    name = name.substr(0, 31);  // the longest name a sheet may have
    std::vector<std::uint8_t> body(4, 0);
    StoreLe32(body.data(), static_cast<std::uint32_t>(offset));
    body.push_back(0);  // visible
    const std::uint16_t kind = offset + kHeader + 4 <= stream.size() && U16(stream, offset) == kBof ? U16(stream, offset + kHeader + 2) : 0;
    body.push_back(ListedKindOf(kind));
    body.push_back(static_cast<std::uint8_t>(name.size()));
    const bool wide = biff8 && std::any_of(name.begin(), name.end(), [](char16_t c) { return c > 0xFF; });
    if (biff8)
        body.push_back(wide ? 1 : 0);  // two bytes a character, or one
    for (const char16_t c : name) {
        body.push_back(static_cast<std::uint8_t>(c <= 0xFF || wide ? c & 0xFF : '_'));
        if (wide)
            body.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return body;
}

std::u16string Wide(std::string_view ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

namespace {

// The records a workbook's globals need before its sheets can be shown: code page, window,
// the default fonts, as many cell styles as the cells of `sheets` name, and the normal style.
void AppendFormatting(std::vector<std::uint8_t>& globals, Bytes stream, const std::vector<std::size_t>& sheets, bool biff8)
{
    // The highest cell style the cells use, so that every one they name exists.
    std::size_t styles = 0;
    for (const std::size_t sheet : sheets)
        styles = std::max(styles, CellStylesNamed(stream, sheet, true));
    styles = std::min<std::size_t>(std::max<std::size_t>(styles, 16), 4000);
    AppendRecord(globals, kCodePage, Hex(biff8 ? "b004" : "e404"));
    AppendRecord(globals, kWindow1, Hex("6801 0e01 5c3a be23 3800 0000 0000 0100 5802"));
    const std::vector<std::uint8_t> font =
        biff8 ? Hex("c800 0000 ff7f 9001 0000 0000 0000 0500 4172 6961 6c") : Hex("c800 0000 ff7f 9001 0000 0000 0000 0541 7269 616c");
    for (int k = 0; k < 5; ++k)
        AppendRecord(globals, kFont, font);
    AppendCellStyles(globals, 0, styles, biff8);
    AppendRecord(globals, kStyle, Hex("0080 00ff"));
}

// The body of a BOF for the globals, made from a sheet's: the version the records have (a
// BIFF5 BOF is 8 bytes long, whatever version some writers put in it), the globals' type, and
// the length of a BOF of that version.
std::vector<std::uint8_t> GlobalsBof(Bytes stream, std::size_t sheet, bool& biff8)
{
    std::vector<std::uint8_t> body(stream.begin() + static_cast<std::ptrdiff_t>(sheet + kHeader),
                                   stream.begin() + static_cast<std::ptrdiff_t>(sheet + kHeader + U16(stream, sheet + 2)));
    biff8 = body.size() >= 16 && LoadLe16(body.data()) >= kBiff8Version;
    if (!biff8)
        StoreLe16(body.data(), kBiff5Version);
    // (No longer than a BOF of its version is: a longer one is no record a reader knows, and
    // the new globals would look lost again to the next mending.)
    if (body.size() > (biff8 ? 16u : 8u))
        body.resize(biff8 ? 16 : 8);
    StoreLe16(body.data() + 2, kGlobalsSubstream);
    return body;
}

// A BIFF5 workbook's text is bytes in its code page, which went with the start of the
// globals: bytes past ASCII read as other characters under whatever code page the new globals
// name, so cells of such text (and such text results of formulas) become filler from `from`
// on. ASCII reads the same under all of them.
void DropTextOfALostCodePage(std::vector<std::uint8_t>& stream, std::size_t from, std::vector<MendedRegion>& regions)
{
    ForEachReadingRecord(stream, from, [&](std::size_t at, std::uint16_t type, std::size_t length) {
        const std::size_t text = type == kLabel || type == kRString ? 8 : type == kString ? 2 : 0;
        if (text > 0 && length >= text) {
            const std::uint8_t* body = stream.data() + at + kHeader;
            const std::size_t end = std::min(length, text + LoadLe16(body + text - 2));
            if (std::any_of(body + text, body + std::max(text, end), [](std::uint8_t b) { return b >= 0x80; })) {
                WriteFiller(stream, nullptr, at, at + kHeader + length);
                regions.push_back({MendedRegion::Kind::Replaced, at, kHeader + length, -1});
            }
        }
    });
}

// Filler by which new globals that lengthen the stream by `grown` bytes lengthen it by a
// multiple of a unit instead: the units the damage zeroed stay on the stream's grid of units,
// where the mending looks for them.
std::vector<std::uint8_t> GridFiller(std::size_t grown)
{
    std::size_t pad = (kUnit - grown % kUnit) % kUnit;
    if (pad != 0 && pad < kHeader)
        pad += kUnit;
    std::vector<std::uint8_t> filler(pad, 0);
    WriteFiller(filler, nullptr, 0, pad);
    return filler;
}

using Parts = std::initializer_list<std::vector<std::uint8_t>*>;

// `before`, `gap` bytes left to the caller and `after`, one after another over the stream's
// start, each part's memory given back once it is in; gives where the gap begins.
std::uint8_t* PutStart(std::vector<std::uint8_t>& stream, Parts before, std::size_t gap = 0, Parts after = {})
{
    std::size_t at = 0;
    const auto put = [&](std::vector<std::uint8_t>* part) {
        std::copy(part->begin(), part->end(), stream.begin() + static_cast<std::ptrdiff_t>(at));
        at += part->size();
        std::vector<std::uint8_t>().swap(*part);
    };
    std::for_each(before.begin(), before.end(), put);
    std::uint8_t* const opening = stream.data() + at;
    at += gap;
    std::for_each(after.begin(), after.end(), put);
    return opening;
}

// The stream's first `replaced` bytes replaced by a new start (longer than what it replaces):
// `before`, a gap of `gap` bytes and `after`, as PutStart. Where the stream has room behind it
// (see RoomToMend), what follows moves up in place; otherwise the stream is written anew into
// one buffer of its new size, so that no more than the old stream, the new one and the parts
// are held (a rebuilt string table, most of a large workbook's globals, goes into the gap).
std::uint8_t* ReplaceStart(std::vector<std::uint8_t>& stream, std::size_t replaced, Parts before, std::size_t gap = 0, Parts after = {})
{
    const std::size_t kept = stream.size() - replaced;
    std::size_t size = kept + gap;
    for (const Parts parts : {before, after}) {
        for (const std::vector<std::uint8_t>* part : parts)
            size += part->size();
    }
    if (size <= stream.capacity()) {
        stream.resize(size);
        std::memmove(stream.data() + (size - kept), stream.data() + replaced, kept);
    } else {
        std::vector<std::uint8_t> rebuilt;
        rebuilt.reserve(size);
        rebuilt.resize(size - kept);
        rebuilt.insert(rebuilt.end(), stream.begin() + static_cast<std::ptrdiff_t>(replaced), stream.end());
        stream = std::move(rebuilt);
    }
    return PutStart(stream, before, gap, after);
}

// Where a new start went: how far what follows the destroyed stretch moved up, and the stretch
// it replaced.
struct NewStart {
    std::size_t shift = 0;
    MendedRegion replaced;
};

// The new start laid over the destroyed stretch (the stream's first `resumed` bytes) by
// `place`, given the size of the string table read again from the globals before `to` (laid out
// straight into the gap `place` leaves for it), else given none; its region noted, and the
// table's regions moved with the stream. `goesOnPast`: as RebuildStringTableIn. Gives how far
// what follows moved.
template <typename Place>
std::size_t LayNewStart(std::vector<std::uint8_t>& stream, std::size_t resumed, std::size_t to, std::vector<MendedRegion>& regions,
                        std::optional<std::size_t> goesOnPast, Place place)
{
    const std::size_t tableRegions = regions.size();
    std::size_t tableRegionsEnd = 0;
    NewStart start{0, {MendedRegion::Kind::Replaced, 0, resumed, -1}};
    const auto placeTable = [&](std::size_t table) {
        tableRegionsEnd = regions.size();
        return place(table, start);
    };
    if (!RebuildStringTableIn(stream, resumed, to, regions, placeTable, goesOnPast))
        placeTable(0);
    regions.push_back(start.replaced);
    for (std::size_t i = tableRegions; i < tableRegionsEnd; ++i)
        regions[i].offset += start.shift;
    return start.shift;
}

// What survives of the globals from where records read again, and where the sheets begin.
struct Survivors {
    std::size_t resumed = 0;               // where records read again
    std::vector<std::size_t> sheets;       // each sheet's first record
    std::vector<std::size_t> listEntries;  // entries of the list of sheets that survive
    bool globalsEnded = false;             // an EOF comes before the first sheet
    bool stylesSurvive = false;            // cell styles come before it
    bool codePageSurvives = false;
    std::vector<std::size_t> xfs, namedStyles;  // cell styles and named styles that survive
};

// The sheets (worksheet BOF records at record boundaries from `resumed` on) and what of the
// globals comes before the first of them.
Survivors FindSurvivors(Bytes stream, std::size_t resumed)
{
    Survivors found;
    found.resumed = resumed;
    std::vector<std::size_t>& sheets = found.sheets;
    std::size_t at = resumed;
    while (at < stream.size()) {
        if (!Reads(stream, at)) {
            const std::size_t next = Resync(stream, at + 1);
            if (next == kNoPlace)
                break;
            at = next;
            continue;
        }
        const std::uint16_t type = U16(stream, at);
        // (A macro sheet's or a chart sheet's first record starts a sheet of the list as
        // well, once a worksheet has; a chart inside a worksheet follows no end record.)
        const std::uint16_t kind = type == kBof && U16(stream, at + 2) >= 4 ? U16(stream, at + kHeader + 2) : 0;
        if ((sheets.empty() ? kind == kWorksheetSubstream
                            : (kind == kWorksheetSubstream || kind == kChartSubstream || kind == kMacroSubstream) &&
                                  at >= 4 && U16(stream, at - 4) == kEof))
            sheets.push_back(at);
        if (type == kEof && sheets.empty())
            found.globalsEnded = true;
        if (type == kBoundSheet && sheets.empty() && !found.globalsEnded && U16(stream, at + 2) >= 4)
            found.listEntries.push_back(at);
        if (type == kXf && sheets.empty() && !found.globalsEnded && U16(stream, at + 2) >= 6)
            found.xfs.push_back(at);
        if (type == kStyle && sheets.empty() && !found.globalsEnded && U16(stream, at + 2) >= 2)
            found.namedStyles.push_back(at);
        if (type == kXf && sheets.empty())
            found.stylesSurvive = true;
        found.codePageSurvives = found.codePageSurvives || (type == kCodePage && sheets.empty());
        at += kHeader + U16(stream, at + 2);
    }
    return found;
}

// Where the list of sheets that survives leads: `lost`, the difference between its offsets and
// the sheets' places; the sheet each entry leads to (none: it leads elsewhere); whether an entry
// was paired with its sheet by order; and the sheets no entry leads to.
struct ListLeads {
    std::int64_t lost = 0;
    std::vector<std::optional<std::size_t>> targets;
    std::vector<bool> paired;
    std::vector<std::size_t> unlisted;
};

// When the stream's first sectors went with its first records, the list's offsets count bytes
// that are no longer there: the difference most of the list agrees on.
std::int64_t ListOffsetsLost(Bytes stream, const Survivors& found)
{
    std::map<std::int64_t, int> votes;
    for (const std::size_t entry : found.listEntries) {
        for (const std::size_t sheet : found.sheets)
            ++votes[std::int64_t{LoadLe32(stream.data() + entry + kHeader)} - static_cast<std::int64_t>(sheet)];
    }
    return std::max_element(votes.begin(), votes.end(), [](const auto& a, const auto& b) { return a.second < b.second; })->first;
}

// Entries that lead nowhere under that difference (the stream lost bytes twice) and as many
// sheets that no entry leads to: taken in order, when the list then leads to the sheets in
// stream order, as the list does where it is sure.
void PairDanglingEntries(ListLeads& leads)
{
    std::vector<std::size_t> dangling;
    for (std::size_t i = 0; i < leads.targets.size(); ++i) {
        if (!leads.targets[i])
            dangling.push_back(i);
    }
    if (dangling.empty() || dangling.size() != leads.unlisted.size())
        return;
    std::vector<std::optional<std::size_t>> tried = leads.targets;
    for (std::size_t j = 0; j < dangling.size(); ++j)
        tried[dangling[j]] = leads.unlisted[j];
    bool ordered = true;
    for (std::size_t i = 1; i < tried.size(); ++i)
        ordered = ordered && *tried[i - 1] < *tried[i];
    if (ordered) {
        leads.targets = tried;
        for (const std::size_t i : dangling)
            leads.paired[i] = true;
        leads.unlisted.clear();
    }
}

ListLeads FollowList(Bytes stream, const Survivors& found)
{
    ListLeads leads;
    leads.lost = ListOffsetsLost(stream, found);
    auto leadsTo = [&](std::size_t entry) -> std::optional<std::size_t> {
        const std::int64_t sheet = std::int64_t{LoadLe32(stream.data() + entry + kHeader)} - leads.lost;
        if (std::find(found.sheets.begin(), found.sheets.end(), static_cast<std::size_t>(sheet)) == found.sheets.end())
            return std::nullopt;
        return static_cast<std::size_t>(sheet);
    };
    for (const std::size_t sheet : found.sheets) {
        if (std::none_of(found.listEntries.begin(), found.listEntries.end(), [&](std::size_t entry) { return leadsTo(entry) == sheet; }))
            leads.unlisted.push_back(sheet);
    }
    for (const std::size_t entry : found.listEntries)
        leads.targets.push_back(leadsTo(entry));
    leads.paired.assign(leads.targets.size(), false);
    PairDanglingEntries(leads);
    return leads;
}

// The globals' first records, which went: their BOF, the formatting when no cell style
// survives, and an entry of the list for each of `unlisted` (`newEntries`: where each lies).
std::vector<std::uint8_t> StartBeforeList(Bytes stream, const Survivors& found, const std::vector<std::size_t>& unlisted, bool& biff8,
                                          std::vector<std::size_t>& newEntries)
{
    std::vector<std::uint8_t> front;
    AppendRecord(front, kBof, GlobalsBof(stream, found.sheets.front(), biff8));
    if (!found.stylesSurvive)
        AppendFormatting(front, stream, found.sheets, biff8);
    // Cells name their style by its place in the list: those that went with the start
    // come back as default ones, so that the survivors keep their places.
    else if (const std::optional<std::size_t> lostStyles = LostCellStyles(stream, found.xfs, found.namedStyles))
        AppendCellStyles(front, 0, *lostStyles, biff8);
    std::vector<std::string> newNames;
    for (const std::size_t sheet : unlisted) {
        newNames.push_back(UnusedSheetName(stream, found.listEntries, biff8, newNames));
        newEntries.push_back(front.size());
        AppendRecord(front, kBoundSheet, SheetEntry(sheet, Wide(newNames.back()), biff8, stream));
    }
    return front;
}

// The list's entries, once the sheets moved by `shift`: the new ones lead to the sheets no
// entry led to, the surviving ones to the sheets they lead to (a region each where their
// offsets were wrong).
void PointListEntries(std::vector<std::uint8_t>& stream, const Survivors& found, const ListLeads& leads,
                      const std::vector<std::size_t>& newEntries, std::size_t shift, std::vector<MendedRegion>& regions)
{
    for (std::size_t i = 0; i < leads.unlisted.size(); ++i)
        StoreLe32(stream.data() + newEntries[i] + kHeader, static_cast<std::uint32_t>(leads.unlisted[i] + shift));
    for (std::size_t i = 0; i < found.listEntries.size(); ++i) {
        if (!leads.targets[i])
            continue;  // it led elsewhere; the sheet it names is not found
        const std::size_t entry = found.listEntries[i] + shift;
        StoreLe32(stream.data() + entry + kHeader, static_cast<std::uint32_t>(*leads.targets[i] + shift));
        if (leads.lost != 0 || leads.paired[i])
            regions.push_back({MendedRegion::Kind::Replaced, entry + kHeader, 4, -1});
    }
}

// Only the first records went: the globals' BOF comes back. When the stream's first sectors
// went with them, the list's offsets count bytes that are no longer there: the difference most
// of the list agrees on. Sheets whose entries went get new ones, right after the BOF (their
// entries came first when the list lost its start).
bool RestoreStartBeforeList(std::vector<std::uint8_t>& stream, const Survivors& found, std::vector<MendedRegion>& regions)
{
    const ListLeads leads = FollowList(stream, found);
    bool biff8 = false;
    std::vector<std::size_t> newEntries;
    std::vector<std::uint8_t> front = StartBeforeList(stream, found, leads.unlisted, biff8, newEntries);
    // The new start goes into the destroyed stretch when it has room; else the stream is
    // written anew behind it. The string table is laid out straight into its place there,
    // or, where it fits, in the place of the records it is read from (the globals go on
    // past the new start to their own end).
    const std::size_t resumed = found.resumed;
    const std::size_t shift =
        LayNewStart(stream, resumed, found.sheets.front(), regions, front.size(), [&](std::size_t table, NewStart& start) {
            const std::size_t need = front.size() + table;
            if (FitsInPlace(need, resumed)) {
                if (need < resumed)
                    WriteFiller(stream, nullptr, need, resumed);
                return PutStart(stream, {&front}, table);
            }
            std::vector<std::uint8_t> filler = GridFiller(need - resumed);
            start.shift = need + filler.size() - resumed;
            start.replaced.length = need + filler.size();
            return ReplaceStart(stream, resumed, {&front}, table, {&filler});
        });
    PointListEntries(stream, found, leads, newEntries, shift, regions);
    if (!biff8 && !found.codePageSurvives)
        DropTextOfALostCodePage(stream, found.sheets.front() + shift, regions);
    return true;
}

// Records of a sheet's own kinds come first, and none of the globals': the first sheet lost
// its first record with the start (and the end record seen before the sheets was its own). It
// gets one back, a copy of the next sheet's, right before its records, and the globals their
// end. Gives that record, and an empty filler record after it (LibreOffice takes the record
// right after a sheet's first for one of those that always follow it there, and shows none of
// its cells); none when the first sheet kept its own.
std::vector<std::uint8_t> BofOfAFirstSheetLost(Bytes stream, Survivors& found)
{
    std::vector<std::uint8_t> sheetBof;
    bool sheetRecords = false, globalsRecords = false;
    for (std::size_t k = found.resumed; k < found.sheets.front() && Reads(stream, k);) {
        const std::uint16_t type = U16(stream, k);
        sheetRecords = sheetRecords || IsSheetRecord(type);
        globalsRecords = globalsRecords || IsGlobalsRecord(type) || type == kBof;
        k += kHeader + U16(stream, k + 2);
    }
    if (sheetRecords && !globalsRecords) {
        const std::size_t first = found.sheets.front();
        const std::size_t bofEnd = first + kHeader + U16(stream, first + 2);
        sheetBof.assign(stream.begin() + static_cast<std::ptrdiff_t>(first), stream.begin() + static_cast<std::ptrdiff_t>(bofEnd));
        AppendRecord(sheetBof, kFillerRecord, {});
        found.sheets.insert(found.sheets.begin(), found.resumed);
        found.globalsEnded = false;
    }
    return sheetBof;
}

// New globals for `sheets`, made with the version of `wholeSheet`: BOF, formatting and an entry
// of the list for each sheet (`entries`: where each lies), then those of sheets lost with the
// start.
std::vector<std::uint8_t> NewGlobals(Bytes stream, const std::vector<std::size_t>& sheets, std::size_t wholeSheet,
                                     const std::vector<std::u16string>& names, bool& biff8, std::vector<std::size_t>& entries)
{
    std::vector<std::uint8_t> globals;
    AppendRecord(globals, kBof, GlobalsBof(stream, wholeSheet, biff8));
    AppendFormatting(globals, stream, sheets, biff8);
    // The names the summary lists, when it lists at least as many as were found: the sheets
    // lost with the start came first. They come back empty at the end of the stream (their
    // entries lead past it), and so their entries come last: readers (LibreOffice's) take the
    // sheets in the order of the stream, and show none where the list does not follow it.
    const std::size_t lostSheets = names.size() >= sheets.size() ? names.size() - sheets.size() : 0;
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        entries.push_back(globals.size());
        const std::u16string name = names.size() >= sheets.size() ? names[lostSheets + i] : Wide("Sheet" + std::to_string(i + 1));
        AppendRecord(globals, kBoundSheet, SheetEntry(sheets[i], name, biff8, stream));
    }
    for (std::size_t i = 0; i < lostSheets; ++i)
        AppendRecord(globals, kBoundSheet, SheetEntry(0xFFFFFFFF, names[i], biff8));
    return globals;
}

// No entry of the list survives: new globals in front of the sheets, and a first record for a
// first sheet that lost its own.
bool RebuildWholeGlobals(std::vector<std::uint8_t>& stream, Survivors& found, const std::vector<std::u16string>& names,
                         std::vector<MendedRegion>& regions)
{
    std::vector<std::uint8_t> sheetBof = BofOfAFirstSheetLost(stream, found);
    const std::vector<std::size_t>& sheets = found.sheets;
    const std::size_t wholeSheet = sheets[sheetBof.empty() ? 0 : 1];
    bool biff8 = false;
    std::vector<std::size_t> entries;
    std::vector<std::uint8_t> globals = NewGlobals(stream, sheets, wholeSheet, names, biff8, entries);
    std::vector<std::uint8_t> end;
    if (!found.globalsEnded)
        AppendRecord(end, kEof, {});

    // In place when the destroyed stretch has room; else the stream is written anew. The
    // string table is laid out straight into its place there (or in the place of the records
    // it is read from, as above, where the globals' end survives).
    const std::size_t resumed = found.resumed;
    const std::optional<std::size_t> goesOnPast = found.globalsEnded ? std::optional<std::size_t>(globals.size()) : std::nullopt;
    const std::size_t shift = LayNewStart(stream, resumed, wholeSheet, regions, goesOnPast, [&](std::size_t table, NewStart& start) {
        const std::size_t globalsSize = globals.size() + table + end.size();
        const std::size_t need = globalsSize + sheetBof.size();
        if (FitsInPlace(need, resumed)) {
            if (need < resumed)
                WriteFiller(stream, nullptr, globalsSize, resumed - sheetBof.size());
            std::copy(sheetBof.begin(), sheetBof.end(), stream.begin() + static_cast<std::ptrdiff_t>(resumed - sheetBof.size()));
            return PutStart(stream, {&globals}, table, {&end});
        }
        // (The filler goes before the globals' end record.)
        std::vector<std::uint8_t> filler = GridFiller(need - resumed);
        start.shift = need + filler.size() - resumed;
        start.replaced.length = need;
        std::vector<std::uint8_t> bof = sheetBof;  // (its size is wanted below)
        return ReplaceStart(stream, resumed, {&globals}, table, {&filler, &end, &bof});
    });
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        const std::size_t sheet = sheets[i] + shift - (i == 0 ? sheetBof.size() : 0);
        StoreLe32(stream.data() + entries[i] + kHeader, static_cast<std::uint32_t>(sheet));
    }
    if (!biff8 && !found.codePageSurvives)
        DropTextOfALostCodePage(stream, sheets.front() + shift - (sheetBof.empty() ? 0 : sheetBof.size()), regions);
    return true;
}

}  // namespace

// When the start of the stream is gone (the globals: fonts, formats, cell styles, the list
// of sheets), the sheets that survive get new globals in front of them: the few fonts and
// cell styles readers need, one entry per sheet in stream order (named by `names` when they
// are enough, else "Sheet1", "Sheet2", ...) and the shared strings that can be read again.
// Where the list survives, only what is missing comes back. The new globals go into the
// destroyed stretch when it has room, so that no offset moves; otherwise the stream is
// written anew behind them. Gives whether there was anything to hold together.
bool RebuildGlobals(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names, std::vector<MendedRegion>& regions)
{
    const std::size_t resumed = Resync(stream, 0);
    if (resumed == kNoPlace)
        return false;
    Survivors found = FindSurvivors(stream, resumed);
    if (found.sheets.empty())
        return false;
    if (!found.listEntries.empty())
        return RestoreStartBeforeList(stream, found, regions);
    return RebuildWholeGlobals(stream, found, names, regions);
}

// An external name belongs to the external workbook (SUPBOOK) before it; one with none before it
// lost that record to the damage. It goes too: readers have nowhere to put it (xlrd refuses
// the workbook), and formulas that name it were kept as their values with the globals' loss.
void ExternalNamesWithoutTheirBookGo(std::vector<std::uint8_t>& stream, bool biff8, std::vector<MendedRegion>& regions)
{
    if (!biff8)
        return;
    bool book = false;
    std::vector<std::pair<std::size_t, std::size_t>> orphans;
    ForEachReadingRecord(stream, 0, [&](std::size_t at, std::uint16_t type, std::size_t length) {
        book = book || type == kSupBook;
        if (!book && type == kExternName)
            orphans.emplace_back(at, at + kHeader + length);
        return type != kEof && type != kFilePass;  // (the globals alone)
    });
    for (const auto& [from, to] : orphans) {
        WriteFiller(stream, nullptr, from, to);
        Cover(regions, from, to);
    }
}

// A defined name's definition names another defined name by its place in the workbook's list of
// names (tName), and any name by its place among those of a workbook's (tNameX: the workbook's
// own, or an external one's). Where the mending replaced anything before a defined name's
// record, names before it may have gone with the damage and the places after them name other
// names now; a place past the list's end names none (xlrd refuses the workbook). Such tokens
// become the error of a name no one knows (#NAME?), padded with parentheses to their length,
// so that no definition names what the workbook's did not.
void NamesOfLostNamesBecomeErrors(std::vector<std::uint8_t>& stream, bool biff8, std::vector<MendedRegion>& regions)
{
    std::size_t firstReplaced = kNoPlace;
    for (const MendedRegion& region : regions)
        firstReplaced = std::min<std::size_t>(firstReplaced, region.offset);
    std::vector<std::pair<std::size_t, std::size_t>> names;  // each NAME record's place and length
    std::size_t sure = 0;                                     // the names before anything replaced
    ForEachReadingRecord(stream, 0, [&](std::size_t at, std::uint16_t type, std::size_t length) {
        if (type == kName) {
            names.emplace_back(at, length);
            sure += at < firstReplaced ? 1 : 0;
        }
        return type != kEof && type != kFilePass;  // (the globals alone)
    });
    const bool namesMayHaveGone = sure < names.size();
    // (A NAME record: its options, key, the name's length, the definition's length, two indexes
    // and four lengths of texts; then the name, after a byte of flags in BIFF8; then the definition.)
    constexpr std::size_t kNameAt = 14;
    for (const auto& [at, length] : names) {
        if (length < kNameAt + (biff8 ? 1 : 0))
            continue;
        const std::size_t body = at + kHeader, characters = stream[body + 3];
        const std::size_t definition =
            body + kNameAt + (biff8 ? 1 + characters * ((stream[body + kNameAt] & 0x01) ? 2 : 1) : characters);
        const std::size_t definitionEnd = definition + U16(stream, body + 4);
        if (definitionEnd > body + length)
            continue;
        const std::span<std::uint8_t> tokens(stream.data() + definition, definitionEnd - definition);
        for (std::size_t t = 0, size = 0; t < tokens.size(); t += size) {
            size = TokenLength(tokens, t, biff8);
            if (size == 0)
                break;
            const std::uint8_t base = BaseToken(tokens[t]);
            const std::size_t place = base == kNameToken ? U16(tokens, t + 1) : 0;
            const bool named = base == kNameToken && place >= 1 && place <= sure;
            if ((base == kNameToken && !named) || (base == kExternalNameToken && namesMayHaveGone)) {
                tokens[t] = 0x1C;      // tErr
                tokens[t + 1] = 0x1D;  // #NAME?
                std::fill(tokens.begin() + static_cast<std::ptrdiff_t>(t + 2), tokens.begin() + static_cast<std::ptrdiff_t>(t + size),
                          std::uint8_t{0x15});  // tParen
                Cover(regions, definition + t, definition + t + size);
            }
        }
    }
}

}  // namespace tabulon::mending
