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

}  // namespace

ImpossibleCells::ImpossibleCells(bool biff5, bool otherDamage) : biff5_(biff5), otherDamage_(otherDamage) {}

bool ImpossibleCells::Take(std::span<const std::uint8_t> record, std::size_t at, std::vector<std::pair<std::size_t, std::size_t>>* every)
{
    const std::uint16_t type = U16(record, 0);
    const std::uint16_t length = U16(record, 2);
    if (globals_ && type == kFilePass) {
        saysEncrypted_ = true;  // encrypted, and it says so: readers know
        return false;
    }
    globals_ = globals_ && type != kEof;
    if (IsBofType(type)) {
        chart_ = length >= 4 && U16(record, kHeader + 2) == kChartSubstream;
        biff8_ = globals_ ? length >= 2 && U16(record, kHeader) >= kBiff8Version : biff8_;
    }
    // A sheet's size in another version's form, or the first version's record where a later
    // one's stands: bytes of a record whose first byte a hole zeroed, read as that (xlrd refuses
    // a BIFF8 sheet whose size record is short).
    if (!globals_ && otherDamage_ && biff5_ &&
        ((type == kDimensions && length != (biff8_ ? 14 : 10)) || (type == kDimensions2 && length != 0))) {
        unwritten_.emplace_back(at, at + kHeader + length);
        return true;
    }
    if (!globals_ && IsCellRecord(type) && length >= 6) {
        ++cells_;
        if (NoWrittenCell(record, 0, type, length, biff5_, otherDamage_ && !chart_))
            unwritten_.emplace_back(at, at + kHeader + length);
        impossible_ += U16(record, kHeader + 2) > 0xFF || U16(record, kHeader + 4) >= 4050 ? 1u : 0u;
        if (every)
            every->emplace_back(at, at + kHeader + length);
    }
    return true;
}

void ImpossibleCells::Find(Bytes stream, std::vector<std::pair<std::size_t, std::size_t>>* every)
{
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at);) {
        const std::size_t end = at + kHeader + U16(stream, at + 2);
        if (!Take(stream.subspan(at, end - at), at, every))
            return;
        at = end;
    }
}

void ImpossibleCells::Apply(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    if (!Changes())
        return;
    std::vector<std::pair<std::size_t, std::size_t>> found = std::move(unwritten_);  // cell records that go
    if (Encrypted()) {
        // Every cell record: the walk again, noting them all this time.
        found.clear();
        ImpossibleCells(biff5_, otherDamage_).Find(stream, &found);
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

namespace {

bool IsFormula(std::uint16_t type)
{
    return type == kFormula || type == kFormula3 || type == kFormula4;
}

}  // namespace

CellsOverZeros::CellsOverZeros(bool biff2) : biff2_(biff2) {}

void CellsOverZeros::Take(Bytes record, std::size_t at, bool zeros)
{
    const std::uint16_t type = U16(record, 0);
    const std::size_t length = U16(record, 2);
    const std::size_t end = at + kHeader + length;
    if (IsFormula(type) && !biff2_) {
        const bool textResult = length >= 14 && record[kHeader + 6] == 0 && U16(record, kHeader + 12) == 0xFFFF;
        awaiting_ = textResult ? at : kNoPlace;
        awaitingEnd_ = end;
    } else if (awaiting_ != kNoPlace && type != kSharedFormula && type != kArray && type != kTable) {
        if (type == kFillerRecord)
            textLost_.emplace_back(awaiting_, awaitingEnd_);
        awaiting_ = kNoPlace;
    }
    if (text_ != kNoPlace && type == kContinue && at == textEnd_) {
        zeroed_ = zeroed_ || zeros;
        textEnd_ = end;
    } else {
        if (text_ != kNoPlace && zeroed_)
            gone_.emplace_back(text_, textEnd_);
        text_ = kNoPlace;
        zeroed_ = false;
    }
    const bool afterFormula = previousEnd_ == at && IsFormula(previousType_);
    if (type == kString || type == kString2) {
        text_ = afterFormula ? previous_ : at;
        textEnd_ = end;
        zeroed_ = zeros || (afterFormula && previousZeros_);
    } else if (IsFormula(previousType_) && previousZeros_) {
        gone_.emplace_back(previous_, previousEnd_);  // a formula with no string result after it
    }
    if (IsCellRecord(type) && !IsFormula(type) && zeros)
        gone_.emplace_back(at, end);
    previous_ = at;
    previousEnd_ = end;
    previousType_ = type;
    previousZeros_ = zeros;
}

void CellsOverZeros::Finish()
{
    if (text_ != kNoPlace && zeroed_)
        gone_.emplace_back(text_, textEnd_);
    else if (IsFormula(previousType_) && previousZeros_)
        gone_.emplace_back(previous_, previousEnd_);
    gone_.insert(gone_.end(), textLost_.begin(), textLost_.end());
    textLost_.clear();
}

void CellsOverZeros::Find(Bytes stream)
{
    ForEachReadingRecord(stream, 0, [&](std::size_t at, std::uint16_t, std::size_t length) {
        const std::size_t end = at + kHeader + length;
        // (A body shorter than a unit holds none wholly: most cell records, asked at no cost.)
        const bool zeros = length >= kUnit && ZeroedUnitIn(stream, at + kHeader, end, true);
        Take(stream.subspan(at, end - at), at, zeros);
    });
    Finish();
}

void CellsOverZeros::Apply(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions) const
{
    for (const auto& [from, to] : gone_) {
        WriteFiller(stream, nullptr, from, to);
        Cover(regions, from, to);
    }
}

namespace {

}  // namespace

// Cells no workbook has go, then cells over zeroed bytes. Both look the stream over without
// changing it, side by side; where the first changes it (as it seldom does), the second looks
// again.
void CellsNoWorkbookHoldsGo(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    ImpossibleCells impossible(stream.size() >= kHeader && U16(stream, 0) == kBof, !regions.empty());
    const bool biff2 = stream.size() >= kHeader && U16(stream, 0) == kBof2;
    CellsOverZeros zeros(biff2);
    {
        Beside looking(stream.size(), [&zeros, &stream] { zeros.Find(stream); });
        impossible.Find(stream);
        looking.Wait();
    }
    if (!impossible.Changes()) {
        zeros.Apply(stream, regions);
        return;
    }
    impossible.Apply(stream, regions);
    CellsOverZeros again(biff2);
    again.Find(stream);
    again.Apply(stream, regions);
}

}  // namespace tabulon::mending
