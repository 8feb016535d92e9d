// How a cell reads as text, the same in the preview's grid and in CSV files: numbers exactly,
// dates and times in ISO 8601, booleans and errors as spreadsheets write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/biff/biff_cells.h"

namespace tabulon {

// A date and time of day of the proleptic Gregorian calendar, to the second. A time of day
// alone has year, month and day 0.
struct DateTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0;
    bool operator==(const DateTime&) const = default;
};

// The date and time a serial number stands for in the workbook's date system: days since
// 1899-12-31 (the 1900 system, which counts a 29 February 1900 that never was, as serial 60)
// or since 1904-01-01 (the 1904 system); the fraction is the time of day, rounded to the
// second. A serial below 1 is a time of day alone, in either system. Nothing for negative
// serials, for 60 in the 1900 system, and for dates past 9999-12-31.
std::optional<DateTime> DateTimeFromSerial(double serial, bool date1904);

// ISO 8601: "2008-03-04", "2008-03-04T13:05:00", or "13:05:00" for a time of day alone.
std::string IsoText(const DateTime& dateTime);

// The shortest text that reads back as the same double ("0.1", "1e+20"); zero as "0" whatever
// its sign. Infinities and NaN, which no cell holds but damaged bytes may, as "#NUM!".
std::string NumberText(double number);

// "#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A" (and "#GETTING_DATA"),
// or "#ERR" and the code in decimal for a code no spreadsheet program defines.
std::string ErrorText(std::uint8_t code);

// A cell as text: a number as NumberText, or as IsoText where its format shows a date and
// the serial stands for one; text as it is; TRUE or FALSE; an error as ErrorText.
std::string CellText(const WorkbookCells& workbook, const CellValue& cell);

// A sheet's cells in reading order, row by row and in a row by column, one for each place
// (indexes into sheet.cells): where records give a place twice, the later one counts, as
// spreadsheet programs read it.
std::vector<std::uint32_t> CellsInReadingOrder(const SheetCells& sheet);

// A column's name as spreadsheets head it: 0 is "A", 25 "Z", 26 "AA", 255 "IV".
std::string ColumnName(int column);

}  // namespace tabulon
