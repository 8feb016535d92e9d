#include "engine/biff/biff_cells.h"
#include "engine/biff/pieces.h"
#include "engine/biff/records.h"

#include <algorithm>
#include <array>
#include <bit>
#include <deque>
#include <limits>
#include <map>
#include <memory>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"

namespace tabulon {
namespace {

using namespace biff;

using Bytes = std::span<const std::uint8_t>;

std::uint8_t SheetKind(std::uint16_t substream)
{
    switch (substream) {
    case kMacroSubstream: return 1;
    case kChartSubstream: return 2;
    case kVbModuleSubstream: return 6;
    default: return 0;
    }
}



// A BIFF8 string: its length in `lengthBytes` bytes, a flags byte, the rich-text run count
// and the size of the far-east data when the flags announce them, the characters, and then
// the runs and far-east data, which are skipped.
std::optional<std::u16string> ReadUnicodeUnits(Pieces& in, int lengthBytes)
{
    std::uint16_t count = 0;
    if (lengthBytes == 1) {
        std::uint8_t shortCount = 0;
        if (!in.Byte(shortCount))
            return std::nullopt;
        count = shortCount;
    } else if (!in.Le16(count)) {
        return std::nullopt;
    }
    std::uint8_t flags = 0;
    std::uint16_t runs = 0;
    std::uint32_t farEast = 0;
    if (!in.Byte(flags) || ((flags & 0x08) && !in.Le16(runs)) || ((flags & 0x04) && !in.Le32(farEast)))
        return std::nullopt;
    std::u16string units;
    if (!in.Chars(count, (flags & 0x01) != 0, units))
        return std::nullopt;
    // A string cut short in its runs or far-east data still has all its characters; what
    // follows it is lost, and the next read fails.
    if (!in.Skip(std::size_t{runs} * 4) || !in.Skip(farEast))
        in.Skip(std::numeric_limits<std::size_t>::max());
    return units;
}

std::optional<std::string> ReadUnicodeString(Pieces& in, int lengthBytes)
{
    const std::optional<std::u16string> units = ReadUnicodeUnits(in, lengthBytes);
    if (!units)
        return std::nullopt;
    return Utf8FromUtf16(*units);
}

// A BIFF5 string: its length in two bytes, then that many bytes in the workbook's code page.
std::optional<std::string> ReadByteString(Bytes body, std::uint16_t codePage)
{
    if (body.size() < 2)
        return std::nullopt;
    const std::size_t count = LoadLe16(body.data());
    if (body.size() - 2 < count)
        return std::nullopt;
    return DecodeCodePage(body.subspan(2, count), codePage);
}

// ---------------------------------------------------------------------------------------
// Cells.

double RkNumber(std::uint32_t rk)
{
    double value = 0;
    if (rk & 0x02)
        value = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);  // a 30-bit integer
    else
        value = std::bit_cast<double>(std::uint64_t{rk & 0xFFFF'FFFCu} << 32);  // the top of a double
    return (rk & 0x01) ? value / 100 : value;
}

struct Globals {
    int biff = 0;  // 0 when the stream has no workbook globals
    std::uint16_t codePage = 1252;
    bool date1904 = false;
    bool encrypted = false;
    std::vector<BiffRecord> boundSheets;
    std::vector<std::string> sharedStrings;
    std::map<std::uint16_t, bool> formatIsDate;  // by number format index, from FORMAT records
    std::vector<std::uint16_t> xfFormats;        // each XF record's number format index, in order
    std::size_t end = 0;  // where the records after the globals begin
};

// A sheet's cells, from the record after its BOF to its EOF.
class SheetReader {
public:
    SheetReader(Bytes stream, const Globals& globals, int biff, std::vector<CellValue>& cells)
        : stream_(stream), globals_(globals), biff_(biff), cells_(cells)
    {
    }

    void Read(std::size_t bofOffset)
    {
        RecordCursor walker(stream_, bofOffset);
        walker.Next();  // the BOF
        while (const std::optional<BiffRecord> record = walker.Next()) {
            // Past a break, stray bytes may look like an EOF record: there it is believed
            // only when the next substream or the end follows.
            if (record->type == kEof && (!walker.Resynchronised() || EndsSheet(walker.Peek())))
                return;
            if (record->type == kEof)
                continue;
            if (record->type == kBof) {
                // A chart inside the sheet is skipped; any other BOF begins the next
                // substream, and this sheet lost its EOF.
                const std::optional<Bof> bof = ParseBof(stream_, *record);
                if (!bof || bof->substream != kChartSubstream)
                    return;
                if (!SkipEmbedded(walker))
                    return;
                continue;
            }
            Take(*record, walker);
        }
    }

private:
    bool EndsSheet(const std::optional<BiffRecord>& next) const { return !next || next->type == kBof; }

    // Past an embedded chart's EOF; false when another BOF comes first, which no intact
    // chart holds.
    static bool SkipEmbedded(RecordCursor& walker)
    {
        while (const std::optional<BiffRecord> record = walker.Next()) {
            if (record->type == kEof)
                return true;
            if (record->type == kBof)
                return false;
        }
        return false;
    }

    CellValue& Add(Bytes body, CellKind kind)
    {
        CellValue& cell = cells_.emplace_back();
        cell.row = LoadLe16(body.data());
        cell.column = LoadLe16(body.data() + 2);
        cell.format = LoadLe16(body.data() + 4);
        cell.kind = kind;
        cell.offset = recordOffset_;
        return cell;
    }

    void AddText(Bytes body, std::string text) { Add(body, CellKind::Text).text = std::move(text); }

    std::optional<std::string> StringAt(Bytes body, std::size_t at, std::vector<Bytes> continuations = {})
    {
        if (biff_ != 8)
            return ReadByteString(body.subspan(at), globals_.codePage);
        continuations.insert(continuations.begin(), body.subspan(at));
        Pieces pieces(std::move(continuations));
        return ReadUnicodeString(pieces, 2);
    }

    void Take(const BiffRecord& record, RecordCursor& walker)
    {
        const Bytes body = RecordBody(stream_, record);
        recordOffset_ = record.offset;
        switch (record.type) {
        case kNumber:
            if (body.size() >= 14)
                Add(body, CellKind::Number).number = std::bit_cast<double>(LoadLe64(body.data() + 6));
            break;
        case kRk:
            if (body.size() >= 10)
                Add(body, CellKind::Number).number = RkNumber(LoadLe32(body.data() + 6));
            break;
        case kMulRk:
            // Row, first column, then an XF index and a number for each column; the last
            // column closes the record.
            if (body.size() >= 12) {
                const std::uint16_t row = LoadLe16(body.data());
                const std::uint16_t first = LoadLe16(body.data() + 2);
                const std::size_t count = (body.size() - 6) / 6;
                for (std::size_t i = 0; i < count; ++i) {
                    const std::uint8_t* entry = body.data() + 4 + 6 * i;
                    CellValue& cell = cells_.emplace_back();
                    cell.offset = recordOffset_;
                    cell.row = row;
                    cell.column = static_cast<std::uint16_t>(first + i);
                    cell.format = LoadLe16(entry);
                    cell.number = RkNumber(LoadLe32(entry + 2));
                }
            }
            break;
        case kLabelSst:
            if (body.size() >= 10) {
                const std::uint32_t index = LoadLe32(body.data() + 6);
                if (index < globals_.sharedStrings.size())
                    AddText(body, globals_.sharedStrings[index]);
            }
            break;
        case kLabel:
        case kRString:  // a label with formatting runs after the text
            if (body.size() >= 8) {
                if (std::optional<std::string> text = StringAt(body, 6))
                    AddText(body, std::move(*text));
            }
            break;
        case kBoolErr:
            if (body.size() >= 8) {
                Add(body, body[7] ? CellKind::Error : CellKind::Boolean).code = body[6];
            }
            break;
        case kFormula:
            TakeFormula(body);
            return;  // keeps a string result waiting for its STRING record
        case kString:
            if (pendingString_) {
                const Bytes pending = *pendingString_;
                pendingString_.reset();
                std::vector<Bytes> continuations;
                if (biff_ == 8)
                    continuations = walker.Continuations();
                if (std::optional<std::string> text = StringAt(body, 0, std::move(continuations)))
                    AddText(pending, std::move(*text));
            }
            return;
        case kBlank:
        case kMulBlank:
            break;
        default:
            return;  // the records between a formula and its STRING record keep it waiting
        }
        pendingString_.reset();
    }

    // The last result is in bytes 6 to 13: a double, or, when the last two are 0xFFFF, a
    // type in the first byte: 0 text (in the STRING record that follows), 1 boolean, 2
    // error, 3 empty text; booleans and errors have their value in the third byte.
    void TakeFormula(Bytes body)
    {
        pendingString_.reset();
        if (body.size() < 20)
            return;
        if (LoadLe16(body.data() + 12) != 0xFFFF) {
            Add(body, CellKind::Number).number = std::bit_cast<double>(LoadLe64(body.data() + 6));
            return;
        }
        switch (body[6]) {
        case 0: pendingString_ = body; break;
        case 1: Add(body, CellKind::Boolean).code = body[8]; break;
        case 2: Add(body, CellKind::Error).code = body[8]; break;
        case 3: AddText(body, std::string()); break;
        default: break;
        }
    }

    Bytes stream_;
    const Globals& globals_;
    int biff_;
    std::vector<CellValue>& cells_;
    std::uint32_t recordOffset_ = 0;
    std::optional<Bytes> pendingString_;  // the body of a FORMULA record whose text is to come
};

// Where the workbook globals begin: at the start of an intact stream, else at the first BOF
// record of workbook globals.
std::optional<std::size_t> FindGlobals(Bytes stream)
{
    for (std::size_t offset = 0; offset + kRecordHeaderSize <= stream.size(); ++offset) {
        if (stream[offset] != 0x09 || stream[offset + 1] != 0x08)
            continue;
        const std::optional<Bof> bof = BofAt(stream, offset);
        if (bof && bof->substream == kGlobalsSubstream)
            return offset;
    }
    return std::nullopt;
}

std::vector<std::string> ReadSharedStrings(Bytes body, std::vector<Bytes> continuations)
{
    continuations.insert(continuations.begin(), body);
    Pieces pieces(std::move(continuations));
    std::uint32_t total = 0, unique = 0;
    std::vector<std::string> strings;
    if (!pieces.Le32(total) || !pieces.Le32(unique))
        return strings;
    // Each string takes three bytes at least: the count is believed only that far.
    strings.reserve(std::min<std::size_t>(unique, pieces.Size() / 3));
    for (std::uint32_t i = 0; i < unique; ++i) {
        std::optional<std::string> text = ReadUnicodeString(pieces, 2);
        if (!text)
            break;
        strings.push_back(std::move(*text));
    }
    return strings;
}

// The format code of a FORMAT record: after the format's index, a string with a 2-byte length
// in BIFF8 and a 1-byte length in BIFF5.
std::optional<std::string> FormatCode(Bytes body, const Globals& globals, std::vector<Bytes> continuations)
{
    if (globals.biff != 8) {
        const std::size_t count = body[2];
        if (body.size() - 3 < count)
            return std::nullopt;
        return DecodeCodePage(body.subspan(3, count), globals.codePage);
    }
    continuations.insert(continuations.begin(), body.subspan(2));
    Pieces pieces(std::move(continuations));
    return ReadUnicodeString(pieces, 2);
}

// The built-in number formats that show dates or times, for an index no FORMAT record
// defines: 14 to 22 and 45 to 47 everywhere, 27 to 36 and 50 to 58 in East Asian versions,
// 71 to 81 in Thai ones.
bool BuiltInDateFormat(std::uint16_t index)
{
    return (index >= 14 && index <= 22) || (index >= 27 && index <= 36) || (index >= 45 && index <= 47) ||
           (index >= 50 && index <= 58) || (index >= 71 && index <= 81);
}

Globals ReadGlobals(Bytes stream)
{
    Globals globals;
    const std::optional<std::size_t> start = FindGlobals(stream);
    if (!start)
        return globals;
    globals.biff = BofAt(stream, *start)->biff;
    RecordCursor walker(stream, *start);
    walker.Next();  // the BOF
    while (const std::optional<BiffRecord> record = walker.Next()) {
        globals.end = std::size_t{record->offset} + kRecordHeaderSize + record->length;
        if (record->type == kEof)
            break;
        if (record->type == kBof) {  // the globals lost their EOF
            globals.end = record->offset;
            break;
        }
        const Bytes body = RecordBody(stream, *record);
        switch (record->type) {
        case kCodePage:
            if (body.size() >= 2)
                globals.codePage = LoadLe16(body.data());
            break;
        case kDateMode:
            if (body.size() >= 2)
                globals.date1904 = LoadLe16(body.data()) == 1;
            break;
        case kFilePass: globals.encrypted = true; break;
        case kBoundSheet:
            if (body.size() >= 6)
                globals.boundSheets.push_back(*record);
            break;
        case kSst:
            if (!globals.encrypted)
                globals.sharedStrings = ReadSharedStrings(body, walker.Continuations());
            break;
        case kFormat:
            if (!globals.encrypted && body.size() >= 3) {
                if (const std::optional<std::string> code = FormatCode(body, globals, walker.Continuations()))
                    globals.formatIsDate[LoadLe16(body.data())] = IsDateFormatCode(*code);
            }
            break;
        case kXf:
            if (!globals.encrypted && body.size() >= 4)
                globals.xfFormats.push_back(LoadLe16(body.data() + 2));
            break;
        default: break;
        }
    }
    return globals;
}

// The BOF records that begin a substream other than the globals, in stream order from
// `from`. A chart BOF inside another substream is not one of them.
std::vector<std::pair<std::size_t, Bof>> FindSubstreams(Bytes stream, std::size_t from)
{
    std::vector<std::pair<std::size_t, Bof>> found;
    int depth = 0;
    RecordCursor walker(stream, from);
    while (const std::optional<BiffRecord> record = walker.Next()) {
        if (record->type == kEof) {
            depth = std::max(0, depth - 1);
            continue;
        }
        const std::optional<Bof> bof = ParseBof(stream, *record);
        if (!bof)
            continue;
        if (bof->substream == kChartSubstream && depth > 0) {
            ++depth;
            continue;
        }
        depth = 1;
        if (bof->substream != kGlobalsSubstream)
            found.emplace_back(record->offset, *bof);
    }
    return found;
}

std::string SheetName(Bytes stream, const BiffRecord& boundSheet, const Globals& globals)
{
    const Bytes name = RecordBody(stream, boundSheet).subspan(6);
    if (globals.biff == 8) {
        Pieces pieces({name});
        return ReadUnicodeString(pieces, 1).value_or(std::string());
    }
    if (name.empty())
        return std::string();
    return DecodeCodePage(name.subspan(1, std::min<std::size_t>(name[0], name.size() - 1)), globals.codePage);
}

}  // namespace


std::vector<std::u16string> ReadTableStrings(std::vector<std::span<const std::uint8_t>> bodies, std::size_t offset,
                                             std::size_t count)
{
    Pieces pieces(std::move(bodies));
    std::vector<std::u16string> strings;
    if (!pieces.Skip(offset))
        return strings;
    while (strings.size() < count) {
        std::optional<std::u16string> text = ReadUnicodeUnits(pieces, 2);
        if (!text)
            break;
        strings.push_back(std::move(*text));
    }
    return strings;
}


bool IsDateFormatCode(std::string_view code)
{
    // Quoted text and the characters after \, _ and * are literal; the signs below only
    // punctuate. What is left outside [brackets] (colours, locales, elapsed [h]) is counted.
    std::string kept;
    enum { Plain, Quoted, Escaped } state = Plain;
    for (const char c : code) {
        if (state == Quoted) {
            state = c == '"' ? Plain : Quoted;
        } else if (state == Escaped) {
            state = Plain;
        } else if (c == '"') {
            state = Quoted;
        } else if (c == '\\' || c == '_' || c == '*') {
            state = Escaped;
        } else if (std::string_view("$-+/(): ").find(c) == std::string_view::npos) {
            kept += c;
        }
    }
    int dateLetters = 0, digitPlaces = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const char c = kept[i];
        if (c == '[') {
            const std::size_t close = kept.find(']', i);
            if (close != std::string::npos) {
                i = close;
                continue;
            }
        }
        if (std::string_view("ymdhsYMDHS").find(c) != std::string_view::npos)
            ++dateLetters;
        else if (c == '0' || c == '#' || c == '?')
            ++digitPlaces;
    }
    return dateLetters > digitPlaces;
}

bool IsDate(const WorkbookCells& workbook, const CellValue& cell)
{
    return cell.kind == CellKind::Number && cell.format < workbook.dateFormats.size() &&
           workbook.dateFormats[cell.format];
}

WorkbookCells ReadWorkbookCells(std::span<const std::uint8_t> stream)
{
    // Offsets are 32-bit in the records; a longer stream is read as far as they reach.
    stream = stream.first(std::min<std::size_t>(stream.size(), std::numeric_limits<std::uint32_t>::max()));
    const Globals globals = ReadGlobals(stream);
    WorkbookCells result;
    result.biffVersion = globals.biff;
    result.codePage = globals.codePage;
    result.date1904 = globals.date1904;
    result.encrypted = globals.encrypted;
    result.dateFormats.reserve(globals.xfFormats.size());
    for (const std::uint16_t format : globals.xfFormats) {
        const auto defined = globals.formatIsDate.find(format);
        result.dateFormats.push_back(defined != globals.formatIsDate.end() ? defined->second : BuiltInDateFormat(format));
    }

    // First the sheets and where each begins (no BOF: nowhere to read it from).
    const auto found = FindSubstreams(stream, globals.end);
    std::vector<std::optional<Bof>> bofs;
    const auto usable = [&](const BiffRecord& boundSheet) {
        const std::optional<Bof> bof = BofAt(stream, LoadLe32(RecordBody(stream, boundSheet).data()));
        return bof && bof->substream != kGlobalsSubstream;
    };
    const bool sameCount = globals.boundSheets.size() == found.size();
    if (std::any_of(globals.boundSheets.begin(), globals.boundSheets.end(), usable) ||
        (!globals.boundSheets.empty() && sameCount)) {
        for (std::size_t i = 0; i < globals.boundSheets.size(); ++i) {
            const BiffRecord& boundSheet = globals.boundSheets[i];
            SheetCells& sheet = result.sheets.emplace_back();
            sheet.offset = LoadLe32(RecordBody(stream, boundSheet).data());
            std::optional<Bof> bof = BofAt(stream, sheet.offset);
            if (!bof || bof->substream == kGlobalsSubstream) {
                bof.reset();
                if (sameCount) {
                    sheet.offset = static_cast<std::uint32_t>(found[i].first);
                    bof = found[i].second;
                }
            }
            if (globals.encrypted) {
                // Past its offset the record is encrypted: the kind comes from the BOF.
                sheet.kind = bof ? SheetKind(bof->substream) : 0;
            } else {
                sheet.name = SheetName(stream, boundSheet, globals);
                sheet.kind = RecordBody(stream, boundSheet)[5];
            }
            bofs.push_back(bof);
        }
    } else {
        for (const auto& [offset, bof] : found) {
            SheetCells& sheet = result.sheets.emplace_back();
            sheet.offset = static_cast<std::uint32_t>(offset);
            sheet.kind = SheetKind(bof.substream);
            bofs.emplace_back(bof);
        }
    }
    if (globals.encrypted)
        return result;

    // Then the cells. A sheet ends where the next one begins at the latest, so that damaged
    // or repeated offsets cannot make sheets read the same records over and over; a sheet
    // whose offset an earlier sheet has is not read again.
    std::vector<std::uint32_t> starts;
    for (std::size_t i = 0; i < result.sheets.size(); ++i) {
        if (bofs[i])
            starts.push_back(result.sheets[i].offset);
    }
    std::sort(starts.begin(), starts.end());
    std::vector<bool> taken(starts.size(), false);
    for (std::size_t i = 0; i < result.sheets.size(); ++i) {
        if (!bofs[i])
            continue;
        SheetCells& sheet = result.sheets[i];
        const auto start = std::lower_bound(starts.begin(), starts.end(), sheet.offset);
        const auto slot = static_cast<std::size_t>(start - starts.begin());
        if (taken[slot])
            continue;
        taken[slot] = true;
        const auto next = std::upper_bound(start, starts.end(), sheet.offset);
        const std::size_t end = next == starts.end() ? stream.size() : *next;
        SheetReader(stream.first(end), globals, globals.biff ? globals.biff : bofs[i]->biff, sheet.cells)
            .Read(sheet.offset);
    }
    return result;
}

}  // namespace tabulon
