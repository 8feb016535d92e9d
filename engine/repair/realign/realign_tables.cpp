// The realign walk's first step: the allocation table's, DIFAT's, directory's and mini stream
// table's sectors located where they truly begin in the bytes as found, each under the shifts
// it reads best (see realign_walk.h).
#include <algorithm>
#include <limits>
#include <map>

#include "engine/base/byte_order.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/directory_entry.h"
#include "engine/cfb/sector_probes.h"
#include "engine/repair/realign/realign_walk.h"

namespace tabulon::realigning {
namespace {

// How well `p` reads as the table sector whose first entry is entry `base`, of a table of
// `bound` units: 0 when an entry leads past them (a chain that runs on past them too: the
// allocation table's first sector reads as a small mini stream's table sector otherwise). A
// chain that runs on at this very place says more than a free entry, which any table sector,
// and any stretch of 0xFF bytes, holds.
int TableSectorScore(const std::uint8_t* p, std::uint32_t base, std::uint64_t bound)
{
    int score = 1;
    for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j) {
        const std::uint32_t v = LoadLe32(p + 4 * j);
        if (v >= kFirstSpecialValue)
            ++score;
        else if (v >= bound)
            return 0;
        else if (v == base + j + 1)
            score += kStrong;
    }
    return score;
}

// How well `p` reads as a DIFAT sector that lists `listed` table sectors after `previous`: the
// table's sectors in one run on from it (each the one after the last), free entries after them,
// and the next DIFAT sector (or the chain's end) last, within `bound` sectors. A table written in
// one run, as writers write large ones, makes every pair count; a table sector of chains that
// run on reads so too, but does not go on from `previous`.
int DifatSectorScore(const std::uint8_t* p, std::size_t listed, std::uint32_t previous, std::uint64_t bound)
{
    int score = LoadLe32(p) == previous + 1 ? 1 + kStrong : 1;
    for (std::size_t j = 0; j + 1 < kEntriesPerFatSector; ++j) {
        const std::uint32_t v = LoadLe32(p + 4 * j);
        if (j < listed) {
            if (v >= bound)
                return 0;
            if (j > 0 && v == LoadLe32(p + 4 * (j - 1)) + 1)
                score += kStrong;
        } else if (v == kFreeSector) {
            ++score;
        }
    }
    // The last one ends the chain with an end-of-chain entry, or (as LibreOffice writes it) with
    // a free one.
    const std::uint32_t next = LoadLe32(p + 4 * (kEntriesPerFatSector - 1));
    return next < bound || next == kEndOfChain || next == kFreeSector ? score + 1 : score;
}

// A table sector that reads as one only with a CR put back among its own bytes (a table of more
// than 2,560 sectors holds many LF bytes): near the shift the fixed sectors before it had. The
// shift it reads under so, where in it the CR goes noted.
template <class Score>
std::optional<std::int64_t> ShiftWithCrInside(
    const Grid& grid, Tables& tables, std::uint32_t sector, std::int64_t from, std::int64_t to, Score score, int enough)
{
    const auto b = grid.bytes;
    for (std::int64_t shift = from; shift <= std::min(to, from + 256); ++shift) {
        const std::uint64_t at = Grid::SectorAt(sector, shift);
        if (grid.Inside(at, kSectorSize - 1) && grid.PlacesIn(kHeaderSize - 1, at) >= static_cast<std::size_t>(shift / grid.step)) {
            auto place = std::lower_bound(grid.places.begin(), grid.places.end(), at);
            for (; place != grid.places.end() && *place < at + kSectorSize - 1; ++place) {
                SectorBytes window;
                const auto start = b.begin() + static_cast<std::ptrdiff_t>(at);
                const auto cr = b.begin() + static_cast<std::ptrdiff_t>(*place);
                auto out = std::copy(start, cr, window.begin());
                *out++ = kCr;
                std::copy(cr, start + static_cast<std::ptrdiff_t>(kSectorSize - 1), out);
                if (!grid.Spend())
                    return std::nullopt;
                if (score(window.data()) >= enough) {
                    tables.inside[sector] = *place;
                    return shift;
                }
            }
        }
    }
    return std::nullopt;
}

// The shifts under which `sector` reads as `score` wants, nearest `from` first: the first whose
// score reaches `enough` (what a sector of the kind says of itself); where none does, all that
// read best.
template <class Score>
std::vector<std::int64_t> FindSector(
    const Grid& grid, Tables& tables, std::uint32_t sector, std::int64_t from, std::int64_t to, Score score, int enough)
{
    std::vector<std::int64_t> best;
    int bestScore = 0;
    const std::int64_t step = grid.step;
    if ((to - from) * step < 0 || (to - from) % step != 0)
        return best;
    for (std::int64_t shift = from;; shift += step) {
        const std::uint64_t at = Grid::SectorAt(sector, shift);
        if (grid.Inside(at, kSectorSize) && grid.PlacesIn(kHeaderSize - 1, at) >= static_cast<std::size_t>((shift - 0) / step)) {
            const int s = score(grid.bytes.data() + at);
            if (s >= enough)
                return {shift};
            if (s > bestScore) {
                bestScore = s;
                best.clear();
            }
            if (s == bestScore && s > 0)
                best.push_back(shift);
        }
        if (shift == to)
            break;
    }
    if (grid.move != Move::LostCr || enough < kEnoughForTable)
        return best;
    if (const std::optional<std::int64_t> shift = ShiftWithCrInside(grid, tables, sector, from, to, score, enough))
        return {*shift};
    return best;
}

// The shifts a sector can have between the fixed sectors around it.
std::pair<std::int64_t, std::int64_t> Bounds(const Tables& tables, std::uint32_t sector, std::int64_t most)
{
    const auto below = tables.fixed.lower_bound(sector);
    const std::int64_t from =
        below == tables.fixed.begin() ? 0 : tables.After(std::prev(below)->first, std::prev(below)->second.front());
    const std::int64_t to = below == tables.fixed.end() ? most : below->second.back();
    return {from, to};
}

// The table sectors the header lists, up to its 109; nothing where one lies past the grid.
std::optional<std::vector<std::uint32_t>> HeaderTableSectors(const Grid& grid, std::uint32_t fatCount, std::uint32_t bound)
{
    std::vector<std::uint32_t> list;
    for (std::uint32_t k = 0; k < std::min<std::uint32_t>(fatCount, kHeaderDifatEntries); ++k) {
        const std::uint32_t sector = LoadLe32(grid.bytes.data() + kHeaderDifatOffset + 4 * k);
        if (sector >= bound)
            return std::nullopt;
        list.push_back(sector);
    }
    return list;
}

// A table of more sectors than the header lists: the rest in the DIFAT sectors' chain, each
// where it reads whole as such a list (only a table written in one run is found so).
bool ReadDifat(const Grid& grid, Tables& tables, std::uint32_t fatCount, std::int64_t most, std::vector<std::uint32_t>& list)
{
    const std::uint8_t* header = grid.bytes.data();
    const std::uint32_t difatCount = LoadLe32(header + kNumDifatSectorsOffset);
    std::int64_t difatFrom = 0;
    for (std::uint32_t k = 0, d = LoadLe32(header + kFirstDifatSectorOffset); list.size() < fatCount; ++k) {
        if (k >= difatCount || d >= tables.sectorBound || tables.fixed.count(d))
            return false;
        const std::size_t listed = std::min<std::size_t>(kEntriesPerFatSector - 1, fatCount - list.size());
        const int whole = static_cast<int>(kStrong * listed + (kEntriesPerFatSector - 1 - listed) + 2);
        const std::uint32_t previous = list.back();
        const std::uint32_t bound = tables.sectorBound;
        const auto score = [&](const std::uint8_t* p) { return DifatSectorScore(p, listed, previous, bound); };
        const std::vector<std::int64_t> shifts = FindSector(grid, tables, d, difatFrom, most, score, whole);
        if (shifts.size() != 1 || score(FixedSector(grid, tables, d, shifts.front()).data()) != whole)
            return false;
        tables.fixed[d] = shifts;
        difatFrom = tables.After(d, shifts.front());
        const SectorBytes entries = FixedSector(grid, tables, d, shifts.front());
        for (std::size_t j = 0; j < listed; ++j)
            list.push_back(LoadLe32(entries.data() + 4 * j));
        d = LoadLe32(entries.data() + 4 * (kEntriesPerFatSector - 1));
    }
    return true;
}

// The table's own sectors, in the order of the file: each where its entries read as a table
// whose chains run on (entry g holding g + 1) the most. The table read from them.
bool ReadTableSectors(const Grid& grid, Tables& tables, const std::vector<std::uint32_t>& list, std::int64_t most)
{
    const auto fatCount = static_cast<std::uint32_t>(list.size());
    std::vector<std::uint32_t> inFileOrder = list;
    std::sort(inFileOrder.begin(), inFileOrder.end());
    std::map<std::uint32_t, std::uint32_t> place;  // sector -> its place in the table
    for (std::uint32_t k = 0; k < fatCount; ++k)
        place[list[k]] = k;
    std::int64_t last = 0;
    tables.fat.assign(std::size_t{fatCount} * kEntriesPerFatSector, kFreeSector);
    for (std::uint32_t sector : inFileOrder) {
        const std::uint32_t base = place[sector] * kEntriesPerFatSector;
        const std::uint32_t bound = tables.sectorBound;
        const auto score = [&](const std::uint8_t* p) { return TableSectorScore(p, base, bound); };
        const std::vector<std::int64_t> shifts = FindSector(grid, tables, sector, last, most, score, kEnoughForTable);
        if (shifts.empty())
            return false;
        tables.fixed[sector] = shifts;
        last = tables.After(sector, shifts.front());
        const SectorBytes table = FixedSector(grid, tables, sector, shifts.front());
        for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j)
            tables.fat[base + j] = LoadLe32(table.data() + 4 * j);
    }
    for (std::uint32_t g = 0; g < tables.fat.size(); ++g)
        if (tables.fat[g] != kFreeSector)
            tables.highestUsed = g;
    return true;
}

// The shifts a directory sector can have: between the fixed sectors around it, and never before
// the end of the fixed sector below it (further back lies that sector's own bytes, which read as
// entries as well as its own).
std::pair<std::int64_t, std::int64_t> DirectoryBounds(const Grid& grid, const Tables& tables, std::uint32_t sector, std::int64_t most)
{
    auto [from, to] = Bounds(tables, sector, most);
    if (const auto below = tables.fixed.lower_bound(sector); grid.move == Move::LostCr && below != tables.fixed.begin()) {
        const auto& [previous, shifts] = *std::prev(below);
        const std::int64_t end = static_cast<std::int64_t>(Grid::SectorAt(previous, shifts.front()) + kSectorSize) -
                                 (tables.inside.count(previous) ? 1 : 0);
        to = std::min(to, std::int64_t{kSectorSize} * (std::int64_t{sector} + 1) - end);
    }
    return {from, to};
}

// The directory's sectors, in the order of the file, each between the shifts of the fixed
// sectors around it; the directory read from them in its own order.
bool LocateDirectory(const Grid& grid, Tables& tables, std::int64_t most)
{
    std::vector<std::uint32_t> directory;
    for (std::uint32_t sector = LoadLe32(grid.bytes.data() + kFirstDirectorySectorOffset); sector < tables.fat.size();
         sector = tables.fat[sector]) {
        if (directory.size() > tables.fat.size() || tables.fixed.count(sector))
            return false;
        directory.push_back(sector);
    }
    if (directory.empty())
        return false;
    const auto entryScore = [](const std::uint8_t* p) { return DirectorySectorScore(p, kStrong); };
    std::vector<std::uint32_t> directoryInFileOrder = directory;
    std::sort(directoryInFileOrder.begin(), directoryInFileOrder.end());
    for (std::uint32_t sector : directoryInFileOrder) {
        const auto [from, to] = DirectoryBounds(grid, tables, sector, most);
        // The shifts it reads best under, not the first it reads under: one 128 bytes off shows
        // three of its entries and one of the sector beside it, which may read as entries too.
        const std::vector<std::int64_t> shifts =
            FindSector(grid, tables, sector, from, to, entryScore, std::numeric_limits<int>::max());
        if (shifts.empty())
            return false;
        tables.fixed[sector] = shifts;
    }
    for (std::uint32_t sector : directory) {
        const std::uint8_t* p = grid.bytes.data() + Grid::SectorAt(sector, tables.fixed[sector].front());
        tables.directory.insert(tables.directory.end(), p, p + kSectorSize);
    }
    return true;
}

// The mini stream's table, read as the table is: its chains run on, its entries stay within the
// mini stream the root entry gives.
bool LocateMiniTable(const Grid& grid, Tables& tables, std::int64_t most)
{
    const std::optional<DirectoryEntry> root = tables.directory.size() >= kDirectoryEntrySize
                                                   ? ReadDirectoryEntry(tables.directory.data(), EntryReading::Lenient)
                                                   : std::nullopt;
    const std::uint64_t miniSectors = root ? (root->size & 0xFFFF'FFFF) / kMiniSectorSize + 1 : 0;
    for (std::uint32_t sector = LoadLe32(grid.bytes.data() + kFirstMiniFatSectorOffset); sector < tables.fat.size() && root;
         sector = tables.fat[sector]) {
        if (tables.miniTable.size() > tables.fat.size() || tables.fixed.count(sector))
            return false;
        tables.miniTable.push_back(sector);
    }
    std::map<std::uint32_t, std::uint32_t> miniPlace;
    for (std::uint32_t k = 0; k < tables.miniTable.size(); ++k)
        miniPlace[tables.miniTable[k]] = k;
    for (const auto& [sector, k] : miniPlace) {
        const std::uint32_t base = k * kEntriesPerFatSector;
        const auto score = [&](const std::uint8_t* p) { return TableSectorScore(p, base, miniSectors); };
        const auto [from, to] = Bounds(tables, sector, most);
        const std::vector<std::int64_t> shifts = FindSector(grid, tables, sector, from, to, score, kEnoughForTable);
        if (shifts.empty())
            return false;
        tables.fixed[sector] = shifts;
    }
    return true;
}

// Whether the fixed sectors' shifts go one way along the file.
bool ShiftsGoOneWay(const Grid& grid, const Tables& tables)
{
    std::int64_t previous = 0;
    for (const auto& [sector, shifts] : tables.fixed) {
        if ((shifts.back() - previous) * grid.step < 0)
            return false;
        if ((shifts.front() - previous) * grid.step > 0)
            previous = shifts.front();
    }
    return true;
}

}  // namespace

SectorBytes FixedSector(const Grid& grid, const Tables& tables, std::uint32_t sector, std::int64_t shift)
{
    SectorBytes window{};
    const auto from = grid.bytes.begin() + static_cast<std::ptrdiff_t>(Grid::SectorAt(sector, shift));
    const auto inside = tables.inside.find(sector);
    if (inside == tables.inside.end()) {
        std::copy_n(from, kSectorSize, window.begin());
        return window;
    }
    const auto cr = grid.bytes.begin() + static_cast<std::ptrdiff_t>(inside->second);
    auto out = std::copy(from, cr, window.begin());
    *out++ = kCr;
    std::copy(cr, from + static_cast<std::ptrdiff_t>(kSectorSize - 1), out);
    return window;
}

std::optional<Tables> LocateTables(const Grid& grid)
{
    const std::uint8_t* header = grid.bytes.data();
    const std::uint32_t fatCount = LoadLe32(header + kNumFatSectorsOffset);
    const std::uint32_t difatCount = LoadLe32(header + kNumDifatSectorsOffset);
    if (fatCount == 0 || (fatCount > kHeaderDifatEntries && difatCount == 0) || difatCount > fatCount)
        return std::nullopt;
    // How far the fixed sectors' shifts may go: up to 4,096 CRs lost, up to eight clusters put in.
    const auto placeCount = static_cast<std::int64_t>(grid.places.size());
    const std::int64_t most = grid.move == Move::LostCr ? std::min<std::int64_t>(placeCount, 4096)
                                                        : -std::int64_t(kClusterSize) * std::min<std::int64_t>(placeCount, 8);
    Tables tables;
    tables.sectorBound =
        static_cast<std::uint32_t>((grid.bytes.size() + static_cast<std::uint64_t>(std::max<std::int64_t>(most, 0))) / kSectorSize);
    tables.reach = static_cast<std::uint64_t>(most < 0 ? -most : most) + kSectorSize;
    std::optional<std::vector<std::uint32_t>> list = HeaderTableSectors(grid, fatCount, tables.sectorBound);
    if (!list || !ReadDifat(grid, tables, fatCount, most, *list) || !ReadTableSectors(grid, tables, *list, most) ||
        !LocateDirectory(grid, tables, most) || !LocateMiniTable(grid, tables, most) || !ShiftsGoOneWay(grid, tables))
        return std::nullopt;
    return tables;
}

}  // namespace tabulon::realigning
