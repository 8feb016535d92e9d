// The workbook stream's records, checked and mended in place: damaged stretches become filler
// records that no reader interprets, so that every offset in the stream (the sheets' offsets,
// the row index, the string table's index) stays where it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>


namespace tabulon {

// A stretch of the workbook stream the mending changed: bytes it replaced (filler records over
// damage, a BOF or EOF written back) or records lost (past a cut).
struct MendedRegion {
    enum class Kind : std::uint8_t { Replaced, Lost };
    Kind kind = Kind::Replaced;
    std::uint64_t offset = 0;  // in the salvaged workbook stream
    std::uint64_t length = 0;
    int sheet = -1;            // the sheet it lies in, by its place among the sheets; -1: the globals
};

// What the salvage saw of the damage outside the workbook stream it found. The mending doubts a
// number no writer stores (below the smallest normal double, where a zero with a changed bit
// reads as one; not a number, infinite) where the damage changed bytes.
enum class DamageOutside : std::uint8_t {
    Unknown,
    // The stream's start went with bytes that were zeroed, not changed, and the stream no
    // longer holds them (the salvage found what follows after zeroed sectors): with no sign
    // of changed bytes in the stream, numbers below the smallest normal double are kept.
    StartWiped,
    // Bits changed elsewhere in the file (a directory entry's name or its length a bit away
    // from the one written): such numbers are doubted though the stream's records all read.
    BitsChanged,
};

// Where the workbook stream's records first go wrong: a record that is no record, a sheet
// whose offset does not lead to its first record, a record cut off by the stream's end, a
// stream that does not begin with the workbook's first record, a count inside a record that
// its length (or the string table's index) contradicts where one changed bit explains it.
// Nothing when every record reads (bytes after the last sheet's end are filler and do not
// count).
std::optional<std::uint64_t> FirstRecordDamage(std::span<const std::uint8_t> stream);

// Whether a workbook stream, handed over a piece at a time, is one in which FirstRecordDamage
// finds nothing and MendWorkbookStream replaces nothing, told without holding the stream: its
// records follow one another to its very end, each a plausible one of the table (no filler, no
// header of four zeros), the workbook's own first record first, no first record with an odd
// field, every substream closed and no record between them, every sheet the list names
// beginning where it says; no zeroed unit in the string table's records, nor one the cells
// over zeros would go for; no cell no workbook holds, no chart record right in a worksheet, no
// count of the globals that may need mending. The mending's rules act only on a break in the
// records, a hole the walk filled, or one of the last five. A stream that falls short of this
// is not damaged for that: it is to be read whole and checked so. Holds the globals (those
// larger than 32 MiB are not told intact) and one record at a time.
class IntactRecords {
public:
    IntactRecords();
    ~IntactRecords();
    IntactRecords(const IntactRecords&) = delete;
    IntactRecords& operator=(const IntactRecords&) = delete;

    // The stream's next piece (each but the last a whole number of 64-byte units); false once
    // the stream cannot be told intact (the rest need not be handed over).
    bool Take(std::span<const std::uint8_t> piece);
    // Once the last piece is taken: whether the stream is intact as above.
    bool Intact() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Mends the stream in place and at its end, and gives what it mended. A value in the result
// is the original's or absent: what cannot be proven to be what was written goes.
// - a record whose length (or type) has one flipped bit gets the one value that makes the
//   records after it read (three of them);
// - otherwise the damaged bytes up to the next place where three records follow one another
//   become filler records, and with them a record that runs into a zeroed unit (64 bytes from
//   a multiple of 64: a sector of the mini stream, or part of one of 512) where the records
//   break, or into the zeros after a cut: its last bytes are the hole's, not its own. Four
//   zero bytes are no record header, and records are not picked up again at an end record
//   followed by a sheet's records nor at a fragment that runs to a cut;
// - a sheet whose first record was destroyed gets one back where the workbook's list of sheets
//   says it begins (and an end record before it where the sheet before lost its own);
// - a stream cut short ends after its last whole record, with an end record for the open
//   sheet; a sheet that began past the cut becomes an empty sheet at the end, keeping its name;
// - entries of the list that lead to no sheet and as many sheets that none leads to are paired
//   in order, where the list then follows the stream's order;
// - a count that its record's length contradicts gets the one value, a bit away, that agrees
//   (not over zeros);
// - a cell record that holds a zeroed unit (a number, a run of them, a label, a formula or its
//   string result) lost its bytes there: it becomes filler, a formula with its result;
// - a cell record past the last column a sheet has (255), or, where the stream lost records
//   elsewhere, holding a number no spreadsheet program stores (NaN, infinity) or one below the
//   smallest normal double (as mostly zero bytes read), is no cell anyone wrote but other bytes
//   that happen to read as one: it becomes filler (every cell record does where
//   most lie past the columns or styles a workbook has, as the cells of an encrypted workbook
//   whose FILEPASS record was lost do);
// - a hole in the shared-string table, or a zeroed unit in it: the table is written anew, each
//   string at its own index or empty. Strings that read before the damage stand, and those the
//   index places after it where their bucket ends where the next begins (or where the damage
//   stops it); a string with a byte in damage, or in a bucket that lands elsewhere, comes back
//   empty. What follows the table moves along.
// Otherwise it never moves a byte that reads: offsets stay valid; an intact stream, padding
// after its last sheet and all, comes back as it was, and a mended one is left as it is when
// mended again. When the stream's start is gone it gets new globals in front (the sheets named
// by `names`, those the document summary lists, when there are at least as many as survive;
// else "Sheet1", "Sheet2", ...). Each region's `sheet` is the sheet, by its place in the list,
// whose first record is the last before the region; -1 in the globals. `settled`, when given,
// says whether the last round of mending changed nothing (then mending the result once more
// gives no region); it is false only for a stream still changing after four rounds.
// `outside`: what the salvage saw of the damage outside the stream (DamageOutside).
std::vector<MendedRegion> MendWorkbookStream(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names = {},
                                             bool* settled = nullptr, DamageOutside outside = DamageOutside::Unknown);

// The room MendWorkbookStream may want past the stream's end, at most, to grow it where it lies
// (new globals in front of a stream that lost its start): reserved before the stream is read,
// it spares a copy of the whole stream. 0 where the stream keeps its size or shrinks. (A
// guess that falls short costs the copy, nothing else.)
std::size_t RoomToMend(std::span<const std::uint8_t> stream);

namespace mending {

// The smallest unit a compound file keeps a stream in (a sector of the mini stream): damage
// that the salvage zeroes is whole units of it.
inline constexpr std::size_t kUnit = 64;
// Whether a unit of [from, to)'s units (64 bytes from a multiple of 64) is all zeros.
// `wholly`: only units that lie wholly inside [from, to).
bool ZeroedUnitIn(std::span<const std::uint8_t> stream, std::size_t from, std::size_t to, bool wholly = false);

}  // namespace mending

}  // namespace tabulon
