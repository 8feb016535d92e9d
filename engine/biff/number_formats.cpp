#include "engine/biff/number_formats.h"

#include <string>

namespace tabulon {

bool IsDateFormatCode(std::string_view code)
{
    // Quoted text and the characters after \, _ and * are literal; the signs below only
    // punctuate. What is left outside [brackets] (colours, locales, elapsed [h]) is counted.
    std::string kept;
    enum { Plain, Quoted, Escaped } state = Plain;
    for (const char c : code) {
        if (state == Quoted) {
            state = c == '"' ? Plain : Quoted;
        } else if (state == Escaped) {
            state = Plain;
        } else if (c == '"') {
            state = Quoted;
        } else if (c == '\\' || c == '_' || c == '*') {
            state = Escaped;
        } else if (std::string_view("$-+/(): ").find(c) == std::string_view::npos) {
            kept += c;
        }
    }
    int dateLetters = 0, digitPlaces = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const char c = kept[i];
        if (c == '[') {
            const std::size_t close = kept.find(']', i);
            if (close != std::string::npos) {
                i = close;
                continue;
            }
        }
        if (std::string_view("ymdhsYMDHS").find(c) != std::string_view::npos)
            ++dateLetters;
        else if (c == '0' || c == '#' || c == '?')
            ++digitPlaces;
    }
    return dateLetters > digitPlaces;
}

bool biff::BuiltInDateFormat(std::uint16_t index)
{
    return (index >= 14 && index <= 22) || (index >= 27 && index <= 36) || (index >= 45 && index <= 47) ||
           (index >= 50 && index <= 58) || (index >= 71 && index <= 81);
}

}  // namespace tabulon
