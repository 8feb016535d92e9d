// What tabulon-recovery measures a repaired workbook by: its non-empty cells, each under its
// sheet index, row and column, and where the intact original keeps its allocation table and
// directory (for damaging them, and for telling the damage to the cells from the damage to
// the structure around them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tabulon::bench {

using Bytes = std::vector<std::uint8_t>;

// The non-empty cells of a workbook, sorted by key; one value per key (the last one read).
// Values carry their kind, so that a number never equals a text.
class CellTable {
public:
    static std::uint64_t Key(std::size_t sheet, std::uint32_t row, std::uint32_t column);
    void Add(std::size_t sheet, std::uint32_t row, std::uint32_t column, std::string value);
    // Sorts and drops all but the last value added under each key. Call once, after the adds.
    void Finish();

    std::size_t Size() const { return cells_.size(); }
    bool Empty() const { return cells_.empty(); }
    // How many of this table's cells `other` holds with the same value under the same key.
    std::size_t FoundIn(const CellTable& other) const;

private:
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

// The damaged file with its structure put back: the original's header, table, DIFAT,
// directory and mini table sectors over the damaged bytes, and whatever the damage cut off
// the end as zeros. What it still holds of the cells is all any repair of the structure can
// bring back; the bytes of the streams are as the damage left them.
Bytes StructureRestored(const Bytes& original, const Bytes& damaged, const CompoundLayout& layout);

}  // namespace tabulon::bench
