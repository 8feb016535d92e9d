// The realign stage's walk over a compound file's sector grid, shared by the two files that
// hold it: realign_grid.cpp (the tables, the directory, the places between records, the result)
// and realign_records.cpp (the workbook stream's records, and what proves the places among them).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "engine/biff/records.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/sector_probes.h"
#include "engine/repair/realign/realign_grid.h"

namespace tabulon::realigning {

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

// How many cells a realignment may leave out: past that, the damage is no transfer's.
constexpr std::size_t kMostLeftOut = 1000;
// Records the lookahead reads past a decision before it is taken.
constexpr int kLookahead = 3;

// Puts the bytes of a compound file back on its sector grid, one decision at a time, each proved
// by the structure: the allocation-table and directory sectors read as such only where they truly
// begin, and the workbook stream's records chain only where no byte is missing or too many.
// `shift` below is the original's offset less the offset as found.
class GridWalk {
public:
    GridWalk(std::span<const std::uint8_t> bytes, Move move)
        : b_(bytes)
        , move_(move)
        , step_(move == Move::LostCr ? 1 : -std::int64_t(kClusterSize))
    {
        budget_ = 64 * bytes.size() + (1u << 20);
        if (move_ == Move::LostCr) {
            for (std::size_t i = kHeaderSize; i < b_.size(); ++i) {
                const void* lf = std::memchr(b_.data() + i, kLf, b_.size() - i);
                if (lf == nullptr)
                    break;
                i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - b_.data());
                places_.push_back(i);
            }
        } else {
            for (std::uint64_t at = kClusterSize; at + kClusterSize <= b_.size(); at += kClusterSize)
                places_.push_back(at);
        }
    }

    // The original's bytes, or nothing where the structure does not say where every place is
    // (nor, `onlyMoved`, where no place moved).
    std::optional<Bytes> Run(bool onlyMoved = false);
    std::size_t Acted() const { return acted_.size(); }
    std::uint32_t CellsLeftOut() const { return static_cast<std::uint32_t>(leftOut_.size()) + textsLeftOut_; }

private:
    // Units of the workbook stream one after another in the file.
    struct Stretch {
        std::uint64_t first;  // where the first lies in the file
        std::uint64_t count;
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
        return chain_[offset / unit_] + offset % unit_;
    }
    std::size_t RunOf(std::uint64_t offset) const
    {
        // (The last run whose stream start is at or before `offset`; a large file has hundreds.)
        const auto after = std::upper_bound(runs_.begin(), runs_.end(), offset,
                                            [](std::uint64_t at, const Stretch& run) { return at < run.streamStart; });
        return after == runs_.begin() ? 0 : static_cast<std::size_t>(after - runs_.begin()) - 1;
    }
    bool HeaderInOneRun(std::uint64_t offset) const
    {
        const std::uint64_t last = offset + biff::kRecordHeaderSize - 1;
        return last / unit_ >= chain_.size() || RunOf(offset) == RunOf(last);
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

    std::span<const std::uint8_t> b_;
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
    // Cell records (where their headers lie in the bytes as found) whose places no reading proved:
    // they go as filler, so that the rest of the stream, proved, comes back.
    std::vector<std::uint64_t> leftOut_;
    // The string table's strings whose text differs between the ways of taking its places that
    // read whole (the table's records read alike every way): no way is proved, so the cells that
    // show them are left out too. The shared-string cells, by their headers as found, in the
    // stream's order, say which.
    mutable std::vector<std::uint32_t> doubtfulStrings_;
    std::vector<std::uint64_t> sharedStringCells_;
    mutable std::uint32_t textsLeftOut_ = 0;
    // Makes the records left out filler; false where the cells that show a doubtful string
    // cannot be told.
    bool LeaveOut(Bytes& original) const;
    void FillerAt(Bytes& original, std::uint64_t header) const;
    // Stretches of sectors no structure reads (other streams, free sectors) where clusters had to
    // be taken out and more places than clusters were there: the places, and how many act.
    struct OpenChoice {
        std::vector<std::uint64_t> places;
        std::size_t acting;
    };
    mutable std::vector<OpenChoice> openChoices_;
    // Where CRs went back in other streams than the workbook's (the walk took the first places
    // a stretch had), the streams those bytes land in say which places took them, as far as
    // their kind of content tells (realign_streams.cpp).
    void ChooseByStreams();
    // A stream of a macro project that holds a compressed container, where it lies in the new
    // file: the project's "dir" stream, or (`source`) a module, whose source code (text in
    // lines) follows its compiled code.
    struct Container {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> runs;
        bool source = false;
    };
    static constexpr std::size_t kMostContainerNodes = std::size_t{1} << 14;
    void AppendBytes(const std::vector<std::uint64_t>& acted, std::uint64_t from, std::uint64_t length, Bytes& out) const;
    Bytes StreamBytes(const Container& container, const std::vector<std::uint64_t>& acted) const;
    std::vector<std::uint64_t> PlacesInSource(const Container& container, const std::vector<std::uint64_t>& places,
                                              const std::vector<std::uint64_t>& acted) const;
    void SettleStretch(const std::vector<std::uint64_t>& places, const std::vector<const Container*>& containers,
                       std::vector<std::uint64_t>& acted, std::size_t& spent) const;
    // Places in the string table's records where more could act than did: the table read again,
    // whole, tells which (SettleStringChoices), or which strings it leaves in doubt.
    std::vector<OpenChoice> stringChoices_;
    std::optional<std::vector<std::uint64_t>> SettleStringChoices(std::int64_t shift) const;
    std::optional<Bytes> Build(const std::vector<std::uint64_t>& acted, std::int64_t shift) const;
    std::optional<Bytes> TryChoices(const std::vector<std::uint64_t>& fixed, std::size_t choice,
        std::vector<std::uint64_t>& picked, std::int64_t shift, int& tries) const;
    // Table and directory sectors: the shifts under which each reads best (several where they
    // read alike, as a table sector of free entries does), fewest places first.
    std::map<std::uint32_t, std::vector<std::int64_t>> fixed_;
    // How far a fixed sector's shift may reach either way, and the fixed sectors that may lie in
    // (from, to) of the bytes as found, by their numbers (a large file has hundreds of them).
    std::uint64_t reach_ = 0;
    std::pair<std::map<std::uint32_t, std::vector<std::int64_t>>::const_iterator,
        std::map<std::uint32_t, std::vector<std::int64_t>>::const_iterator>
    FixedNear(std::uint64_t from, std::uint64_t to) const
    {
        const std::uint64_t lo = from > reach_ + kSectorSize ? (from - reach_) / kSectorSize - 1 : 0;
        const std::uint64_t hi = (to + reach_) / kSectorSize + 1;
        const auto clamp = [](std::uint64_t v) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0xFFFF'FFFFu)); };
        return {fixed_.lower_bound(clamp(lo)), fixed_.upper_bound(clamp(hi))};
    }
    // A table sector whose own bytes lost a CR (an entry of 2,573, 0x0A0D, reads 0D 0A): where
    // in it the CR goes back. Only for a sector with one shift.
    std::map<std::uint32_t, std::uint64_t> inside_;
    // The shift after a fixed sector read under `shift`.
    std::int64_t After(std::uint32_t sector, std::int64_t shift) const { return shift + (inside_.count(sector) ? step_ : 0); }
    std::vector<std::uint32_t> fat_;
    std::uint32_t sectorBound_ = 0;
    std::uint32_t highestUsed_ = 0;
    std::vector<std::uint8_t> directory_;
    // Where each unit of the workbook stream lies in the file: its sectors, or the mini stream's
    // 64-byte sectors for a stream kept there.
    std::vector<std::uint64_t> chain_;
    std::uint64_t unit_ = kSectorSize;
    std::vector<std::uint32_t> miniTable_;  // the mini stream's table sectors, in order
    bool AddUnit(std::uint64_t at);
    bool ReadMiniChain(std::uint32_t start);
    std::vector<Stretch> runs_;
    std::uint64_t streamSize_ = 0;

    // A stream whose second run lies right before its first in the file (some writers put the
    // stream's first sectors after the next ones) and goes on past the first: the walk follows
    // the stream into it and back out, the places there decided by its records, as many as lie
    // between the shifts at its two ends.
    struct Detour {
        std::size_t run = 0;          // the run that goes back, in runs_ (the first is 0)
        std::int64_t firstShift = 0;  // at the first run's start (the stream's first record)
        std::int64_t startShift = 0;  // at the run's start: after the fixed sector before it
        std::int64_t endShift = 0;    // at the first run's end, as the walk left it
        std::uint64_t firstEnd = 0;   // where the first run ends in the bytes as found
        bool entered = false;
        bool left = false;
    };
    std::optional<Detour> detour_;
    std::uint64_t RunStartFound(std::size_t run, std::int64_t shift) const
    {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(runs_[run].first) - shift);
    }
    // The next record's header where the stream goes back into the detour's run (from the first
    // run) or out of it (past the first run): its places decided and taken into acted_, or
    // nothing where no reading fits or which places acted in a record holding values is in doubt.
    std::optional<Cursor> DetourStep(const Cursor& record, std::uint64_t offset, bool holdsValues);
};

}  // namespace tabulon::realigning
