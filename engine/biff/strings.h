// The strings of workbook records: BIFF8's counted UTF-16 or Latin-1 strings, which may run on
// into CONTINUE records, and BIFF5's byte strings in the workbook's code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/biff/pieces.h"

namespace tabulon {

namespace biff {

// The header of a BIFF8 string: its character count, its flags, and the rich-text run count and
// the size of the far-east data where the flags announce them.
struct StringHeader {
    static constexpr std::uint8_t kWide = 0x01;     // two bytes a character (else one)
    static constexpr std::uint8_t kFarEast = 0x04;  // far-east data follows the runs
    static constexpr std::uint8_t kRich = 0x08;     // rich-text runs follow the characters
    std::uint16_t count = 0;
    std::uint8_t flags = 0;
    std::uint16_t runs = 0;
    std::uint32_t farEast = 0;
    bool Wide() const { return (flags & kWide) != 0; }
};

// Reads a BIFF8 string's header, its count in `lengthBytes` bytes (1 or 2). `onlyKnownFlags`:
// a flag other than those three means it is no string's header. (Inline: the shared-string
// table's rebuild reads one for every string of the table.)
inline bool ReadStringHeader(Pieces& in, int lengthBytes, StringHeader& header, bool onlyKnownFlags = false)
{
    header = {};
    if (lengthBytes == 1) {
        std::uint8_t shortCount = 0;
        if (!in.Byte(shortCount))
            return false;
        header.count = shortCount;
    } else if (!in.Le16(header.count)) {
        return false;
    }
    constexpr std::uint8_t kKnown = StringHeader::kWide | StringHeader::kFarEast | StringHeader::kRich;
    return in.Byte(header.flags) && (!onlyKnownFlags || (header.flags & ~kKnown) == 0) &&
           (!(header.flags & StringHeader::kRich) || in.Le16(header.runs)) &&
           (!(header.flags & StringHeader::kFarEast) || in.Le32(header.farEast));
}

// A BIFF8 string: its length in `lengthBytes` bytes (1 or 2), a flags byte, the rich-text run
// count and the size of the far-east data when the flags announce them, the characters, and
// then the runs and far-east data, which are skipped. As UTF-16 units, or UTF-8.
std::optional<std::u16string> ReadUnicodeUnits(Pieces& in, int lengthBytes);
// The same into `units` (emptied first), for a caller that reads many into one buffer; false
// where the string does not read.
bool ReadUnicodeUnits(Pieces& in, int lengthBytes, std::u16string& units);
// Past such a string, where it reads as ReadUnicodeUnits reads it; `characters` gets how many
// it has.
bool SkipUnicodeString(Pieces& in, int lengthBytes, std::size_t& characters);
std::optional<std::string> ReadUnicodeString(Pieces& in, int lengthBytes);

// A BIFF2 to BIFF5 string: its length in `lengthBytes` bytes (2, or 1 in BIFF2's cells), then
// that many bytes in the workbook's code page.
std::optional<std::string> ReadByteString(std::span<const std::uint8_t> body, std::uint16_t codePage, int lengthBytes = 2);

}  // namespace biff

// Up to `count` strings of a shared-string table, read from `offset` in the first of `bodies`
// (the bodies of the records that hold the table, in order), as UTF-16 text; fewer when the
// bodies end or a string does not read.
std::vector<std::u16string> ReadTableStrings(std::vector<std::span<const std::uint8_t>> bodies, std::size_t offset,
                                             std::size_t count);

// Whether a shared-string table, in `bodies` (its SST record's, then its CONTINUE records'),
// reads whole: as many strings as it says it holds, the last ending where its last record ends.
bool StringTableReadsWhole(std::vector<std::span<const std::uint8_t>> bodies);

}  // namespace tabulon
