// What the mending's files share: reading the records, writing them, and the steps of
// MendWorkbookStream that have files of their own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/bit_set.h"
#include "engine/base/byte_order.h"
#include "engine/biff/pieces.h"
#include "engine/biff/record_scan.h"
#include "engine/biff/records.h"
#include "engine/biff/strings.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

// The mending reads records by the rules every tolerant reading shares.
using namespace biff;

inline constexpr std::size_t kHeader = biff::kRecordHeaderSize;
inline constexpr std::size_t kMaxBody = biff::kMaxRecordBody;

// The string table read as one run of bytes (see Pieces), with where in the stream the reading
// stands.
class ChainCursor {
public:
    ChainCursor(std::vector<Bytes> bodies, const std::uint8_t* stream) : pieces_(std::move(bodies)), stream_(stream) {}
    // Reads `bodies` from the `first`, `skip` bytes into it; they are shared, not copied.
    ChainCursor(std::shared_ptr<const std::vector<Bytes>> bodies, std::size_t first, std::size_t skip, const std::uint8_t* stream)
        : pieces_(std::move(bodies), first, skip), stream_(stream)
    {
    }

    // Moves past a body's end to the next; false when none is left.
    bool Settle() { return pieces_.Settle(); }
    std::size_t Position() const { return static_cast<std::size_t>(pieces_.Here() - stream_); }
    // Where the body the next byte is in ends.
    std::size_t PieceEnd() const { return static_cast<std::size_t>(pieces_.PieceEnd() - stream_); }

    bool Byte(std::uint8_t& value) { return pieces_.Byte(value); }
    bool Le16(std::uint16_t& value) { return pieces_.Le16(value); }
    bool Skip(std::size_t count) { return pieces_.Skip(count); }

    // Past one string of the table: length, flags, run count and far-east size as the flags
    // say, characters, runs, far-east data. `strict` also holds the far-east data to its own
    // layout (a reserved 1, then the size of the rest).
    // `text`, when given, gets the string's characters; Characters() then tells how many
    // the string said it has.
    bool String(bool strict = false, std::u16string* text = nullptr)
    {
        StringHeader header;
        if (!ReadStringHeader(pieces_, 2, header, true))
            return false;
        const std::uint16_t count = header.count;
        const std::uint32_t farEast = header.farEast;
        characters_ = count;
        const std::uint8_t* chars = pieces_.Here();
        const std::uint8_t* pieceEnd = pieces_.PieceEnd();
        if (!(text ? pieces_.Chars(count, header.Wide(), *text) : pieces_.SkipChars(count, header.Wide())) ||
            !pieces_.Skip(std::size_t{header.runs} * 4))
            return false;
        const std::size_t bytes = std::size_t{count} * (header.Wide() ? 2 : 1);
        charsAt_ = count > 0 && chars < pieceEnd && bytes <= static_cast<std::size_t>(pieceEnd - chars) ? chars : nullptr;
        wide_ = header.Wide();
        if (!strict || farEast == 0)
            return pieces_.Skip(farEast);
        std::uint16_t reserved = 0, rest = 0;
        return farEast >= 4 && pieces_.Le16(reserved) && pieces_.Le16(rest) && reserved == 1 && rest == farEast - 4 &&
               pieces_.Skip(farEast - 4);
    }

    std::size_t Characters() const { return characters_; }
    // Where the last string's characters lie, as the table holds them, when one body holds
    // them all (else nullptr), and whether they are two bytes wide there.
    const std::uint8_t* CharsAt() const { return charsAt_; }
    bool Wide() const { return wide_; }

private:
    Pieces pieces_;
    const std::uint8_t* stream_;
    std::size_t characters_ = 0;
    const std::uint8_t* charsAt_ = nullptr;
    bool wide_ = false;
};

// record_check.cpp
std::optional<std::pair<std::size_t, std::uint16_t>> OddBofField(Bytes stream, std::size_t at);

// Where the counts a length contradicts first go wrong in the globals (the records before the
// first end record): nothing where none does.
std::optional<std::uint64_t> CountsDamage(Bytes globals);

// record_mend.cpp
// Whether the stream's start is gone (a stream that begins with a worksheet's first record has
// lost its globals as well); its first record is all that is read of it.
bool StartLost(Bytes stream);
// A region for [from, to), which the mending wrote anew, unless one already holds it (filler
// from this mending's walk; filler an earlier mending left is no region of this one).
void Cover(std::vector<MendedRegion>& regions, std::size_t from, std::size_t to);

// mend_cells.cpp
// Cells no workbook has (cells no spreadsheet program writes: a column past 255, the last a
// sheet has; where the stream was mended elsewhere, a formula with no room for its expression or
// no token the format has first, a number no program stores or one below the smallest normal
// double, outside charts): bytes that are no records (another file's, zeros, records read from
// the wrong place) read as one now and then. So do, there, a sheet's size records of another
// version's length.
//
// An encrypted workbook whose FILEPASS record went with the damage: its cells' bodies are
// the cipher's bytes, and read as values they are inventions. Their records read (the headers
// are not encrypted), but their columns and cell styles are numbers no workbook has (a column
// past 255, a style past 4050) in most of them, where in any other workbook none has: then
// every cell record becomes filler; otherwise those no workbook has do.
//
// The records are taken one after another from the stream's start as long as they read
// (Take, or Find over a stream held whole); Apply() then carries out what was found.
class ImpossibleCells {
public:
    // `biff5`: the stream's first record is BIFF5's or a later version's; `otherDamage`: the
    // stream was mended elsewhere; `wiped`: the damage wiped bytes (the walk broke at zeros, or
    // the salvage found the stream after them), and numbers below the smallest normal double
    // are doubted only next to zeros.
    ImpossibleCells(bool biff5, bool otherDamage, bool wiped = false);

    // The record `record` (its header and body), which lies at `at` in the stream; every cell
    // record noted in `every`, when given. False once the records after it no longer count
    // (the workbook says it is encrypted).
    bool Take(std::span<const std::uint8_t> record, std::size_t at, std::vector<std::pair<std::size_t, std::size_t>>* every = nullptr);
    // Takes every record of `stream` from its start as long as they read one after another.
    void Find(Bytes stream, std::vector<std::pair<std::size_t, std::size_t>>* every = nullptr);

    // Whether Apply changes the stream.
    bool Changes() const { return !saysEncrypted_ && (Encrypted() || !unwritten_.empty()); }
    void Apply(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);

private:
    bool Encrypted() const { return impossible_ * 2 > cells_; }
    // Whether a number below the smallest normal double in the cell record [at, end) is doubted.
    bool TinyNumbersDoubted(std::size_t at, std::size_t end) const;

    bool biff5_;
    bool otherDamage_;
    bool wiped_;
    Bytes stream_;  // the stream Find looks over
    bool globals_ = true;
    bool chart_ = false;  // in a chart, whose cached values hold NaN for points without one (Gnumeric's)
    bool saysEncrypted_ = false;
    bool biff8_ = false;
    std::size_t cells_ = 0, impossible_ = 0;
    std::vector<std::pair<std::size_t, std::size_t>> unwritten_;
};

// Cell records no workbook holds become filler: those of cells no spreadsheet program writes,
// then those over zeroed bytes.
// `wiped`: as ImpossibleCells takes it; `changed`: bits changed outside the stream, which
// counts as damage elsewhere and outweighs `wiped`.
void CellsNoWorkbookHoldsGo(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions, bool wiped, bool changed);
// Whether the cell record at `at` is one no spreadsheet program writes, where the stream was
// mended elsewhere: a column past the last, a formula with no room for its expression or no
// token the format has first, a number no program stores (not tiny ones, which some do).
// `biff5`: as ImpossibleCells takes it.
bool NoCellAnyProgramWrites(Bytes stream, std::size_t at, bool biff5);
// Cells that name a string past the end of the shared-string table go.
void CellsNamingNoStringGo(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);

// mend_objects.cpp
// Where the mending replaced anything: comments whose author's name does not fill their record,
// and text boxes whose text or formatting runs went, or with no drawing object before them in
// their sheet, become filler (text boxes with what is left of their text).
void CommentsAndTextBoxesHoldTogether(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);

// A cell whose record holds a zeroed unit (a label's text, a number, the values of a run of
// them, a formula or its string result with the STRING record's CONTINUE records): its bytes
// there were lost, and a reader would show zeros in their place, as if the workbook held them.
// No cell record a workbook holds has 64 zero bytes from a multiple of 64 (none of the sample
// workbooks' does). The cell goes, a formula with the result it would show. So does a formula
// whose text result went with a hole right after it: its STRING record is filler now, and a
// reader would take the next STRING record (another formula's, past the hole) for its result.
// (Between a formula and its STRING record only a shared formula, an array or a table may come.)
//
// Every record that reads is taken in order (Take, then Finish; or Find over a stream held
// whole); Apply() then carries out what was found.
class CellsOverZeros {
public:
    // `biff2`: the stream's first record is BIFF2's (whose formulas hold no text result).
    explicit CellsOverZeros(bool biff2);

    // The record `record` (header and body), at `at` in the stream; `zeros`: a zeroed unit lies
    // wholly in its body.
    void Take(Bytes record, std::size_t at, bool zeros);
    // After the last record.
    void Finish();
    void Find(Bytes stream);

    bool Changes() const { return !gone_.empty(); }
    void Apply(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions) const;

private:
    bool biff2_;
    std::size_t previous_ = kNoPlace, previousEnd_ = kNoPlace;  // the record before, where it ends
    std::uint16_t previousType_ = 0;
    bool previousZeros_ = false;
    std::size_t text_ = kNoPlace, textEnd_ = 0;  // a string result under way, its formula first
    bool zeroed_ = false;
    std::size_t awaiting_ = kNoPlace, awaitingEnd_ = 0;  // a formula whose text result is to follow
    std::vector<std::pair<std::size_t, std::size_t>> textLost_;
    std::vector<std::pair<std::size_t, std::size_t>> gone_;
};

// mend_fill.cpp
struct Walk {
    // A substream's first or end record.
    struct Mark {
        std::size_t at;
        std::size_t end;
        bool first;  // a first record (else an end record)
    };
    BitSet boundary;  // a record that reads starts here
    std::vector<std::pair<std::size_t, std::size_t>> holes;
    bool wiped = false;  // the walk broke at zeros, and the hole (or what it cut) held a zeroed unit
    std::size_t end = 0;         // where the records end (the stream's size, or a cut)
    bool cut = false;            // a record runs past the end, or bytes that read as none
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> overwritten;  // what the filler went over
    // Whether the records read one after another from the start to the stream's end, the walk
    // changing nothing; then the first and end records passed, in order, and the last record of
    // a chart's kinds (kNoPlace: none).
    bool straight = true;
    std::vector<Mark> marks;
    std::size_t lastChartRecord = kNoPlace;
};

// Whether records `need` bytes long fit into a stretch `room` bytes long: exactly, or with room
// for filler beside them (a filler record takes a header at least).
inline bool FitsInPlace(std::size_t need, std::size_t room)
{
    return need == room || need + kHeader <= room;
}

// Filler records over [from, to) (zero bodies, the last one taking what is left); their starts
// marked in `boundary` where one is kept.
void WriteFiller(std::vector<std::uint8_t>& stream, BitSet* boundary, std::size_t from, std::size_t to);
Walk WalkAndFill(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);

// mend_globals.cpp
std::string UnusedSheetName(Bytes stream, const std::vector<std::size_t>& entries, bool biff8, const std::vector<std::string>& taken);
std::vector<std::uint8_t> SheetEntry(std::size_t offset, std::u16string_view name, bool biff8, Bytes stream = {});
std::u16string Wide(std::string_view ascii);
bool RebuildGlobals(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names, std::vector<MendedRegion>& regions);
// External names with no external workbook's record before them go.
void ExternalNamesWithoutTheirBookGo(std::vector<std::uint8_t>& stream, bool biff8, std::vector<MendedRegion>& regions);
// Where the mending replaced anything before a defined name, its definition names no defined
// name by its place in the list (those places may name others now): such tokens become errors.
void NamesOfLostNamesBecomeErrors(std::vector<std::uint8_t>& stream, bool biff8, std::vector<MendedRegion>& regions);

// mend_strings.cpp
// Strings one after another in one buffer, as the table holds their characters (one byte
// each, or two where one is past 0xFF), and where each ends: one allocation for them all, not
// one each (a large workbook's table holds hundreds of thousands).
class StringRun {
public:
    struct Text {
        std::span<const std::uint8_t> bytes;
        bool wide = false;
        std::size_t Characters() const { return wide ? bytes.size() / 2 : bytes.size(); }
    };

    std::size_t Count() const { return ends_.size(); }
    // Where string `i` began in the stream it was read from.
    std::size_t BeginOf(std::size_t i) const { return begins_[i]; }
    Text At(std::size_t i) const
    {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {std::span(bytes_).subspan(begin, ends_[i] - begin), wide_[i]};
    }
    void Add(std::u16string_view text, std::size_t begin)
    {
        const bool wide = std::any_of(text.begin(), text.end(), [](char16_t c) { return c > 0xFF; });
        begins_.push_back(static_cast<std::uint32_t>(begin));  // (a stream is shorter than 4 GiB)
        const std::size_t at = bytes_.size();
        bytes_.resize(at + text.size() * (wide ? 2 : 1));
        std::uint8_t* out = bytes_.data() + at;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (wide)
                StoreLe16(out + 2 * i, text[i]);
            else
                out[i] = static_cast<std::uint8_t>(text[i]);
        }
        ends_.push_back(static_cast<std::uint32_t>(bytes_.size()));
        wide_.push_back(wide);
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint32_t> ends_;
    std::vector<std::uint32_t> begins_;
    std::vector<bool> wide_;
};

// Where a table's start survives: its SST record, and where the strings read from it end; where
// nothing after its records was lost, where they end.
struct TableStart {
    std::size_t at;
    std::size_t knownEnd;
    std::size_t end = kNoPlace;
};
// Where a rebuilt table goes, given its size: memory of that size to lay it out in.
using TablePlace = std::function<std::uint8_t*(std::size_t)>;
// No strings: those read from the start of a table whose start is gone.
inline const StringRun kNoStrings;
// What a shared-string table is rebuilt from, besides the stream (see RebuildStringTable).
struct StringTableEvidence {
    StringTableEvidence(std::size_t survivingFrom, std::size_t survivingTo) : from(survivingFrom), to(survivingTo) {}

    std::size_t from;  // what survives of the table after the damage, [from, to)
    std::size_t to;
    const StringRun* known = &kNoStrings;  // the strings read from its start, where that survives
    std::size_t declared = 0;              // how many strings its start says it holds
    std::optional<Bytes> unmended;         // the stream as it was found, where the mending wrote filler
    std::span<const std::pair<std::size_t, std::size_t>> untrusted;  // stretches of it that read as no record
    std::size_t bucketsFrom = 0;           // buckets before this lie in its start, read from there
    std::optional<TableStart> table;       // its start, where that survives
    TablePlace place;                      // where it goes, when not into memory of its own
    bool noneInGlobals = false;            // the globals hold no table: where cells name strings, one must come back
    std::optional<std::size_t> goesOnPast;  // (see RebuildStringTableIn)
};
std::vector<std::uint8_t> RebuildStringTable(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions,
                                             StringTableEvidence evidence);
// The same for a stream that lost the table's start, the table laid out where `place` says
// rather than in memory of its own (a large workbook's table is held once): whether there was
// one (what it was read from is filler by the time `place` is asked). `goesOnPast`: the size
// of what `place` puts before the table, when the globals go on past it to their own end: then
// the table may take the place of the records it is read from and its index (`place` is asked
// for none then), and the stream does not grow by it.
bool RebuildStringTableIn(std::vector<std::uint8_t>& stream, std::size_t from, std::size_t to, std::vector<MendedRegion>& regions,
                          const TablePlace& place, std::optional<std::size_t> goesOnPast = std::nullopt);

// mend_cell_styles.cpp
// Cell styles `from` to `to` of the list, as default ones, appended to `globals`.
void AppendCellStyles(std::vector<std::uint8_t>& globals, std::size_t from, std::size_t to, bool biff8);
// How many cell styles the cells from `from` on name (the highest place named and one), to the
// end of the substream there (`toItsEnd`) or of the stream.
std::size_t CellStylesNamed(Bytes stream, std::size_t from, bool toItsEnd);
bool StyleXf(Bytes stream, std::size_t at);
std::optional<std::size_t> LostCellStyles(Bytes stream, const std::vector<std::size_t>& xfs, const std::vector<std::size_t>& styles);
// Where the mending replaced something in the globals: the cell styles that went from the start
// of their list come back as default ones where the survivors prove how many, and as many after
// the last as the cells name (xlrd refuses a workbook whose cells name a style it lacks).
void CellStylesTheCellsNameComeBack(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);

// mend_string_holes.cpp
// [from, to) of the globals replaced by `bytes` (`from == to`: put in at `from`), a region of
// replacement; the offsets after it move along (the list of sheets, the sheets' row indexes).
// `before`: the regions this mending had before what goes in was made (what was replaced
// inside [from, to) since goes with it).
void ReplaceInGlobals(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions, std::size_t before, std::size_t from,
                      std::size_t to, const std::vector<std::uint8_t>& bytes);
void MendStringTableHole(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions,
                         const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& overwritten);

// mend_counts.cpp
void MendCounts(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);
// Whether MendCounts may change anything in `stream` (false: it certainly changes nothing).
bool CountsMayNeedMending(std::span<const std::uint8_t> stream);

}  // namespace tabulon::mending
