// Formulas whose needs a salvage lost keep their cached values: a workbook with a formula of
// each kind of need, and what went in each case (a sheet's records, a stream, nothing).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/biff_cells.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mending.h"
#include "engine/repair/salvage/salvage_formulas.h"
#include "tests/support/biff_builder.h"
#include "tests/support/cell_lines.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::Cell;
using test::Le16;
using test::Le32;
using test::Record;
using test::operator+;

Bytes Formula(unsigned row, unsigned column, const Bytes& result, const Bytes& tokens)
{
    return Record(biff::kFormula, Cell(row, column) + result + Le16(0) + Le32(0) + Le16(static_cast<unsigned>(tokens.size())) + tokens);
}

const Bytes kNumberResult = test::Double(42.5);
const Bytes kTextResult = Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
const Bytes kTrueResult = Bytes{1, 0, 1, 0, 0, 0, 0xFF, 0xFF};
const Bytes kNaResult = Bytes{2, 0, 0x2A, 0, 0, 0, 0xFF, 0xFF};
const Bytes kConstant = Bytes{0x1E} + Le16(40) + Bytes{0x1F} + test::Double(2.5) + Bytes{0x03};
const Bytes kOwnCell = Bytes{0x24} + Le16(0) + Le16(0xC000);
const Bytes kName = Bytes{0x23} + Le16(1) + Le16(0);
const Bytes kOutside = Bytes{0x23} + Le16(2) + Le16(0) + Bytes{0x22, 1} + Le16(255);
const Bytes kOtherSheet = Bytes{0x3A} + Le16(1) + Le16(0) + Le16(0);

Bytes Rows(unsigned first, unsigned count)
{
    Bytes rows;
    for (unsigned row = first; row < first + count; ++row)
        rows = rows + Record(biff::kNumber, Cell(row, 0) + test::Double(row + 0.5));
    return rows;
}

// A defined name (NAME): its options, its name and its definition.
Bytes NameRecord(unsigned options, const std::string& name, const Bytes& definition)
{
    return Record(biff::kName, Le16(options) + Bytes{0, static_cast<std::uint8_t>(name.size())} +
                                   Le16(static_cast<unsigned>(definition.size())) + Bytes(8, 0) + Bytes{0} + test::Ascii(name) +
                                   definition);
}

// The globals' list of references (one entry: sheet One) and two names: "Total", sheet One's
// A1, and "Fun", a macro's function.
const Bytes kNames = Record(biff::kExternSheet, Le16(1) + Le16(0) + Le16(0) + Le16(0)) +
                     NameRecord(0, "Total", Bytes{0x3A} + Le16(0) + Le16(0) + Le16(0)) + NameRecord(0x000E, "Fun", {});

// Sheet One: a formula of constants, one of a cell of its own, a name's with a text result, an
// outside function's, another sheet's. Sheet Two: one of a cell of its own.
const Bytes kBook = test::Workbook(
    8, kNames,
    {{"One", Rows(0, 4) + Formula(5, 1, kNumberResult, kConstant) + Formula(6, 1, kNumberResult, kOwnCell) +
                 Formula(7, 1, kTextResult, kName) + Record(biff::kString, test::Biff8String("Ok.", 2)) +
                 Formula(8, 1, kTrueResult, kOutside) + Formula(9, 1, kNaResult, kOtherSheet) + Rows(10, 2)},
     {"Two", Rows(0, 40) + Formula(41, 1, test::Double(7), kOwnCell)}});

// The record types of the cells in column B, in order.
std::vector<std::uint16_t> ColumnB(const Bytes& stream)
{
    std::vector<std::uint16_t> types;
    for (const BiffRecord& record : ListRecords(stream)) {
        if (biff::IsCellRecord(record.type) && record.length >= 4 && LoadLe16(stream.data() + record.offset + 6) == 1)
            types.push_back(record.type);
    }
    return types;
}

struct Case {
    const char* what;
    SalvageReport report;
    std::vector<std::uint16_t> columnB;
    std::size_t needingGlobals, needingCells, leftOut;
    std::vector<std::string> gone;  // the cells left out
};

TEST(SalvageFormulas, FormulasWhoseNeedsWentKeepTheirValues)
{
    using biff::kBoolErr, biff::kFormula, biff::kLabel, biff::kNumber;
    const std::size_t sheetTwo = ReadWorkbookCells(kBook).sheets.at(1).offset;
    SalvageReport sheetLost;
    sheetLost.regions.push_back({MendedRegion::Kind::Replaced, sheetTwo + 100, 64, 1});
    SalvageReport streamLost;
    streamLost.dropped.push_back("_VBA_PROJECT_CUR/VBA/dir");
    const Case cases[] = {
        {"records of sheet Two lost", sheetLost, {kFormula, kFormula, kLabel, kBoolErr, kNumber}, 2, 1, 1, {"8,1 xf 15 boolean 1"}},
        {"the macros' stream lost", streamLost, {kFormula, kFormula, kFormula, kFormula, kFormula}, 0, 0, 1, {"8,1 xf 15 boolean 1"}},
        {"nothing lost", SalvageReport{}, {kFormula, kFormula, kFormula, kFormula, kFormula, kFormula}, 0, 0, 0, {}},
    };
    // The macro function's formula (B9) goes where it changes at all: no program that cannot run
    // the macro shows its cached TRUE for the intact workbook either.
    const std::vector<std::string> cells = test::CellLines(ReadWorkbookCells(kBook));
    for (Case c : cases) {
        std::vector<std::string> kept = cells;
        for (const std::string& cell : c.gone)
            ASSERT_EQ(std::erase(kept, cell), 1u) << cell;
        Bytes stream = kBook;
        FormulasWhoseNeedsWentBecomeValues(stream, c.report);
        EXPECT_EQ(stream.size(), kBook.size()) << c.what;
        EXPECT_EQ(FirstRecordDamage(stream), std::nullopt) << c.what << ": the records read on";
        EXPECT_EQ(test::CellLines(ReadWorkbookCells(stream)), kept)
            << c.what << ": every value as the workbook held it";
        EXPECT_EQ(ColumnB(stream), c.columnB) << c.what;
        EXPECT_EQ(c.report.formulasAsValues.needingGlobals, c.needingGlobals) << c.what;
        EXPECT_EQ(c.report.formulasAsValues.needingCells, c.needingCells) << c.what;
        EXPECT_EQ(c.report.formulasAsValues.leftOut, c.leftOut) << c.what;
        EXPECT_EQ(c.report.formulasAsValues.leftOutAt.size(), c.leftOut) << c.what;
    }
}

// What a formula that goes or becomes its value passes on to the formulas that name its cell:
// those naming the macro function's cell (B9), on its sheet or from another (through the list of
// references), go too, and so on along them; one naming a cell that became its value (B8)
// becomes its value too. A function of the Analysis ToolPak, called by an external name, is
// the programs' own: its formula keeps its value like any other; another add-in's goes.
TEST(SalvageFormulas, WhatNamesAFormulaThatWentFollowsIt)
{
    const Bytes references = Record(biff::kExternSheet, Le16(2) + Le16(0) + Le16(0) + Le16(0) + Le16(0) + Le16(1) + Le16(1));
    const Bytes addIn = Record(biff::kSupBook, Le16(1) + Le16(0x3A01));
    const auto book = [&](const std::string& function) {
        const Bytes externalName = Record(biff::kExternName, Le16(0) + Le32(0) + Bytes{static_cast<std::uint8_t>(function.size()), 0} +
                                                                 test::Ascii(function) + Le16(2) + Bytes{0x1C, 0x17});
        const Bytes ref = [](unsigned row, unsigned column) { return Bytes{0x24} + Le16(row) + Le16(0xC000 | column); }(8, 1);
        const Bytes call = Bytes{0x39} + Le16(0) + Le16(1) + Le16(0) + Bytes{0x1E} + Le16(3) + Bytes{0x22, 2} + Le16(255);
        return test::Workbook(
            8, addIn + externalName + references + NameRecord(0, "Total", Bytes{0x3A} + Le16(0) + Le16(0) + Le16(0)) +
                   NameRecord(0x000E, "Fun", {}),
            {{"One", Rows(0, 4) + Formula(7, 1, kNumberResult, kName) + Formula(7, 2, kNumberResult, Bytes{0x24} + Le16(7) + Le16(0xC001)) +
                         Formula(8, 1, kTrueResult, kOutside) + Formula(8, 2, kTrueResult, ref) +
                         Formula(8, 3, kTrueResult, Bytes{0x24} + Le16(8) + Le16(0xC002)) + Formula(9, 1, test::Double(40000), call)},
             {"Two", Rows(0, 40) + Formula(41, 1, kTrueResult, Bytes{0x3A} + Le16(0) + Le16(8) + Le16(0xC001))}});
    };
    const auto fates = [](const Bytes& intact) {
        SalvageReport report;
        report.regions.push_back({MendedRegion::Kind::Replaced, ReadWorkbookCells(intact).sheets.at(1).offset + 100, 64, 1});
        Bytes stream = intact;
        FormulasWhoseNeedsWentBecomeValues(stream, report);
        std::string text;
        for (const SheetCells& sheet : ReadWorkbookCells(stream).sheets) {
            for (const CellValue& cell : sheet.cells) {
                if (cell.column > 0)
                    text += std::to_string(cell.row) + "," + std::to_string(cell.column) + " ";
            }
        }
        return text + std::to_string(report.formulasAsValues.leftOut);
    };
    // B8 and C8 as values; B9 (the macro's), C9, D9 and sheet Two's B42 gone; B10 kept.
    EXPECT_EQ(fates(book("EOMONTH")), "7,1 7,2 9,1 4");
    EXPECT_EQ(fates(book("XLLFUNC")), "7,1 7,2 5");
    Bytes stream = book("EOMONTH");
    SalvageReport report;
    report.regions.push_back({MendedRegion::Kind::Replaced, ReadWorkbookCells(stream).sheets.at(1).offset + 100, 64, 1});
    FormulasWhoseNeedsWentBecomeValues(stream, report);
    EXPECT_EQ(report.formulasAsValues.needingGlobals + report.formulasAsValues.needingCells, 3u) << "B8, C8 and B10";
}

// A shared formula's cells name it by its first cell (a tExp token): its own expression says
// what they need. One of a cell of its own sheet stays where that sheet lost nothing; one of a
// name goes with any loss.
TEST(SalvageFormulas, ASharedFormulaNeedsWhatItsExpressionNames)
{
    const auto group = [](unsigned row, const Bytes& expression) {
        const Bytes exp = Bytes{0x01} + Le16(row) + Le16(1);
        const Bytes range = Le16(row) + Le16(row + 1) + Bytes{1, 1};
        return Formula(row, 1, kNumberResult, exp) +
               Record(biff::kSharedFormula, range + Bytes{0, 2} + Le16(static_cast<unsigned>(expression.size())) + expression) +
               Formula(row + 1, 1, kNumberResult, exp);
    };
    const Bytes ownRelative = Bytes{0x2C} + Le16(0) + Le16(0xC000);  // the cell to the left
    const Bytes book = test::Workbook(8, {}, {{"One", Rows(0, 4) + group(5, ownRelative) + group(8, kName) + Rows(10, 2)},
                                              {"Two", Rows(0, 40)}});
    SalvageReport sheetTwoLost;
    sheetTwoLost.regions.push_back({MendedRegion::Kind::Replaced, ReadWorkbookCells(book).sheets.at(1).offset + 100, 64, 1});
    Bytes stream = book;
    FormulasWhoseNeedsWentBecomeValues(stream, sheetTwoLost);
    using biff::kFormula, biff::kNumber;
    EXPECT_EQ(ColumnB(stream), (std::vector<std::uint16_t>{kFormula, kFormula, kNumber, kNumber}));
    EXPECT_EQ(sheetTwoLost.formulasAsValues.needingGlobals, 2u);
    EXPECT_EQ(test::CellLines(ReadWorkbookCells(stream)), test::CellLines(ReadWorkbookCells(book)));

    // The globals mended: a text cell of any sheet may have lost its shared string, and a
    // formula of its sheet's cells would be worked out again without it. All keep their values.
    SalvageReport globalsMended;
    globalsMended.regions.push_back({MendedRegion::Kind::Replaced, 40, 16, -1});
    stream = book;
    FormulasWhoseNeedsWentBecomeValues(stream, globalsMended);
    EXPECT_EQ(ColumnB(stream), (std::vector<std::uint16_t>{kNumber, kNumber, kNumber, kNumber}));
    EXPECT_EQ(globalsMended.formulasAsValues.needingCells, 2u);
    EXPECT_EQ(test::CellLines(ReadWorkbookCells(stream)), test::CellLines(ReadWorkbookCells(book)));
}

// A mended stretch that runs from one sheet's records over the next one's first: that sheet
// lost cells too, and its formulas of its own cells keep their values.
TEST(SalvageFormulas, AStretchOverASheetsStartTookThatSheetsCells)
{
    const Bytes book = test::Workbook(8, {}, {{"One", Rows(0, 40)}, {"Two", Rows(0, 4) + Formula(5, 1, kNumberResult, kOwnCell)}});
    SalvageReport overTwosStart;
    overTwosStart.regions.push_back({MendedRegion::Kind::Replaced, ReadWorkbookCells(book).sheets.at(1).offset - 8, 24, 0});
    Bytes stream = book;
    FormulasWhoseNeedsWentBecomeValues(stream, overTwosStart);
    EXPECT_EQ(ColumnB(stream), (std::vector<std::uint16_t>{biff::kNumber}));
    EXPECT_EQ(overTwosStart.formulasAsValues.needingCells, 1u);
}

// An encrypted workbook's formulas are the cipher's bytes: none is touched.
TEST(SalvageFormulas, AnEncryptedWorkbookIsLeftAlone)
{
    const Bytes encrypted = test::Workbook(8, Record(biff::kFilePass, Bytes(54, 0x5A)), {{"One", Formula(0, 1, kNumberResult, kName)}});
    SalvageReport report;
    report.dropped.push_back("anything");
    report.regions.push_back({MendedRegion::Kind::Replaced, 10, 64, -1});
    Bytes stream = encrypted;
    FormulasWhoseNeedsWentBecomeValues(stream, report);
    EXPECT_EQ(stream, encrypted);
    EXPECT_EQ(report.formulasAsValues.Total(), 0u);
}

}  // namespace
}  // namespace tabulon
