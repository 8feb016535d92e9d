#include "engine/repair/salvage/salvage_finder.h"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/biff/globals.h"
#include "engine/biff/record_scan.h"
#include "engine/biff/records.h"
#include "engine/cfb/consts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::salvage {

using namespace biff;

namespace {

// Streams that begin with a workbook's first record and are followed to their end, at most.
constexpr std::size_t kMaxBofCandidates = 64;

// A long record (a string table's) may cover this many sectors with no record start in them.
constexpr std::uint32_t kLongestRecordSectors = (kRecordHeaderSize + kMaxRecordBody + kSectorSize - 1) / kSectorSize + 1;

// Whether the sector whose bytes begin at `sector` holds nothing but zeros.
bool AllZeros(const std::uint8_t* sector)
{
    return std::all_of(sector, sector + kSectorSize, [](std::uint8_t b) { return b == 0; });
}

// Past a sector's start a few records more may lead to a known start (an end record before the
// sheet's first), no more: the work stays in proportion.
constexpr int kRecordsPast = 8;
// As far past it as the longest record twice over, which the known starts nearest to it (the
// last walk's) lie within.
constexpr std::uint32_t kSectorsPast = 2 * ((kRecordHeaderSize + kMaxRecordBody) / kSectorSize + 2);

// Of `run` (the space's units one after another as a stream would hold them; `before` of them
// ahead of the one records are to run into), the nearest of those ahead from which records
// that read lead exactly to a record start already known (`starts`, as offsets from the first
// unit's start, none of them ahead of that unit). Adds the record starts found on the way to
// `starts`.
std::optional<std::uint32_t> RunLandsOnKnownStarts(const Space& space, const std::vector<std::uint32_t>& run, std::size_t before,
                                                   std::set<std::uint64_t>& starts)
{
    const std::uint64_t unit = space.unit;
    std::vector<std::uint8_t> bytes(run.size() * unit);
    for (std::size_t i = 0; i < run.size(); ++i)
        std::copy_n(space.At(run[i]), unit, bytes.begin() + static_cast<std::ptrdiff_t>(i * unit));
    const auto inFile = [&](std::uint64_t at) { return std::uint64_t{run[at / unit]} * unit + at % unit; };
    const std::uint64_t end = before * unit;  // where the unit run into starts in the run
    for (std::size_t back = 1; back <= before; ++back) {
        // Every place in the sector whose records land: bytes of a long record's body (a
        // string table's text) now and then read as a record that lands as well, and the
        // records before must find the true starts among the known ones.
        std::vector<std::uint64_t> found;
        const std::uint64_t first = (before - back) * unit;
        for (std::uint64_t at = first; at < first + unit; ++at) {
            std::vector<std::uint64_t> walked;
            int past = 0;
            for (std::uint64_t k = at; k + kRecordHeaderSize <= bytes.size() && past <= kRecordsPast &&
                                       PlausibleRecord(LoadLe16(bytes.data() + k), LoadLe16(bytes.data() + k + 2));) {
                walked.push_back(inFile(k));
                k += kRecordHeaderSize + LoadLe16(bytes.data() + k + 2);
                if (k >= bytes.size())
                    break;
                if (k >= end && starts.contains(inFile(k))) {
                    found.insert(found.end(), walked.begin(), walked.end());
                    break;
                }
                past += k >= end ? 1 : 0;
            }
        }
        if (!found.empty()) {
            starts.insert(found.begin(), found.end());
            return run[before - back];
        }
    }
    return std::nullopt;
}

// Where, in the sectors that lie before `sector` in the file, the records run on into it: the
// nearest of up to `reach` free sectors before it (RunLandsOnKnownStarts, the sectors from
// `sector` on read as the file holds them). The records are read across the sectors that other
// structures hold, as the stream's chain steps over them (a writer puts the allocation table's
// sectors among the stream's).
std::optional<std::uint32_t> RecordsRunInto(const Space& space, std::uint32_t sector, std::set<std::uint64_t>& starts,
                                            std::uint32_t reach)
{
    // The free sectors read as one run: up to `reach` before `sector` (no more claimed ones
    // stepped over than free ones), then `sector` and the free ones after it.
    std::vector<std::uint32_t> run;
    for (std::uint32_t s = sector, skipped = 0; s-- > 0 && run.size() < reach && skipped <= reach;) {
        if (space.Free(s))
            run.push_back(s);
        else
            ++skipped;
    }
    if (run.empty())
        return std::nullopt;
    std::reverse(run.begin(), run.end());
    const std::size_t before = run.size();
    const std::uint64_t last = *starts.rbegin();
    for (std::uint32_t s = sector, taken = 0; s < space.count && taken < kSectorsPast && std::uint64_t{s} * space.unit <= last; ++s) {
        if (space.Free(s) || s == sector) {
            run.push_back(s);
            ++taken;
        }
    }
    return RunLandsOnKnownStarts(space, run, before, starts);
}

// The same along the surviving links: `back`, the sectors whose links lead back from `sector`
// (the nearest first), read as the chain holds them, and `sector` and those its links lead on to.
std::optional<std::uint32_t> LinkedRecordsRunInto(const Space& space, const std::vector<std::uint32_t>& back, std::uint32_t sector,
                                                  std::set<std::uint64_t>& starts)
{
    std::vector<std::uint32_t> run(back.rbegin(), back.rend());
    for (std::uint32_t s = sector, taken = 0; s < space.count && taken < kSectorsPast; s = space.known[s] ? space.next[s] : kFreeSector, ++taken)
        run.push_back(s);
    return back.empty() ? std::nullopt : RunLandsOnKnownStarts(space, run, back.size(), starts);
}

}  // namespace

namespace {

// The places a workbook stream is found from, as the salvage finds it, at `at` of `bytes` (a
// run of the file's bytes from a sector's start, `reach` bytes past `at` at least): the name
// of a workbook stream in a directory entry, a sheet's first record (at any byte), a
// workbook's first record (at any unit), the rest of a sheet (in a sector on its own or with
// the next; `sector`: `at` begins one past the header). `known`, whether any record a walk
// takes begins in the sector: where none does, no records run there.
class WorkbookTraces {
public:
    static constexpr std::size_t kReach = 2 * kSectorSize;

    bool At(std::span<const std::uint8_t> bytes, std::size_t at, std::uint64_t fileOffset) const
    {
        const std::uint8_t* p = bytes.data() + at;
        if (FirstSheetBof(p, 8) || (fileOffset % kMiniSectorSize == 0 && GlobalsBofAt(p, kMiniSectorSize)))
            return true;
        const char16_t first = static_cast<char16_t>(LoadLe16(p));
        for (const std::u16string_view name : kWorkbookStreamNames) {
            if (!EqualIgnoringAsciiCase(std::u16string_view(&first, 1), name.substr(0, 1)))
                continue;
            std::array<char16_t, 16> read{};
            for (std::size_t i = 0; i < name.size() && i < read.size(); ++i)
                read[i] = static_cast<char16_t>(LoadLe16(p + 2 * i));
            if (EqualIgnoringAsciiCase(std::u16string_view(read.data(), std::min(name.size(), read.size())), name))
                return true;
        }
        if (fileOffset % kSectorSize != 0 || fileOffset < kHeaderSize || !AnyRecordStartsIn(bytes.subspan(at, kSectorSize + kRecordHeaderSize)))
            return false;
        return SheetRecordsRunIn(bytes.subspan(at, kSectorSize)) || SheetRecordsRunIn(bytes.subspan(at, 2 * kSectorSize));
    }

private:
    // Whether a record a walk takes (filler among them) begins in the first sector of `bytes`.
    bool AnyRecordStartsIn(std::span<const std::uint8_t> bytes) const
    {
        for (std::size_t k = 0; k + kRecordHeaderSize <= bytes.size() && k < kSectorSize; ++k) {
            const std::uint32_t header = LoadLe32(bytes.data() + k);
            if (header != lastHeader_) {  // (runs of one byte ask the same header at every place)
                lastHeader_ = header;
                lastKnown_ = biff::Known(static_cast<std::uint16_t>(header), static_cast<std::uint16_t>(header >> 16));
            }
            if (lastKnown_)
                return true;
        }
        return false;
    }

    mutable std::uint32_t lastHeader_ = 0;
    mutable bool lastKnown_ = biff::Known(0, 0);
};

}  // namespace

bool HoldsTraceOfWorkbook(SectorFile& file)
{
    static_assert(std::size(kWorkbookStreamNames) > 0);
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    constexpr std::size_t kReach = WorkbookTraces::kReach;
    const WorkbookTraces traces;
    std::vector<std::uint8_t> piece(kPiece + kReach, 0);
    std::size_t carried = 0;  // bytes moved to the piece's front, their places not yet asked
    std::uint64_t base = 0;   // where the piece begins in the file
    const std::uint64_t length = file.Length();
    file.Seek(0);
    while (true) {
        std::size_t got = 0;
        while (carried + got < piece.size() && base + carried + got < length) {
            const std::size_t read = file.Read(std::span(piece).subspan(carried + got));
            if (read == 0)
                break;
            got += read;
        }
        const std::size_t held = carried + got;
        const bool last = base + held >= length || got == 0;
        std::size_t places = held - std::min(held, kReach);
        if (last) {
            // The last sector filled out with zeros, as the salvage reads it, and zeros after it.
            places = held;
            piece.resize((held + kSectorSize - 1) / kSectorSize * kSectorSize + kReach);
            std::fill(piece.begin() + static_cast<std::ptrdiff_t>(held), piece.end(), std::uint8_t{0});
        }
        for (std::size_t k = 0; k < places; ++k) {
            if (traces.At(piece, k, base + k))
                return true;
        }
        if (last)
            return false;
        std::copy(piece.begin() + static_cast<std::ptrdiff_t>(places), piece.begin() + static_cast<std::ptrdiff_t>(held), piece.begin());
        carried = held - places;
        base += places;
    }
}

std::optional<std::uint16_t> GlobalsBofAt(const std::uint8_t* p, std::size_t room)
{
    if (room < 8 || LoadLe16(p) != kBof)
        return std::nullopt;
    const std::uint16_t length = LoadLe16(p + 2);
    const std::uint16_t version = VersionOfBof(LoadLe16(p + 4));
    if (length < 4 || length > 20 || version == 0 || LoadLe16(p + 6) != kGlobalsSubstream)
        return std::nullopt;
    return version;
}

std::optional<SheetBof> FirstSheetBof(const std::uint8_t* bytes, std::size_t size)
{
    for (std::size_t at = 0; at + 8 <= size; ++at) {
        if (LoadLe16(bytes + at) != kBof)
            continue;
        const std::uint16_t length = LoadLe16(bytes + at + 2);
        const std::uint16_t version = VersionOfBof(LoadLe16(bytes + at + 4));
        if (length >= 8 && length <= 20 && version != 0 &&
            LoadLe16(bytes + at + 6) == kWorksheetSubstream)
            return SheetBof{at, version};
    }
    return std::nullopt;
}

std::vector<ListedSheet> ListSheets(const std::vector<std::uint8_t>& stream)
{
    std::vector<ListedSheet> sheets;
    const bool biff8 = stream.size() >= 6 && LoadLe16(stream.data() + 4) >= kBiff8Version;
    std::size_t offset = 0;
    while (offset + 4 <= stream.size()) {
        const std::uint16_t type = LoadLe16(stream.data() + offset);
        const std::uint16_t length = LoadLe16(stream.data() + offset + 2);
        const bool filler = type == kFillerRecord && length <= kMaxRecordBody;
        if ((!filler && !PlausibleRecord(type, length)) || (type == kEof && offset > 0) ||
            offset + 4 + length > stream.size())
            break;
        if (type == kBoundSheet && length >= 8) {
            const std::uint8_t* body = stream.data() + offset + 4;
            ListedSheet sheet;
            const std::uint32_t at = LoadLe32(body);
            sheet.found = at + std::uint64_t{4} <= stream.size() && LoadLe16(stream.data() + at) == kBof;
            const std::size_t count = body[6];
            const bool wide = biff8 && (body[7] & 1) != 0;
            const std::size_t chars = biff8 ? 8 : 7;
            std::u16string name;
            for (std::size_t i = 0; i < count && chars + (wide ? 2 * i + 1 : i) < length; ++i)
                name.push_back(wide ? static_cast<char16_t>(LoadLe16(body + chars + 2 * i)) : static_cast<char16_t>(body[chars + i]));
            sheet.name = Utf8FromUtf16(name);
            sheets.push_back(std::move(sheet));
        }
        offset += 4 + std::size_t{length};
    }
    return sheets;
}

namespace {

// Whether, of a BIFF5 and a BIFF8 workbook stream found by their first records, the BIFF8 one
// stands: where they are two copies of one workbook (the "97 and 5.0/95" format of Excel and
// Gnumeric), not a workbook and another embedded in its file, and the BIFF8 copy holds texts the
// BIFF5 one cannot show as they are. Two copies list as many sheets, named alike where the BIFF8
// name is plain ASCII; the BIFF5 copy gives texts in a code page, "?" for what it lacks, and
// readers take the BIFF8 copy. Where every text is plain ASCII, the longer copy stands.
bool Biff8CopyStands(std::span<const std::uint8_t> biff5, std::span<const std::uint8_t> biff8)
{
    const auto ascii = [](std::string_view text) {
        return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    };
    const biff::Globals older = biff::ReadGlobals(biff5, biff::SharedStrings::None);
    const biff::Globals newer = biff::ReadGlobals(biff8);
    if (older.boundSheets.empty() || older.boundSheets.size() != newer.boundSheets.size())
        return false;
    bool plain = true;
    for (std::size_t k = 0; k < older.boundSheets.size(); ++k) {
        const std::string name = biff::SheetName(biff8, newer.boundSheets[k], newer);
        if (!ascii(name))
            plain = false;
        else if (name != biff::SheetName(biff5, older.boundSheets[k], older))
            return false;
    }
    return !plain || !std::all_of(newer.sharedStrings.begin(), newer.sharedStrings.end(), ascii);
}

}  // namespace

bool StreamFinder::FindByBof(std::vector<std::uint8_t>& data, std::uint16_t& version, std::uint32_t& rebuilt, bool& inMini)
{
    auto search = [&](Space& space, std::vector<std::int8_t>& fragments) {
        std::vector<std::uint32_t> candidates;
        for (std::uint32_t u = 0; u < space.count && candidates.size() < kMaxBofCandidates; ++u) {
            if (space.Free(u) && GlobalsBofAt(space.At(u), space.unit))
                candidates.push_back(u);
        }
        // The longest; but where that is a BIFF5 copy of a workbook also found as BIFF8, the
        // BIFF8 one, where that holds texts the BIFF5 one cannot show (see Biff8CopyStands).
        // (The BIFF8 one is gathered again only then: a large workbook's stream is held once.)
        bool any = false;
        std::optional<std::uint32_t> biff8;  // the longest BIFF8 one's start
        std::uint64_t biff8Length = 0;
        for (const std::uint32_t start : candidates) {
            ChainBuilder chain(space, true, 0, budget_, fragments);
            chain.Build(start);
            const std::uint64_t length = chain.Length();
            const std::uint16_t found = *GlobalsBofAt(space.At(start), space.unit);
            if (length > data.size()) {
                data = chain.Gathered();
                version = found;
                rebuilt = chain.Rebuilt();
                any = true;
            }
            if (found == kBiff8Version && length > biff8Length) {
                biff8 = start;
                biff8Length = length;
            }
            chain.Release();
        }
        if (any && version != kBiff8Version && biff8) {
            ChainBuilder chain(space, true, 0, budget_, fragments);
            chain.Build(*biff8);
            std::vector<std::uint8_t> copy = chain.Gathered();
            if (Biff8CopyStands(data, copy)) {
                data = std::move(copy);
                version = kBiff8Version;
                rebuilt = chain.Rebuilt();
            }
            chain.Release();
        }
        return any;
    };
    if (search(main_, fragmentStarts_))
        return true;
    // A small workbook lives in the mini stream, which lies in the file's sectors.
    Space fine;
    fine.base = main_.base;
    fine.unit = kMiniSectorSize;
    fine.Resize(main_.count * (kSectorSize / kMiniSectorSize));
    for (std::uint32_t u = 0; u < main_.count; ++u) {
        if (main_.claimed[u] && !miniContainer_[u]) {
            for (std::uint32_t k = 0; k < kSectorSize / kMiniSectorSize; ++k)
                fine.claimed[u * (kSectorSize / kMiniSectorSize) + k] = true;
        }
    }
    std::vector<std::int8_t> fineFragments(fine.count, -1);
    inMini = search(fine, fineFragments);
    return inMini;
}

bool StreamFinder::FindBySheetBof(std::vector<std::uint8_t>& data, std::uint16_t& version, std::uint32_t& rebuilt)
{
    for (std::uint32_t u = 0; u < main_.count; ++u) {
        // (A first record that starts in the sector's last bytes runs on into the next.)
        std::optional<SheetBof> sheet;
        if (main_.Free(u)) {
            std::array<std::uint8_t, kSectorSize + 7> window{};
            std::copy_n(main_.At(u), kSectorSize, window.begin());
            if (u + 1 < main_.count)
                std::copy_n(main_.At(u + 1), 7, window.begin() + kSectorSize);
            sheet = FirstSheetBof(window.data(), window.size());
        }
        if (!sheet)
            continue;
        // What survives of the globals (the shared strings among them) lies in the sectors
        // before it whose records run on into it.
        std::uint32_t start = SectorsRunningInto(u, std::uint64_t{u} * kSectorSize + sheet->offset);
        // A long record whose header went with the damage may begin in the sectors before
        // (the string table's first, often): they come along, up to where the wiping ends.
        for (std::uint32_t k = 0; k < kLongestRecordSectors && start > 0 && main_.Free(start - 1) && !ZerosBefore(start); ++k)
            --start;
        ChainBuilder chain(main_, true, 0, budget_, fragmentStarts_);
        chain.Build(start);
        data = chain.Gathered();
        afterZeros_ = ZerosBefore(start);
        version = sheet->version;
        rebuilt = chain.Rebuilt();
        chain.Release();
        return !data.empty();
    }
    return false;
}

namespace {

// The BIFF version a sheet's records from `at` on were written in, as far as their texts tell:
// a shared-string cell is BIFF8's alone, and a text cell's or a formula's text result fits the
// length its record gives in one version's layout only (BIFF5: a 16-bit count of bytes; BIFF8:
// a count of characters, a flags byte, one or two bytes a character; some writers leave bytes
// after the characters, and a flags byte of 0 or 1 is no text's first character). Numbers read
// alike in both; with no text to tell, BIFF8.
std::uint16_t VersionOfSheetRecords(std::span<const std::uint8_t> stream, std::size_t at)
{
    int biff8 = 0, biff5 = 0;
    // The text at `text` of a record whose body ends at `end`.
    const auto judge = [&](std::size_t text, std::size_t end) {
        if (text + 2 > end)
            return;
        const std::size_t count = LoadLe16(stream.data() + text);
        if (count == 0)
            return;  // (some writers leave out an empty text's flags byte: it reads as either)
        biff5 += text + 2 + count == end ? 1 : 0;
        if (text + 3 <= end) {
            const std::uint8_t flags = stream[text + 2];
            biff8 += (flags & ~0x01) == 0 && text + 3 + count * ((flags & 0x01) ? 2 : 1) <= end ? 1 : 0;
        }
    };
    biff::ForEachReadingRecord(stream, at, [&](std::size_t record, std::uint16_t type, std::size_t length) {
        const std::size_t body = record + kRecordHeaderSize;
        if (type == kLabelSst)
            biff8 += 1;
        else if (type == kLabel && length >= 8)
            judge(body + 6, body + length);
        else if (type == kString)
            judge(body, body + length);
    });
    return biff5 > biff8 ? kBiff5Version : kBiff8Version;
}

}  // namespace

bool SheetRecordsRunIn(std::span<const std::uint8_t> bytes)
{
    // A sheet's records that read on for this many, cells or rows among them and none of the
    // globals' kinds, are taken for the rest of one.
    constexpr int kRecordsThatTell = 8;
    const std::size_t first = biff::Resync(bytes, 0, kSectorSize);
    if (first == biff::kNoPlace)
        return false;
    int records = 0;
    bool sheetKinds = false, otherKinds = false;
    for (std::size_t at = first; records < kRecordsThatTell && biff::ReadsKnown(bytes, at) && !otherKinds;
         at += kRecordHeaderSize + LoadLe16(bytes.data() + at + 2), ++records) {
        const std::uint16_t type = LoadLe16(bytes.data() + at);
        sheetKinds = sheetKinds || IsCellRecord(type) || IsSheetRecord(type);
        otherKinds = IsGlobalsRecord(type) || IsBofType(type);
    }
    return records == kRecordsThatTell && sheetKinds && !otherKinds;
}

bool SheetFromItsRecords(std::span<const std::uint8_t> gathered, std::vector<std::uint8_t>& data, std::uint16_t& version)
{
    // What comes before the first record that reads is the end of one whose start is gone.
    const std::size_t from = biff::Resync(gathered, 0, kSectorSize);
    if (from == biff::kNoPlace)
        return false;
    // Cells that chart records follow before any end record are a chart's (the values of its
    // series, between its index records), which no worksheet holds at its own level.
    bool chart = false;
    for (std::size_t at = from; !chart && at + kRecordHeaderSize <= gathered.size() && biff::Reads(gathered, at);
         at += kRecordHeaderSize + LoadLe16(gathered.data() + at + 2)) {
        const std::uint16_t type = LoadLe16(gathered.data() + at);
        if (type == kEof || IsBofType(type))
            break;
        chart = IsChartRecord(type);
    }
    if (chart)
        return false;
    version = VersionOfSheetRecords(gathered, from);
    // As the writer most such workbooks come from gives it: its build and year, and for BIFF8
    // the earliest version that reads the file. (Readers take a first record without them for
    // one of a program that leaves its formulas' results to be worked out anew.)
    std::vector<std::uint8_t> bof(version == kBiff8Version ? 16 : 8, 0);
    StoreLe16(bof.data(), version);
    StoreLe16(bof.data() + 2, kWorksheetSubstream);
    StoreLe16(bof.data() + 4, 0x0DBB);
    StoreLe16(bof.data() + 6, 0x07CC);
    if (version == kBiff8Version)
        StoreLe32(bof.data() + 12, 0x0006);
    data.clear();
    AppendRecord(data, kBof, bof);
    data.insert(data.end(), gathered.begin() + static_cast<std::ptrdiff_t>(from), gathered.end());
    return true;
}

std::optional<std::size_t> SheetRecordsRunInStream(std::span<const std::uint8_t> stream, std::vector<std::uint8_t>& data,
                                                   std::uint16_t& version)
{
    for (std::size_t at = 0; at < stream.size(); at += kMiniSectorSize) {
        const std::span<const std::uint8_t> rest = stream.subspan(at);
        const std::span<const std::uint8_t> window = rest.first(std::min<std::size_t>(rest.size(), 2 * kSectorSize));
        if (SheetRecordsRunIn(window) && SheetFromItsRecords(rest, data, version))
            return at;
    }
    return std::nullopt;
}

bool StreamFinder::FindBySheetRecords(std::vector<std::uint8_t>& data, std::uint16_t& version, std::uint32_t& rebuilt)
{
    for (std::uint32_t u = 0; u < main_.count; ++u) {
        if (!main_.Free(u))
            continue;
        std::vector<std::uint8_t> bytes(main_.At(u), main_.At(u) + kSectorSize);
        if (u + 1 < main_.count && main_.Free(u + 1))
            bytes.insert(bytes.end(), main_.At(u + 1), main_.At(u + 1) + kSectorSize);
        if (!SheetRecordsRunIn(bytes))
            continue;
        // The sheet's records before, in the sectors whose records run on into this one (its
        // first records went with a sector the damage took, which nothing runs through).
        const std::size_t first = biff::Resync(bytes, 0, kSectorSize);
        const std::uint32_t start = first == biff::kNoPlace ? u : SectorsRunningInto(u, std::uint64_t{u} * kSectorSize + first);
        ChainBuilder chain(main_, true, 0, budget_, fragmentStarts_);
        chain.Build(start);
        const std::vector<std::uint8_t> gathered = chain.Gathered();
        rebuilt = chain.Rebuilt();
        chain.Release();
        if (SheetFromItsRecords(gathered, data, version)) {
            afterZeros_ = ZerosBefore(start);
            return true;
        }
    }
    return false;
}

std::uint32_t StreamFinder::SectorsRunningInto(std::uint32_t sector, std::uint64_t recordStart) const
{
    // At most this far back (the globals of the largest workbooks, string table and all, fit
    // in it), so that a file crafted to read as records throughout costs no more.
    constexpr std::uint32_t kMostSectorsBack = 16384;
    std::uint32_t start = sector;
    std::set<std::uint64_t> starts{recordStart};
    std::set<std::uint32_t> taken{sector};  // (links that damage turned into a loop lead round it once)
    for (std::uint32_t steps = 0; steps < kMostSectorsBack; ++steps) {
        // Where a surviving link leads into the sector, the stream went on from there, wherever
        // that lies in the file (a stream written in pieces): back to it while it holds records
        // that run on into this one; never to a sector the file's order has before it instead.
        std::optional<std::uint32_t> before = LinkedBefore(start);
        if (before) {
            std::vector<std::uint32_t> back;  // up to a long record's sectors, none of them zeros
            for (std::optional<std::uint32_t> s = before; s && main_.Free(*s) && back.size() < kLongestRecordSectors && !AllZeros(main_.At(*s));
                 s = LinkedBefore(*s))
                back.push_back(*s);
            before = LinkedRecordsRunInto(main_, back, start, starts);
            if (!before)
                break;
        } else {
            before = RecordsRunInto(main_, start, starts, kLongestRecordSectors);
        }
        if (!before || !taken.insert(*before).second)
            break;
        start = *before;
    }
    return start;
}

std::optional<std::uint32_t> StreamFinder::LinkedBefore(std::uint32_t sector) const
{
    if (linkedFrom_.empty()) {
        linkedFrom_.assign(main_.count, kFreeSector);
        for (std::uint32_t u = 0; u < main_.count; ++u) {
            if (main_.known[u] && main_.next[u] < main_.count) {
                std::uint32_t& from = linkedFrom_[main_.next[u]];
                from = from == kFreeSector ? u : kEndOfChain;
            }
        }
    }
    const std::uint32_t before = sector < linkedFrom_.size() ? linkedFrom_[sector] : kFreeSector;
    return before < main_.count ? std::optional<std::uint32_t>(before) : std::nullopt;
}

bool StreamFinder::ZerosBefore(std::uint32_t sector) const
{
    const std::optional<std::uint32_t> linked = LinkedBefore(sector);
    return (linked || sector > 0) && AllZeros(main_.At(linked.value_or(sector - 1)));
}

}  // namespace tabulon::salvage
