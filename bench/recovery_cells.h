// What tabulon-recovery measures a repaired workbook by: its non-empty cells, each under its
// sheet index, row and column, and where the intact original keeps its allocation table and
// directory (for damaging them, and for telling the damage to the cells from the damage to
// the structure around them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tabulon::bench {

using Bytes = std::vector<std::uint8_t>;

// The non-empty cells of a workbook, sorted by key; one value per key (the last one read).
// Values carry their kind in their first byte: 'n' and the number's 8 bytes, 't' text, 'b'
// boolean, 'e' error (the project's reader); 'c' and a spreadsheet program's text for the value,
// followed, for a number, by kFormatMark and the number format it is shown in.
class CellTable {
public:
    static constexpr char kFormatMark = '\x1f';

    static std::uint64_t Key(std::size_t sheet, std::uint32_t row, std::uint32_t column);
    void Add(std::size_t sheet, std::uint32_t row, std::uint32_t column, std::string value);
    // Sorts and drops all but the last value added under each key. Call once, after the adds.
    void Finish();

    std::size_t Size() const { return cells_.size(); }
    bool Empty() const { return cells_.empty(); }
    // How a result read from a damaged or repaired copy stands against this table, the
    // original's. Each sheet of `result` is paired with the sheet of this table it shares most
    // cells with (the same value at the same row and column; on a tie the sheet at its own
    // place, then the first), so that a sheet that comes back under another name or place
    // loses nothing. A cell of the original counts as recovered when a sheet paired with its
    // sheet holds the same value at its row and column (once, however many do); a cell of the
    // result counts as wrong when its paired sheet holds another value there or none (a sheet
    // paired with none: all of its cells).
    struct Match {
        std::size_t recovered = 0;
        std::size_t wrong = 0;
        std::size_t reformatted = 0;  // of the recovered, those shown in another number format
        // The first wrong cell, for a reader of --list: "sheet 2 (as 1), R5C3: 7 where the
        // original has 8" (or "none").
        std::string firstWrong;
    };
    Match MatchIn(const CellTable& result) const;

    // Whether two values read the same. Numbers are equal within a relative 1e-9, which covers
    // a spreadsheet program's text for a number (15 to 17 significant digits) and nothing
    // that shows differently; texts, booleans and errors exactly. A number never equals a text.
    // The number formats do not count.
    static bool SameValue(std::string_view a, std::string_view b);

private:
    struct Sheet {
        std::size_t sheet, begin, end;  // its cells are cells_[begin, end)
    };
    std::vector<Sheet> Sheets() const;
    // Cells of `mine` (of this table) that `theirs` (of `other`) holds with the same value at the
    // same row and column; when `found` is given, they
    // are marked there, and those shown in another number format counted in `reformatted`.
    std::size_t Shared(const Sheet& mine, const CellTable& other, const Sheet& theirs,
                       std::vector<bool>* found, std::size_t* reformatted = nullptr) const;

    // The value as --list shows it.
    static std::string Shown(std::string_view value);

    std::vector<std::pair<std::uint64_t, std::string>> cells_;
};

// The cells of a workbook file as the project's reader sees them: the workbook stream read
// the plain way, trusting the header (no cells when that fails), then ReadWorkbookCells.
// Numbers compare by their bits, texts exactly, booleans and errors by their code; a text
// cell holding an empty string counts as empty.
CellTable ReadCells(const Bytes& file);

// Where an intact compound file keeps its structure, as its header and table give it. Sector
// numbers in the order their chains or lists give them; sectors past the end of the file are
// left out.
struct CompoundLayout {
    std::vector<std::uint32_t> tableSectors;      // from the header's list, then the DIFAT sectors'
    std::vector<std::uint32_t> difatSectors;
    std::vector<std::uint32_t> directorySectors;  // the directory chain
    std::vector<std::uint32_t> miniTableSectors;  // the mini table's chain
};

CompoundLayout ReadLayout(const Bytes& file);

inline std::uint64_t SectorOffset(std::uint32_t sector)
{
    return (std::uint64_t{sector} + 1) * 512;
}

// The limit of what any repair can bring back as it was: how many of the original's cells
// (those ReadCells gives) a damage left untouched, their records, a formula's string result and
// a shared-string cell's string lying wholly in bytes it did not destroy. Where each cell's
// bytes lie is worked out once per workbook.
class UntouchedCells {
public:
    UntouchedCells(const Bytes& original, const CompoundLayout& layout);
    // `destroyed`: one flag per byte of the original file.
    std::size_t Count(const std::vector<bool>& destroyed) const;

private:
    const Bytes& original_;
    const CompoundLayout& layout_;
    std::size_t streamSize_ = 0;
    // Each cell's byte ranges in the workbook stream (those of its last record, when several
    // give it): cells_[i] covers ranges_[first, next cell's first).
    std::vector<std::size_t> cells_;
    std::vector<std::pair<std::size_t, std::size_t>> ranges_;
};

// The damaged file with its structure put back: the original's header, table, DIFAT,
// directory and mini table sectors over the damaged bytes, and whatever the damage cut off
// the end as zeros. What it still holds of the cells is all any repair of the structure can
// bring back; the bytes of the streams are as the damage left them.
Bytes StructureRestored(const Bytes& original, const Bytes& damaged, const CompoundLayout& layout);

}  // namespace tabulon::bench
