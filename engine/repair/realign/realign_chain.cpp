// The realign walk's second step: the workbook stream's units followed through the located
// table along the file (see realign_walk.h).
#include <optional>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/directory_entry.h"
#include "engine/repair/realign/realign_walk.h"

namespace tabulon::realigning {
namespace {

// The next unit of the workbook stream, at `at` in the file: the walk follows the stream along
// the file.
bool AddUnit(StreamChain& chain, std::uint64_t at)
{
    if (!chain.units.empty() && at <= chain.units.back()) {
        // The second run going back to right before the first (checked below, where it ends).
        if (chain.detour || chain.runs.size() != 1 || chain.unit != kSectorSize || at + chain.unit > chain.runs[0].first)
            return false;
        chain.detour = DetourRun{chain.runs.size()};
    } else if (chain.detour && chain.runs.size() == chain.detour->run + 1 && at > chain.runs[0].first) {
        // Out of it: past the first run, the detour's run ending where that one begins.
        if (chain.units.back() + chain.unit != chain.runs[0].first ||
            at < chain.runs[0].first + chain.runs[0].count * chain.unit)
            return false;
    }
    chain.units.push_back(at);
    if (chain.runs.empty() || chain.runs.back().first + chain.runs.back().count * chain.unit != at)
        chain.runs.push_back({at, 0, (chain.units.size() - 1) * chain.unit});
    ++chain.runs.back().count;
    return true;
}

// A workbook stream kept in the mini stream: its 64-byte sectors, through the mini stream's
// table (fixed sectors) and the root entry's chain of sectors that holds the mini stream. Where
// they do not run along the file, the fixed sectors and the final check must do, as before: the
// chain is left empty.
void ReadMiniChain(const Grid& grid, const Tables& tables, std::uint32_t start, StreamChain& chain)
{
    const std::optional<DirectoryEntry> root = tables.directory.size() >= kDirectoryEntrySize
                                                   ? ReadDirectoryEntry(tables.directory.data(), EntryReading::Lenient)
                                                   : std::nullopt;
    if (!root || tables.miniTable.empty())
        return;
    const std::vector<std::uint32_t>& fat = tables.fat;
    std::vector<std::uint64_t> holder;  // where the mini stream's sectors lie in the file
    for (std::uint32_t sector = root->start; sector < fat.size() && holder.size() <= fat.size(); sector = fat[sector]) {
        if (tables.fixed.count(sector))
            return;
        holder.push_back((std::uint64_t{sector} + 1) * kSectorSize);
    }
    std::vector<std::uint32_t> miniFat;
    for (std::uint32_t sector : tables.miniTable) {
        const SectorBytes table = FixedSector(grid, tables, sector, tables.fixed.at(sector).front());
        for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j)
            miniFat.push_back(LoadLe32(table.data() + 4 * j));
    }
    chain.unit = kMiniSectorSize;
    const std::uint64_t units = (chain.size + kMiniSectorSize - 1) / kMiniSectorSize;
    for (std::uint32_t mini = start; chain.units.size() < units; mini = miniFat[mini]) {
        const std::uint64_t offset = std::uint64_t{mini} * kMiniSectorSize;
        if (mini >= miniFat.size() || offset / kSectorSize >= holder.size() ||
            !AddUnit(chain, holder[offset / kSectorSize] + offset % kSectorSize)) {
            chain.units.clear();
            chain.runs.clear();
            chain.unit = kSectorSize;
            return;
        }
    }
}

// A detour ends where the first run begins; the fixed sector right before it says the shift at
// its start. Whether that holds.
bool FindDetourStart(const Tables& tables, StreamChain& chain)
{
    const Stretch& back = chain.runs[chain.detour->run];
    const std::uint64_t firstSector = back.first / kSectorSize - 1;
    const auto before =
        firstSector > 0 ? tables.fixed.find(static_cast<std::uint32_t>(firstSector - 1)) : tables.fixed.end();
    if (back.first + back.count * chain.unit != chain.runs[0].first || before == tables.fixed.end() ||
        before->second.size() != 1)
        return false;
    chain.detour->startShift = tables.After(before->first, before->second.front());
    return true;
}

}  // namespace

std::optional<StreamChain> ReadWorkbookChain(const Grid& grid, const Tables& tables)
{
    // The stream readers take, where a file keeps two (a BIFF5 "Book" beside its BIFF8
    // "Workbook"): the other's places are the ones no record proves.
    const std::vector<std::uint8_t>& directory = tables.directory;
    std::vector<std::optional<DirectoryEntry>> entries;
    for (std::size_t e = 0; e + kDirectoryEntrySize <= directory.size(); e += kDirectoryEntrySize)
        entries.push_back(ReadDirectoryEntry(directory.data() + e, EntryReading::Strict));
    const std::optional<std::size_t> found = biff::FindWorkbookStream(entries.size(), [&](std::size_t i) {
        return entries[i] && entries[i]->type == kObjectTypeStream ? std::optional<std::u16string_view>(entries[i]->name)
                                                                    : std::nullopt;
    });
    if (!found)
        return std::nullopt;
    const std::optional<DirectoryEntry>& entry = entries[*found];
    StreamChain chain;
    chain.size = entry->size & 0xFFFF'FFFF;
    if (chain.size < kMiniStreamCutoff) {
        ReadMiniChain(grid, tables, entry->start, chain);
        return chain;
    }
    std::uint32_t sector = entry->start;
    const std::uint64_t sectors = (chain.size + kSectorSize - 1) / kSectorSize;
    while (chain.units.size() < sectors) {
        if (sector >= tables.fat.size() || tables.fixed.count(sector) ||
            !AddUnit(chain, (std::uint64_t{sector} + 1) * kSectorSize))
            return std::nullopt;
        sector = tables.fat[sector];
    }
    if (chain.detour && !FindDetourStart(tables, chain))
        return std::nullopt;
    return chain;
}

}  // namespace tabulon::realigning
