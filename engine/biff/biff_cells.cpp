#include "engine/biff/biff_cells.h"
#include "engine/biff/globals.h"
#include "engine/biff/number_formats.h"
#include "engine/biff/pieces.h"
#include "engine/biff/records.h"
#include "engine/biff/strings.h"

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
            if (IsBofIn(stream_, record->type)) {
                // A chart inside the sheet is skipped; any other BOF begins the next
                // substream, and this sheet lost its EOF.
                const std::optional<Bof> bof = ParseBof(stream_, *record);
                if (!bof || bof->substream != kChartSubstream)
                    return;
                if (!SkipEmbedded(walker))
                    return;
                continue;
            }
            // BIFF2's cells in a later version's stream are real where the chain holds, but
            // past a break their headers are what a later cell's column and XF index look
            // like (column 3 and XF 15 make a BIFF2 NUMBER's): there they are passed over.
            if (HasCellAttributes(record->type) && biff_ != 2 && walker.Resynchronised())
                continue;
            Take(*record, walker);
        }
    }

private:
    bool EndsSheet(const std::optional<BiffRecord>& next) const { return !next || IsBofIn(stream_, next->type); }

    // Past an embedded chart's EOF; false when another BOF comes first, which no intact
    // chart holds.
    bool SkipEmbedded(RecordCursor& walker) const
    {
        while (const std::optional<BiffRecord> record = walker.Next()) {
            if (record->type == kEof)
                return true;
            if (IsBofIn(stream_, record->type))
                return false;
        }
        return false;
    }

    // A cell from the row, column and XF index that begin `body`: BIFF2's layout has a 3-byte
    // cell attribute in the XF index's place, with the index in the low six bits of its first
    // byte (the values follow it a byte later).
    CellValue& Add(Bytes body, CellKind kind, bool attributes = false)
    {
        CellValue& cell = cells_.emplace_back();
        cell.row = LoadLe16(body.data());
        cell.column = LoadLe16(body.data() + 2);
        cell.format = attributes ? body[4] & 0x3F : LoadLe16(body.data() + 4);
        cell.kind = kind;
        cell.offset = recordOffset_;
        return cell;
    }

    void AddText(Bytes body, std::string text, bool attributes = false) { Add(body, CellKind::Text, attributes).text = std::move(text); }

    // A string at `at` of `body`: BIFF8's, or a byte string with a length of `lengthBytes`.
    std::optional<std::string> StringAt(Bytes body, std::size_t at, std::vector<Bytes> continuations = {}, int lengthBytes = 2)
    {
        if (biff_ != 8)
            return ReadByteString(body.subspan(at), globals_.codePage, lengthBytes);
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
                const std::size_t count = ValuesInCellRecord(kMulRk, body.size());
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
        // BIFF2's cells, as readers take them in the streams of every version.
        case kNumber2:
            if (body.size() >= 15)
                Add(body, CellKind::Number, true).number = std::bit_cast<double>(LoadLe64(body.data() + 7));
            break;
        case kInteger2:
            if (body.size() >= 9)
                Add(body, CellKind::Number, true).number = LoadLe16(body.data() + 7);
            break;
        case kLabel2:
            // A byte string with a 1-byte length that fills the record (a LABEL whose type
            // lost a bit does not); in BIFF8 streams BIFF8's string.
            if (body.size() >= 8 && (biff_ == 8 || body.size() == std::size_t{8} + body[7])) {
                if (std::optional<std::string> text = StringAt(body, 7, {}, 1))
                    AddText(body, std::move(*text), true);
            }
            break;
        case kBoolErr2:
            if (body.size() >= 9)
                Add(body, body[8] ? CellKind::Error : CellKind::Boolean, true).code = body[7];
            break;
        case kFormula:
        case kFormula3:
        case kFormula4:
            TakeFormula(body, record.type);
            return;  // keeps a string result waiting for its STRING record
        case kString:
        case kString2:
            if (pendingString_) {
                const Bytes pending = *pendingString_;
                pendingString_.reset();
                std::vector<Bytes> continuations;
                if (biff_ == 8)
                    continuations = walker.Continuations();
                const int lengthBytes = record.type == kString2 ? 1 : 2;
                if (std::optional<std::string> text = StringAt(body, 0, std::move(continuations), lengthBytes))
                    AddText(pending, std::move(*text), pendingAttributes_);
            }
            return;
        case kBlank:
        case kBlank2:
        case kMulBlank:
            break;
        default:
            return;  // the records between a formula and its STRING record keep it waiting
        }
        pendingString_.reset();
    }

    // The last result is in bytes 6 to 13 (7 to 14 in BIFF2, after the cell attribute): a
    // double, or, when the last two are 0xFFFF, a type in the first byte: 0 text (in the
    // STRING record that follows), 1 boolean, 2 error, 3 empty text; booleans and errors have
    // their value in the third byte. The stream's version tells the layout, whatever the
    // record's type: BIFF2's in a BIFF2 stream, the XF index in any other.
    void TakeFormula(Bytes body, std::uint16_t type)
    {
        pendingString_.reset();
        const bool attributes = biff_ == 2 && type == kFormula;
        const std::size_t fixed = attributes ? 17 : biff_ == 3 || biff_ == 4 ? 18 : 20;
        if (body.size() < fixed)
            return;
        const std::size_t at = attributes ? 7 : 6;
        if (LoadLe16(body.data() + at + 6) != 0xFFFF) {
            Add(body, CellKind::Number, attributes).number = std::bit_cast<double>(LoadLe64(body.data() + at));
            return;
        }
        switch (body[at]) {
        case 0:
            pendingString_ = body;
            pendingAttributes_ = attributes;
            break;
        case 1: Add(body, CellKind::Boolean, attributes).code = body[at + 2]; break;
        case 2: Add(body, CellKind::Error, attributes).code = body[at + 2]; break;
        case 3: AddText(body, std::string(), attributes); break;
        default: break;
        }
    }

    Bytes stream_;
    const Globals& globals_;
    int biff_;
    std::vector<CellValue>& cells_;
    std::uint32_t recordOffset_ = 0;
    std::optional<Bytes> pendingString_;  // the body of a FORMULA record whose text is to come
    bool pendingAttributes_ = false;      // that record has BIFF2's cell attribute
};

}  // namespace

bool IsDate(const WorkbookCells& workbook, const CellValue& cell)
{
    return cell.kind == CellKind::Number && cell.format < workbook.dateFormats.size() &&
           workbook.dateFormats[cell.format];
}

namespace {

// The workbook as its globals describe it, its sheets without their cells; `bofs` gets each
// sheet's BOF, where its offset leads to one.
WorkbookCells SheetsOf(std::span<const std::uint8_t> stream, const Globals& globals, std::vector<std::optional<Bof>>& bofs)
{
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

    // The sheets and where each begins (no BOF: nowhere to read it from). The substreams the
    // records hold are looked for only where the list does not lead to every sheet (a walk
    // over all of the stream's records).
    std::optional<std::vector<std::pair<std::size_t, Bof>>> substreams;
    const auto found = [&]() -> const std::vector<std::pair<std::size_t, Bof>>& {
        if (!substreams)
            substreams = FindSubstreams(stream, globals.end);
        return *substreams;
    };
    const auto usable = [&](const BiffRecord& boundSheet) {
        const std::optional<Bof> bof = BofAt(stream, LoadLe32(RecordBody(stream, boundSheet).data()));
        return bof && bof->substream != kGlobalsSubstream;
    };
    const auto sameCount = [&] { return globals.boundSheets.size() == found().size(); };
    if (std::any_of(globals.boundSheets.begin(), globals.boundSheets.end(), usable) ||
        (!globals.boundSheets.empty() && sameCount())) {
        for (std::size_t i = 0; i < globals.boundSheets.size(); ++i) {
            const BiffRecord& boundSheet = globals.boundSheets[i];
            SheetCells& sheet = result.sheets.emplace_back();
            sheet.offset = LoadLe32(RecordBody(stream, boundSheet).data());
            std::optional<Bof> bof = BofAt(stream, sheet.offset);
            if (!bof || bof->substream == kGlobalsSubstream) {
                bof.reset();
                if (sameCount()) {
                    sheet.offset = static_cast<std::uint32_t>(found()[i].first);
                    bof = found()[i].second;
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
        for (const auto& [offset, bof] : found()) {
            SheetCells& sheet = result.sheets.emplace_back();
            sheet.offset = static_cast<std::uint32_t>(offset);
            sheet.kind = SheetKind(bof.substream);
            bofs.emplace_back(bof);
        }
    }
    return result;
}

// Offsets are 32-bit in the records; a longer stream is read as far as they reach.
std::span<const std::uint8_t> Reachable(std::span<const std::uint8_t> stream)
{
    return stream.first(std::min<std::size_t>(stream.size(), std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

WorkbookCells ReadWorkbookSheets(std::span<const std::uint8_t> stream, const Globals& globals)
{
    std::vector<std::optional<Bof>> bofs;
    return SheetsOf(Reachable(stream), globals, bofs);
}

WorkbookCells ReadWorkbookCells(std::span<const std::uint8_t> stream)
{
    stream = Reachable(stream);
    const Globals globals = ReadGlobals(stream);
    std::vector<std::optional<Bof>> bofs;
    WorkbookCells result = SheetsOf(stream, globals, bofs);
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

std::size_t ValuesInCellRecord(std::uint16_t type, std::size_t bodySize)
{
    switch (type) {
    case biff::kBlank:
    case biff::kBlank2:
    case biff::kMulBlank:
        return 0;
    case biff::kMulRk:
        return bodySize >= 12 ? (bodySize - 6) / 6 : 0;
    default:
        return 1;
    }
}

}  // namespace tabulon
