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
