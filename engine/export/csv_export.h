// A workbook's sheets as CSV (RFC 4180): UTF-8 text, fields quoted where they must be, CRLF
// line ends, one file for each sheet, named after the workbook and the sheet. Only the text
// and the names are made here; the callers write the files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/biff/biff_cells.h"

namespace tabulon {

// Whether a sheet is previewed and exported: worksheets and macro sheets hold cells, charts
// and Visual Basic modules hold none.
bool SheetHoldsCells(const SheetCells& sheet);

// A field as RFC 4180 writes it: as it is, or between double quotes with each quote doubled
// when it holds a comma, a quote, CR or LF.
std::string CsvField(std::string_view text);

// A sheet as CSV: a line for each row from the sheet's first row to the last that holds a
// cell, each line with as many fields as the widest row needs, so that every cell keeps its
// row and column; every line ends in CRLF. Cells read as CellText gives them. A sheet without
// cells gives no text at all.
std::string SheetCsv(const WorkbookCells& workbook, const SheetCells& sheet);

// `text` with the characters file systems refuse in names (/ \ : * ? " < > | and control
// characters) replaced by "_"; `standIn` where that leaves nothing, "." or "..".
std::string SafeFileNamePart(std::string_view text, std::string_view standIn);

struct CsvFile {
    std::size_t sheet = 0;  // in WorkbookCells::sheets
    std::string name;       // UTF-8, without a folder
};

// The files an export writes, one for each sheet that holds cells, in the workbook's order:
// WORKBOOK-SHEET.csv, WORKBOOK being the workbook's file name up to its last "." and SHEET the
// sheet's name, both made safe (an unnamed sheet is "SheetN" by its place, from 1). Names stay
// within 255 bytes, cut at a character's boundary; names that would be equal, or differ only
// in the case of ASCII letters, get " (2)", " (3)", ... before ".csv".
std::vector<CsvFile> CsvFileNames(const WorkbookCells& workbook, std::string_view workbookFileName);

}  // namespace tabulon
