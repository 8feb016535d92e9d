// The cells of a workbook stream ("Workbook" in BIFF8, "Book" in BIFF5): what a salvage is
// measured by, cell by cell, and what a preview or an export shows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/biff/globals.h"
#include "engine/biff/number_formats.h"
#include "engine/biff/records.h"
#include "engine/biff/strings.h"

namespace tabulon {

enum class CellKind : std::uint8_t { Number, Text, Boolean, Error };

struct CellValue {
    std::uint16_t row = 0, column = 0;
    CellKind kind = CellKind::Number;
    double number = 0;         // Number
    std::string text;          // Text, UTF-8
    std::uint8_t code = 0;     // Boolean (0/1) or Error code (0x07 #DIV/0!, ...)
    std::uint16_t format = 0;  // the XF index, so dates can be told apart later
    std::uint32_t offset = 0;  // of the record that holds the cell, in the stream
};

struct SheetCells {
    std::string name;          // empty when no BOUNDSHEET record names the sheet
    std::uint32_t offset = 0;  // where the sheet's BOF record is in the stream
    std::uint8_t kind = 0;     // worksheet or dialog 0, macro sheet 1, chart 2, VB module 6
    std::vector<CellValue> cells;  // in stream order; formulas give their last result
};

struct WorkbookCells {
    int biffVersion = 0;  // 8 or 5 (0: no workbook globals found)
    std::uint16_t codePage = 1252;
    bool date1904 = false;
    // A FILEPASS record: the records after it are encrypted, so that only the sheets'
    // offsets and kinds are known (no names, no cells).
    bool encrypted = false;
    std::vector<SheetCells> sheets;
    // By XF index (a cell's `format`): whether the XF's number format shows a date or a time.
    // From the FORMAT and XF records of the globals; a built-in format no FORMAT record
    // defines counts by its index.
    std::vector<bool> dateFormats;
};

// Reads every sheet's cells from a workbook stream's bytes. Never throws on damaged data:
// a record that does not fit is skipped and reading goes on where it can; the result holds
// what could be read.
//
// Sheets are read from the offsets their BOUNDSHEET records give, as spreadsheet programs
// read them. A BOUNDSHEET whose offset does not lead to a BOF record takes the sheet at its
// place among the sheets found in stream order, when there are as many of those as
// BOUNDSHEET records; without any usable BOUNDSHEET, the sheets are the ones found in stream
// order, unnamed. Where the record chain breaks (a damaged sector, say), reading picks up at
// the next offset where two plausible records follow one another.
//
// Single-byte text (BIFF5) is decoded by the CODEPAGE record: ASCII, Windows 1250 to 1254
// and Mac Roman by table; any other code page gives U+FFFD for each byte past ASCII (and
// one U+FFFD for each double-byte character of the East Asian code pages). Without a
// CODEPAGE record, Windows 1252 is taken.
WorkbookCells ReadWorkbookCells(std::span<const std::uint8_t> stream);
// The same without the cells, from the globals already read of `stream`.
WorkbookCells ReadWorkbookSheets(std::span<const std::uint8_t> stream, const biff::Globals& globals);

// How many cells a reader shows of a cell record of `type` with a body of `bodySize` bytes: none
// of a blank one, one for each value of a run of numbers, one of any other.
std::size_t ValuesInCellRecord(std::uint16_t type, std::size_t bodySize);

// Whether a number cell stands for a date or a time by its XF's number format. False for
// other cells and for XF indexes the globals do not have.
bool IsDate(const WorkbookCells& workbook, const CellValue& cell);

}  // namespace tabulon
