// Number formats: which ones show dates and times.
#pragma once

#include <cstdint>
#include <string_view>

namespace tabulon {

// Whether a number format code ("yyyy-mm-dd", "#,##0.00", "[h]:mm:ss") shows a date or a
// time: when, leaving out quoted text, characters escaped by \, _ or *, and [bracketed] parts
// (colours, locales, elapsed hours), it has more of the letters d, m, y, h and s (either
// case) than digit places 0, # and ?. General-purpose readers tell dates the same way.
bool IsDateFormatCode(std::string_view code);

namespace biff {

// The built-in number formats that show dates or times, for an index no FORMAT record
// defines: 14 to 22 and 45 to 47 everywhere, 27 to 36 and 50 to 58 in East Asian versions,
// 71 to 81 in Thai ones.
bool BuiltInDateFormat(std::uint16_t index);

}  // namespace biff

}  // namespace tabulon
