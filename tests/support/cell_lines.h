// Cells as lines of text, for comparing two readings of a workbook: every field the reader
// gives but where the record lies, numbers to the last bit.
#pragma once

#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/biff/biff_cells.h"

namespace tabulon::test {

inline std::string CellLine(const CellValue& cell)
{
    std::ostringstream out;
    out.precision(std::numeric_limits<double>::max_digits10);
    out << cell.row << ',' << cell.column << " xf " << cell.format << ' ';
    switch (cell.kind) {
    case CellKind::Number: out << "number " << cell.number; break;
    case CellKind::Text: out << "text \"" << cell.text << '"'; break;
    case CellKind::Boolean: out << "boolean " << int{cell.code}; break;
    case CellKind::Error: out << "error " << int{cell.code}; break;
    }
    return out.str();
}

inline std::vector<std::string> CellLines(const std::vector<CellValue>& cells)
{
    std::vector<std::string> lines;
    for (const CellValue& cell : cells)
        lines.push_back(CellLine(cell));
    return lines;
}

// Each sheet's name, then its cells in stream order.
inline std::vector<std::string> CellLines(const WorkbookCells& book)
{
    std::vector<std::string> lines;
    for (const SheetCells& sheet : book.sheets) {
        lines.push_back("sheet \"" + sheet.name + '"');
        for (const CellValue& cell : sheet.cells)
            lines.push_back(CellLine(cell));
    }
    return lines;
}

// The cells of every sheet, without the sheets' names.
inline std::multiset<std::string> AllCellLines(const WorkbookCells& book)
{
    std::multiset<std::string> lines;
    for (const SheetCells& sheet : book.sheets) {
        for (const CellValue& cell : sheet.cells)
            lines.insert(CellLine(cell));
    }
    return lines;
}

}  // namespace tabulon::test
