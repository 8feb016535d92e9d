// The workbook stream's records, checked and mended in place: damaged stretches become filler
// records that no reader interprets, so that every offset in the stream (the sheets' offsets,
// the row index, the string table's index) stays where it was.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>


namespace tabulon {

// The record type the mending writes over damage: defined by no version of the format, so
// readers pass over it.
inline constexpr std::uint16_t kFillerRecord = 0x00EE;

// A stretch of the workbook stream the mending changed: bytes it replaced (filler records over
// damage, a BOF or EOF written back) or records lost (past a cut).
struct MendedRegion {
    enum class Kind : std::uint8_t { Replaced, Lost };
    Kind kind = Kind::Replaced;
    std::uint64_t offset = 0;  // in the salvaged workbook stream
    std::uint64_t length = 0;
    int sheet = -1;            // the sheet it lies in, by its place among the sheets; -1: the globals
};

// Where the workbook stream's records first go wrong: a record that is no record, a sheet
// whose offset does not lead to its first record, a record cut off by the stream's end, a
// stream that does not begin with the workbook's first record, a count inside a record that
// its length (or the string table's index) contradicts where one changed bit explains it.
// Nothing when every record reads (bytes after the last sheet's end are filler and do not
// count).
std::optional<std::uint64_t> FirstRecordDamage(std::span<const std::uint8_t> stream);

// Mends the stream in place and at its end, and gives what it mended:
// - a record whose length (or type) has one flipped bit gets the one value that makes the
//   records after it read;
// - otherwise the damaged bytes up to the next place where three records follow one another
//   become filler records;
// - a sheet whose first record was destroyed gets one back where the workbook's list of sheets
//   says it begins (and an end record before it where the sheet before lost its own);
// - a stream cut short ends after its last whole record, with an end record for the open
//   sheet; a sheet that began past the cut becomes an empty sheet at the end, keeping its name;
// - a count that its record's length contradicts gets the one value, a bit away, that agrees;
// - a hole in the shared-string table: the table is written anew with the strings that read
//   before the hole and those its index places after it, and what follows it moves along.
// Otherwise it never moves a byte that reads: offsets stay valid. When the stream's start is
// gone it gets new globals in front (the sheets named by `names`, those the document summary
// lists, when there are at least as many as survive; else "Sheet1", "Sheet2", ...).
std::vector<MendedRegion> MendWorkbookStream(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names = {});

}  // namespace tabulon
