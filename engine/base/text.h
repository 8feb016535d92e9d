// Text as the files hold it (UTF-16, single-byte code pages), as UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tabulon {

// Appends the UTF-8 form of the code point `c`.
void AppendUtf8(std::string& out, char32_t c);

// UTF-16 text as UTF-8: a surrogate pair becomes one character, a lone surrogate U+FFFD.
std::string Utf8FromUtf16(std::u16string_view units);
#ifdef _WIN32
// Windows' wide text (a path, a command-line argument) is UTF-16.
inline std::string Utf8FromUtf16(std::wstring_view units)
{
    return Utf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(units.data()), units.size()));
}
#endif

// Whether two UTF-16 texts are the same but for the case of ASCII letters (how readers of
// compound files match stream names).
bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);

// Single-byte text in the Windows code page `codePage` as UTF-8. ASCII, Windows 1250 to 1254
// and Mac Roman are decoded by table (1252 also for its older number 32769, and for 1200,
// UTF-16, which single-byte text cannot be in); any other code page gives U+FFFD for each
// byte past ASCII, and one U+FFFD for each double-byte character of the East Asian code pages.
std::string DecodeCodePage(std::span<const std::uint8_t> bytes, std::uint16_t codePage);

}  // namespace tabulon
