#include "engine/export/csv_export.h"

#include <algorithm>
#include <set>

#include "engine/export/cell_text.h"

namespace tabulon {
namespace {

// Sheet kinds in a BOUNDSHEET record.
constexpr std::uint8_t kWorksheet = 0;
constexpr std::uint8_t kMacroSheet = 1;

// Room for " (NNN)" and ".csv" within the 255 bytes most file systems allow for a name.
constexpr std::size_t kMaxStemBytes = 240;

// `text` cut to at most `limit` bytes without splitting a UTF-8 character.
std::string_view CutAtCharacter(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

std::string AsciiLower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

bool SheetHoldsCells(const SheetCells& sheet)
{
    return sheet.kind == kWorksheet || sheet.kind == kMacroSheet;
}

std::string CsvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(text);
    std::string field = "\"";
    for (const char c : text) {
        if (c == '"')
            field += '"';
        field += c;
    }
    field += '"';
    return field;
}

std::string SheetCsv(const WorkbookCells& workbook, const SheetCells& sheet)
{
    const std::vector<std::uint32_t> order = CellsInReadingOrder(sheet);
    if (order.empty())
        return {};
    std::size_t width = 0;
    for (const std::uint32_t i : order)
        width = std::max<std::size_t>(width, sheet.cells[i].column + 1u);
    const std::size_t rows = sheet.cells[order.back()].row + 1u;

    std::string csv;
    csv.reserve(rows * (width + 1) + order.size() * 8);
    auto next = order.begin();
    for (std::size_t row = 0; row < rows; ++row) {
        std::size_t column = 0;
        for (; next != order.end() && sheet.cells[*next].row == row; ++next) {
            const CellValue& cell = sheet.cells[*next];
            csv.append(cell.column - column, ',');
            column = cell.column;
            csv += CsvField(CellText(workbook, cell));
        }
        csv.append(width - 1 - column, ',');
        csv += "\r\n";
    }
    return csv;
}

std::string SafeFileNamePart(std::string_view text, std::string_view standIn)
{
    std::string safe;
    safe.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool refused = byte < 0x20 || byte == 0x7F || std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos;
        safe += refused ? '_' : c;
    }
    if (safe.empty() || safe == "." || safe == "..")
        return std::string(standIn);
    return safe;
}

std::vector<CsvFile> CsvFileNames(const WorkbookCells& workbook, std::string_view workbookFileName)
{
    const std::size_t dot = workbookFileName.rfind('.');
    const std::string_view base = dot == 0 || dot == std::string_view::npos ? workbookFileName : workbookFileName.substr(0, dot);
    const std::string workbookPart = SafeFileNamePart(base, "workbook");

    std::vector<CsvFile> files;
    std::set<std::string> taken;  // in lower case: some file systems ignore the case of letters
    for (std::size_t i = 0; i < workbook.sheets.size(); ++i) {
        const SheetCells& sheet = workbook.sheets[i];
        if (!SheetHoldsCells(sheet))
            continue;
        const std::string sheetPart = SafeFileNamePart(sheet.name, "Sheet" + std::to_string(i + 1));
        const std::string stem(CutAtCharacter(workbookPart + "-" + sheetPart, kMaxStemBytes));
        std::string name = stem + ".csv";
        for (int n = 2; !taken.insert(AsciiLower(name)).second; ++n)
            name = stem + " (" + std::to_string(n) + ").csv";
        files.push_back({i, std::move(name)});
    }
    return files;
}

}  // namespace tabulon
