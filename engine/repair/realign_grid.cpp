// Putting a compound file's bytes back on its sector grid, one place at a time, each proved
// by the structure (see realign_grid.h).
#include "engine/repair/realign_grid.h"

#include <algorithm>
#include <limits>
#include <map>
#include <string_view>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/biff/strings.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/directory_entry.h"
#include "engine/cfb/header.h"
#include "engine/cfb/sector_probes.h"
#include "engine/repair/workbook_file.h"

namespace tabulon::realigning {
namespace {

using Bytes = std::vector<std::uint8_t>;

// How many places one record, and the stretch of other sectors the workbook stream jumps over,
// may take at most: a long record of pictures may hold dozens of line ends.
constexpr int kMostInOneRecord = 64;
// How the sectors that must stand where they stand are told: a table entry that continues its
// chain at the very next entry, or a directory entry a writer could have made, is strong; free
// entries and unused directory entries are weak, since any stretch of 0xFF or zero bytes holds
// them. A sector with 8 strong table entries, or a strong directory entry, is taken at the first
// shift it reads so.
constexpr int kStrong = 1000;
constexpr int kEnoughForTable = 8 * kStrong;

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
// Calls `take` with each way of choosing `k` of `n` things (their indices, in order), until it
// returns false.
template <class Take>
void ForEachChoice(std::size_t n, std::size_t k, Take take)
{
    if (k > n)
        return;
    std::vector<std::size_t> index(k);
    for (std::size_t m = 0; m < k; ++m)
        index[m] = m;
    for (;;) {
        if (!take(index))
            return;
        std::size_t m = k;
        while (m > 0 && index[m - 1] == n - k + (m - 1))
            --m;
        if (m == 0)
            return;
        ++index[m - 1];
        for (std::size_t j = m; j < k; ++j)
            index[j] = index[j - 1] + 1;
    }
}

// ROW: a row's extent and height, before the cells of its block.
constexpr std::uint16_t kRow = 0x0208;
// Records the lookahead reads past a decision before it is taken.
constexpr int kLookahead = 3;

// Whether records of `type` hold what a reader shows of the cells (their values, the shared
// strings, the sheets, the formats and code page that tell how values read): in them the places
// must be proven one by one. In the others (pictures, drawings, charts, names, fonts, views) a
// choice among equal places changes no cell.
bool HoldsValues(std::uint16_t type)
{
    using namespace biff;
    switch (type) {
    case kSst:
    case kString:
    case kString2:
    case kBoundSheet:
    case kFormat:
    case 0x001E:  // FORMAT of BIFF2 to BIFF4
    case kXf:
    case kCodePage:
    case kDateMode:
    case kFilePass:
    case kExternSheet:
        return true;
    default:
        return IsCellRecord(type) || IsBofType(type);
    }
}

// Whether a record header reads as one a reader takes: a record the table knows, or any type and
// length a record can have (toolbar, chart and later versions' records the table lacks), which
// readers skip by their length. The records after it must read too (kLookahead).
bool Readable(std::uint16_t type, std::uint16_t length)
{
    return KnownRecord(type, length) || (type != 0 && type <= biff::kHighestRecordType && length <= biff::kMaxRecordBody);
}

// What a header must be where a place acted just before it: a record the table knows, or a later
// version's future record (0x0800 to 0x08FF), which are many in such workbooks. A header read
// after an undo decides that undo: any type a record can have would decide too easily.
bool ReadableAfterPlace(std::uint16_t type, std::uint16_t length)
{
    return KnownRecord(type, length) || (type >= 0x0800 && type <= 0x08FF && length <= biff::kMaxRecordBody);
}



// Puts the bytes of a compound file back on its sector grid, one decision at a time, each proved
// by the structure: the allocation-table and directory sectors read as such only where they truly
// begin, and the workbook stream's records chain only where no byte is missing or too many.
// `shift` below is the original's offset less the offset as found.
class GridWalk {
public:
    GridWalk(const Bytes& bytes, Move move)
        : b_(bytes)
        , move_(move)
        , step_(move == Move::LostCr ? 1 : -std::int64_t(kClusterSize))
    {
        budget_ = 64 * bytes.size() + (1u << 20);
        if (move_ == Move::LostCr) {
            for (std::size_t i = kHeaderSize; i < b_.size(); ++i)
                if (b_[i] == kLf)
                    places_.push_back(i);
        } else {
            for (std::uint64_t at = kClusterSize; at + kClusterSize <= b_.size(); at += kClusterSize)
                places_.push_back(at);
        }
    }

    // The original's bytes, or nothing where the structure does not say where every place is.
    std::optional<Bytes> Run();
    std::size_t Acted() const { return acted_.size(); }

private:
    struct Stretch {
        std::uint32_t first;  // sector
        std::uint32_t count;
        std::uint64_t streamStart;  // offset in the workbook stream
    };

    // Places in (from, to] for a CR (its LF there), in (from, to - 4096] for a cluster.
    std::size_t PlacesIn(std::uint64_t from, std::uint64_t to) const
    {
        const std::uint64_t last = move_ == Move::LostCr ? to : (to >= kClusterSize ? to - kClusterSize : 0);
        if (last <= from)
            return 0;
        const auto lo = std::upper_bound(places_.begin(), places_.end(), from);
        const auto hi = std::upper_bound(places_.begin(), places_.end(), last);
        return hi > lo ? static_cast<std::size_t>(hi - lo) : 0;
    }
    std::uint64_t SectorAt(std::uint32_t sector, std::int64_t shift) const
    {
        return static_cast<std::uint64_t>(std::int64_t{kSectorSize} * (std::int64_t{sector} + 1) - shift);
    }
    // Whether `length` bytes at `at` lie in the bytes (an offset computed below zero wraps to one
    // far past their end).
    bool Inside(std::uint64_t at, std::uint64_t length) const { return at <= b_.size() && length <= b_.size() - at; }

    template <class Score>
    std::vector<std::int64_t> FindSector(std::uint32_t sector, std::int64_t from, std::int64_t to, Score score, int enough);
    bool LocateTables();
    SectorBytes FixedSector(std::uint32_t sector, std::int64_t shift) const;
    bool ReadWorkbookChain();
    bool Place(std::uint64_t from, std::int64_t shiftFrom, std::uint64_t to, std::int64_t shiftTo,
        std::vector<std::uint64_t>* into) const;
    std::pair<std::int64_t, std::int64_t> Bounds(std::uint32_t sector, std::int64_t most) const;
    std::uint64_t StreamOffsetInFile(std::uint64_t offset) const
    {
        return (std::uint64_t{chain_[offset / kSectorSize]} + 1) * kSectorSize + offset % kSectorSize;
    }
    std::size_t RunOf(std::uint64_t offset) const
    {
        std::size_t r = 0;
        while (r + 1 < runs_.size() && runs_[r + 1].streamStart <= offset)
            ++r;
        return r;
    }
    bool HeaderInOneRun(std::uint64_t offset) const
    {
        const std::uint64_t last = offset + biff::kRecordHeaderSize - 1;
        return last / kSectorSize >= chain_.size() || RunOf(offset) == RunOf(last);
    }
    // A record of the workbook stream as the walk reads it.
    struct Cursor {
        std::uint64_t offset = 0;  // of its header in the stream
        std::uint64_t header = 0;  // where its header begins in the bytes as found
        std::uint64_t body = 0;  // where its body begins there
        std::int64_t shift = 0;  // at its body
        std::uint16_t type = 0;
        std::uint16_t length = 0;
        std::optional<std::uint64_t> inHeader;  // a place that acted inside its header
        int inHeaderRun = 1;  // clusters one after another there
        // A header split between two runs of the stream's sectors: where its first part ends in
        // the bytes as found, the shift there, and where its second part begins.
        struct Split {
            std::uint64_t firstEnd;
            std::int64_t shift;
            std::uint64_t second;
        };
        std::optional<Split> split;
    };
    // Where the places of a record's body begin, for PlacesIn: a CR lost at its very first byte
    // (a row or column of 2,573, 0x0A0D, begins many bodies with CR LF) is one of them, unless
    // the header's last byte was that place already.
    std::uint64_t BodyFrom(const Cursor& record) const
    {
        if (move_ == Move::LostCr && record.inHeader && *record.inHeader == record.body)
            return record.body;
        return record.body - 1;
    }
    // The next record with `inBody` places acted in `record`'s body; `inHeader` one inside its
    // header; `jump` places jumped over: in the sectors between when its header is split between
    // two runs, or further clusters right after one inside its header.
    std::optional<Cursor> Next(const Cursor& record, int inBody, std::optional<std::uint64_t> inHeader, int jump = 0) const;
    std::vector<std::uint64_t> HeaderPlaces(const Cursor& record, int inBody) const;
    bool Check(const Cursor& record, int depth) const;
    // How many places may act in a record's body: those there are, up to kMostInOneRecord.
    int MostIn(const Cursor& record) const
    {
        if (move_ == Move::LostCr)
            return static_cast<int>(std::min<std::size_t>(PlacesIn(BodyFrom(record), record.body + record.length), kMostInOneRecord));
        // Each cluster taken out brings the next 4096 bytes into the record's reach.
        int k = 0;
        while (k < kMostInOneRecord &&
            PlacesIn(record.body - 1, record.body + record.length + kClusterSize * static_cast<std::uint64_t>(k + 1)) >
                static_cast<std::size_t>(k))
            ++k;
        return k;
    }
    bool WalkRecords(std::uint64_t& done, std::int64_t& shift);
    bool FreePlaces(std::uint64_t from, std::uint64_t to, std::size_t acting) const;
    using CellKey = std::pair<std::uint16_t, std::uint16_t>;  // row, column
    Bytes BodyWith(const Cursor& record, std::uint64_t end, const std::vector<std::uint64_t>& places) const;
    // What the cells read so far say of the next: the last cell's row and column, and the rows
    // the ROW records of its block of rows name (empty where the writer wrote none).
    struct CellContext {
        std::optional<CellKey> lastCell;
        std::vector<std::uint16_t> rows;
    };
    std::optional<std::vector<std::uint64_t>> OnlyCellReading(
        const Cursor& record, std::uint64_t end, std::size_t acting, const CellContext& context) const;

    const Bytes& b_;
    Move move_;
    // The work the walk may do, in records read and sectors scored: in proportion to the file,
    // so that bytes crafted to hold an LF everywhere cannot keep it going.
    mutable std::uint64_t budget_ = 0;
    bool Spend() const
    {
        if (budget_ == 0)
            return false;
        --budget_;
        return true;
    }
    std::int64_t step_;
    std::vector<std::uint64_t> places_;
    std::vector<std::uint64_t> acted_;  // decided places, in order
    // Stretches of sectors no structure reads (other streams, free sectors) where clusters had to
    // be taken out and more places than clusters were there: the places, and how many act.
    struct OpenChoice {
        std::vector<std::uint64_t> places;
        std::size_t acting;
    };
    mutable std::vector<OpenChoice> openChoices_;
    // Places in the string table's records where more could act than did: the table read again,
    // whole, tells which (SettleStringChoices).
    std::vector<OpenChoice> stringChoices_;
    std::optional<std::vector<std::uint64_t>> SettleStringChoices(std::int64_t shift) const;
    std::optional<Bytes> Build(const std::vector<std::uint64_t>& acted, std::int64_t shift) const;
    std::optional<Bytes> TryChoices(const std::vector<std::uint64_t>& fixed, std::size_t choice,
        std::vector<std::uint64_t>& picked, std::int64_t shift, int& tries) const;
    // Table and directory sectors: the shifts under which each reads best (several where they
    // read alike, as a table sector of free entries does), fewest places first.
    std::map<std::uint32_t, std::vector<std::int64_t>> fixed_;
    // A table sector whose own bytes lost a CR (an entry of 2,573, 0x0A0D, reads 0D 0A): where
    // in it the CR goes back. Only for a sector with one shift.
    std::map<std::uint32_t, std::uint64_t> inside_;
    // The shift after a fixed sector read under `shift`.
    std::int64_t After(std::uint32_t sector, std::int64_t shift) const { return shift + (inside_.count(sector) ? step_ : 0); }
    std::vector<std::uint32_t> fat_;
    std::uint32_t sectorBound_ = 0;
    std::uint32_t highestUsed_ = 0;
    std::vector<std::uint8_t> directory_;
    std::vector<std::uint32_t> chain_;  // the workbook stream's sectors
    std::vector<Stretch> runs_;
    std::uint64_t streamSize_ = 0;
};

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
    if (fatCount == 0 || fatCount > kHeaderDifatEntries)
        return false;
    const std::int64_t most = move_ == Move::LostCr
        ? std::min<std::int64_t>(static_cast<std::int64_t>(places_.size()), 4096)
        : -std::int64_t(kClusterSize) * std::min<std::int64_t>(static_cast<std::int64_t>(places_.size()), 8);
    sectorBound_ =
        static_cast<std::uint32_t>((b_.size() + static_cast<std::uint64_t>(std::max<std::int64_t>(most, 0))) / kSectorSize);
    std::vector<std::uint32_t> tables;
    for (std::uint32_t k = 0; k < fatCount; ++k) {
        const std::uint32_t sector = LoadLe32(header + kHeaderDifatOffset + 4 * k);
        if (sector >= sectorBound_)
            return false;
        tables.push_back(sector);
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
    std::vector<std::uint32_t> miniTable;
    for (std::uint32_t sector = LoadLe32(header + kFirstMiniFatSectorOffset); sector < fat_.size() && root;
         sector = fat_[sector]) {
        if (miniTable.size() > fat_.size() || fixed_.count(sector))
            return false;
        miniTable.push_back(sector);
    }
    std::map<std::uint32_t, std::uint32_t> miniPlace;
    for (std::uint32_t k = 0; k < miniTable.size(); ++k)
        miniPlace[miniTable[k]] = k;
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
            return true;  // in the mini stream: the fixed sectors and the final check
                // must do
        std::uint32_t sector = entry->start;
        const std::uint64_t sectors = (streamSize_ + kSectorSize - 1) / kSectorSize;
        while (chain_.size() < sectors) {
            if (sector >= fat_.size() || fixed_.count(sector) || (!chain_.empty() && sector <= chain_.back()))
                return false;  // the walk follows the stream along the file
            chain_.push_back(sector);
            if (runs_.empty() || runs_.back().first + runs_.back().count != sector)
                runs_.push_back({sector, 0, (chain_.size() - 1) * kSectorSize});
            ++runs_.back().count;
            sector = fat_[sector];
        }
        return true;
    }
    return false;
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
        if (needed < 0 || (target - shift) % step_ != 0 || end < at || PlacesIn(at, end) < static_cast<std::size_t>(needed))
            return false;
        if (into) {
            auto first = std::upper_bound(places_.begin(), places_.end(), at);
            if (move_ == Move::ForeignCluster && needed > 0 && PlacesIn(at, end) > static_cast<std::size_t>(needed))
                openChoices_.push_back({std::vector<std::uint64_t>(first, first + static_cast<std::ptrdiff_t>(PlacesIn(at, end))),
                    static_cast<std::size_t>(needed)});
            for (std::int64_t k = 0; k < needed; ++k)
                into->push_back(*first++);
        }
        return true;
    };
    std::vector<std::pair<std::uint32_t, const std::vector<std::int64_t>*>> between;
    for (const auto& [sector, shifts] : fixed_) {
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

// The record after `record`, its header read with `inBody` places acted on in `record`'s body
// and, when `inHeader` is set, one more at that place inside the header itself (a CR among its
// four bytes, a cluster that begins inside them). Nothing when the places are not there, or the
// header is none a reader takes.
std::optional<GridWalk::Cursor> GridWalk::Next(
    const Cursor& record, int inBody, std::optional<std::uint64_t> inHeader, int jump) const
{
    const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
    if (offset + biff::kRecordHeaderSize > streamSize_)
        return std::nullopt;
    const bool split = !HeaderInOneRun(offset);
    if (split ? inHeader.has_value() : jump != 0 && !(inHeader && move_ == Move::ForeignCluster))
        return std::nullopt;
    Cursor next;
    next.offset = offset;
    next.shift = record.shift + inBody * step_;
    const std::int64_t at = static_cast<std::int64_t>(StreamOffsetInFile(offset)) - next.shift;
    if (at < 0)
        return std::nullopt;
    next.header = static_cast<std::uint64_t>(at);
    const std::uint64_t bodyFrom = BodyFrom(record);
    if (!Place(bodyFrom, record.shift, next.header, next.shift, nullptr))
        return std::nullopt;
    std::uint8_t header[biff::kRecordHeaderSize];
    if (split) {
        // The first bytes at the end of one run, the rest at the start of the next, the places in
        // the sectors between (other streams', the table's) deciding the shift there.
        const std::uint64_t k = kSectorSize - offset % kSectorSize;
        const std::int64_t shift = next.shift + jump * step_;
        const std::int64_t second = static_cast<std::int64_t>(StreamOffsetInFile(offset + k)) - shift;
        if (k == 0 || k >= biff::kRecordHeaderSize || second < 0 || !Inside(next.header, k) ||
            !Inside(static_cast<std::uint64_t>(second), biff::kRecordHeaderSize - k) ||
            !Place(next.header + k - 1, next.shift, static_cast<std::uint64_t>(second), shift, nullptr))
            return std::nullopt;
        for (std::uint64_t i = 0; i < biff::kRecordHeaderSize; ++i)
            header[i] = i < k ? b_[next.header + i] : b_[static_cast<std::uint64_t>(second) + i - k];
        next.split = Cursor::Split{next.header + k - 1, next.shift, static_cast<std::uint64_t>(second)};
        next.body = static_cast<std::uint64_t>(second) + biff::kRecordHeaderSize - k;
        next.shift = shift;
    } else if (!inHeader) {
        if (!Inside(next.header, biff::kRecordHeaderSize))
            return std::nullopt;
        std::copy_n(b_.begin() + static_cast<std::ptrdiff_t>(next.header), biff::kRecordHeaderSize, header);
        next.body = next.header + biff::kRecordHeaderSize;
    } else {
        const std::uint64_t k = *inHeader - next.header;  // the place's byte in the header
        if (move_ == Move::LostCr) {
            if (k > 3 || !Inside(next.header, 3))
                return std::nullopt;
            for (std::uint64_t i = 0, from = next.header; i < biff::kRecordHeaderSize; ++i)
                header[i] = i == k ? kCr : b_[from++];
            next.body = next.header + 3;
        } else {
            const std::uint64_t resume = *inHeader + kClusterSize * static_cast<std::uint64_t>(1 + jump);
            if (k == 0 || k > 3 || !Inside(next.header, k) || !Inside(resume, 4 - k))
                return std::nullopt;
            next.inHeaderRun = 1 + jump;
            for (std::uint64_t i = 0; i < biff::kRecordHeaderSize; ++i)
                header[i] = i < k ? b_[next.header + i] : b_[resume + i - k];
            next.body = resume + 4 - k;
        }
        next.shift += step_ * next.inHeaderRun;
        next.inHeader = inHeader;
    }
    next.type = LoadLe16(header);
    next.length = LoadLe16(header + 2);
    const bool afterPlace = inBody > 0 || inHeader || jump > 0;
    if (afterPlace ? !ReadableAfterPlace(next.type, next.length) : !Readable(next.type, next.length))
        return std::nullopt;
    return next;
}

// The places that may lie in the next record's header once `inBody` act in `record`'s body.
std::vector<std::uint64_t> GridWalk::HeaderPlaces(const Cursor& record, int inBody) const
{
    std::vector<std::uint64_t> found;
    const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
    if (offset >= streamSize_)
        return found;
    const std::int64_t at = static_cast<std::int64_t>(StreamOffsetInFile(offset)) - (record.shift + inBody * step_);
    if (at < 0)
        return found;
    const std::uint64_t header = static_cast<std::uint64_t>(at);
    auto place = std::lower_bound(places_.begin(), places_.end(), header);
    for (; place != places_.end() && *place <= header + 3; ++place)
        found.push_back(*place);
    return found;
}

// Whether the records after `record` read, to `depth` records, allowing for places among them.
bool GridWalk::Check(const Cursor& record, int depth) const
{
    if (!Spend())
        return false;
    const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
    if (depth == 0 || offset + biff::kRecordHeaderSize > streamSize_ || !HeaderInOneRun(offset) ||
        RunOf(offset) != RunOf(record.offset))
        return true;
    const int most = MostIn(record);
    for (int j = 0; j <= most; ++j) {
        if (const std::optional<Cursor> next = Next(record, j, std::nullopt); next && Check(*next, depth - 1))
            return true;
        for (std::uint64_t place : HeaderPlaces(record, j))
            for (int run = 0; run < (move_ == Move::ForeignCluster ? 2 : 1); ++run)
                if (const std::optional<Cursor> next = Next(record, j, place, run); next && Check(*next, depth - 1))
                    return true;
    }
    // Past a substream's EOF the stream may hold whatever its writer left (zeros, mostly).
    return record.type == biff::kEof;
}

// Walks the workbook stream's records from its first, deciding the places inside each record (and
// in the stretches of other sectors the stream jumps over) by the records that follow.
bool GridWalk::WalkRecords(std::uint64_t& done, std::int64_t& shift)
{
    // Where the stream begins: its first record is a BOF.
    Cursor record;
    {
        const std::uint64_t inFile = StreamOffsetInFile(0);
        bool found = false;
        for (int k = 0; k <= 64 && !found; ++k) {
            const std::int64_t to = shift + k * step_;
            const std::int64_t at = static_cast<std::int64_t>(inFile) - to;
            if (at < 0 || !Inside(static_cast<std::uint64_t>(at), kSectorSize) ||
                !Place(done, shift, static_cast<std::uint64_t>(at), to, nullptr))
                continue;
            Cursor first;
            first.header = static_cast<std::uint64_t>(at);
            first.body = first.header + biff::kRecordHeaderSize;
            first.shift = to;
            first.type = LoadLe16(b_.data() + first.header);
            first.length = LoadLe16(b_.data() + first.header + 2);
            if (!biff::IsBofType(first.type) || !Readable(first.type, first.length) || !Check(first, kLookahead))
                continue;
            Place(done, shift, first.header, to, &acted_);
            record = first;
            found = true;
        }
        if (!found)
            return false;
    }
    bool continuesValues = false;  // the last record before CONTINUE records holds values
    bool continuesStrings = false;  // it is the string table
    CellContext cells;
    std::uint16_t lastType = 0;
    for (;;) {
        const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
        if (offset + biff::kRecordHeaderSize > streamSize_)
            break;
        const bool sameRun = RunOf(offset) == RunOf(record.offset);
        const int most = sameRun ? MostIn(record) : 2 * kMostInOneRecord;
        const bool splitHeader = !HeaderInOneRun(offset);
        // A next record the table knows outweighs one it does not: a header of any type and length
        // reads almost anywhere (a row of 2,573 begins with CR LF; without its CR, the next
        // header read one byte early is some type a reader would skip).
        std::optional<Cursor> chosen;
        for (int pass = 0; pass < 2 && !chosen; ++pass) {
            const auto fits = [&](const std::optional<Cursor>& next) {
                return next && (pass == 1 || KnownRecord(next->type, next->length)) && Check(*next, kLookahead);
            };
            for (int j = 0; j <= most && !chosen; ++j) {
                for (int jump = 0; jump <= (splitHeader ? 2 * kMostInOneRecord : 0) && !chosen; ++jump)
                    if (std::optional<Cursor> next = Next(record, j, std::nullopt, jump); fits(next))
                        chosen = next;
                if (chosen)
                    break;
                for (std::uint64_t place : HeaderPlaces(record, j))
                    for (int run = 0; run < (move_ == Move::ForeignCluster ? 2 : 1) && !chosen; ++run)
                        if (std::optional<Cursor> next = Next(record, j, place, run); fits(next))
                            chosen = next;
                if (chosen)
                    break;
            }
        }
        if (!chosen && record.type == biff::kEof && Next(record, 0, std::nullopt) == std::nullopt) {
            // Past the last substream's EOF the stream may hold whatever its writer left.
            break;
        }
        if (!chosen) {
            // The stream's last sector may hold bytes past its last record; no place lies there
            // (no CR lost, no cluster begun before the stream's end).
            const std::uint64_t streamEnd = StreamOffsetInFile(streamSize_ - 1) + 1;
            const std::int64_t endAt = static_cast<std::int64_t>(streamEnd) - record.shift;
            const std::uint64_t reach = static_cast<std::uint64_t>(endAt) + (move_ == Move::ForeignCluster ? kClusterSize : 0);
            if (RunOf(offset) + 1 == runs_.size() && endAt > 0 &&
                PlacesIn(BodyFrom(record), std::min<std::uint64_t>(reach, b_.size())) == 0)
                break;
            return false;
        }
        const std::uint64_t bodyFrom = BodyFrom(record);
        const std::int64_t bodyShift =
            chosen->split ? chosen->split->shift : chosen->shift - (chosen->inHeader ? step_ * chosen->inHeaderRun : 0);
        // The records prove how many places acted in a body, never which of more: the record's
        // bytes would differ with each choice, so the undo is not proven.
        const std::size_t acting = static_cast<std::size_t>((bodyShift - record.shift) / step_);
        const bool holdsValues = record.type == biff::kContinue ? continuesValues : HoldsValues(record.type);
        if (record.type != biff::kContinue)
            continuesValues = holdsValues;
        const std::size_t before = acted_.size();
        const bool inStringTable = record.type == biff::kSst || (record.type == biff::kContinue && continuesStrings);
        if (record.type != biff::kContinue)
            continuesStrings = record.type == biff::kSst;
        if (acting > 0 && holdsValues && FreePlaces(bodyFrom, chosen->header, acting) && inStringTable && sameRun) {
            // Which places acted in the string table, the whole table read again decides, once
            // the walk is through (see SettleStringChoices).
            const auto first = std::upper_bound(places_.begin(), places_.end(), bodyFrom);
            stringChoices_.push_back(
                {std::vector<std::uint64_t>(first, first + static_cast<std::ptrdiff_t>(PlacesIn(bodyFrom, chosen->header))), acting});
            Place(bodyFrom, record.shift, chosen->header, bodyShift, &acted_);
        } else if (acting > 0 && holdsValues && FreePlaces(bodyFrom, chosen->header, acting)) {
            // Which of more places acted, only a cell's own fields may prove: where one choice
            // alone gives a cell that follows the one before it, that choice stands.
            const std::optional<std::vector<std::uint64_t>> proven =
                sameRun ? OnlyCellReading(record, chosen->header, acting, cells) : std::nullopt;
            if (!proven)
                return false;
            acted_.insert(acted_.end(), proven->begin(), proven->end());
        } else {
            Place(bodyFrom, record.shift, chosen->header, bodyShift, &acted_);
        }
        if (biff::IsBofType(record.type)) {
            cells = {};
        } else if ((biff::IsCellRecord(record.type) || record.type == kRow) && sameRun && move_ == Move::LostCr) {
            const std::vector<std::uint64_t> inBody(acted_.begin() + static_cast<std::ptrdiff_t>(before), acted_.end());
            const Bytes body = BodyWith(record, chosen->header, inBody);
            if (body.size() >= 4 && record.type == kRow) {
                if (lastType != kRow)
                    cells.rows.clear();
                cells.rows.push_back(LoadLe16(body.data()));
            } else if (body.size() >= 4) {
                cells.lastCell = CellKey{LoadLe16(body.data()), LoadLe16(body.data() + 2)};
            }
        }
        lastType = record.type;
        if (chosen->split)
            Place(chosen->split->firstEnd, chosen->split->shift, chosen->split->second, chosen->shift, &acted_);
        for (int k = 0; chosen->inHeader && k < chosen->inHeaderRun; ++k)
            acted_.push_back(*chosen->inHeader + kClusterSize * static_cast<std::uint64_t>(k));
        record = *chosen;
    }
    done = record.body + record.length;
    shift = record.shift;
    return true;
}

// Whether more places lie in (from, to] than the `acting` there, some acting, those inside the
// fixed sectors between (a table sector the stream jumps over) aside: theirs the sectors decide.
bool GridWalk::FreePlaces(std::uint64_t from, std::uint64_t to, std::size_t acting) const
{
    std::size_t places = PlacesIn(from, to);
    for (const auto& [sector, shifts] : fixed_) {
        const std::uint64_t start = SectorAt(sector, shifts.front());
        if (start <= from || start >= to)
            continue;
        if (shifts.size() != 1)
            return true;
        const bool inside = inside_.count(sector) != 0;
        places -= PlacesIn(start, start + kSectorSize - (inside ? 2 : 1));
        if (inside) {
            if (acting == 0)
                return true;
            --acting;
        }
    }
    return acting > 0 && places > acting;
}

// The body of `record`, which ends where the bytes as found reach `end`, with a CR put back before
// each of `places` (sorted, each in the body or at `end`).
Bytes GridWalk::BodyWith(const Cursor& record, std::uint64_t end, const std::vector<std::uint64_t>& places) const
{
    Bytes body;
    if (end < record.body || end > b_.size())
        return body;
    body.reserve(static_cast<std::size_t>(end - record.body + places.size()));
    std::uint64_t from = record.body;
    for (std::uint64_t at : places) {
        if (at < from || at > end)
            return {};
        body.insert(body.end(), b_.begin() + static_cast<std::ptrdiff_t>(from), b_.begin() + static_cast<std::ptrdiff_t>(at));
        body.push_back(kCr);
        from = at;
    }
    body.insert(body.end(), b_.begin() + static_cast<std::ptrdiff_t>(from), b_.begin() + static_cast<std::ptrdiff_t>(end));
    return body;
}

// Of the ways `acting` of the places in a cell record's body can have lost their CRs, the one way
// that gives a cell a writer could have written where it stands: its column within a sheet's,
// after the last cell in row and column order, in a row its block's ROW records name, a row of
// cells (MULRK, MULBLANK) as long as its columns say. Nothing where none or more than one does
// (blank cells aside, whose readings may differ in their formats).
std::optional<std::vector<std::uint64_t>> GridWalk::OnlyCellReading(
    const Cursor& record, std::uint64_t end, std::size_t acting, const CellContext& context) const
{
    constexpr std::uint64_t kMostReadings = 256;
    constexpr std::uint16_t kColumns = 256;
    if (move_ != Move::LostCr || !biff::IsCellRecord(record.type) || record.length < 4)
        return std::nullopt;
    const auto first = std::upper_bound(places_.begin(), places_.end(), BodyFrom(record));
    const auto last = std::upper_bound(places_.begin(), places_.end(), end);
    const std::vector<std::uint64_t> places(first, last);
    if (acting == 0 || acting > places.size())
        return std::nullopt;
    std::uint64_t readings = 1;  // how many ways there are to choose
    for (std::size_t k = 0; k < acting; ++k) {
        readings = readings * (places.size() - k) / (k + 1);
        if (readings > kMostReadings)
            return std::nullopt;
    }
    std::optional<std::vector<std::uint64_t>> found;
    CellKey foundKey;
    std::uint16_t foundLast = 0;
    bool proven = true;
    ForEachChoice(places.size(), acting, [&](const std::vector<std::size_t>& index) {
        if (!Spend())
            return proven = false;
        std::vector<std::uint64_t> picked;
        for (std::size_t k : index)
            picked.push_back(places[k]);
        const Bytes body = BodyWith(record, end, picked);
        if (body.size() == record.length) {
            const CellKey key{LoadLe16(body.data()), LoadLe16(body.data() + 2)};
            bool fits = key.second < kColumns && (!context.lastCell || key > *context.lastCell) &&
                        (context.rows.empty() ||
                            std::find(context.rows.begin(), context.rows.end(), key.first) != context.rows.end());
            if (fits && (record.type == biff::kMulRk || record.type == biff::kMulBlank)) {
                const std::uint16_t lastColumn = LoadLe16(body.data() + body.size() - 2);
                const std::size_t each = record.type == biff::kMulRk ? 6 : 2;
                fits = body.size() >= 6 && lastColumn < kColumns && lastColumn >= key.second &&
                       (body.size() - 6) % each == 0 && (body.size() - 6) / each == std::size_t{lastColumn} - key.second + 1u;
            }
            if (fits) {
                // Blank cells hold no value: readings that differ only in their formats, not in
                // where the cells are, put the same cells back.
                const bool blank = record.type == biff::kMulBlank || record.type == biff::kBlank;
                const std::uint16_t lastColumn = LoadLe16(body.data() + body.size() - 2);
                if (found && !(blank && foundKey == key && foundLast == lastColumn))
                    return proven = false;
                if (!found) {
                    found = std::move(picked);
                    foundKey = key;
                    foundLast = lastColumn;
                }
            }
        }
        return true;
    });
    return proven ? found : std::nullopt;
}

std::optional<Bytes> GridWalk::Run()
{
    if (b_.size() < 2 * kSectorSize || !SignatureAt(b_, 0))
        return std::nullopt;
    if (!LocateTables() || !ReadWorkbookChain())
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
    if (openChoices_.empty())
        return Build(acted_, target);
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
    if (std::optional<Bytes> opens = TryChoices(fixed, 0, picked, target, tries))
        return opens;
    return Build(acted_, target);
}

// Whether the string table of the workbook `bytes` hold reads whole (StringTableReadsWhole).
bool StringTableReads(const Bytes& bytes)
{
    MemorySectorFile file(bytes);
    const std::optional<Bytes> stream = ReadWorkbookStream(file);
    if (!stream)
        return false;
    std::vector<std::span<const std::uint8_t>> bodies;
    for (const BiffRecord& record : ListRecords(*stream)) {
        if (bodies.empty() ? record.type != biff::kSst : record.type != biff::kContinue) {
            if (bodies.empty())
                continue;
            break;
        }
        bodies.push_back(RecordBody(*stream, record));
    }
    return !bodies.empty() && StringTableReadsWhole(std::move(bodies));
}

// The places that act, the string table's choices settled: the one way of taking them after
// which the table reads whole. Nothing where none or more than one does, or too many ways.
std::optional<std::vector<std::uint64_t>> GridWalk::SettleStringChoices(std::int64_t shift) const
{
    constexpr int kMostWays = 64;
    std::vector<std::uint64_t> fixed;
    for (std::uint64_t at : acted_) {
        const bool open = std::any_of(stringChoices_.begin(), stringChoices_.end(), [at](const OpenChoice& choice) {
            return std::binary_search(choice.places.begin(), choice.places.end(), at);
        });
        if (!open)
            fixed.push_back(at);
    }
    std::optional<std::vector<std::uint64_t>> found;
    int ways = 0;
    bool settled = true;
    std::vector<std::uint64_t> picked;
    const auto tryFrom = [&](const auto& self, std::size_t choice) -> void {
        if (!settled)
            return;
        if (choice == stringChoices_.size()) {
            if (++ways > kMostWays) {
                settled = false;
                return;
            }
            std::vector<std::uint64_t> acted = fixed;
            acted.insert(acted.end(), picked.begin(), picked.end());
            std::sort(acted.begin(), acted.end());
            const std::optional<Bytes> bytes = Build(acted, shift);
            if (bytes && StringTableReads(*bytes)) {
                if (found)
                    settled = false;
                found = std::move(acted);
            }
            return;
        }
        const OpenChoice& open = stringChoices_[choice];
        ForEachChoice(open.places.size(), open.acting, [&](const std::vector<std::size_t>& index) {
            const std::size_t before = picked.size();
            for (std::size_t k : index)
                picked.push_back(open.places[k]);
            self(self, choice + 1);
            picked.resize(before);
            return settled;
        });
    };
    tryFrom(tryFrom, 0);
    return settled ? found : std::nullopt;
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

}  // namespace

bool Opens(const std::vector<std::uint8_t>& bytes)
{
    MemorySectorFile file(bytes);
    return VerifyWorkbook(file).Opens();
}

bool SignatureAt(const std::vector<std::uint8_t>& bytes, std::size_t at)
{
    return bytes.size() >= at + kHeaderSignature.size() &&
           std::equal(kHeaderSignature.begin(), kHeaderSignature.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

std::optional<GridResult> PutBackOnGrid(const std::vector<std::uint8_t>& bytes, Move move)
{
    GridWalk walk(bytes, move);
    std::optional<Bytes> original = walk.Run();
    if (!original)
        return std::nullopt;
    return GridResult{std::move(*original), walk.Acted()};
}

}  // namespace tabulon::realigning
