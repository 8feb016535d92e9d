// The cells the mending takes out because no workbook holds them: cells no spreadsheet program
// writes (bytes of other records, or of a workbook whose encryption record was lost, that
// read as cells), and cells whose bytes the damage zeroed.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
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

// How far a number read where the stream lost records elsewhere is doubted: Sure, where no
// spreadsheet program stores it (not a number, infinite: readers would show NaN or an error
// the workbook never held); Tiny, where it lies below the smallest normal double (2.2e-308),
// as a zero with a changed bit, or bytes that are mostly zeros, read.
enum class Doubt : std::uint8_t { None, Sure, Tiny };

// The doubt on a number (DoubtOf). Gnumeric writes numbers that small as formula results, and
// what a workbook with no other damage holds, the readers show as it is.
Doubt DoubtOf(double value)
{
    if (!std::isfinite(value))
        return Doubt::Sure;
    return std::fpclassify(value) == FP_SUBNORMAL ? Doubt::Tiny : Doubt::None;
}

// The same of the 8 bytes at `at`.
Doubt NumberDoubt(std::span<const std::uint8_t> stream, std::size_t at)
{
    return DoubtOf(std::bit_cast<double>(LoadLe64(stream.data() + at)));
}

// The same of an RK value's 4 bytes.
Doubt RkDoubt(std::span<const std::uint8_t> stream, std::size_t at)
{
    const std::uint32_t rk = LoadLe32(stream.data() + at);
    if (rk & 0x02)
        return Doubt::None;  // a whole number
    return DoubtOf(std::bit_cast<double>(std::uint64_t{rk & 0xFFFFFFFCu} << 32) / ((rk & 0x01) ? 100.0 : 1.0));
}

// Whether the cell record at `at` holds what no workbook has: a column past 255, the last a
// sheet has (Doubt::Sure); and where the stream was mended elsewhere (`otherDamage`), a formula
// with no room for its expression or no token the format has first (Sure), or a doubted number
// (DoubtOf; the strongest doubt of a row of them). `biff5` says the stream's BOF records are
// those of BIFF5 and later (a formula's result then follows its cell style).
Doubt NoWrittenCell(std::span<const std::uint8_t> stream, std::size_t at, std::uint16_t type, std::size_t length, bool biff5,
                    bool otherDamage)
{
    const std::size_t body = at + kHeader;
    if (U16(stream, body + 2) > kLastColumn)
        return Doubt::Sure;
    if (!otherDamage)
        return Doubt::None;
    switch (type) {
    case kNumber: return length >= 14 ? NumberDoubt(stream, body + 6) : Doubt::None;
    case kNumber2: return length >= 15 ? NumberDoubt(stream, body + 7) : Doubt::None;
    case kRk: return length >= 10 ? RkDoubt(stream, body + 6) : Doubt::None;
    case kMulRk: {
        Doubt strongest = Doubt::None;
        for (std::size_t k = body + 6; k + 4 <= body + length - 2 && strongest != Doubt::Sure; k += 6)
            strongest = std::max(strongest, RkDoubt(stream, k));
        return strongest;
    }
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
                return Doubt::Sure;
            // (A result whose last two bytes are 0xFFFF is a text, a boolean or an error, no number.)
            return length >= 14 && U16(stream, body + 12) != 0xFFFF ? NumberDoubt(stream, body + 6) : Doubt::None;
        }
        return Doubt::None;
    default:
        return Doubt::None;
    }
}

}  // namespace

bool NoCellAnyProgramWrites(Bytes stream, std::size_t at, bool biff5)
{
    return NoWrittenCell(stream, at, U16(stream, at), U16(stream, at + 2), biff5, true) == Doubt::Sure;
}

ImpossibleCells::ImpossibleCells(bool biff5, bool otherDamage, bool wiped) : biff5_(biff5), otherDamage_(otherDamage), wiped_(wiped) {}

bool ImpossibleCells::TinyNumbersDoubted(std::size_t at, std::size_t end) const
{
    // Where the damage only wiped bytes, the records that survive hold what the writer wrote;
    // a number whose last bytes a wiped unit took reads as a tiny one. That unit lies in the
    // record, or it began there and the zeros after the record are filler now (whose header
    // breaks the unit) or zeros still, with a unit of them next. A record that another follows
    // has its own bytes up to its end.
    if (!wiped_)
        return true;
    if (stream_.empty())
        return false;
    if (ZeroedUnitIn(stream_, at, end))
        return true;
    const bool zerosFollow = end + kHeader <= stream_.size() && (U16(stream_, end) == kFillerRecord || ZeroHeader(stream_, end));
    return zerosFollow && ZeroedUnitIn(stream_, end, std::min(end + 2 * kUnit, stream_.size()));
}

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
        const Doubt doubt = NoWrittenCell(record, 0, type, length, biff5_, otherDamage_ && !chart_);
        if (doubt == Doubt::Sure || (doubt == Doubt::Tiny && TinyNumbersDoubted(at, at + kHeader + length)))
            unwritten_.emplace_back(at, at + kHeader + length);
        impossible_ += U16(record, kHeader + 2) > kLastColumn || U16(record, kHeader + 4) >= 4050 ? 1u : 0u;
        if (every)
            every->emplace_back(at, at + kHeader + length);
    }
    return true;
}

void ImpossibleCells::Find(Bytes stream, std::vector<std::pair<std::size_t, std::size_t>>* every)
{
    stream_ = stream;
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
        ImpossibleCells(biff5_, otherDamage_, wiped_).Find(stream, &found);
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

// A cell that names a string past the end of the shared-string table shows nothing any reader
// can tell (xlrd refuses the workbook): in a stream mended elsewhere, the string went with the
// damage, and the cell goes too. (Not in an encrypted workbook, whose records' bodies are not
// what they say.)
void CellsNamingNoStringGo(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    std::optional<std::uint32_t> strings;  // as many as the table holds
    std::vector<std::pair<std::size_t, std::size_t>> naming;
    bool globals = true, encrypted = false;
    ForEachReadingRecord(stream, 0, [&](std::size_t at, std::uint16_t type, std::size_t length) {
        encrypted = encrypted || (globals && type == kFilePass);
        if (globals && type == kSst && length >= 8 && !strings)
            strings = LoadLe32(stream.data() + at + kHeader + 4);
        globals = globals && type != kEof;
        if (!globals && type == kLabelSst && length >= 10 && strings && LoadLe32(stream.data() + at + kHeader + 6) >= *strings)
            naming.emplace_back(at, at + kHeader + length);
    });
    if (encrypted)
        return;
    for (const auto& [from, to] : naming) {
        WriteFiller(stream, nullptr, from, to);
        Cover(regions, from, to);
    }
}

// Cells no workbook has go, then cells over zeroed bytes. Both look the stream over without
// changing it, side by side; where the first changes it (as it seldom does), the second looks
// again.
void CellsNoWorkbookHoldsGo(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions, bool wiped, bool changed)
{
    ImpossibleCells impossible(stream.size() >= kHeader && U16(stream, 0) == kBof, !regions.empty() || changed, wiped && !changed);
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
