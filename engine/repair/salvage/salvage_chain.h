// The salvage's view of a damaged file: its image, its sectors and mini sectors with what
// survives of the tables that link them, and the rebuilding of a stream's chain where links
// were lost.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/cfb/consts.h"
#include "engine/io/sector_file.h"

namespace tabulon::salvage {

// The file's bytes: the header's place and its sectors, the last one filled out with zeros.
// Where the file lends its bytes (a private copy mapped into memory), they are read there;
// else they are read into `owned`.
struct Image {
    Image() = default;
    Image(Image&&) = default;  // (`bytes` goes on pointing into the moved buffer)
    Image& operator=(Image&&) = default;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    std::span<const std::uint8_t> bytes;
    std::vector<std::uint8_t> owned;
    std::uint32_t sectors = 0;  // whole sectors after the header
};

Image ReadImage(SectorFile& file);

// A run of equal-sized units (the file's sectors, or the mini stream's 64-byte sectors) with
// what survives of the table that links them.
struct Space {
    const std::uint8_t* base = nullptr;
    std::uint32_t unit = kSectorSize;
    std::uint32_t count = 0;
    std::vector<std::uint32_t> next;
    std::vector<bool> known;           // the table's entry for the unit survived
    std::vector<bool> claimed;         // a structure or a chain holds it
    std::vector<bool> hasPredecessor;  // a surviving link leads into it
    std::vector<bool> head;            // a directory entry's stream starts there
    std::vector<std::uint32_t> headLength;  // the units that stream needs

    void Resize(std::uint32_t units)
    {
        count = units;
        next.assign(units, kFreeSector);
        known.assign(units, false);
        claimed.assign(units, false);
        hasPredecessor.assign(units, false);
        head.assign(units, false);
        headLength.assign(units, 0);
    }
    const std::uint8_t* At(std::uint32_t index) const { return base + std::size_t{index} * unit; }
    bool Free(std::uint32_t index) const { return index < count && !claimed[index]; }
    // Chains of surviving links that no surviving link leads into and that end as a chain
    // ends: where streams go on after their lost links (and where the streams start), by
    // length and first unit.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tails;

    // Notes which units a surviving link leads into, and the tails.
    void NotePredecessors();
};

// The entries of a table sector that can be trusted, when the sector survives at all: every
// entry a marker or in range and no two leading to the same unit, but for a few (a flipped bit
// here and there), which are left unknown. A wiped sector reads as 128 links to unit 0, and a
// sector of something else breaks the rules everywhere: neither survives.
std::optional<std::array<bool, kEntriesPerFatSector>> SurvivingEntries(const std::uint8_t* sector, std::uint64_t capacity);

// Fills `space`'s table from the table sectors listed, where they survive; gives how many did not.
std::uint32_t LoadTable(Space& space, const std::vector<std::uint32_t>& tableSectors, const Space& holder);

struct Budget {
    std::uint64_t left;
    bool Take(std::uint64_t amount = 1)
    {
        if (left < amount)
            return false;
        left -= amount;
        return true;
    }
};

// Builds one stream's chain. For a workbook stream the records decide where a lost link
// leads: a BIFF record (2-byte type, 2-byte length) runs on seamlessly from one sector into
// the next, so the sector in which the records continue is the next one.
class ChainBuilder {
public:
    // (The units are the file's sectors or the mini stream's: a power of two long.)
    ChainBuilder(Space& space, bool biff, std::uint64_t size, Budget& budget, std::vector<std::int8_t>& fragmentStarts)
        : space_(space)
        , biff_(biff)
        , size_(size)
        , budget_(budget)
        , fragmentStarts_(fragmentStarts)
        , shift_(static_cast<std::uint32_t>(std::countr_zero(space.unit)))
    {
    }

    void Build(std::uint32_t start);

    const std::vector<std::uint32_t>& Units() const { return units_; }
    std::uint32_t Rebuilt() const { return rebuilt_; }
    bool Guessed() const { return guessed_; }
    // Whether the unit at `index` of the chain is known to stand there: reached from the
    // start by the table's links, or in the tail that ends the chain (whose place the
    // stream's size fixes), not past a guess.
    bool ProvenAt(std::size_t index) const { return proven_[index]; }
    // The stream's length: its size, or for a stream found by its records, where its last
    // sheet ends; never more than its chain holds.
    std::uint64_t Length() const;
    // The stream's bytes along the chain, up to its length; zeros where the records broke off
    // and the chain went on by a guess, up to where they read again.
    std::vector<std::uint8_t> Gathered() const;
    void Release();

private:
    enum class Fit;
    struct JunctionFit;

    std::uint64_t Available() const { return std::uint64_t{units_.size()} * space_.unit; }
    bool Done() const;

    std::uint8_t ByteAt(std::uint64_t offset) const;
    // (Record headers are read for every record the chain holds: where the two bytes share a
    // unit, as they mostly do, without a call.)
    std::uint16_t U16At(std::uint64_t offset) const
    {
        const auto within = static_cast<std::uint32_t>(offset & (space_.unit - 1));
        if (within + 1 < space_.unit) {
            const std::uint8_t* bytes = space_.base + (std::size_t{units_[static_cast<std::size_t>(offset >> shift_)]} << shift_) + within;
            return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
        }
        return static_cast<std::uint16_t>(ByteAt(offset) | (ByteAt(offset + 1) << 8));
    }
    std::uint32_t U32At(std::uint64_t offset) const;
    // The row and column of the last cell (lastCell_ set).
    std::pair<std::uint32_t, std::uint32_t> LastCell() const { return {U16At(*lastCell_ + 4), U16At(*lastCell_ + 6)}; }
    // The chain's bytes so far, as the record scan reads them.
    struct Held {
        const ChainBuilder& chain;
        std::uint64_t Size() const { return chain.Available(); }
        std::uint16_t U16(std::uint64_t offset) const { return chain.U16At(offset); }
    };

    void Append(std::uint32_t unit, bool walk = true);
    template <typename Accept>
    bool Walk(const Accept& accept);
    bool TakeLinked(std::uint32_t unit);
    std::optional<std::uint16_t> SubstreamKind() const;
    static bool BelongsIn(std::optional<std::uint16_t> kind, std::uint16_t type);
    bool Resync();
    void Note(std::uint64_t offset, std::uint16_t type, std::uint16_t length);  // the record at `offset`

    Fit Continues(std::uint32_t candidate);
    JunctionFit Junction(std::uint32_t candidate);
    bool TailHoldsTheRest(std::uint32_t unit) const;
    bool StartsFragment(std::uint32_t unit);
    bool Candidate(std::uint32_t unit) const;
    bool Wiped(std::uint32_t unit) const;  // all zeros
    bool AnyWipedCandidate();
    std::uint32_t Following(std::uint32_t unit) const;
    std::optional<std::uint32_t> Infer(std::uint32_t unit);
    std::optional<std::uint32_t> NextLink(std::uint32_t unit);
    std::optional<std::uint32_t> FittingTail();
    // (`inGlobals`: before the first sheet too.)
    std::optional<std::uint32_t> PastABreak(std::uint32_t unit, bool inGlobals = false);
    std::optional<std::uint32_t> PastABreakAt(std::uint32_t next);

    Space& space_;
    bool biff_;
    std::uint64_t size_;
    Budget& budget_;
    std::vector<std::int8_t>& fragmentStarts_;
    std::uint32_t shift_;  // log2 of the unit's size
    std::vector<std::uint32_t> units_;
    std::uint32_t rebuilt_ = 0;
    bool guessed_ = false;
    std::vector<bool> proven_;  // for each unit
    bool provenNow_ = true;     // for the next unit
    // The record walk.
    bool synced_ = true;
    std::uint64_t nextRecord_ = 0;
    std::uint64_t lastRecord_ = 0;  // where the record before it starts
    std::uint64_t scanFrom_ = 0;
    std::uint64_t lastSheet_ = 0;
    std::optional<std::uint64_t> substream_;  // where the substream the walk is in begins
    // Where the outermost substream begins, and how many are open: a sheet's embedded chart
    // ends with an end record of its own, before the sheet's.
    std::optional<std::uint64_t> outermost_;
    std::uint32_t depth_ = 0;
    std::optional<std::uint64_t> end_;
    // The last cell record whose row and column the chain holds; they are read when asked
    // (LastCell), not at every cell the walk passes: the units below it never change.
    std::optional<std::uint64_t> lastCell_;
    std::optional<std::uint64_t> pendingCell_;  // a cell record whose row and column are not all here yet
    std::vector<std::pair<std::uint64_t, std::uint64_t>> breaks_;  // stretches of the chain's bytes
    bool brokeInGlobals_ = false;  // the globals went on past a break once
    std::optional<bool> anyWiped_;  // (AnyWipedCandidate's)
};

std::vector<std::uint8_t> Gather(const Space& space, const std::vector<std::uint32_t>& units, std::uint64_t length);

}  // namespace tabulon::salvage
