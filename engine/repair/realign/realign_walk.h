// The realign stage's walk over a compound file's sector grid, in steps that hand values on:
// the grid (the bytes as found and their places), the tables and directory located on it
// (realign_tables.cpp), the workbook stream's chain through them (realign_chain.cpp), the places
// between the fixed sectors (realign_place.cpp), the walk over the stream's records
// (realign_records.cpp), the string table's choices (realign_strings.cpp) and the other streams'
// (realign_streams.cpp); realign_grid.cpp runs them in order and builds the result.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <span>
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

// The bytes as found, what moved them, and every place where it may have acted: what each step
// of the walk reads. A `shift` is the original's offset less the offset as found.
struct Grid {
    Grid(std::span<const std::uint8_t> found, Move what)
        : bytes(found)
        , move(what)
        , step(what == Move::LostCr ? 1 : -std::int64_t(kClusterSize))
    {
        budget = 64 * bytes.size() + (1u << 20);
        if (move == Move::LostCr) {
            for (std::size_t i = kHeaderSize; i < bytes.size(); ++i) {
                const void* lf = std::memchr(bytes.data() + i, kLf, bytes.size() - i);
                if (lf == nullptr)
                    break;
                i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - bytes.data());
                places.push_back(i);
            }
        } else {
            for (std::uint64_t at = kClusterSize; at + kClusterSize <= bytes.size(); at += kClusterSize)
                places.push_back(at);
        }
    }

    // Places in (from, to] for a CR (its LF there), in (from, to - 4096] for a cluster.
    std::size_t PlacesIn(std::uint64_t from, std::uint64_t to) const
    {
        const std::uint64_t last = move == Move::LostCr ? to : (to >= kClusterSize ? to - kClusterSize : 0);
        if (last <= from)
            return 0;
        const auto lo = std::upper_bound(places.begin(), places.end(), from);
        const auto hi = std::upper_bound(places.begin(), places.end(), last);
        return hi > lo ? static_cast<std::size_t>(hi - lo) : 0;
    }
    static std::uint64_t SectorAt(std::uint32_t sector, std::int64_t shift)
    {
        return static_cast<std::uint64_t>(std::int64_t{kSectorSize} * (std::int64_t{sector} + 1) - shift);
    }
    // Whether `length` bytes at `at` lie in the bytes (an offset computed below zero wraps to one
    // far past their end).
    bool Inside(std::uint64_t at, std::uint64_t length) const { return at <= bytes.size() && length <= bytes.size() - at; }
    bool Spend() const
    {
        if (budget == 0)
            return false;
        --budget;
        return true;
    }

    std::span<const std::uint8_t> bytes;
    Move move;
    // How far the shift moves at each place that acted.
    std::int64_t step;
    std::vector<std::uint64_t> places;
    // The work the walk may do, in records read and sectors scored: in proportion to the file,
    // so that bytes crafted to hold an LF everywhere cannot keep it going.
    mutable std::uint64_t budget = 0;
};

// The original's bytes: those as found with each of `places` undone (a CR put back before it,
// or the cluster that begins there taken out), the file `shift` longer than they are.
std::optional<Bytes> Build(const Grid& grid, const std::vector<std::uint64_t>& places, std::int64_t shift);

// Table and directory sectors: the shifts under which each reads best (several where they
// read alike, as a table sector of free entries does), fewest places first.
using FixedShifts = std::map<std::uint32_t, std::vector<std::int64_t>>;

// Where the compound file's own structure lies in the bytes as found, and what it says: the
// allocation table's sectors, the DIFAT's, the directory's and the mini stream table's, each
// fixed at the shifts it reads under (LocateTables).
struct Tables {
    // The fixed sectors that may lie in (from, to) of the bytes as found, by their numbers (a
    // large file has hundreds of them).
    std::pair<FixedShifts::const_iterator, FixedShifts::const_iterator> FixedNear(std::uint64_t from, std::uint64_t to) const
    {
        const std::uint64_t lo = from > reach + kSectorSize ? (from - reach) / kSectorSize - 1 : 0;
        const std::uint64_t hi = (to + reach) / kSectorSize + 1;
        const auto clamp = [](std::uint64_t v) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0xFFFF'FFFFu)); };
        return {fixed.lower_bound(clamp(lo)), fixed.upper_bound(clamp(hi))};
    }
    // The shift after a fixed sector read under `shift`: one further where a CR went back inside
    // it.
    std::int64_t After(std::uint32_t sector, std::int64_t shift) const { return shift + (inside.count(sector) ? 1 : 0); }

    FixedShifts fixed;
    // A table sector whose own bytes lost a CR (an entry of 2,573, 0x0A0D, reads 0D 0A): where
    // in it the CR goes back. Only for a sector with one shift.
    std::map<std::uint32_t, std::uint64_t> inside;
    // How far a fixed sector's shift may reach either way.
    std::uint64_t reach = 0;
    std::vector<std::uint32_t> fat;
    std::uint32_t sectorBound = 0;
    std::uint32_t highestUsed = 0;
    std::vector<std::uint8_t> directory;
    std::vector<std::uint32_t> miniTable;  // the mini stream's table sectors, in order
};

// The tables and the directory where they truly begin: each sector where it reads as such, the
// shifts of the sectors one way along the file. Nothing where one does not read.
std::optional<Tables> LocateTables(const Grid& grid);
// The 512 bytes of a fixed sector read under `shift`, a CR put back where it lost one.
SectorBytes FixedSector(const Grid& grid, const Tables& tables, std::uint32_t sector, std::int64_t shift);

// Units of the workbook stream one after another in the file.
struct Stretch {
    std::uint64_t first;  // where the first lies in the file
    std::uint64_t count;
    std::uint64_t streamStart;  // offset in the workbook stream
};

// A stream whose second run lies right before its first in the file (some writers put the
// stream's first sectors after the next ones) and goes on past the first: the walk follows the
// stream into it and back out, the places there decided by its records, as many as lie between
// the shifts at its two ends.
struct DetourRun {
    std::size_t run = 0;          // the run that goes back, in the chain's runs (the first is 0)
    std::int64_t startShift = 0;  // at the run's start: after the fixed sector before it
};

// Where each unit of the workbook stream lies in the file (ReadWorkbookChain): its sectors, or
// the mini stream's 64-byte sectors for a stream kept there.
struct StreamChain {
    std::uint64_t InFile(std::uint64_t offset) const { return units[offset / unit] + offset % unit; }
    std::size_t RunOf(std::uint64_t offset) const
    {
        // (The last run whose stream start is at or before `offset`; a large file has hundreds.)
        const auto after = std::upper_bound(runs.begin(), runs.end(), offset,
                                            [](std::uint64_t at, const Stretch& run) { return at < run.streamStart; });
        return after == runs.begin() ? 0 : static_cast<std::size_t>(after - runs.begin()) - 1;
    }
    bool HeaderInOneRun(std::uint64_t offset) const
    {
        const std::uint64_t last = offset + biff::kRecordHeaderSize - 1;
        return last / unit >= units.size() || RunOf(offset) == RunOf(last);
    }
    // Where a run begins in the bytes as found, under `shift`.
    std::uint64_t RunStartFound(std::size_t run, std::int64_t shift) const
    {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(runs[run].first) - shift);
    }

    std::vector<std::uint64_t> units;
    std::uint64_t unit = kSectorSize;
    std::vector<Stretch> runs;
    std::uint64_t size = 0;  // of the stream, as its directory entry gives it
    std::optional<DetourRun> detour;
};

// The workbook stream's units through the located table (or mini table), along the file; none
// where they do not run along it and the final check must do. Nothing where the directory names
// no workbook stream or its chain runs into a fixed sector.
std::optional<StreamChain> ReadWorkbookChain(const Grid& grid, const Tables& tables);

// Places of which more could act than did, and how many act: stretches of sectors no structure
// reads (other streams, free sectors) where clusters had to be taken out, and string table
// records.
struct OpenChoice {
    std::vector<std::uint64_t> places;
    std::size_t acting;
};

// Decides the places in (from, to] that move the shift from `shiftFrom` to `shiftTo`, the fixed
// sectors between keeping theirs, and adds them to `into` (where given). Where more places than
// needed could act, the first act: the structure cannot tell them apart (`open`, where given,
// takes the choice, each stretch between fixed sectors one of its own).
bool Place(const Grid& grid, const Tables& tables, std::uint64_t from, std::int64_t shiftFrom, std::uint64_t to,
           std::int64_t shiftTo, std::vector<std::uint64_t>* into, std::vector<OpenChoice>* open = nullptr);
// Whether more places lie in (from, to] than the `acting` there, some acting, those inside the
// fixed sectors between (a table sector the stream jumps over) aside: theirs the sectors decide.
bool FreePlaces(const Grid& grid, const Tables& tables, std::uint64_t from, std::uint64_t to, std::size_t acting);

// What the walk over the workbook stream's records decided (WalkRecords).
struct WalkedRecords {
    std::vector<std::uint64_t> acted;  // decided places, in order
    // Cell records (where their headers lie in the bytes as found) whose places no reading proved:
    // they go as filler, so that the rest of the stream, proved, comes back.
    std::vector<std::uint64_t> leftOut;
    // The shared-string cells, by their headers as found, in the stream's order.
    std::vector<std::uint64_t> sharedStringCells;
    // Places in the string table's records where more could act than did: the table read again,
    // whole, tells which (SettleStringChoices), or which strings it leaves in doubt.
    std::vector<OpenChoice> stringChoices;
    // Where clusters went before the stream's first record, in other streams' sectors (a BIFF5
    // copy of the workbook ahead of the BIFF8 one): the file built whole tells which.
    std::vector<OpenChoice> choicesBefore;
    std::uint64_t done = kHeaderSize - 1;  // where the walk left the bytes as found
    std::int64_t shift = 0;  // the shift there
};

// Walks the workbook stream's records from its first, deciding the places inside each record (and
// in the stretches of other sectors the stream jumps over) by the records that follow. Nothing
// where no reading goes on.
std::optional<WalkedRecords> WalkRecords(const Grid& grid, const Tables& tables, const StreamChain& chain);

// The string table's choices settled (SettleStringChoices): the places that act, and the
// table's strings whose text differs between the ways of taking its places that read whole (the
// table's records read alike every way): no way is proved, so the cells that show them are left
// out too.
struct SettledStrings {
    std::vector<std::uint64_t> acted;
    std::vector<std::uint32_t> doubtful;
};

// The one way of taking the string table's choices after which the table reads whole, the
// other places `acted`. Nothing where none or more than one does, or too many ways.
std::optional<SettledStrings> SettleStringChoices(
    const Grid& grid, const std::vector<std::uint64_t>& acted, const std::vector<OpenChoice>& choices, std::int64_t shift);

// Where CRs went back in other streams than the workbook's (the walk took the first places a
// stretch had), the streams those bytes land in say which places took them, as far as their
// kind of content tells: `acted` taken again so.
void ChooseByStreams(const Grid& grid, const FixedShifts& fixed, std::vector<std::uint64_t>& acted);

}  // namespace tabulon::realigning
