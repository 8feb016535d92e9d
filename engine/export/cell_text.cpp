#include "engine/export/cell_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tabulon {
namespace {

// Days since 1970-01-01 as a civil date (H. Hinnant's algorithm for the proleptic Gregorian
// calendar).
void CivilFromDays(std::int64_t days, DateTime& out)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    out.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    out.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    out.year = static_cast<int>(yearOfEra + era * 400 + (out.month <= 2 ? 1 : 0));
}

// Days from 1970-01-01 back to the days each system counts from.
constexpr std::int64_t k1899December30 = -25569;
constexpr std::int64_t k1899December31 = -25568;
constexpr std::int64_t k1904January1 = -24107;
// Past any serial of a date before the year 10000, in either system.
constexpr double kSerialLimit = 2958466;

}  // namespace

std::optional<DateTime> DateTimeFromSerial(double serial, bool date1904)
{
    if (!std::isfinite(serial) || serial < 0 || serial >= kSerialLimit)
        return std::nullopt;
    auto days = static_cast<std::int64_t>(std::floor(serial));
    std::int64_t seconds = std::llround((serial - static_cast<double>(days)) * 86400.0);
    if (seconds == 86400) {
        ++days;
        seconds = 0;
    }
    DateTime result;
    result.hour = static_cast<int>(seconds / 3600);
    result.minute = static_cast<int>(seconds / 60 % 60);
    result.second = static_cast<int>(seconds % 60);
    if (days == 0)
        return result;
    if (date1904)
        CivilFromDays(k1904January1 + days, result);
    else if (days == 60)
        return std::nullopt;
    else
        CivilFromDays((days < 60 ? k1899December31 : k1899December30) + days, result);
    if (result.year > 9999)
        return std::nullopt;
    return result;
}

std::string IsoText(const DateTime& dateTime)
{
    char text[32];
    int length = 0;
    const bool hasTime = dateTime.hour != 0 || dateTime.minute != 0 || dateTime.second != 0;
    if (dateTime.year == 0)
        length = std::snprintf(text, sizeof text, "%02d:%02d:%02d", dateTime.hour, dateTime.minute, dateTime.second);
    else if (!hasTime)
        length = std::snprintf(text, sizeof text, "%04d-%02d-%02d", dateTime.year, dateTime.month, dateTime.day);
    else
        length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", dateTime.year, dateTime.month,
                               dateTime.day, dateTime.hour, dateTime.minute, dateTime.second);
    return std::string(text, static_cast<std::size_t>(std::max(length, 0)));
}

std::string NumberText(double number)
{
    if (!std::isfinite(number))
        return "#NUM!";
    if (number == 0)
        return "0";
    char text[32];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, number);
    return std::string(text, written.ptr);
}

std::string ErrorText(std::uint8_t code)
{
    switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    case 0x2B: return "#GETTING_DATA";
    default: return "#ERR" + std::to_string(code);
    }
}

std::string CellText(const WorkbookCells& workbook, const CellValue& cell)
{
    switch (cell.kind) {
    case CellKind::Number:
        if (IsDate(workbook, cell)) {
            if (const std::optional<DateTime> dateTime = DateTimeFromSerial(cell.number, workbook.date1904))
                return IsoText(*dateTime);
        }
        return NumberText(cell.number);
    case CellKind::Text: return cell.text;
    case CellKind::Boolean: return cell.code ? "TRUE" : "FALSE";
    case CellKind::Error: return ErrorText(cell.code);
    }
    return {};
}

std::vector<std::uint32_t> CellsInReadingOrder(const SheetCells& sheet)
{
    std::vector<std::uint32_t> order(sheet.cells.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<std::uint32_t>(i);
    const auto place = [&sheet](std::uint32_t i) { return std::pair{sheet.cells[i].row, sheet.cells[i].column}; };
    const auto before = [&](std::uint32_t a, std::uint32_t b) { return place(a) < place(b); };
    // Programs write a sheet's cells row by row, so that sorting is mostly not needed.
    if (!std::is_sorted(order.begin(), order.end(), before))
        std::stable_sort(order.begin(), order.end(), before);
    // Of the cells of one place, stable sorting leaves the last one read last.
    std::vector<std::uint32_t> unique;
    unique.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i + 1 == order.size() || place(order[i]) != place(order[i + 1]))
            unique.push_back(order[i]);
    }
    return unique;
}

std::string ColumnName(int column)
{
    std::string name;
    for (int rest = column + 1; rest > 0; rest = (rest - 1) / 26)
        name.insert(name.begin(), static_cast<char>('A' + (rest - 1) % 26));
    return name;
}

}  // namespace tabulon
