// Cells as text, sheets as CSV and the files they go into.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>

#include "engine/export/cell_text.h"
#include "engine/export/csv_export.h"
#include "tests/support/biff_builder.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::Cell;
using test::Double;
using test::Le16;
using test::Record;
using test::operator+;

TEST(CellText, SerialsAreDatesOfTheirSystem)
{
    const struct {
        const char* name;
        double serial;
        bool date1904;
        std::optional<std::string> text;
    } cases[] = {
        {"1900: the first day", 1, false, "1900-01-01"},
        {"1900: the last day before the one that never was", 59, false, "1900-02-28"},
        {"1900: 29 February 1900 never was", 60, false, std::nullopt},
        {"1900: the day after it", 61, false, "1900-03-01"},
        {"1900: a date", 39511, false, "2008-03-04"},
        {"1900: a date and time", 39511 + (13 * 60 + 5) / 1440.0, false, "2008-03-04T13:05:00"},
        {"1900: the last day there is", 2958465, false, "9999-12-31"},
        {"1900: past the year 9999", 2958466, false, std::nullopt},
        {"a time alone", 0.75, false, "18:00:00"},
        {"a time alone rounded up to the next day", 0.999999999, false, "1900-01-01"},
        {"midnight", 0, false, "00:00:00"},
        {"negative", -1, false, std::nullopt},
        {"not a number", std::nan(""), false, std::nullopt},
        {"1904: its second day", 1, true, "1904-01-02"},
        {"1904: a date", 39511 - 1462, true, "2008-03-04"},
        {"1904: a time alone", 0.5, true, "12:00:00"},
    };
    for (const auto& c : cases) {
        const std::optional<DateTime> dateTime = DateTimeFromSerial(c.serial, c.date1904);
        if (!c.text) {
            EXPECT_FALSE(dateTime) << c.name;
            continue;
        }
        ASSERT_TRUE(dateTime) << c.name;
        EXPECT_EQ(IsoText(*dateTime), *c.text) << c.name;
    }
    EXPECT_EQ(DateTimeFromSerial(35123, true), (DateTime{2000, 2, 29, 0, 0, 0})) << "1904: 29 February 2000";
    EXPECT_EQ(DateTimeFromSerial(36585, false), (DateTime{2000, 2, 29, 0, 0, 0})) << "1900: 29 February 2000";
}

TEST(CellText, NumbersReadBackAsTheSameDouble)
{
    const struct {
        double number;
        const char* text;
    } cases[] = {
        {0.1, "0.1"}, {1e20, "1e+20"}, {-0.0, "0"}, {123456789012.0, "123456789012"}, {-2.5, "-2.5"},
        {1.0 / 3, "0.3333333333333333"}, {5e-324, "5e-324"}, {INFINITY, "#NUM!"}, {std::nan(""), "#NUM!"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NumberText(c.number), c.text) << c.text;

    std::mt19937_64 random(7);
    for (int i = 0; i < 10000; ++i) {
        const double number = std::bit_cast<double>(random());
        if (!std::isfinite(number) || number == 0)
            continue;
        const std::string text = NumberText(number);
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), number) << text;
    }
}

TEST(CellText, ErrorsBooleansAndColumnNames)
{
    const std::pair<std::uint8_t, const char*> errors[] = {
        {0x00, "#NULL!"}, {0x07, "#DIV/0!"}, {0x0F, "#VALUE!"}, {0x17, "#REF!"},
        {0x1D, "#NAME?"}, {0x24, "#NUM!"},   {0x2A, "#N/A"},    {0x63, "#ERR99"},
    };
    for (const auto& [code, text] : errors)
        EXPECT_EQ(ErrorText(code), text);

    const WorkbookCells book;
    CellValue truth;
    truth.kind = CellKind::Boolean;
    truth.code = 1;
    EXPECT_EQ(CellText(book, truth), "TRUE");
    truth.code = 0;
    EXPECT_EQ(CellText(book, truth), "FALSE");

    const std::pair<int, const char*> columns[] = {{0, "A"}, {25, "Z"}, {26, "AA"}, {51, "AZ"}, {52, "BA"}, {255, "IV"}, {702, "AAA"}};
    for (const auto& [column, name] : columns)
        EXPECT_EQ(ColumnName(column), name);
}

TEST(Csv, FieldsAreQuotedWhereTheyMustBe)
{
    const std::pair<const char*, const char*> cases[] = {
        {"plain", "plain"},
        {"", ""},
        {" spaced ", " spaced "},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {"Ωmega", "Ωmega"},
    };
    for (const auto& [text, field] : cases)
        EXPECT_EQ(CsvField(text), field) << text;
}

// Every cell keeps its row and column; the later of two cells of one place counts; dates are
// ISO dates where the format says so.
TEST(Csv, ASheetKeepsEveryCellInItsPlace)
{
    const Bytes globals = test::FormatRecord(8, 164, "yyyy-mm-dd") + test::XfRecord(8, 0) + test::XfRecord(8, 164);
    const Bytes cells = Record(biff::kNumber, Cell(2, 1, 1) + Double(39511)) +    // B3, a date
                        Record(biff::kNumber, Cell(0, 0, 0) + Double(1.5)) +      // A1, written after row 3
                        Record(biff::kLabel, Cell(0, 2, 0) + Le16(3) + Bytes{0} + test::Ascii("a,b")) +
                        Record(biff::kBoolErr, Cell(0, 3, 0) + Bytes{1, 0}) +     // D1 TRUE
                        Record(biff::kBoolErr, Cell(2, 3, 0) + Bytes{0x07, 1}) +  // D3 #DIV/0!
                        Record(biff::kNumber, Cell(0, 0, 0) + Double(2));         // A1 again: this one counts
    const WorkbookCells book = ReadWorkbookCells(test::Workbook(8, globals, {{"Data", cells}, {"Empty", {}}}));
    ASSERT_EQ(book.sheets.size(), 2u);
    EXPECT_EQ(SheetCsv(book, book.sheets[0]), "2,,\"a,b\",TRUE\r\n,,,\r\n,2008-03-04,,#DIV/0!\r\n");
    EXPECT_EQ(SheetCsv(book, book.sheets[1]), "");
}

TEST(Csv, FileNamesAreSafeAndDistinct)
{
    WorkbookCells book;
    for (const char* name : {"Sales", "a/b\\c:d*e?f\"g<h>i|j", "", ".", "..", "sales", "Chart", "Tab\tIn", "Ümsatz €"})
        book.sheets.push_back({name, 0, 0, {}});
    book.sheets[6].kind = 2;  // a chart: no cells, no file
    std::vector<std::string> names;
    for (const CsvFile& file : CsvFileNames(book, "Budget.2024.xls"))
        names.push_back(file.name);
    EXPECT_EQ(names, (std::vector<std::string>{
                         "Budget.2024-Sales.csv", "Budget.2024-a_b_c_d_e_f_g_h_i_j.csv", "Budget.2024-Sheet3.csv",
                         "Budget.2024-Sheet4.csv", "Budget.2024-Sheet5.csv", "Budget.2024-sales (2).csv",
                         "Budget.2024-Tab_In.csv", "Budget.2024-Ümsatz €.csv"}));

    EXPECT_EQ(CsvFileNames(book, "<>").front().name, "__-Sales.csv");
    EXPECT_EQ(CsvFileNames(book, "..xls").front().name, "workbook-Sales.csv");

    // A long name is cut at a character's boundary, within 255 bytes.
    std::string longName;
    for (int i = 0; i < 100; ++i)
        longName += "é";
    WorkbookCells wide;
    wide.sheets.push_back({std::string(250, 'x'), 0, 0, {}});
    wide.sheets.push_back({std::string(250, 'x'), 0, 0, {}});
    const std::vector<CsvFile> cut = CsvFileNames(wide, longName + "x.xls");
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_LE(cut[1].name.size(), 255u);
    EXPECT_TRUE(cut[0].name.starts_with(longName.substr(0, 200)));
    EXPECT_TRUE(cut[1].name.ends_with(" (2).csv"));
}

}  // namespace
}  // namespace tabulon
