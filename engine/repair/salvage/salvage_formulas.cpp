// Formulas whose needs the damage took: their cached results stand in for them, so that a
// spreadsheet program loading the salvaged copy shows what the workbook held instead of working
// the formula out again from what is no longer there.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <map>
#include <tuple>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/formula_needs.h"
#include "engine/biff/globals.h"
#include "engine/biff/record_scan.h"
#include "engine/biff/records.h"
#include "engine/repair/salvage/salvage_formulas.h"

namespace tabulon {

using namespace biff;

namespace {

// A formula's result kinds, by the first byte of a result whose last two bytes are 0xFFFF.
constexpr std::uint8_t kTextResult = 0, kBooleanResult = 1, kErrorResult = 2, kEmptyTextResult = 3;
// A FORMULA record's body: row, column, style (6 bytes), the result (8), options (2), a cache
// (4), the expression's length (2), the expression.
constexpr std::size_t kResultAt = 6, kExpressionLengthAt = 20, kExpressionAt = 22;

// Writes a record of `type` and `body` at `at` and filler records over what is left of
// [at, end) (at least a record header's worth, or nothing). Filler right after joins it where
// one record holds both: readers that resume after a record they do not know only where a
// record they know follows would pass over cells after two. Gives the end of what it wrote.
std::size_t WriteWithFiller(std::vector<std::uint8_t>& stream, std::size_t at, std::size_t end, std::uint16_t type, Bytes body)
{
    WriteRecord(stream, at, type, body);
    const std::size_t fillerAt = at + kRecordHeaderSize + body.size();
    while (fillerAt < end && end + kRecordHeaderSize <= stream.size() && U16(stream, end) == kFillerRecord) {
        const std::size_t after = end + kRecordHeaderSize + U16(stream, end + 2);
        if (after > stream.size() || after - fillerAt - kRecordHeaderSize > kMaxRecordBody)
            break;
        end = after;
    }
    WriteFillerRecords(stream, fillerAt, end);
    return std::max(end, fillerAt);
}

// The FORMULA record at `at` (of `length`), and its STRING record (`string`, or kNoPlace), as
// filler. Gives the end of what it wrote.
std::size_t FormulaGoes(std::vector<std::uint8_t>& stream, std::size_t at, std::size_t length, std::size_t string)
{
    const std::size_t end = string != kNoPlace ? string + kRecordHeaderSize + U16(stream, string + 2) : at + kRecordHeaderSize + length;
    return WriteWithFiller(stream, at, end, kFillerRecord, {});
}

// The FORMULA record at `at` (of `length`) as a cell of its cached value: a number, a boolean,
// an error, an empty text, or the text of the STRING record that follows it (`string`, when it
// does with no record between that is not the formula's own). Where the text does not fit in
// place, the cell goes. The record keeps its place and its length, filler after the value.
// Gives the end of what it wrote.
std::size_t FormulaBecomesItsValue(std::vector<std::uint8_t>& stream, std::size_t at, std::size_t length, std::size_t string, bool biff8)
{
    const std::size_t body = at + kRecordHeaderSize;
    const std::size_t end = body + length;
    std::vector<std::uint8_t> cell(stream.begin() + static_cast<std::ptrdiff_t>(body), stream.begin() + static_cast<std::ptrdiff_t>(body + 6));
    const bool special = U16(stream, body + kResultAt + 6) == 0xFFFF;
    const std::uint8_t kind = stream[body + kResultAt];
    if (!special) {
        cell.insert(cell.end(), stream.begin() + static_cast<std::ptrdiff_t>(body + kResultAt),
                    stream.begin() + static_cast<std::ptrdiff_t>(body + kResultAt + 8));
        return WriteWithFiller(stream, at, end, kNumber, cell);
    } else if (kind == kBooleanResult || kind == kErrorResult) {
        cell.push_back(stream[body + kResultAt + 2]);
        cell.push_back(kind == kErrorResult ? 1 : 0);
        return WriteWithFiller(stream, at, end, kBoolErr, cell);
    } else if (kind == kEmptyTextResult) {
        // A string of no characters (BIFF8's has its options byte).
        cell.insert(cell.end(), {0, 0});
        if (biff8)
            cell.push_back(0);
        return WriteWithFiller(stream, at, end, kLabel, cell);
    } else if (kind == kTextResult && string != kNoPlace && 6u + U16(stream, string + 2) <= kMaxRecordBody) {
        // A LABEL's body is the cell's place and style, then the string as STRING holds it.
        const std::size_t stringEnd = string + kRecordHeaderSize + U16(stream, string + 2);
        cell.insert(cell.end(), stream.begin() + static_cast<std::ptrdiff_t>(string + kRecordHeaderSize),
                    stream.begin() + static_cast<std::ptrdiff_t>(stringEnd));
        return WriteWithFiller(stream, at, stringEnd, kLabel, cell);
    }
    return FormulaGoes(stream, at, length, string);
}

// The STRING record that holds the text result of the formula at `at` (of `length`): the next
// record, or the one after the formula's shared or array formula; kNoPlace where it is not there
// or goes on in CONTINUE records (which do not fit in place).
std::size_t StringOf(Bytes stream, std::size_t at, std::size_t length)
{
    std::size_t next = at + kRecordHeaderSize + length;
    for (int step = 0; step < 2 && Reads(stream, next); ++step) {
        const std::uint16_t type = U16(stream, next);
        const std::size_t after = next + kRecordHeaderSize + U16(stream, next + 2);
        if (type == kString)
            return after + kRecordHeaderSize <= stream.size() && U16(stream, after) == kContinue ? kNoPlace : next;
        if (type != kSharedFormula && type != kArray && type != kTable)
            return kNoPlace;
        next = after;
    }
    return kNoPlace;
}

// Where a shared or array formula's expression lies among a SHRFMLA's or ARRAY's bytes (after
// its range, and the options, the use count or the cache and the expression's length).
constexpr std::size_t kSharedExpressionAt = 10, kArrayExpressionAt = 14;

// The needs of every shared and array formula of BIFF8 `stream`, by its sheet's start and its
// range's first cell (which a tExp token names): a first walk, since each follows the first
// formula that uses it.
std::map<std::tuple<int, unsigned, unsigned>, FormulaNeeds> SharedFormulaNeeds(Bytes stream, const std::function<int(std::uint64_t)>& sheetAt)
{
    std::map<std::tuple<int, unsigned, unsigned>, FormulaNeeds> shared;
    ForEachReadingRecord(stream, 0, [&](std::size_t at, std::uint16_t type, std::size_t length) {
        const std::size_t expressionAt = type == kSharedFormula ? kSharedExpressionAt : type == kArray ? kArrayExpressionAt : 0;
        if (expressionAt == 0 || length < expressionAt)
            return;
        const std::size_t body = at + kRecordHeaderSize;
        const std::size_t expression = U16(stream, body + expressionAt - 2);
        FormulaNeeds needs;
        if (expressionAt + expression <= length)
            needs = NeedsOfExpression(stream.subspan(body + expressionAt, expression), true);
        else
            needs.unknown = true;
        shared[{sheetAt(at), U16(stream, body), stream[body + 4]}] = needs;
    });
    return shared;
}

// Whether the macros' code went (a macro function's), or streams no one can name any more: the
// source in "dir" and the modules, described by "PROJECT"; not the compiled caches,
// "_VBA_PROJECT" and "__SRP_", nor the module names' map, which a program that runs the
// macros makes again.
bool MacroCodeLost(const SalvageReport& report)
{
    return std::any_of(report.dropped.begin(), report.dropped.end(), [](const std::string& path) {
        const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);  // (npos + 1: the whole path)
        return (path.starts_with("_VBA_PROJECT") && !name.starts_with("__SRP_") && name != "PROJECTwm" && name != "_VBA_PROJECT") ||
               path == kLostEntriesStreams;
    });
}

// The sheets (of `count`, starting at `starts`, in stream order) that lost cells: where their
// records were mended, a stretch ran over their first records, or the salvage made their start;
// every sheet where the globals were mended (a text cell whose shared string went reads empty).
std::vector<bool> SheetsThatLostCells(const SalvageReport& report, const std::vector<std::pair<std::uint64_t, int>>& starts, std::size_t count)
{
    const bool globalsMended = std::any_of(report.regions.begin(), report.regions.end(), [](const MendedRegion& region) { return region.sheet < 0; });
    std::vector<bool> lost(count, globalsMended);
    for (const MendedRegion& region : report.regions) {
        if (region.sheet >= 0 && static_cast<std::size_t>(region.sheet) < count)
            lost[static_cast<std::size_t>(region.sheet)] = true;
        for (const auto& [start, place] : starts) {
            if (region.offset <= start && start < region.offset + region.length)
                lost[static_cast<std::size_t>(place)] = true;
        }
    }
    if (report.firstSheetStartLost && !starts.empty())
        lost[static_cast<std::size_t>(starts.front().second)] = true;
    return lost;
}

// Each formula of a sheet, and what it needs (a shared or array formula's cells what its own
// expression names: a tExp token names the first cell of its range).
struct Found {
    std::size_t at, length;
    int sheet;
    FormulaNeeds needs;
};

std::vector<Found> FormulasAndNeeds(Bytes workbook, bool biff8, const std::function<int(std::uint64_t)>& sheetAt)
{
    // (BIFF5's shared formulas are not told apart: their formulas are taken as naming anything.)
    const auto shared = biff8 ? SharedFormulaNeeds(workbook, sheetAt) : std::map<std::tuple<int, unsigned, unsigned>, FormulaNeeds>{};
    std::vector<Found> found;
    ForEachReadingRecord(workbook, 0, [&](std::size_t at, std::uint16_t type, std::size_t length) {
        if (type != kFormula || length < kExpressionAt)
            return;
        const std::size_t expression = U16(workbook, at + kRecordHeaderSize + kExpressionLengthAt);
        FormulaNeeds needs;
        if (kExpressionAt + expression <= length)
            needs = NeedsOfExpression(workbook.subspan(at + kRecordHeaderSize + kExpressionAt, expression), biff8);
        else
            needs.unknown = true;
        const int sheet = sheetAt(at);
        if (sheet < 0)
            return;  // (bytes in the globals that read as a formula: no cell anyone reads)
        if (needs.shared) {
            const std::size_t expressionAt = at + kRecordHeaderSize + kExpressionAt;
            const auto its = biff8 ? shared.find({sheet, U16(workbook, expressionAt + 1), U16(workbook, expressionAt + 3)}) : shared.end();
            const FormulaNeeds needed = its != shared.end() ? its->second : FormulaNeeds{.unknown = true};
            needs.ownSheet = needs.ownSheet || needed.ownSheet;
            needs.globals = needs.globals || needed.globals;
            needs.functions = needs.functions || needed.functions;
            needs.place = needs.place || needed.place;
            needs.unknown = needs.unknown || needed.unknown || needed.shared;
        }
        found.push_back({at, length, sheet, needs});
    });
    return found;
}

// What becomes of a formula: nothing, its cached value, or it goes.
enum class Fate { Stays, Value, Goes };

struct Losses {
    bool records = false, macros = false;
    std::vector<bool> sheets;  // sheets that lost cells
};

std::vector<Fate> FatesOf(const std::vector<Found>& found, const Losses& lost)
{
    // A function called by name (a macro's, an add-in's) is one only its own code works out:
    // spreadsheet programs that do not have it show an error for the intact workbook, so its
    // cached result would show what they never showed there; nor does a formula's cached file
    // and sheet name (CELL) show for the copy. Those go.
    std::vector<Fate> fates(found.size(), Fate::Stays);
    for (std::size_t i = 0; i < found.size(); ++i) {
        const FormulaNeeds& needs = found[i].needs;
        const auto sheet = static_cast<std::size_t>(found[i].sheet);
        const bool needsWent = ((needs.globals || needs.unknown || needs.place) && lost.records) ||
                               ((needs.functions || needs.unknown) && (lost.records || lost.macros)) || (needs.ownSheet && lost.sheets[sheet]);
        fates[i] = !needsWent ? Fate::Stays : (needs.functions || needs.place) ? Fate::Goes : Fate::Value;
    }
    return fates;
}

}  // namespace

void FormulasWhoseNeedsWentBecomeValues(std::vector<std::uint8_t>& workbook, SalvageReport& report)
{
    // A formula stays one where what it names survived: its own sheet's cells where that sheet
    // lost no record; names and other sheets where no record was lost anywhere; a macro function
    // where no record and nothing of the macros was. A shared or array formula's cells name what
    // its own expression names.
    if (workbook.size() < kRecordHeaderSize + 6 || U16(workbook, 0) != kBof)
        return;  // (BIFF5 and later: a formula's result follows its style there)
    const bool biff8 = U16(workbook, kRecordHeaderSize) == kBiff8Version;
    Losses lost;
    lost.records = !report.regions.empty() || !report.lostSheets.empty();
    lost.macros = MacroCodeLost(report);
    if (!lost.records && !lost.macros)
        return;
    std::vector<std::pair<std::uint64_t, int>> starts;  // where each sheet starts, and its place in the list
    const Globals globals = ReadGlobals(workbook, SharedStrings::None);
    if (globals.encrypted)
        return;  // (its records' bodies are the cipher's bytes)
    for (std::size_t i = 0; i < globals.boundSheets.size(); ++i) {
        const BiffRecord& entry = globals.boundSheets[i];
        if (entry.length >= 4)
            starts.emplace_back(LoadLe32(workbook.data() + entry.offset + kRecordHeaderSize), static_cast<int>(i));
    }
    std::sort(starts.begin(), starts.end());
    lost.sheets = SheetsThatLostCells(report, starts, globals.boundSheets.size());
    const std::function<int(std::uint64_t)> sheetAt = [&](std::uint64_t offset) {
        const auto after = std::upper_bound(starts.begin(), starts.end(), std::pair<std::uint64_t, int>(offset, 1 << 30));
        return after == starts.begin() ? -1 : std::prev(after)->second;
    };
    const std::vector<Found> found = FormulasAndNeeds(workbook, biff8, sheetAt);
    const std::vector<Fate> fates = FatesOf(found, lost);
    for (std::size_t i = 0; i < found.size(); ++i) {
        const FormulaNeeds& needs = found[i].needs;
        if (fates[i] == Fate::Stays)
            continue;
        if (fates[i] == Fate::Goes)
            ++report.formulasAsValues.leftOut;
        else if (((needs.globals || needs.unknown) && lost.records) || (needs.unknown && lost.macros))
            ++report.formulasAsValues.needingGlobals;
        else
            ++report.formulasAsValues.needingCells;
        const std::size_t string = StringOf(workbook, found[i].at, found[i].length);
        const std::size_t end = fates[i] == Fate::Goes ? FormulaGoes(workbook, found[i].at, found[i].length, string)
                                                       : FormulaBecomesItsValue(workbook, found[i].at, found[i].length, string, biff8);
        report.formulasAsValues.places.emplace_back(found[i].at, end - found[i].at);
        if (fates[i] == Fate::Goes)
            report.formulasAsValues.leftOutAt.push_back(found[i].at);
    }
}

}  // namespace tabulon
