// The cell reader: every workbook of tests/data against xlrd, value for value; workbooks built
// here for each cell record, code page and way of finding sheets; and damaged streams, which
// may lose or spoil the cells the damage touches, and no others.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/wait.h>
#endif

#include "engine/biff/biff_cells.h"
#include "engine/biff/pieces.h"
#include "engine/base/byte_order.h"
#include "tests/support/biff_builder.h"
#include "tests/support/cell_lines.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

using test::Ascii;
using test::BofRecord;
using test::Cell;
using test::CellLines;
using test::Double;
using test::Le16;
using test::Le32;
using test::Record;
using test::Sheet;
using test::Workbook;
using test::operator+;

// A BIFF8 workbook with a cell of each kind. Its shared strings: "Alpha"; "Ωmega" in two-byte
// characters; "Split€", rich and with far-east data, whose characters change width in a
// CONTINUE record and whose runs are split by another; and U+1D11E as a surrogate pair.
Bytes SharedStrings(bool withContinuations = true)
{
    const Bytes sst = Record(biff::kSst, Le32(4) + Le32(4) + Le16(5) + Bytes{0} + Ascii("Alpha") + Le16(5) + Bytes{1} +
                                             Le16(0x3A9) + Le16('m') + Le16('e') + Le16('g') + Le16('a') + Le16(6) +
                                             Bytes{0x0C} + Le16(1) + Le32(4) + Ascii("Spl"));
    const Bytes first = Record(biff::kContinue, Bytes{1} + Le16('i') + Le16('t') + Le16(0x20AC) + Bytes{0, 0});
    const Bytes second = Record(biff::kContinue, Bytes{3, 0} + Bytes{1, 2, 3, 4} + Le16(2) + Bytes{1} + Le16(0xD834) + Le16(0xDD1E));
    return withContinuations ? sst + first + second : sst;
}

Bytes EveryKindOfCell()
{
    const Bytes stringResult = Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0xFF} + Le16(0) + Le32(0) + Le16(0);
    const auto marked = [](std::uint8_t type, std::uint8_t value) {
        return Bytes{type, 0, value, 0, 0, 0, 0xFF, 0xFF} + Le16(0) + Le32(0) + Le16(0);
    };
    return Record(biff::kNumber, Cell(0, 0) + Double(1.5)) +
           Record(biff::kRk, Cell(0, 1) + Le32((42u << 2) | 2)) +           // integer
           Record(biff::kRk, Cell(0, 2) + Le32((123u << 2) | 3)) +          // integer / 100
           Record(biff::kRk, Cell(0, 3, 16) + Le32(0x3FE0'0000)) +          // 0.5, the top of a double
           Record(biff::kMulRk, Le16(1) + Le16(0) + Le16(20) + Le32(static_cast<std::uint32_t>(-7 * 4 + 2)) + Le16(21) +
                                    Le32((314u << 2) | 3) + Le16(22) + Le32(0x4004'0001) + Le16(2)) +  // -7, 3.14, 2.5 / 100
           Record(biff::kLabelSst, Cell(2, 0) + Le32(0)) + Record(biff::kLabelSst, Cell(2, 1) + Le32(1)) +
           Record(biff::kLabelSst, Cell(2, 2) + Le32(2)) + Record(biff::kLabelSst, Cell(2, 3) + Le32(3)) +
           Record(biff::kLabelSst, Cell(2, 4) + Le32(99)) +  // no such string
           Record(biff::kLabel, Cell(3, 0) + Le16(5) + Bytes{0} + Ascii("Label")) +
           Record(biff::kRString, Cell(3, 1) + Le16(4) + Bytes{0} + Ascii("Rich") + Le16(1) + Bytes{0, 0, 1, 0}) +
           Record(biff::kBoolErr, Cell(4, 0) + Bytes{1, 0}) + Record(biff::kBoolErr, Cell(4, 1) + Bytes{0x07, 1}) +
           Record(biff::kFormula, Cell(5, 0) + Double(2.25) + Le16(0) + Le32(0) + Le16(0)) +
           Record(biff::kFormula, Cell(5, 1) + stringResult) + Record(biff::kSharedFormula, Bytes(10, 0)) +  // shared formula between
           Record(biff::kString, Le16(4) + Bytes{0} + Ascii("Made")) +
           Record(biff::kFormula, Cell(5, 2) + marked(1, 0)) + Record(biff::kFormula, Cell(5, 3) + marked(2, 0x2A)) +
           Record(biff::kFormula, Cell(5, 4) + marked(3, 0)) +
           Record(biff::kFormula, Cell(5, 5) + stringResult) + Record(biff::kString, Le16(6) + Bytes{0} + Ascii("Lon")) +
           Record(biff::kContinue, Bytes{1} + Le16('g') + Le16('e') + Le16('r')) +
           Record(biff::kString, Le16(3) + Bytes{0} + Ascii("Odd")) +  // a STRING no formula waits for
           Record(biff::kBlank, Cell(6, 0)) + Record(biff::kMulBlank, Le16(6) + Le16(1) + Le16(15) + Le16(15) + Le16(2));
}

// Every cell of `damaged` is a cell of `whole`: damage may lose cells but never invents one.
void ExpectSubset(const WorkbookCells& damaged, const WorkbookCells& whole, const std::string& what)
{
    const std::multiset<std::string> known = test::AllCellLines(whole);
    for (const std::string& cell : test::AllCellLines(damaged))
        EXPECT_TRUE(known.count(cell)) << what << ": cell " << cell << " is not in the intact workbook";
}

TEST(BiffCells, ReadsEveryKindOfCell)
{
    const WorkbookCells book = ReadWorkbookCells(Workbook(8, Record(biff::kCodePage, Le16(1200)) + Record(biff::kDateMode, Le16(1)) +
                                                                 SharedStrings(),
                                                             {{"Daten", EveryKindOfCell()}}));
    EXPECT_EQ(book.biffVersion, 8);
    EXPECT_EQ(book.codePage, 1200);
    EXPECT_TRUE(book.date1904);
    EXPECT_FALSE(book.encrypted);
    ASSERT_EQ(book.sheets.size(), 1u);
    EXPECT_EQ(book.sheets[0].name, "Daten");
    const std::vector<std::string> expected = {
        "0,0 xf 15 number 1.5",         "0,1 xf 15 number 42",         "0,2 xf 15 number 1.23",
        "0,3 xf 16 number 0.5",         "1,0 xf 20 number -7",         "1,1 xf 21 number 3.1400000000000001",
        "1,2 xf 22 number 0.025000000000000001",       "2,0 xf 15 text \"Alpha\"",    "2,1 xf 15 text \"Ωmega\"",
        "2,2 xf 15 text \"Split€\"",    "2,3 xf 15 text \"\U0001D11E\"", "3,0 xf 15 text \"Label\"",
        "3,1 xf 15 text \"Rich\"",      "4,0 xf 15 boolean 1",         "4,1 xf 15 error 7",
        "5,0 xf 15 number 2.25",        "5,1 xf 15 text \"Made\"",     "5,2 xf 15 boolean 0",
        "5,3 xf 15 error 42",           "5,4 xf 15 text \"\"",         "5,5 xf 15 text \"Longer\"",
    };
    EXPECT_EQ(CellLines(book.sheets[0].cells), expected);
}

// The older types of cells and FORMULA, as readers take them in any version's stream: BIFF2's
// cells (a 3-byte cell attribute before the value), FORMULA of BIFF3 and BIFF4 (as some writers
// still give it) and a BOOLERR of 9 bytes in a BIFF8 workbook; then BIFF2 and BIFF4 streams,
// whose FORMULA has its version's layout. Every record is one of the vocabulary, and the walk
// takes them all as they are.
TEST(BiffCells, ReadsTheOlderTypesOfCells)
{
    const Bytes textResult = Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    const Bytes biff8 = Workbook(
        8, {},
        {{"Alt", Record(biff::kFormula4, Cell(0, 0) + Double(2.5) + Le16(0) + Le32(0) + Le16(0)) +
                     Record(biff::kFormula3, Cell(0, 1) + textResult + Le16(0) + Le32(0) + Le16(0)) +
                     Record(biff::kString, test::Biff8String("Vier", 2)) +
                     Record(biff::kNumber2, test::Biff2Cell(1, 0, 16) + Double(-1.25)) +
                     Record(biff::kInteger2, test::Biff2Cell(1, 1) + Le16(65535)) +
                     Record(biff::kLabel2, test::Biff2Cell(1, 2) + test::Biff8String("Zwei", 2)) +
                     Record(biff::kBoolErr2, test::Biff2Cell(1, 3) + Bytes{0x2A, 1}) + Record(biff::kBlank2, test::Biff2Cell(1, 4)) +
                     Record(biff::kBoolErr, Cell(2, 0) + Bytes{1, 0, 0})}});
    const Bytes biff2 =
        test::OlderBofRecord(2, 0x10) + Record(biff::kDimensions2, Le16(0) + Le16(2) + Le16(0) + Le16(2)) +
        Record(biff::kFormula, test::Biff2Cell(0, 0, 3) + Double(7) + Bytes{0, 3, 0x1E, 7, 0}) +  // =7
        Record(biff::kFormula, test::Biff2Cell(0, 1) + textResult + Bytes{0, 0}) + Record(biff::kString2, Bytes{3} + Ascii("Ja!")) +
        Record(biff::kLabel2, test::Biff2Cell(1, 0) + Bytes{4} + Ascii("Text")) +
        Record(biff::kNumber2, test::Biff2Cell(1, 1) + Double(0.125)) + Record(biff::kEof, {});
    const Bytes biff4 = test::OlderBofRecord(4, 0x10) + Record(biff::kFormula4, Cell(0, 0) + Double(3) + Le16(0) + Le16(0)) +
                        Record(biff::kLabel, Cell(0, 1) + Le16(2) + Ascii("Da")) + Record(biff::kEof, {});
    const struct {
        const char* name;
        const Bytes& stream;
        std::vector<std::string> cells;
    } cases[] = {
        {"BIFF8", biff8,
         {"0,0 xf 15 number 2.5", "0,1 xf 15 text \"Vier\"", "1,0 xf 16 number -1.25", "1,1 xf 15 number 65535",
          "1,2 xf 15 text \"Zwei\"", "1,3 xf 15 error 42", "2,0 xf 15 boolean 1"}},
        {"BIFF2", biff2,
         {"0,0 xf 3 number 7", "0,1 xf 15 text \"Ja!\"", "1,0 xf 15 text \"Text\"", "1,1 xf 15 number 0.125"}},
        {"BIFF4", biff4, {"0,0 xf 15 number 3", "0,1 xf 15 text \"Da\""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t offset = 0, count = 0;
        for (; offset + 4 <= c.stream.size(); ++count) {
            const std::optional<BiffRecord> r = RecordAt(c.stream, static_cast<std::uint32_t>(offset));
            ASSERT_TRUE(r);
            EXPECT_TRUE(KnownRecord(r->type, r->length)) << "type " << r->type << ", length " << r->length;
            offset += 4u + r->length;
        }
        EXPECT_EQ(ListRecords(c.stream).size(), count);
        const WorkbookCells book = ReadWorkbookCells(c.stream);
        ASSERT_EQ(book.sheets.size(), 1u);
        EXPECT_EQ(CellLines(book.sheets[0].cells), c.cells);
    }
}

TEST(BiffCells, DecodesSingleByteTextByTheCodePage)
{
    struct Case {
        const char* name;
        std::optional<unsigned> codePage;
        Bytes text;
        std::string expected;
    };
    const Case cases[] = {
        {"no CODEPAGE: Windows 1252", std::nullopt, {'a', 0x80, 0xE9}, "a€é"},
        {"Windows 1252", 1252, {0x9C, 0xFF}, "œÿ"},
        {"Windows 1252 has no 0x81", 1252, {0x81}, "\uFFFD"},
        {"Windows 1250", 1250, {0x8A, 0xB9}, "Šą"},
        {"Windows 1251", 1251, {0xC0, 0xFF}, "Ая"},
        {"Mac Roman", 32768, {0x80, 0xA5}, "Ä•"},
        {"ASCII", 367, {'o', 'k', 0xE9}, "ok\uFFFD"},
        {"Shift-JIS: one character for two bytes", 932, {0x82, 0xA0, 'x'}, "\uFFFDx"},
    };
    for (const Case& c : cases) {
        // The CODEPAGE record comes after the BOUNDSHEET: the sheet's name waits for it.
        const Bytes codePage = c.codePage ? Record(biff::kCodePage, Le16(*c.codePage)) : Bytes{};
        const Bytes label = Record(biff::kLabel, Cell(0, 0) + Le16(static_cast<unsigned>(c.text.size())) + c.text);
        const Bytes stream = Workbook(5, {}, {{std::string(c.text.begin(), c.text.end()), label}}, {}, codePage);
        const WorkbookCells book = ReadWorkbookCells(stream);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(book.biffVersion, 5);
        EXPECT_EQ(book.codePage, c.codePage.value_or(1252));
        ASSERT_EQ(book.sheets.size(), 1u);
        ASSERT_EQ(book.sheets[0].cells.size(), 1u);
        EXPECT_EQ(book.sheets[0].cells[0].text, c.expected);
        EXPECT_EQ(book.sheets[0].name, c.expected);
    }
}

TEST(BiffCells, FindsSheetsWhereTheirOffsetsFail)
{
    const std::vector<Sheet> sheets = {{"One", Record(biff::kNumber, Cell(0, 0) + Double(1)) + Record(biff::kNumber, Cell(1, 0) + Double(2))},
                                       {"Two", Record(biff::kNumber, Cell(0, 0) + Double(3))}};
    const Bytes intact = Workbook(8, {}, sheets);
    const WorkbookCells reference = ReadWorkbookCells(intact);
    ASSERT_EQ(reference.sheets.size(), 2u);
    ASSERT_EQ(reference.sheets[0].cells.size(), 2u);
    const std::uint32_t first = reference.sheets[0].offset, second = reference.sheets[1].offset;
    WorkbookCells once = reference, unnamed = reference;
    once.sheets[0].cells = reference.sheets[1].cells;
    once.sheets[1].cells.clear();
    for (SheetCells& sheet : unnamed.sheets)
        sheet.name.clear();
    const Bytes withoutGlobals(intact.begin() + first, intact.end());
    const struct {
        const char* name;
        Bytes stream;
        const WorkbookCells& expected;
        int biff;
        std::uint32_t offset;  // where the first sheet is found
    } cases[] = {
        // The sheets take their places in stream order.
        {"an offset past the end", Workbook(8, {}, sheets, {0xFFFF'FF00u}), reference, 8, first},
        {"an offset inside a record", Workbook(8, {}, sheets, {first + 6}), reference, 8, first},
        {"both at one offset: that sheet is read once", Workbook(8, {}, sheets, {second, second}), once, 8, second},
        {"no globals", withoutGlobals, unnamed, 0, 0},
        {"no BOUNDSHEET", BofRecord(8, 5) + Record(biff::kEof, {}) + withoutGlobals, unnamed, 8, 24},
    };
    for (const auto& c : cases) {
        const WorkbookCells book = ReadWorkbookCells(c.stream);
        EXPECT_EQ(book.biffVersion, c.biff) << c.name;
        EXPECT_EQ(CellLines(book), CellLines(c.expected)) << c.name;
        EXPECT_EQ(book.sheets.at(0).offset, c.offset) << c.name;
    }
    // An encrypted workbook: the sheets are there, their cells cannot be read.
    const WorkbookCells book = ReadWorkbookCells(Workbook(8, Record(biff::kFilePass, Bytes(6, 0)), {sheets[0]}));
    EXPECT_TRUE(book.encrypted);
    ASSERT_EQ(book.sheets.size(), 1u);
    EXPECT_TRUE(book.sheets[0].cells.empty());
}

TEST(BiffCells, DamagedStreamsGiveOnlyCellsTheIntactOneHas)
{
    const Bytes intact = Workbook(8, SharedStrings(), {{"Daten", EveryKindOfCell()}});
    const WorkbookCells reference = ReadWorkbookCells(intact);
    ASSERT_EQ(reference.sheets.at(0).cells.size(), 21u);

    for (std::size_t length = 0; length < intact.size(); ++length)
        ExpectSubset(ReadWorkbookCells(Bytes(intact.begin(), intact.begin() + static_cast<std::ptrdiff_t>(length))),
                     reference, "cut at " + std::to_string(length));

    // The SST's CONTINUE records lost: the strings before them are still there.
    const WorkbookCells cut = ReadWorkbookCells(Workbook(8, SharedStrings(false), {{"Daten", EveryKindOfCell()}}));
    ExpectSubset(cut, reference, "CONTINUE records lost");
    EXPECT_EQ(cut.sheets.at(0).cells.size(), 19u);  // "Split€" and U+1D11E are gone

    // The SST's length reaches past the end: the cells that need no shared string remain.
    Bytes overlong = intact;
    const std::vector<BiffRecord> records = ListRecords(intact);
    const auto sst = std::find_if(records.begin(), records.end(), [](const BiffRecord& r) { return r.type == biff::kSst; });
    ASSERT_NE(sst, records.end());
    StoreLe16(overlong.data() + sst->offset + 2, 0xFFFF);
    const WorkbookCells withoutStrings = ReadWorkbookCells(overlong);
    ExpectSubset(withoutStrings, reference, "SST too long");
    EXPECT_EQ(withoutStrings.sheets.at(0).cells.size(), 17u);
}

// A stream whose chain of records breaks every few records: each break is searched past
// within a window of the stream, and the work stays in proportion to the stream (before it
// did not, this took minutes).
TEST(BiffCells, ChainsBrokenOverAndOverAreReadInBoundedTime)
{
    Bytes stream = BofRecord(8, 0x10);
    const Bytes pattern = Record(biff::kNumber, Cell(1, 2) + Double(4)) + Record(biff::kNumber, Cell(1, 2) + Double(4)) + Bytes(4, 0xEE);
    while (stream.size() < (1u << 20))
        stream.insert(stream.end(), pattern.begin(), pattern.end());
    const auto started = std::chrono::steady_clock::now();
    const WorkbookCells book = ReadWorkbookCells(stream);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    ASSERT_EQ(book.sheets.size(), 1u);
    EXPECT_EQ(book.sheets[0].cells.size(), 2 * ((stream.size() - 20) / pattern.size()));
}

// Zeroed 512-byte blocks in a real workbook's sheets: reading picks up again right after the
// block. The cells of the records the block touches are lost or, with a header left whole and
// its body zeroed, spoiled; no more than those.
TEST(BiffCells, ReadingGoesOnPastAZeroedBlock)
{
    const std::optional<Bytes> stream = test::WorkbookStreamOf(test::TestWorkbook("poi__47847.xls"));
    ASSERT_TRUE(stream);
    const WorkbookCells reference = ReadWorkbookCells(*stream);
    ASSERT_EQ(reference.sheets.size(), 3u);
    const std::multiset<std::string> intact = test::AllCellLines(reference);
    const std::vector<BiffRecord> records = ListRecords(*stream);

    int checked = 0;
    for (std::size_t block = reference.sheets[0].offset; block < stream->size(); block += 3 * 512) {
        const std::size_t end = std::min(stream->size(), block + 512);
        std::size_t touched = 0;  // cells in the records the block touches
        bool bofHit = false;
        for (const BiffRecord& r : records) {
            if (r.offset >= end || r.offset + 4u + r.length <= block)
                continue;
            bofHit |= r.type == biff::kBof;
            switch (r.type) {
            case biff::kFormula: case biff::kRString: case biff::kLabelSst: case biff::kNumber:
            case biff::kLabel: case biff::kBoolErr: case biff::kString: case biff::kRk:
                ++touched;
                break;
            case biff::kMulRk: touched += (r.length - 6u) / 6u; break;
            default: break;
            }
        }
        Bytes damaged = *stream;
        std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(block), damaged.begin() + static_cast<std::ptrdiff_t>(end), 0);
        std::multiset<std::string> unmatched = intact;
        std::size_t spoiled = 0;
        for (const std::string& cell : test::AllCellLines(ReadWorkbookCells(damaged))) {
            const auto match = unmatched.find(cell);
            if (match == unmatched.end())
                ++spoiled;
            else
                unmatched.erase(match);
        }
        const std::string where = "block at " + std::to_string(block);
        EXPECT_LE(spoiled, touched) << where;
        if (!bofHit) {  // else the sheet cannot be found any more
            EXPECT_LE(unmatched.size(), touched) << where;
        }
        ++checked;
    }
    EXPECT_GT(checked, 30);
}

TEST(BiffCells, TellsDateFormatsByTheirCodes)
{
    const struct {
        const char* code;
        bool date;
    } cases[] = {
        {"yyyy-mm-dd", true},
        {"d/m/yy h:mm", true},
        {"[h]:mm:ss", true},                      // elapsed hours: the bracket goes, minutes and seconds stay
        {"mm:ss.0", true},                        // four letters outweigh one digit place
        {"[$-409]mmmm d, yyyy;@", true},          // a locale in brackets
        {"hh\\hmm\\m", true},                     // escaped letters do not count, the others do
        {"0.00", false},
        {"#,##0", false},
        {"General", false},
        {"@", false},
        {"0.00E+00", false},
        {"[Red]0.00", false},                     // the d of a colour in brackets
        {"0\\d", false},                          // an escaped d
        {"#,##0 \"days\"", false},                // quoted text
        {"_(* #,##0_);_(* (#,##0);_(* \"-\"_);_(@_)", false},
        {"ss.00", false},                         // as many digit places as letters
        {"\"Jahr\" yyyy", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsDateFormatCode(c.code), c.date) << c.code;
}

// The XF records of the globals give each cell's number format; FORMAT records define formats,
// also over a built-in index, and the built-in date formats count without one.
TEST(BiffCells, TellsDateCellsByTheirFormats)
{
    const struct {
        const char* name;
        unsigned format;  // of the cell's XF
        bool date;
    } xfs[] = {
        {"General", 0, false},
        {"built-in date 14 redefined as a number", 14, false},
        {"custom date", 164, true},
        {"custom number", 165, false},
        {"built-in date 22", 22, true},
        {"built-in time 47", 47, true},
        {"built-in text 49", 49, false},
        {"built-in East Asian date 31", 31, true},
    };
    for (const int biff : {8, 5}) {
        Bytes globals = test::FormatRecord(biff, 14, "0.0") + test::FormatRecord(biff, 164, "dd/mm/yyyy hh:mm") +
                        test::FormatRecord(biff, 165, "0.00%");
        Bytes cells;
        for (unsigned i = 0; i < std::size(xfs); ++i) {
            globals = globals + test::XfRecord(biff, xfs[i].format);
            cells = cells + Record(biff::kNumber, Cell(i, 0, i) + Double(39511.5));
        }
        cells = cells + Record(biff::kNumber, Cell(20, 0, 99) + Double(1)) +  // no such XF
                Record(biff::kLabel, Cell(21, 0, 2) + Le16(4) + (biff == 8 ? Bytes{0} : Bytes{}) + Ascii("text"));
        const WorkbookCells book = ReadWorkbookCells(Workbook(biff, globals, {{"Dates", cells}}));
        ASSERT_EQ(book.sheets.size(), 1u);
        const std::vector<CellValue>& read = book.sheets[0].cells;
        ASSERT_EQ(read.size(), std::size(xfs) + 2);
        EXPECT_EQ(book.dateFormats.size(), std::size(xfs));
        for (std::size_t i = 0; i < std::size(xfs); ++i)
            EXPECT_EQ(IsDate(book, read[i]), xfs[i].date) << "BIFF" << biff << ": " << xfs[i].name;
        EXPECT_FALSE(IsDate(book, read[std::size(xfs)])) << "an XF the globals do not have";
        EXPECT_FALSE(IsDate(book, read[std::size(xfs) + 1])) << "text in a date format";
    }
}

// Characters that go on in the next piece behind a flags byte of their own, which may change
// their width: skipping them must leave the reader where reading them does.
TEST(Pieces, SkippingCharactersEndsWhereReadingThemDoes)
{
    const std::vector<std::uint8_t> first = {'a', 'b'};
    const std::vector<std::uint8_t> second = {0x01, 'c', 0, 0x3A, 0x26, 0x7F};  // wide from here: "c", U+263A
    const std::vector<std::uint8_t> cut = {0x01, 'c', 0, 0x3A};                 // half a wide character
    const std::vector<std::uint8_t> empty;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> next;
        bool reads;
    } cases[] = {{"width changes", second, true}, {"half a character", cut, false}, {"an empty piece", empty, false}};
    for (const Case& c : cases) {
        const std::vector<std::span<const std::uint8_t>> bodies = {first, c.next};
        Pieces read(bodies), skip(bodies);
        std::u16string units;
        EXPECT_EQ(read.Chars(4, false, units), c.reads) << c.name;
        EXPECT_EQ(skip.SkipChars(4, false), c.reads) << c.name;
        if (!c.reads)
            continue;
        EXPECT_EQ(units, u"abc\u263A") << c.name;
        std::uint8_t after = 0;
        ASSERT_TRUE(skip.Byte(after)) << c.name;
        EXPECT_EQ(after, 0x7F) << c.name;
        EXPECT_EQ(read.Here(), skip.Here() - 1) << c.name;
    }
}

// Whether each shared string holds text, told without decoding it (as the salvage counts the
// texts a mended table lost), agrees with the texts read whole: empty strings, narrow or wide
// or rich, hold none; characters that go on in a CONTINUE record count; a string cut short
// ends the table there in both.
TEST(BiffCells, SharedStringsHoldingTextAgreeWithTheirTexts)
{
    const Bytes sst = Record(biff::kSst, Le32(7) + Le32(7) + Le16(0) + Bytes{0} + Le16(5) + Bytes{0} + Ascii("Alpha") +
                                         Le16(0) + Bytes{1} + Le16(5) + Bytes{1} + Le16(0x3A9) + Le16('m'));
    const Bytes more = Record(biff::kContinue, Bytes{1} + Le16('e') + Le16('g') + Le16('a') + Le16(0) + Bytes{0x08} + Le16(1) +
                                          Bytes{0, 0, 1, 0} + Le16(9) + Bytes{0} + Ascii("cut"));
    const Bytes stream = BofRecord(8, 0x0005) + sst + more + Record(biff::kEof, {});
    const biff::Globals texts = biff::ReadGlobals(stream, biff::SharedStrings::Texts);
    const biff::Globals presence = biff::ReadGlobals(stream, biff::SharedStrings::Presence);
    EXPECT_EQ(texts.sharedStrings, (std::vector<std::string>{"", "Alpha", "", "\u03A9mega", ""}));
    ASSERT_EQ(presence.sharedStringHasText.size(), texts.sharedStrings.size());
    for (std::size_t i = 0; i < texts.sharedStrings.size(); ++i)
        EXPECT_EQ(presence.sharedStringHasText[i], !texts.sharedStrings[i].empty()) << "string " << i;
}

TEST(PlausibleRecord, EveryRecordOfTheTestWorkbooksAndNoNonsense)
{
    for (const std::string& name : test::TestWorkbookNames()) {
        const std::optional<Bytes> stream = test::WorkbookStreamOf(test::TestWorkbook(name));
        ASSERT_TRUE(stream) << name;
        // The chain of records from the start, up to the padding some programs leave.
        std::size_t offset = 0, count = 0;
        while (const std::optional<BiffRecord> r = RecordAt(*stream, static_cast<std::uint32_t>(offset))) {
            if (std::all_of(stream->begin() + static_cast<std::ptrdiff_t>(offset), stream->end(), [](auto b) { return b == 0; }))
                break;
            EXPECT_TRUE(PlausibleRecord(r->type, r->length))
                << name << " at " << offset << ": type " << r->type << ", length " << r->length;
            offset += 4u + r->length;
            ++count;
        }
        EXPECT_TRUE(stream->size() - offset < 4 ||
                    std::all_of(stream->begin() + static_cast<std::ptrdiff_t>(offset), stream->end(), [](auto b) { return b == 0; }))
            << name << ": the chain breaks at " << offset;
        EXPECT_GT(count, 20u) << name;
        // Walking never takes an intact chain for a broken one.
        EXPECT_EQ(ListRecords(*stream).size(), count) << name;
    }
    const std::pair<std::uint16_t, std::uint16_t> nonsense[] = {
        {biff::kDimensions2, 0}, {0xFFFF, 8}, {0x7777, 4}, {biff::kNumber, 13}, {biff::kLabelSst, 11}, {biff::kBof, 0},
        {biff::kEof, 1}, {biff::kBoundSheet, 6},
        // Later versions' cells whose type lost a bit to BIFF2's, and the older FORMULA and BOF short.
        {biff::kNumber2, 14}, {biff::kBlank2, 6}, {biff::kBoolErr2, 8}, {biff::kFormula4, 17}, {biff::kFormula3, 14}, {biff::kBof2, 2},
    };
    for (const auto& [type, length] : nonsense)
        EXPECT_FALSE(KnownRecord(type, length) || PlausibleRecord(type, length)) << type << ", " << length;
    // Records readers take where the chain holds, but no evidence where it breaks: what begins
    // a cell in row 0, column 9 or in row 3, column 15 with XF 15 looks like them.
    const std::pair<std::uint16_t, std::uint16_t> chainOnly[] = {
        {biff::kDimensions2, 9}, {biff::kNumber2, 15}, {biff::kBof2, 4}, {biff::kFormula4, 18}};
    for (const auto& [type, length] : chainOnly)
        EXPECT_TRUE(KnownRecord(type, length) && !PlausibleRecord(type, length)) << type << ", " << length;
}

// ---------------------------------------------------------------------------------------
// Against xlrd, through tests/tools/read_cells.py.

#if defined(__unix__) || defined(__APPLE__)
// The command's output and exit status.
std::pair<std::string, int> Run(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return {out, -1};
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// A Python with xlrd: $TABULON_PYTHON, python3 or the system's own.
std::optional<std::string> PythonWithXlrd()
{
    std::vector<std::string> candidates = {"python3", "/usr/bin/python3"};
    if (const char* chosen = std::getenv("TABULON_PYTHON"))
        candidates.insert(candidates.begin(), chosen);
    for (const std::string& python : candidates) {
        if (Run(python + " -c 'import xlrd' 2>/dev/null").second == 0)
            return python;
    }
    return std::nullopt;
}
#else
std::pair<std::string, int> Run(const std::string&) { return {"", -1}; }
std::optional<std::string> PythonWithXlrd() { return std::nullopt; }
#endif

// A JSON string as read_cells.py writes it, to UTF-8.
std::string FromJson(const std::string& json)
{
    std::string out;
    for (std::size_t i = 1; i + 1 < json.size(); ++i) {
        if (json[i] != '\\') {
            out += json[i];
            continue;
        }
        const char escaped = json[++i];
        switch (escaped) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u':  // read_cells.py writes all but control characters as they are
            out += static_cast<char>(std::stoul(json.substr(i + 1, 4), nullptr, 16));
            i += 4;
            break;
        default: out += escaped; break;  // \" \\ \/
        }
    }
    return out;
}

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        fields.push_back(line.substr(from, tab - from));
    fields.push_back(line.substr(from));
    return fields;
}

struct Comparison {
    std::vector<std::string> differences;  // in words
    bool unreadable = false;               // by xlrd (exit status 4): nothing is compared
    bool encrypted = false;                // as ReadWorkbookCells found it
};

// xlrd's reading of `path` against ReadWorkbookCells' of its stream.
Comparison CompareWithXlrd(const std::string& python, const fs::path& path)
{
    const fs::path script = fs::path(TABULON_TEST_DATA).parent_path() / "tools" / "read_cells.py";
    const auto [output, status] = Run(python + " '" + script.string() + "' '" + path.string() + "' 2>/dev/null");
    const std::optional<Bytes> stream = test::WorkbookStreamOf(test::ReadWholeFile(path));
    if (!stream)
        return {{"no workbook stream"}};
    const WorkbookCells ours = ReadWorkbookCells(*stream);
    Comparison result;
    result.encrypted = ours.encrypted;
    result.unreadable = status == 4;
    std::vector<std::string>& differences = result.differences;
    if (status != 0 && status != 4)
        differences.push_back("read_cells.py failed with status " + std::to_string(status));
    if (status != 0)
        return result;

    using Key = std::tuple<int, int, int>;
    std::vector<std::string> theirNames, ourNames;
    std::map<Key, std::vector<std::string>> theirs;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> f = Split(line);
        if (f[0] == "sheet" && f.size() == 3)
            theirNames.push_back(FromJson(f[2]));
        else if (f[0] == "cell" && f.size() == 7)
            theirs[{std::stoi(f[1]), std::stoi(f[2]), std::stoi(f[3])}] = f;
    }
    std::map<Key, const CellValue*> mine;  // the last one of a place counts, as in xlrd
    for (const SheetCells& sheet : ours.sheets) {
        if (sheet.kind != 0)
            continue;  // xlrd leaves out charts, macro sheets and modules
        for (const CellValue& cell : sheet.cells)
            mine[{static_cast<int>(ourNames.size()), cell.row, cell.column}] = &cell;
        ourNames.push_back(sheet.name);
    }
    if (ourNames != theirNames)
        differences.push_back("the worksheets differ in number or names");
    const char* kinds[] = {"number", "text", "boolean", "error"};
    for (const auto& [key, f] : theirs) {
        const auto [sheet, row, column] = key;
        const std::string where = "sheet " + std::to_string(sheet) + " cell " + std::to_string(row) + "," + std::to_string(column);
        const auto found = mine.find(key);
        if (found == mine.end()) {
            differences.push_back(where + ": missing, xlrd has " + f[4] + " " + f[5]);
            continue;
        }
        const CellValue& cell = *found->second;
        mine.erase(found);
        bool same = f[4] == kinds[static_cast<int>(cell.kind)];
        if (same && cell.kind == CellKind::Number)
            same = std::strtod(f[5].c_str(), nullptr) == cell.number;
        else if (same && cell.kind == CellKind::Text)
            same = FromJson(f[5]) == cell.text;
        else if (same)
            same = std::stoi(f[5]) == cell.code;
        if (same && f[6] != "-1")
            same = std::stoi(f[6]) == cell.format;
        if (!same)
            differences.push_back(where + ": " + test::CellLine(cell) + ", xlrd has " + f[4] + " " + f[5] + " xf " + f[6]);
    }
    for (const auto& [key, cell] : mine)
        differences.push_back("sheet " + std::to_string(std::get<0>(key)) + ": " + test::CellLine(*cell) + " is not in xlrd's reading");
    return result;
}

std::string FirstOf(const std::vector<std::string>& differences)
{
    std::string text;
    for (std::size_t i = 0; i < differences.size() && i < 12; ++i)
        text += "\n  " + differences[i];
    return text;
}

class AgainstXlrd : public testing::TestWithParam<std::string> {};

TEST_P(AgainstXlrd, SameCellsAsXlrd)
{
    const std::optional<std::string> python = PythonWithXlrd();
    if (!python)
        GTEST_SKIP() << "no python3 with the xlrd module (Debian: python3-xlrd)";
    const Comparison comparison = CompareWithXlrd(*python, test::TestWorkbookPath(GetParam()));
    EXPECT_FALSE(comparison.unreadable) << "xlrd cannot read " << GetParam();
    EXPECT_TRUE(comparison.differences.empty())
        << GetParam() << ": " << comparison.differences.size() << " differences:" << FirstOf(comparison.differences);
}

// Named by place: the file names hold words test names do without.
INSTANTIATE_TEST_SUITE_P(TestData, AgainstXlrd, testing::ValuesIn(test::TestWorkbookNames()),
                         [](const testing::TestParamInfo<std::string>& workbook) {
                             return "Workbook" + std::to_string(workbook.index);
                         });

// A further folder of workbooks, named by $TABULON_CELLS_CORPUS. xlrd cannot read encrypted
// ones, and the reader must find them encrypted.
TEST(AgainstXlrdCorpus, SameCellsAsXlrd)
{
    const char* folder = std::getenv("TABULON_CELLS_CORPUS");
    const std::optional<std::string> python = PythonWithXlrd();
    if (!folder || !python)
        GTEST_SKIP() << "needs $TABULON_CELLS_CORPUS and a python3 with xlrd";
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".xls")
            continue;
        const Comparison comparison = CompareWithXlrd(*python, entry.path());
        if (comparison.unreadable) {
            EXPECT_TRUE(comparison.encrypted) << "xlrd cannot read " << entry.path().filename();
            continue;
        }
        ++compared;
        EXPECT_TRUE(comparison.differences.empty()) << entry.path().filename() << ": " << comparison.differences.size()
                                                    << " differences:" << FirstOf(comparison.differences);
    }
    std::printf("%d workbooks compared\n", compared);
    EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace tabulon
