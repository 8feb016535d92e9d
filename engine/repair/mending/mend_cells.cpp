// The cells the mending takes out because no workbook holds them: cells no spreadsheet program
// writes (bytes of other records, or of a workbook whose encryption record was lost, that
// read as cells), and cells whose bytes the damage zeroed.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/base/beside.h"
#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

namespace {

// Whether a number read where the stream lost records elsewhere is more likely other bytes than
// a cell: one no spreadsheet program stores (not a number, infinite; readers would show NaN or an
// error the workbook never held), or one below the smallest normal double (2.2e-308), as bytes
// that are mostly zeros read. Only there: Gnumeric writes numbers that small as formula results,
// and what a workbook with no other damage holds, the readers show as it is.
bool DoubtfulNumber(double value)
{
    return !std::isfinite(value) || std::fpclassify(value) == FP_SUBNORMAL;
}

// The same of the 8 bytes at `at`.
bool UnwrittenNumber(std::span<const std::uint8_t> stream, std::size_t at)
{
    return DoubtfulNumber(std::bit_cast<double>(LoadLe64(stream.data() + at)));
}

// The same of an RK value's 4 bytes.
bool UnwrittenRk(std::span<const std::uint8_t> stream, std::size_t at)
{
    const std::uint32_t rk = LoadLe32(stream.data() + at);
    if (rk & 0x02)
        return false;  // a whole number
    return DoubtfulNumber(std::bit_cast<double>(std::uint64_t{rk & 0xFFFFFFFCu} << 32) / ((rk & 0x01) ? 100.0 : 1.0));
}

// Whether the cell record at `at` holds what no workbook has: a column past 255, the last a
// sheet has; and where the stream was mended elsewhere (`otherDamage`), a formula with no room
// for its expression or no token the format has first, or a doubtful number (DoubtfulNumber). `biff5` says the stream's BOF records are those of BIFF5 and later (a formula's
// result then follows its cell style).
bool NoWrittenCell(std::span<const std::uint8_t> stream, std::size_t at, std::uint16_t type, std::size_t length, bool biff5,
                   bool otherDamage)
{
    const std::size_t body = at + kHeader;
    if (U16(stream, body + 2) > 0xFF)
        return true;
    if (!otherDamage)
        return false;
    switch (type) {
    case kNumber: return length >= 14 && UnwrittenNumber(stream, body + 6);
    case kNumber2: return length >= 15 && UnwrittenNumber(stream, body + 7);
    case kRk: return length >= 10 && UnwrittenRk(stream, body + 6);
    case kMulRk:
        for (std::size_t k = body + 6; k + 4 <= body + length - 2; k += 6) {
            if (UnwrittenRk(stream, k))
                return true;
        }
        return false;
    case kFormula:
    case kFormula3:
    case kFormula4:
        if (biff5 || type != kFormula) {
            // A formula's expression: as long as its record has room for, its first token one
            // the format has (bytes of other records read as a formula now and then, where the
            // stream lost records elsewhere; in a stream that holds no other damage, a changed
            // bit there leaves the formula's result as it was).
            if (length >= 22 && (U16(stream, body + 20) == 0 || 22u + U16(stream, body + 20) > length || stream[body + 22] == 0 ||
                                 stream[body + 22] >= 0x80))
                return true;
            // (A result whose last two bytes are 0xFFFF is a text, a boolean or an error, no number.)
            return length >= 14 && U16(stream, body + 12) != 0xFFFF && UnwrittenNumber(stream, body + 6);
        }
        return false;
    default:
        return false;
    }
}

// Cells no workbook has (see NoWrittenCell): bytes that are no records (another file's, zeros,
// records read from the wrong place) read as one now and then.
//
// An encrypted workbook whose FILEPASS record went with the damage: its cells' bodies are
// the cipher's bytes, and read as values they are inventions. Their records read (the headers
// are not encrypted), but their columns and cell styles are numbers no workbook has (a column
// past 255, a style past 4050) in most of them, where in any other workbook none has: then
// every cell record becomes filler; otherwise those no workbook has do.
//
// Find() goes over the records from the stream's start as long as they read one after
// another (noting every cell record in `every`, when given); Apply() then carries out what
// it found.
class ImpossibleCells {
public:
    ImpossibleCells(Bytes stream, bool otherDamage) : stream_(stream), otherDamage_(otherDamage) {}

    void Find(std::vector<std::pair<std::size_t, std::size_t>>* every = nullptr)
    {
        const bool biff5 = stream_.size() >= kHeader && U16(stream_, 0) == kBof;
        bool globals = true;
        bool chart = false;  // a chart's cached values hold NaN for points without one (Gnumeric's)
        for (std::size_t at = 0; at + kHeader <= stream_.size() && Reads(stream_, at);) {
            const std::uint16_t type = U16(stream_, at);
            const std::uint16_t length = U16(stream_, at + 2);
            if (globals && type == kFilePass) {
                saysEncrypted_ = true;  // encrypted, and it says so: readers know
                return;
            }
            globals = globals && type != kEof;
            if (IsBofType(type))
                chart = length >= 4 && U16(stream_, at + kHeader + 2) == kChartSubstream;
            if (!globals && IsCellRecord(type) && length >= 6) {
                ++cells_;
                if (NoWrittenCell(stream_, at, type, length, biff5, otherDamage_ && !chart))
                    unwritten_.emplace_back(at, at + kHeader + length);
                impossible_ += U16(stream_, at + kHeader + 2) > 0xFF || U16(stream_, at + kHeader + 4) >= 4050 ? 1u : 0u;
                if (every)
                    every->emplace_back(at, at + kHeader + length);
            }
            at += kHeader + length;
        }
    }

    // Whether Apply changes the stream.
    bool Changes() const { return !saysEncrypted_ && (Encrypted() || !unwritten_.empty()); }

    void Apply(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
    {
        if (!Changes())
            return;
        std::vector<std::pair<std::size_t, std::size_t>> found = std::move(unwritten_);  // cell records that go
        if (Encrypted()) {
            // Every cell record: the walk again, noting them all this time.
            found.clear();
            ImpossibleCells(stream, otherDamage_).Find(&found);
        }
        for (const auto& [from, to] : found) {
            WriteFiller(stream, nullptr, from, to);
            MendedRegion* last = regions.empty() ? nullptr : &regions.back();
            if (last && last->kind == MendedRegion::Kind::Replaced && last->offset + last->length == from)
                last->length += to - from;
            else
                regions.push_back({MendedRegion::Kind::Replaced, from, to - from, -1});
        }
    }

private:
    bool Encrypted() const { return impossible_ * 2 > cells_; }

    Bytes stream_;
    bool otherDamage_;
    bool saysEncrypted_ = false;
    std::size_t cells_ = 0, impossible_ = 0;
    std::vector<std::pair<std::size_t, std::size_t>> unwritten_;
};

// A cell whose record holds a zeroed unit (a label's text, a number, the values of a run of
// them, a formula or its string result with the STRING record's CONTINUE records): its bytes
// there were lost, and a reader would show zeros in their place, as if the workbook held them.
// No cell record a workbook holds has 64 zero bytes from a multiple of 64 (none of the sample
// workbooks' does). The cell goes, a formula with the result it would show.
//
// Find() goes over every record that reads; Apply() then carries out what it found.
class CellsOverZeros {
public:
    explicit CellsOverZeros(Bytes stream) : stream_(stream) {}

    void Find()
    {
        const Bytes stream = stream_;
        const auto isFormula = [](std::uint16_t type) { return type == kFormula || type == kFormula3 || type == kFormula4; };
        std::size_t previous = kNoPlace, previousEnd = kNoPlace;  // the record before, where it ends
        std::uint16_t previousType = 0;
        bool previousZeros = false;
        std::size_t text = kNoPlace, textEnd = 0;  // a string result under way, its formula first
        bool zeroed = false;
        // A formula whose text result went with a hole right after it: its STRING record is filler
        // now, and a reader would take the next STRING record (another formula's, past the hole)
        // for its result. (Between a formula and its STRING record only a shared formula, an
        // array or a table may come.)
        const bool biff2 = stream.size() >= kHeader && U16(stream, 0) == kBof2;
        std::size_t awaiting = kNoPlace, awaitingEnd = 0;
        std::vector<std::pair<std::size_t, std::size_t>> textLost;
        ForEachReadingRecord(stream, 0, [&](std::size_t at, std::uint16_t type, std::size_t length) {
            const std::size_t end = at + kHeader + length;
            if (isFormula(type) && !biff2) {
                const bool textResult = length >= 14 && stream[at + kHeader + 6] == 0 && U16(stream, at + kHeader + 12) == 0xFFFF;
                awaiting = textResult ? at : kNoPlace;
                awaitingEnd = end;
            } else if (awaiting != kNoPlace && type != kSharedFormula && type != kArray && type != kTable) {
                if (type == kFillerRecord)
                    textLost.emplace_back(awaiting, awaitingEnd);
                awaiting = kNoPlace;
            }
            // (A body shorter than a unit holds none wholly: most cell records, asked at no cost.)
            const bool zeros = length >= kUnit && ZeroedUnitIn(stream, at + kHeader, end, true);
            if (text != kNoPlace && type == kContinue && at == textEnd) {
                zeroed = zeroed || zeros;
                textEnd = end;
            } else {
                if (text != kNoPlace && zeroed)
                    gone_.emplace_back(text, textEnd);
                text = kNoPlace;
                zeroed = false;
            }
            const bool afterFormula = previousEnd == at && isFormula(previousType);
            if (type == kString || type == kString2) {
                text = afterFormula ? previous : at;
                textEnd = end;
                zeroed = zeros || (afterFormula && previousZeros);
            } else if (isFormula(previousType) && previousZeros) {
                gone_.emplace_back(previous, previousEnd);  // a formula with no string result after it
            }
            if (IsCellRecord(type) && !isFormula(type) && zeros)
                gone_.emplace_back(at, end);
            previous = at;
            previousEnd = end;
            previousType = type;
            previousZeros = zeros;
        });
        if (text != kNoPlace && zeroed)
            gone_.emplace_back(text, textEnd);
        else if (isFormula(previousType) && previousZeros)
            gone_.emplace_back(previous, previousEnd);
        gone_.insert(gone_.end(), textLost.begin(), textLost.end());
    }

    void Apply(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions) const
    {
        for (const auto& [from, to] : gone_) {
            WriteFiller(stream, nullptr, from, to);
            Cover(regions, from, to);
        }
    }

private:
    Bytes stream_;
    std::vector<std::pair<std::size_t, std::size_t>> gone_;
};

}  // namespace

// Cells no workbook has go, then cells over zeroed bytes. Both look the stream over without
// changing it, side by side; where the first changes it (as it seldom does), the second looks
// again.
void CellsNoWorkbookHoldsGo(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    ImpossibleCells impossible(stream, !regions.empty());
    CellsOverZeros zeros(stream);
    {
        Beside looking(stream.size(), [&zeros] { zeros.Find(); });
        impossible.Find();
        looking.Wait();
    }
    if (!impossible.Changes()) {
        zeros.Apply(stream, regions);
        return;
    }
    impossible.Apply(stream, regions);
    CellsOverZeros again(stream);
    again.Find();
    again.Apply(stream, regions);
}

}  // namespace tabulon::mending
