// Formulas whose needs the damage took: their cached results stand in for them, so that a
// spreadsheet program loading the salvaged copy shows what the workbook held instead of working
// the formula out again from what is no longer there.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
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
#include "engine/biff/pieces.h"
#include "engine/biff/record_scan.h"
#include "engine/biff/records.h"
#include "engine/biff/strings.h"
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

// A shared or array formula: what its expression needs, and where the expression lies (none
// where it does not read), for the cells of each formula that uses it.
struct SharedExpression {
    FormulaNeeds needs;
    Bytes tokens;
};
using SharedExpressions = std::map<std::tuple<int, unsigned, unsigned>, SharedExpression>;

// Every shared and array formula of BIFF8 `stream`, by its sheet's start and its range's first
// cell (which a tExp token names): a first walk, since each follows the first formula that
// uses it.
SharedExpressions SharedFormulas(Bytes stream, const std::function<int(std::uint64_t)>& sheetAt)
{
    SharedExpressions shared;
    ForEachReadingRecord(stream, 0, [&](std::size_t at, std::uint16_t type, std::size_t length) {
        const std::size_t expressionAt = type == kSharedFormula ? kSharedExpressionAt : type == kArray ? kArrayExpressionAt : 0;
        if (expressionAt == 0 || length < expressionAt)
            return;
        const std::size_t body = at + kRecordHeaderSize;
        const std::size_t expression = U16(stream, body + expressionAt - 2);
        SharedExpression found;
        if (expressionAt + expression <= length) {
            found.tokens = stream.subspan(body + expressionAt, expression);
            found.needs = NeedsOfExpression(found.tokens, true);
        } else {
            found.needs.unknown = true;
        }
        shared[{sheetAt(at), U16(stream, body), stream[body + 4]}] = found;
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

// Whether the file may hold macros a formula calls by name: a macro project (Visual Basic's)
// among its streams, kept or lost, or streams whose names went with the directory; a record
// that says the workbook has one (OBJPROJ), or the code names Visual Basic gives the sheets
// (CODENAME, in the sheets' own records, which outlive the globals); or a sheet of macros
// (Excel 4's) in its list of sheets.
bool MacrosMayBe(const SalvageReport& report, Bytes workbook, const Globals& globals)
{
    const auto project = [](const std::string& path) { return path.starts_with("_VBA_PROJECT") || path == kLostEntriesStreams; };
    if (std::any_of(report.kept.begin(), report.kept.end(), [&](const SalvagedStream& stream) { return project(stream.path); }) ||
        std::any_of(report.dropped.begin(), report.dropped.end(), project))
        return true;
    bool signs = false;
    ForEachReadingRecord(workbook, 0, [&](std::size_t, std::uint16_t type, std::size_t) {
        signs = signs || type == kObjProj || type == kCodeName;
    });
    // (An entry of the list: the offset, visibility, then the kind of sheet: 1 for macros.)
    return signs || std::any_of(globals.boundSheets.begin(), globals.boundSheets.end(), [&](const BiffRecord& entry) {
        return entry.length >= 6 && workbook[entry.offset + kRecordHeaderSize + 5] == 1;
    });
}

// The sheets (of `count`, starting at `starts`, in stream order) that lost cells: where their
// records were mended, a stretch ran over their first records, or the salvage made their start;
// every sheet where the globals were mended (a text cell whose shared string went reads empty).
std::vector<bool> SheetsThatLostCells(const SalvageReport& report, const std::vector<std::pair<std::uint64_t, int>>& starts, std::size_t count,
                                      bool globalsMended)
{
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

// Each formula of a sheet: its cell, what it needs and the cells it names (a shared or array
// formula's cells what its own expression names, from theirs: a tExp token names the first cell
// of its range).
struct Found {
    std::size_t at, length;
    int sheet;
    CellPlace place;
    FormulaNeeds needs;
    std::vector<CellArea> areas;
};

std::vector<Found> FormulasAndNeeds(Bytes workbook, bool biff8, const std::function<int(std::uint64_t)>& sheetAt)
{
    // (BIFF5's shared formulas are not told apart: their formulas are taken as naming anything.)
    const SharedExpressions shared = biff8 ? SharedFormulas(workbook, sheetAt) : SharedExpressions{};
    std::vector<Found> found;
    ForEachReadingRecord(workbook, 0, [&](std::size_t at, std::uint16_t type, std::size_t length) {
        if (type != kFormula || length < kExpressionAt)
            return;
        const int sheet = sheetAt(at);
        if (sheet < 0)
            return;  // (bytes in the globals that read as a formula: no cell anyone reads)
        const std::size_t body = at + kRecordHeaderSize;
        Found formula{at, length, sheet, {U16(workbook, body), U16(workbook, body + 2)}, {}, {}};
        const std::size_t expression = U16(workbook, body + kExpressionLengthAt);
        if (kExpressionAt + expression <= length)
            formula.needs = NeedsOfExpression(workbook.subspan(body + kExpressionAt, expression), biff8, &formula.areas, formula.place);
        else
            formula.needs.unknown = true;
        FormulaNeeds& needs = formula.needs;
        if (needs.shared) {
            const std::size_t expressionAt = body + kExpressionAt;
            const auto its = biff8 ? shared.find({sheet, U16(workbook, expressionAt + 1), U16(workbook, expressionAt + 3)}) : shared.end();
            const FormulaNeeds needed = its != shared.end() ? its->second.needs : FormulaNeeds{.unknown = true};
            needs.ownSheet = needs.ownSheet || needed.ownSheet;
            needs.globals = needs.globals || needed.globals;
            needs.functions = needs.functions || needed.functions;
            needs.place = needs.place || needed.place;
            needs.unknown = needs.unknown || needed.unknown || needed.shared;
            if (its != shared.end() && !its->second.tokens.empty())
                NeedsOfExpression(its->second.tokens, true, &formula.areas, formula.place);
            else
                formula.areas.push_back({CellArea::Of::OwnSheet, 0, 0, 0xFFFF, 0, 0xFF});
        }
        found.push_back(std::move(formula));
    });
    return found;
}

// What becomes of a formula: nothing, its cached value, or it goes (in that order).
enum class Fate { Stays, Value, Goes };

struct Losses {
    bool records = false, macros = false;
    bool globalsTell = false;   // the globals tell the functions called by name (BIFF8's, not mended)
    bool macrosMayBe = false;   // the file may hold macros (see MacrosMayBe)
    std::vector<bool> sheets;  // sheets that lost cells
};


// What the globals say 3D references and defined names name: each entry of the list of
// references (EXTERNSHEET) as the first and last sheet it spans, each defined name (NAME) as the
// cells its definition names. Neither where the globals were mended (an entry or a name that
// went moves the places of those after it) or are not BIFF8's.
struct Referenced {
    std::optional<std::vector<std::pair<std::uint16_t, std::uint16_t>>> sheets;
    std::optional<std::vector<std::vector<CellArea>>> names;
    // Every external name the globals hold is a function of the Analysis ToolPak: the functions
    // the formulas call by an external name are those (spreadsheet programs work them out as
    // their own, so their cached results are the programs' too).
    bool toolPakOnly = false;
    // No defined name is a macro's (a function, a command or a procedure): a function called by
    // a name of its own is no macro's then, but an external one's.
    bool noMacroNames = false;
};

// Whether the EXTERNNAME record whose body is `body` names a function of the Analysis ToolPak
// (BIFF8's: options, four bytes, then the name, a string of a one-byte length).
bool NamesToolPakFunction(Bytes body)
{
    if (body.size() < 6)
        return false;
    Pieces in({body.subspan(6)});
    std::optional<std::string> name = ReadUnicodeString(in, 1);
    if (!name)
        return false;
    for (char& c : *name)
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    return ToolPakFunction(*name);
}

const CellArea kAnyCell{CellArea::Of::Reference, kAnyReference, 0, 0xFFFF, 0, 0xFF};

// The cells the definition of the NAME record whose body is `body` names (BIFF8's: options,
// key, the name's length, the definition's, two indexes and four lengths of texts after it,
// then the name and the definition); any where it does not read.
std::vector<CellArea> NameAreas(Bytes body)
{
    if (body.size() < 15)
        return {kAnyCell};
    const std::size_t characters = body[3], definition = LoadLe16(body.data() + 4);
    const std::size_t at = 15 + characters * ((body[14] & 0x01) ? 2 : 1);
    if (at + definition > body.size())
        return {kAnyCell};
    std::vector<CellArea> areas;
    NeedsOfExpression(body.subspan(at, definition), true, &areas);
    return areas;
}

Referenced ReadReferenced(Bytes workbook, bool biff8, bool globalsMended)
{
    Referenced referenced;
    if (!biff8 || globalsMended)
        return referenced;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> sheets;
    std::vector<std::vector<CellArea>> names;
    bool sheetsRead = true;
    std::size_t externalNames = 0;
    referenced.toolPakOnly = true;
    referenced.noMacroNames = true;
    for (std::size_t at = 0; at + kRecordHeaderSize <= workbook.size() && Reads(workbook, at);) {
        const std::uint16_t type = U16(workbook, at);
        const Bytes body = workbook.subspan(at + kRecordHeaderSize, U16(workbook, at + 2));
        if (type == kEof)
            break;
        if (type == kExternSheet) {
            const std::size_t count = body.size() >= 2 ? LoadLe16(body.data()) : 0;
            sheetsRead = sheetsRead && body.size() >= 2 && 2 + 6 * count <= body.size();  // (not one that goes on past its record)
            for (std::size_t k = 0; sheetsRead && k < count; ++k)
                sheets.emplace_back(LoadLe16(body.data() + 4 + 6 * k), LoadLe16(body.data() + 6 + 6 * k));
        } else if (type == kName) {
            names.push_back(NameAreas(body));
            referenced.noMacroNames = referenced.noMacroNames && body.size() >= 2 && (LoadLe16(body.data()) & 0x000E) == 0;
        } else if (type == kExternName) {
            referenced.toolPakOnly = referenced.toolPakOnly && NamesToolPakFunction(body);
            ++externalNames;
        }
        at += kRecordHeaderSize + body.size();
    }
    if (sheetsRead)
        referenced.sheets = std::move(sheets);
    referenced.names = std::move(names);
    referenced.toolPakOnly = referenced.toolPakOnly && externalNames > 0;  // (none names no function)
    return referenced;
}

std::vector<Fate> FatesOf(const std::vector<Found>& found, const Losses& lost, const Referenced& referenced)
{
    // A function called by name (a macro's, an add-in's) is one only its own code works out:
    // spreadsheet programs that do not have it show an error for the intact workbook, so its
    // cached result would show what they never showed there; nor does a formula's cached file
    // and sheet name (CELL) show for the copy. Those go.
    // (Add-in functions of the Analysis ToolPak are the programs' own: their results are too.
    // Where no defined name is a macro's, a function called after a name of the workbook's own
    // is called by the external name before it, the name being one of its arguments.)
    // (Where the globals went and no macro may be, a function called by name is an add-in's:
    // the Analysis ToolPak's as a rule, which the programs work out as the workbook did.)
    const bool macrosMayBeCalled = lost.globalsTell || lost.macrosMayBe;
    const std::size_t names = referenced.names ? referenced.names->size() : 0;
    std::vector<Fate> fates(found.size(), Fate::Stays);
    for (std::size_t i = 0; i < found.size(); ++i) {
        const FormulaNeeds& needs = found[i].needs;
        const auto sheet = static_cast<std::size_t>(found[i].sheet);
        const bool namesHeld = std::all_of(found[i].areas.begin(), found[i].areas.end(), [&](const CellArea& area) {
            return area.of != CellArea::Of::Name || (area.index >= 1 && area.index <= names);
        });
        const bool macroCall = needs.functions && !(referenced.noMacroNames && namesHeld) && macrosMayBeCalled;
        const bool addInCall = needs.addIns || (needs.functions && !macroCall);
        const bool unknownAddIn = addInCall && !referenced.toolPakOnly && macrosMayBeCalled;
        const bool functions = macroCall || unknownAddIn;
        const bool needsWent = ((needs.globals || needs.unknown || needs.place) && lost.records) ||
                               ((functions || needs.unknown) && (lost.records || lost.macros)) || (needs.ownSheet && lost.sheets[sheet]);
        fates[i] = !needsWent ? Fate::Stays : (functions || needs.place) ? Fate::Goes : Fate::Value;
    }
    return fates;
}

// Where the formulas that go are looked up by the cells they name: a single cell by its place,
// a stretch of cells by its sheet, and those whose cells no one can tell (a name the globals do
// not define, an entry of the list of references they do not hold) by none.
class Dependents {
public:
    Dependents(const std::vector<Found>& found, const Referenced& referenced, std::size_t sheets) : stretches_(sheets)
    {
        for (std::size_t i = 0; i < found.size(); ++i) {
            for (const CellArea& area : found[i].areas)
                Add(area, found[i].sheet, i, referenced, 0);
        }
    }

    // The formulas that name the cell at `place` of `sheet` (some more than once).
    template <typename Visit>
    void OfCell(int sheet, CellPlace place, Visit visit) const
    {
        if (const auto single = single_.find(Key(sheet, place)); single != single_.end()) {
            for (const std::size_t formula : single->second)
                visit(formula);
        }
        for (const auto& [area, formula] : stretches_[static_cast<std::size_t>(sheet)]) {
            if (area.firstRow <= place.row && place.row <= area.lastRow && area.firstColumn <= place.column &&
                place.column <= area.lastColumn)
                visit(formula);
        }
        for (const std::size_t formula : anywhere_)
            visit(formula);
    }

private:
    static std::uint64_t Key(int sheet, CellPlace place)
    {
        return (std::uint64_t{static_cast<std::uint32_t>(sheet)} << 32) | (std::uint64_t{place.row} << 8) | place.column;
    }

    void AddOn(std::size_t sheet, const CellArea& area, std::size_t formula)
    {
        if (sheet >= stretches_.size())
            return;  // (another workbook's, or a sheet that was deleted)
        if (area.firstRow == area.lastRow && area.firstColumn == area.lastColumn)
            single_[Key(static_cast<int>(sheet), {area.firstRow, area.firstColumn})].push_back(formula);
        else
            stretches_[sheet].emplace_back(area, formula);
    }

    void Add(const CellArea& area, int sheet, std::size_t formula, const Referenced& referenced, int depth)
    {
        switch (area.of) {
        case CellArea::Of::OwnSheet:
            AddOn(static_cast<std::size_t>(sheet), area, formula);
            return;
        case CellArea::Of::Reference:
            if (referenced.sheets && area.index < referenced.sheets->size()) {
                const auto [first, last] = (*referenced.sheets)[area.index];
                for (std::size_t s = first; s <= last && s < stretches_.size(); ++s)
                    AddOn(s, area, formula);
            } else {
                for (std::size_t s = 0; s < stretches_.size(); ++s)
                    AddOn(s, area, formula);
            }
            return;
        case CellArea::Of::Name:
            if (referenced.names && area.index >= 1 && area.index <= referenced.names->size() && depth < 8) {
                for (const CellArea& named : (*referenced.names)[area.index - 1u])
                    Add(named, sheet, formula, referenced, depth + 1);
            } else {
                anywhere_.push_back(formula);
            }
            return;
        }
    }

    std::unordered_map<std::uint64_t, std::vector<std::size_t>> single_;
    std::vector<std::vector<std::pair<CellArea, std::size_t>>> stretches_;
    std::vector<std::size_t> anywhere_;
};

// Each formula of `fate` passes it on to the formulas that name its cell, and they to theirs:
// from one that goes, the programs would show the error of the call the intact workbook makes
// there, or a result worked out from it, never the cached result; from one that became its
// value, they would work out again from the cached result what the workbook worked out from the
// formula (the programs work the whole workbook out on loading it, and its last digits may
// differ). Those become their values too. (A fate only ever gets more final: stays, value, goes.)
void PassOn(Fate fate, const std::vector<Found>& found, std::vector<Fate>& fates, const Dependents& dependents)
{
    std::vector<std::size_t> passing;
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (fates[i] == fate)
            passing.push_back(i);
    }
    while (!passing.empty()) {
        const Found& from = found[passing.back()];
        passing.pop_back();
        dependents.OfCell(from.sheet, from.place, [&](std::size_t formula) {
            if (fates[formula] < fate) {
                fates[formula] = fate;
                passing.push_back(formula);
            }
        });
    }
}

void WhatNamesWhatWentGoesToo(const std::vector<Found>& found, std::vector<Fate>& fates, const Referenced& referenced, std::size_t sheets)
{
    if (std::all_of(fates.begin(), fates.end(), [](Fate fate) { return fate == Fate::Stays; }))
        return;
    const Dependents dependents(found, referenced, sheets);
    PassOn(Fate::Goes, found, fates, dependents);
    PassOn(Fate::Value, found, fates, dependents);
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
    const bool globalsMended = std::any_of(report.regions.begin(), report.regions.end(), [](const MendedRegion& r) { return r.sheet < 0; });
    lost.sheets = SheetsThatLostCells(report, starts, globals.boundSheets.size(), globalsMended);
    const std::function<int(std::uint64_t)> sheetAt = [&](std::uint64_t offset) {
        const auto after = std::upper_bound(starts.begin(), starts.end(), std::pair<std::uint64_t, int>(offset, 1 << 30));
        return after == starts.begin() ? -1 : std::prev(after)->second;
    };
    const std::vector<Found> found = FormulasAndNeeds(workbook, biff8, sheetAt);
    lost.globalsTell = biff8 && !globalsMended;
    const Referenced referenced = ReadReferenced(workbook, biff8, globalsMended);
    // (Only a call by name asks whether macros may be: the sign is looked for over the stream.)
    lost.macrosMayBe = std::any_of(found.begin(), found.end(), [](const Found& f) { return f.needs.functions || f.needs.addIns; }) &&
                       MacrosMayBe(report, workbook, globals);
    std::vector<Fate> fates = FatesOf(found, lost, referenced);
    WhatNamesWhatWentGoesToo(found, fates, referenced, globals.boundSheets.size());
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
