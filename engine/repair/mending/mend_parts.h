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

// record_mend.cpp
// A region for [from, to), which the mending wrote anew, unless one already holds it (filler
// from this mending's walk; filler an earlier mending left is no region of this one).
void Cover(std::vector<MendedRegion>& regions, std::size_t from, std::size_t to);

// mend_cells.cpp
// Cell records no workbook holds become filler: those of cells no spreadsheet program writes,
// then those over zeroed bytes.
void CellsNoWorkbookHoldsGo(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);

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

// Four zero bytes at `at`: no record's header.
inline bool ZeroHeader(Bytes stream, std::size_t at)
{
    return at + kHeader <= stream.size() && LoadLe32(stream.data() + at) == 0;
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
    Text At(std::size_t i) const
    {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {std::span(bytes_).subspan(begin, ends_[i] - begin), wide_[i]};
    }
    void Add(std::u16string_view text)
    {
        const bool wide = std::any_of(text.begin(), text.end(), [](char16_t c) { return c > 0xFF; });
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
    std::vector<bool> wide_;
};

// Where a table's start survives: its SST record, and where the strings read from it end.
struct TableStart {
    std::size_t at;
    std::size_t knownEnd;
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

// mend_string_holes.cpp
void MendStringTableHole(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions,
                         const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& overwritten);

// mend_counts.cpp
void MendCounts(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions);
// Whether MendCounts may change anything in `stream` (false: it certainly changes nothing).
bool CountsMayNeedMending(std::span<const std::uint8_t> stream);

}  // namespace tabulon::mending
