// Putting a compound file's bytes back on its sector grid, one place at a time, each proved
// by the structure (see realign_grid.h).
#include "engine/repair/realign/realign_walk.h"

#include <algorithm>
#include <limits>
#include <map>
#include <string_view>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/directory_entry.h"
#include "engine/cfb/header.h"
#include "engine/cfb/sector_probes.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon::realigning {
namespace {

// How well `p` reads as the table sector whose first entry is entry `base`, of a table of
// `bound` units: 0 when an entry leads past them. A chain that runs on at this very place
// says more than a free entry, which any table sector, and any stretch of 0xFF bytes, holds.
int TableSectorScore(const std::uint8_t* p, std::uint32_t base, std::uint64_t bound)
{
    int score = 1;
    for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j) {
        const std::uint32_t v = LoadLe32(p + 4 * j);
        if (v == base + j + 1)
            score += kStrong;
        else if (v >= kFirstSpecialValue)
            ++score;
        else if (v >= bound)
            return 0;
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
    const std::uint32_t next = LoadLe32(p + 4 * (kEntriesPerFatSector - 1));
    return next < bound || next == kEndOfChain ? score + 1 : score;
}

}  // namespace

// The shifts under which `sector` reads as `score` wants, nearest `from` first: the first whose
// score reaches `enough` (what a sector of the kind says of itself); where none does, all that
// read best.
template <class Score>
std::vector<std::int64_t> GridWalk::FindSector(std::uint32_t sector, std::int64_t from, std::int64_t to, Score score, int enough)
{
    std::vector<std::int64_t> best;
    int bestScore = 0;
    if ((to - from) * step_ < 0 || (to - from) % step_ != 0)
        return best;
    for (std::int64_t shift = from;; shift += step_) {
        const std::uint64_t at = SectorAt(sector, shift);
        if (Inside(at, kSectorSize) && PlacesIn(kHeaderSize - 1, at) >= static_cast<std::size_t>((shift - 0) / step_)) {
            const int s = score(b_.data() + at);
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
    if (move_ != Move::LostCr || enough < kEnoughForTable)
        return best;
    // A table sector that reads as one only with a CR put back among its own bytes (a table of
    // more than 2,560 sectors holds many LF bytes): near the shift the fixed sectors before it
    // had.
    for (std::int64_t shift = from; shift <= std::min(to, from + 256); ++shift) {
        const std::uint64_t at = SectorAt(sector, shift);
        if (Inside(at, kSectorSize - 1) && PlacesIn(kHeaderSize - 1, at) >= static_cast<std::size_t>(shift / step_)) {
            auto place = std::lower_bound(places_.begin(), places_.end(), at);
            for (; place != places_.end() && *place < at + kSectorSize - 1; ++place) {
                SectorBytes window;
                const auto start = b_.begin() + static_cast<std::ptrdiff_t>(at);
                const auto cr = b_.begin() + static_cast<std::ptrdiff_t>(*place);
                auto out = std::copy(start, cr, window.begin());
                *out++ = kCr;
                std::copy(cr, start + static_cast<std::ptrdiff_t>(kSectorSize - 1), out);
                if (!Spend())
                    return best;
                if (score(window.data()) >= enough) {
                    inside_[sector] = *place;
                    return {shift};
                }
            }
        }
    }
    return best;
}

// The 512 bytes of a fixed sector read under `shift`, a CR put back where it lost one.
SectorBytes GridWalk::FixedSector(std::uint32_t sector, std::int64_t shift) const
{
    SectorBytes window{};
    const auto from = b_.begin() + static_cast<std::ptrdiff_t>(SectorAt(sector, shift));
    const auto inside = inside_.find(sector);
    if (inside == inside_.end()) {
        std::copy_n(from, kSectorSize, window.begin());
        return window;
    }
    const auto cr = b_.begin() + static_cast<std::ptrdiff_t>(inside->second);
    auto out = std::copy(from, cr, window.begin());
    *out++ = kCr;
    std::copy(cr, from + static_cast<std::ptrdiff_t>(kSectorSize - 1), out);
    return window;
}

bool GridWalk::LocateTables()
{
    const std::uint8_t* header = b_.data();
    const std::uint32_t fatCount = LoadLe32(header + kNumFatSectorsOffset);
    const std::uint32_t difatCount = LoadLe32(header + kNumDifatSectorsOffset);
    if (fatCount == 0 || (fatCount > kHeaderDifatEntries && difatCount == 0) || difatCount > fatCount)
        return false;
    const std::int64_t most = move_ == Move::LostCr
        ? std::min<std::int64_t>(static_cast<std::int64_t>(places_.size()), 4096)
        : -std::int64_t(kClusterSize) * std::min<std::int64_t>(static_cast<std::int64_t>(places_.size()), 8);
    sectorBound_ =
        static_cast<std::uint32_t>((b_.size() + static_cast<std::uint64_t>(std::max<std::int64_t>(most, 0))) / kSectorSize);
    reach_ = static_cast<std::uint64_t>(most < 0 ? -most : most) + kSectorSize;
    std::vector<std::uint32_t> tables;
    for (std::uint32_t k = 0; k < std::min<std::uint32_t>(fatCount, kHeaderDifatEntries); ++k) {
        const std::uint32_t sector = LoadLe32(header + kHeaderDifatOffset + 4 * k);
        if (sector >= sectorBound_)
            return false;
        tables.push_back(sector);
    }
    // A table of more sectors than the header lists: the rest in the DIFAT sectors' chain, each
    // where it reads whole as such a list (only a table written in one run is found so).
    std::int64_t difatFrom = 0;
    for (std::uint32_t k = 0, d = LoadLe32(header + kFirstDifatSectorOffset); tables.size() < fatCount; ++k) {
        if (k >= difatCount || d >= sectorBound_ || fixed_.count(d))
            return false;
        const std::size_t listed = std::min<std::size_t>(kEntriesPerFatSector - 1, fatCount - tables.size());
        const int whole = static_cast<int>(kStrong * listed + (kEntriesPerFatSector - 1 - listed) + 2);
        const std::uint32_t previous = tables.back();
        const auto score = [&](const std::uint8_t* p) { return DifatSectorScore(p, listed, previous, sectorBound_); };
        const std::vector<std::int64_t> shifts = FindSector(d, difatFrom, most, score, whole);
        if (shifts.size() != 1 || score(FixedSector(d, shifts.front()).data()) != whole)
            return false;
        fixed_[d] = shifts;
        difatFrom = After(d, shifts.front());
        const SectorBytes list = FixedSector(d, shifts.front());
        for (std::size_t j = 0; j < listed; ++j)
            tables.push_back(LoadLe32(list.data() + 4 * j));
        d = LoadLe32(list.data() + 4 * (kEntriesPerFatSector - 1));
    }
    // The table's own sectors, in the order of the file: each where its entries read as a table
    // whose chains run on (entry g holding g + 1) the most.
    std::vector<std::uint32_t> inFileOrder = tables;
    std::sort(inFileOrder.begin(), inFileOrder.end());
    std::map<std::uint32_t, std::uint32_t> place;  // sector -> its place in the table
    for (std::uint32_t k = 0; k < fatCount; ++k)
        place[tables[k]] = k;
    std::int64_t last = 0;
    fat_.assign(std::size_t{fatCount} * kEntriesPerFatSector, kFreeSector);
    for (std::uint32_t sector : inFileOrder) {
        const std::uint32_t base = place[sector] * kEntriesPerFatSector;
        const auto score = [&](const std::uint8_t* p) { return TableSectorScore(p, base, sectorBound_); };
        const std::vector<std::int64_t> shifts = FindSector(sector, last, most, score, kEnoughForTable);
        if (shifts.empty())
            return false;
        fixed_[sector] = shifts;
        last = After(sector, shifts.front());
        const SectorBytes table = FixedSector(sector, shifts.front());
        for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j)
            fat_[base + j] = LoadLe32(table.data() + 4 * j);
    }
    for (std::uint32_t g = 0; g < fat_.size(); ++g)
        if (fat_[g] != kFreeSector)
            highestUsed_ = g;
    // The directory's sectors, each between the shifts of the fixed sectors around it.
    std::vector<std::uint32_t> directory;
    for (std::uint32_t sector = LoadLe32(header + kFirstDirectorySectorOffset); sector < fat_.size(); sector = fat_[sector]) {
        if (directory.size() > fat_.size() || fixed_.count(sector))
            return false;
        directory.push_back(sector);
    }
    if (directory.empty())
        return false;
    const auto entryScore = [](const std::uint8_t* p) {
        int s = 1;
        for (std::size_t e = 0; e < kDirectoryEntriesPerSector; ++e) {
            const std::uint8_t* raw = p + e * kDirectoryEntrySize;
            if (ReadDirectoryEntry(raw, EntryReading::Strict)) {
                s += kStrong;
                continue;
            }
            // Any other entry only as its marks allow: an object type, a colour, a name length a
            // writer could give (an unused entry's among them).
            const std::uint16_t nameBytes = LoadLe16(raw + kEntryNameLengthOffset);
            const std::uint8_t type = raw[kEntryObjectTypeOffset];
            if ((type != 0 && type != kObjectTypeStorage && type != kObjectTypeStream && type != kObjectTypeRootStorage) ||
                raw[kEntryColorFlagOffset] > 1 || nameBytes > 2 * (kMaxEntryNameLength + 1) || nameBytes % 2 != 0)
                return 0;
            ++s;
        }
        return s;
    };
    // In the order of the file, each between the fixed sectors around it.
    std::vector<std::uint32_t> directoryInFileOrder = directory;
    std::sort(directoryInFileOrder.begin(), directoryInFileOrder.end());
    for (std::uint32_t sector : directoryInFileOrder) {
        auto [from, to] = Bounds(sector, most);
        // Never before the end of the fixed sector below it: further back lies that sector's
        // own bytes, which read as entries as well as its own.
        if (const auto below = fixed_.lower_bound(sector); move_ == Move::LostCr && below != fixed_.begin()) {
            const auto& [previous, shifts] = *std::prev(below);
            const std::int64_t end = static_cast<std::int64_t>(SectorAt(previous, shifts.front()) + kSectorSize) -
                                     (inside_.count(previous) ? 1 : 0);
            to = std::min(to, std::int64_t{kSectorSize} * (std::int64_t{sector} + 1) - end);
        }
        // The shifts it reads best under, not the first it reads under: one 128 bytes off shows
        // three of its entries and one of the sector beside it, which may read as entries too.
        const std::vector<std::int64_t> shifts = FindSector(sector, from, to, entryScore, std::numeric_limits<int>::max());
        if (shifts.empty())
            return false;
        fixed_[sector] = shifts;
    }
    for (std::uint32_t sector : directory) {
        const std::uint8_t* p = b_.data() + SectorAt(sector, fixed_[sector].front());
        directory_.insert(directory_.end(), p, p + kSectorSize);
    }
    // The mini stream's table, read as the table is: its chains run on, its entries stay within
    // the mini stream the root entry gives.
    const std::optional<DirectoryEntry> root =
        directory_.size() >= kDirectoryEntrySize ? ReadDirectoryEntry(directory_.data(), EntryReading::Lenient) : std::nullopt;
    const std::uint64_t miniSectors = root ? (root->size & 0xFFFF'FFFF) / kMiniSectorSize + 1 : 0;
    for (std::uint32_t sector = LoadLe32(header + kFirstMiniFatSectorOffset); sector < fat_.size() && root;
         sector = fat_[sector]) {
        if (miniTable_.size() > fat_.size() || fixed_.count(sector))
            return false;
        miniTable_.push_back(sector);
    }
    std::map<std::uint32_t, std::uint32_t> miniPlace;
    for (std::uint32_t k = 0; k < miniTable_.size(); ++k)
        miniPlace[miniTable_[k]] = k;
    for (const auto& [sector, k] : miniPlace) {
        const std::uint32_t base = k * kEntriesPerFatSector;
        const auto score = [&](const std::uint8_t* p) { return TableSectorScore(p, base, miniSectors); };
        const auto [from, to] = Bounds(sector, most);
        const std::vector<std::int64_t> shifts = FindSector(sector, from, to, score, kEnoughForTable);
        if (shifts.empty())
            return false;
        fixed_[sector] = shifts;
    }
    // The fixed sectors' shifts must go one way along the file.
    std::int64_t previous = 0;
    for (const auto& [sector, shifts] : fixed_) {
        if ((shifts.back() - previous) * step_ < 0)
            return false;
        if ((shifts.front() - previous) * step_ > 0)
            previous = shifts.front();
    }
    return true;
}

bool GridWalk::ReadWorkbookChain()
{
    for (std::size_t e = 0; e + kDirectoryEntrySize <= directory_.size(); e += kDirectoryEntrySize) {
        const std::optional<DirectoryEntry> entry = ReadDirectoryEntry(directory_.data() + e, EntryReading::Strict);
        if (!entry || entry->type != kObjectTypeStream || !biff::IsWorkbookStreamName(entry->name))
            continue;
        streamSize_ = entry->size & 0xFFFF'FFFF;
        if (streamSize_ < kMiniStreamCutoff)
            return ReadMiniChain(entry->start);
        std::uint32_t sector = entry->start;
        const std::uint64_t sectors = (streamSize_ + kSectorSize - 1) / kSectorSize;
        while (chain_.size() < sectors) {
            if (sector >= fat_.size() || fixed_.count(sector) || !AddUnit((std::uint64_t{sector} + 1) * kSectorSize))
                return false;
            sector = fat_[sector];
        }
        // A detour ends where the first run begins; the fixed sector right before it says the
        // shift at its start.
        if (detour_) {
            const Stretch& back = runs_[detour_->run];
            const std::uint64_t firstSector = back.first / kSectorSize - 1;
            const auto before = firstSector > 0 ? fixed_.find(static_cast<std::uint32_t>(firstSector - 1)) : fixed_.end();
            if (back.first + back.count * unit_ != runs_[0].first || before == fixed_.end() || before->second.size() != 1)
                return false;
            detour_->startShift = After(before->first, before->second.front());
        }
        return true;
    }
    return false;
}

// The next unit of the workbook stream, at `at` in the file: the walk follows the stream along
// the file.
bool GridWalk::AddUnit(std::uint64_t at)
{
    if (!chain_.empty() && at <= chain_.back()) {
        // The second run going back to right before the first (checked below, where it ends).
        if (detour_ || runs_.size() != 1 || unit_ != kSectorSize || at + unit_ > runs_[0].first)
            return false;
        detour_ = Detour{runs_.size()};
    } else if (detour_ && runs_.size() == detour_->run + 1 && at > runs_[0].first) {
        // Out of it: past the first run, the detour's run ending where that one begins.
        if (chain_.back() + unit_ != runs_[0].first || at < runs_[0].first + runs_[0].count * unit_)
            return false;
    }
    chain_.push_back(at);
    if (runs_.empty() || runs_.back().first + runs_.back().count * unit_ != at)
        runs_.push_back({at, 0, (chain_.size() - 1) * unit_});
    ++runs_.back().count;
    return true;
}

// A workbook stream kept in the mini stream: its 64-byte sectors, through the mini stream's
// table (fixed sectors) and the root entry's chain of sectors that holds the mini stream. Where
// they do not run along the file, the fixed sectors and the final check must do, as before.
bool GridWalk::ReadMiniChain(std::uint32_t start)
{
    const std::optional<DirectoryEntry> root =
        directory_.size() >= kDirectoryEntrySize ? ReadDirectoryEntry(directory_.data(), EntryReading::Lenient) : std::nullopt;
    if (!root || miniTable_.empty())
        return true;
    std::vector<std::uint64_t> holder;  // where the mini stream's sectors lie in the file
    for (std::uint32_t sector = root->start; sector < fat_.size() && holder.size() <= fat_.size(); sector = fat_[sector]) {
        if (fixed_.count(sector))
            return true;
        holder.push_back((std::uint64_t{sector} + 1) * kSectorSize);
    }
    std::vector<std::uint32_t> miniFat;
    for (std::uint32_t sector : miniTable_) {
        const SectorBytes table = FixedSector(sector, fixed_.at(sector).front());
        for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j)
            miniFat.push_back(LoadLe32(table.data() + 4 * j));
    }
    unit_ = kMiniSectorSize;
    const std::uint64_t units = (streamSize_ + kMiniSectorSize - 1) / kMiniSectorSize;
    for (std::uint32_t mini = start; chain_.size() < units; mini = miniFat[mini]) {
        const std::uint64_t offset = std::uint64_t{mini} * kMiniSectorSize;
        if (mini >= miniFat.size() || offset / kSectorSize >= holder.size() ||
            !AddUnit(holder[offset / kSectorSize] + offset % kSectorSize)) {
            chain_.clear();
            runs_.clear();
            unit_ = kSectorSize;
            return true;
        }
    }
    return true;
}

// Decides the places in (from, to] that move the shift from `shiftFrom` to `shiftTo`, the fixed
// sectors between keeping theirs. Where more places than needed could act, the first act: the
// structure cannot tell them apart.
bool GridWalk::Place(
    std::uint64_t from, std::int64_t shiftFrom, std::uint64_t to, std::int64_t shiftTo, std::vector<std::uint64_t>* into) const
{
    std::uint64_t at = from;
    std::int64_t shift = shiftFrom;
    auto segment = [&](std::uint64_t end, std::int64_t target) {
        const std::int64_t needed = (target - shift) / step_;
        if (needed < 0 || (target - shift) % step_ != 0 || end < at)
            return false;
        if (needed == 0)
            return true;  // (most records: no place in them acts)
        const std::size_t available = PlacesIn(at, end);
        if (available < static_cast<std::size_t>(needed))
            return false;
        if (into) {
            auto first = std::upper_bound(places_.begin(), places_.end(), at);
            if (move_ == Move::ForeignCluster && available > static_cast<std::size_t>(needed))
                openChoices_.push_back({std::vector<std::uint64_t>(first, first + static_cast<std::ptrdiff_t>(available)),
                    static_cast<std::size_t>(needed)});
            for (std::int64_t k = 0; k < needed; ++k)
                into->push_back(*first++);
        }
        return true;
    };
    std::vector<std::pair<std::uint32_t, const std::vector<std::int64_t>*>> between;
    const auto [near, nearEnd] = FixedNear(from, to);
    for (auto it = near; it != nearEnd; ++it) {
        const auto& [sector, shifts] = *it;
        const std::uint64_t start = SectorAt(sector, shifts.front());
        if (start > from && start < to)
            between.emplace_back(sector, &shifts);
    }
    for (std::size_t i = 0; i < between.size(); ++i) {
        // Of the shifts a sector reads under, the one furthest along that the sectors after it
        // and the end still allow.
        std::int64_t bound = shiftTo;
        for (std::size_t k = i + 1; k < between.size(); ++k)
            if ((between[k].second->back() - bound) * step_ < 0)
                bound = between[k].second->back();
        std::optional<std::int64_t> chosen;
        for (std::int64_t candidate : *between[i].second) {
            const std::uint64_t start = SectorAt(between[i].first, candidate);
            if ((candidate - shift) * step_ < 0 || (candidate - bound) * step_ > 0 || start < at)
                continue;
            if (PlacesIn(at, start) >= static_cast<std::size_t>((candidate - shift) / step_))
                chosen = candidate;
        }
        if (!chosen)
            return false;
        const std::uint64_t start = SectorAt(between[i].first, *chosen);
        if (!segment(start, *chosen))
            return false;
        const auto inside = inside_.find(between[i].first);
        if (inside != inside_.end() && into)
            into->push_back(inside->second);
        // A place may act at the first byte after it.
        at = start + kSectorSize - (inside != inside_.end() ? 1 : 0) - 1;
        shift = After(between[i].first, *chosen);
    }
    return segment(to, shiftTo);
}

// The shifts a sector can have between the fixed sectors around it.
std::pair<std::int64_t, std::int64_t> GridWalk::Bounds(std::uint32_t sector, std::int64_t most) const
{
    const auto below = fixed_.lower_bound(sector);
    const std::int64_t from = below == fixed_.begin() ? 0 : After(std::prev(below)->first, std::prev(below)->second.front());
    const std::int64_t to = below == fixed_.end() ? most : below->second.back();
    return {from, to};
}

std::optional<Bytes> GridWalk::Run(bool onlyMoved)
{
    if (b_.size() < 2 * kSectorSize || !SignatureAt(b_, 0))
        return std::nullopt;
    if (!LocateTables())
        return std::nullopt;
    // Clusters put in lengthen the file past all the table uses, by a cluster each: a file no
    // longer than that holds none, and its stream need not be walked to say so.
    if (move_ == Move::ForeignCluster && b_.size() < kSectorSize * (std::uint64_t{highestUsed_} + 2) + kClusterSize)
        return std::nullopt;
    if (!ReadWorkbookChain())
        return std::nullopt;
    std::uint64_t done = kHeaderSize - 1;
    std::int64_t shift = 0;
    if (!chain_.empty() && !WalkRecords(done, shift))
        return std::nullopt;
    // The rest: the fixed sectors after the stream, then a file as long as its grid.
    std::int64_t last = shift;
    for (const auto& [sector, shifts] : fixed_)
        if (SectorAt(sector, shifts.front()) > done && (After(sector, shifts.front()) - last) * step_ > 0)
            last = After(sector, shifts.front());
    std::int64_t target = last;
    if (move_ == Move::LostCr) {
        while ((static_cast<std::int64_t>(b_.size()) + target) % std::int64_t{kSectorSize} != 0 &&
            Place(done, shift, b_.size(), target + step_, nullptr))
            target += step_;
        if ((static_cast<std::int64_t>(b_.size()) + target) % std::int64_t{kSectorSize} != 0)
            target = last;
    } else {
        // Clusters past everything the table uses.
        const std::int64_t needed = std::int64_t{kSectorSize} * (std::int64_t{highestUsed_} + 2);
        while (static_cast<std::int64_t>(b_.size()) + target + step_ >= needed &&
            Place(done, shift, b_.size(), target + step_, nullptr))
            target += step_;
    }
    openChoices_.clear();
    if (!Place(done, shift, b_.size(), target, &acted_))
        return std::nullopt;
    std::sort(acted_.begin(), acted_.end());
    acted_.erase(std::unique(acted_.begin(), acted_.end()), acted_.end());
    if (!stringChoices_.empty()) {
        std::optional<std::vector<std::uint64_t>> settled = SettleStringChoices(target);
        if (!settled)
            return std::nullopt;
        acted_ = std::move(*settled);
    }
    ChooseByStreams();
    if (onlyMoved && acted_.empty())
        return std::nullopt;  // (no copy of a large file made to be thrown away)
    std::optional<Bytes> result;
    if (openChoices_.empty()) {
        result = Build(acted_, target);
        if (result && !LeaveOut(*result))
            return std::nullopt;
        return result;
    }
    // Which of the places in other streams' sectors held the clusters, no record says: the first
    // choice that makes the whole file open stands (a few dozen tried at most).
    std::vector<std::uint64_t> fixed;
    for (std::uint64_t at : acted_) {
        const bool open = std::any_of(openChoices_.begin(), openChoices_.end(), [at](const OpenChoice& choice) {
            return std::find(choice.places.begin(), choice.places.end(), at) != choice.places.end();
        });
        if (!open)
            fixed.push_back(at);
    }
    std::vector<std::uint64_t> picked;
    int tries = 0;
    result = TryChoices(fixed, 0, picked, target, tries);
    if (!result)
        result = Build(acted_, target);
    if (result && !LeaveOut(*result))
        return std::nullopt;
    return result;
}

std::optional<Bytes> GridWalk::TryChoices(const std::vector<std::uint64_t>& fixed, std::size_t choice,
    std::vector<std::uint64_t>& picked, std::int64_t shift, int& tries) const
{
    constexpr int kMostTries = 48;
    if (choice == openChoices_.size()) {
        if (++tries > kMostTries)
            return std::nullopt;
        std::vector<std::uint64_t> acted = fixed;
        acted.insert(acted.end(), picked.begin(), picked.end());
        std::optional<Bytes> bytes = Build(acted, shift);
        return bytes && Opens(*bytes) ? bytes : std::nullopt;
    }
    const OpenChoice& open = openChoices_[choice];
    std::optional<Bytes> found;
    ForEachChoice(open.places.size(), open.acting, [&](const std::vector<std::size_t>& index) {
        const std::size_t before = picked.size();
        for (std::size_t k : index)
            picked.push_back(open.places[k]);
        found = TryChoices(fixed, choice + 1, picked, shift, tries);
        picked.resize(before);
        return !found && tries <= kMostTries;
    });
    return found;
}

// The cells left out become filler, their records' lengths kept: readers skip them, and every
// record after them stays where it is.
void GridWalk::FillerAt(Bytes& original, std::uint64_t header) const
{
    // Where that header lies in the original: each place before it moved it by a step.
    const auto before = static_cast<std::int64_t>(
        std::upper_bound(acted_.begin(), acted_.end(), move_ == Move::LostCr ? header : header - kClusterSize) - acted_.begin());
    const std::int64_t at = static_cast<std::int64_t>(header) + before * step_;
    if (at >= 0 && static_cast<std::uint64_t>(at) + 2 <= original.size())
        StoreLe16(original.data() + at, biff::kFillerRecord);
}

bool GridWalk::LeaveOut(Bytes& original) const
{
    textsLeftOut_ = 0;
    if (!doubtfulStrings_.empty()) {
        // The shared-string cells of the stream as built, in order, are those the walk took.
        ByteViewFile file(original);
        const std::optional<Bytes> stream = ReadWorkbookStream(file);
        if (!stream)
            return false;
        std::vector<std::uint64_t> doubtful;
        std::size_t k = 0;
        for (const BiffRecord& record : ListRecords(*stream)) {
            if (record.type != biff::kLabelSst)
                continue;
            if (k >= sharedStringCells_.size())
                return false;
            if (record.length >= 10 &&
                std::binary_search(doubtfulStrings_.begin(), doubtfulStrings_.end(), LoadLe32(stream->data() + record.offset + 10)))
                doubtful.push_back(sharedStringCells_[k]);
            ++k;
        }
        if (k != sharedStringCells_.size() || leftOut_.size() + doubtful.size() > kMostLeftOut)
            return false;
        for (const std::uint64_t header : doubtful)
            FillerAt(original, header);
        textsLeftOut_ = static_cast<std::uint32_t>(doubtful.size());
    }
    for (const std::uint64_t header : leftOut_)
        FillerAt(original, header);
    return true;
}

std::optional<Bytes> GridWalk::Build(const std::vector<std::uint64_t>& places, std::int64_t shift) const
{
    std::vector<std::uint64_t> acted = places;
    std::sort(acted.begin(), acted.end());
    acted.erase(std::unique(acted.begin(), acted.end()), acted.end());
    Bytes original;
    original.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, static_cast<std::int64_t>(b_.size()) + shift)));
    std::uint64_t from = 0;
    for (std::uint64_t at : acted) {
        if (at < from || at > b_.size())
            return std::nullopt;
        original.insert(
            original.end(), b_.begin() + static_cast<std::ptrdiff_t>(from), b_.begin() + static_cast<std::ptrdiff_t>(at));
        if (move_ == Move::LostCr) {
            original.push_back(kCr);
            from = at;
        } else {
            from = at + kClusterSize;
        }
    }
    original.insert(original.end(), b_.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(from, b_.size())), b_.end());
    return original;
}


bool Opens(std::span<const std::uint8_t> bytes)
{
    ByteViewFile file(bytes);
    return VerifyWorkbook(file).Opens();
}

bool SignatureAt(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return bytes.size() >= at + kHeaderSignature.size() &&
           std::equal(kHeaderSignature.begin(), kHeaderSignature.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

std::optional<GridResult> PutBackOnGrid(std::span<const std::uint8_t> bytes, Move move, bool onlyMoved)
{
    GridWalk walk(bytes, move);
    std::optional<Bytes> original = walk.Run(onlyMoved);
    if (!original)
        return std::nullopt;
    return GridResult{std::move(*original), walk.Acted(), walk.CellsLeftOut()};
}

}  // namespace tabulon::realigning
