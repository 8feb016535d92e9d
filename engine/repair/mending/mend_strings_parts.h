// What the phases of RebuildStringTable share: the evidence gathered from what survives of the
// table (mend_strings.cpp), the strings read from its buckets and chosen
// (mend_strings_read.cpp), and their laying out (mend_strings_write.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

// The strings read from a table's buckets, one after another in chunks of a fixed size, each
// as a character count, a byte that tells whether it is wide, and its characters as the table
// holds them: a bucket's strings take no memory of their own, and none is copied as they grow
// (a large workbook's table is read back whole). A string whose characters lie whole in the
// stream, as they are to be written, may be held by its place there instead (four bytes for
// its characters): its characters are then read from the stream when it is asked for.
class BucketStrings {
public:
    struct Place {
        std::uint32_t chunk = 0;
        std::uint32_t at = 0;
    };

    Place End() const
    {
        return chunks_.empty() ? Place{} : Place{static_cast<std::uint32_t>(chunks_.size() - 1), static_cast<std::uint32_t>(used_.back())};
    }
    // Whether Add holds `text` two bytes a character (one is enough for none above 0xFF).
    static bool HeldWide(std::u16string_view text)
    {
        return std::any_of(text.begin(), text.end(), [](char16_t c) { return c > 0xFF; });
    }
    void Add(std::u16string_view text)
    {
        const bool wide = HeldWide(text);
        std::uint8_t* out = Take(3 + text.size() * (wide ? 2 : 1));
        StoreLe16(out, static_cast<std::uint16_t>(text.size()));
        out[2] = wide ? 1 : 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (wide)
                StoreLe16(out + 3 + 2 * i, text[i]);
            else
                out[3 + i] = static_cast<std::uint8_t>(text[i]);
        }
    }
    // A string of `characters` characters that lie in the stream from `offset` on, one byte
    // each or two (`wide`), as Add would hold them.
    void AddAt(std::uint32_t offset, std::size_t characters, bool wide)
    {
        std::uint8_t* out = Take(3 + 4);
        StoreLe16(out, static_cast<std::uint16_t>(characters));
        out[2] = static_cast<std::uint8_t>(kByPlace | (wide ? 1 : 0));
        StoreLe32(out + 3, offset);
        byPlace_ = true;
    }
    // Whether any string is held by its place in the stream.
    bool AnyByPlace() const { return byPlace_; }
    // The string at `place`, which moves on to the next; those held by their place are read
    // from `stream`.
    StringRun::Text Next(Place& place, const std::uint8_t* stream) const
    {
        if (place.at == used_[place.chunk])
            place = {place.chunk + 1, 0};
        const std::uint8_t* at = chunks_[place.chunk].get() + place.at;
        const bool wide = (at[2] & 1) != 0;
        const std::size_t size = std::size_t{LoadLe16(at)} * (wide ? 2 : 1);
        if ((at[2] & kByPlace) != 0) {
            place.at += 3 + 4;
            return {std::span(stream + LoadLe32(at + 3), size), wide};
        }
        place.at += static_cast<std::uint32_t>(3 + size);
        return {std::span(at + 3, size), wide};
    }
    void Clear()
    {
        chunks_.clear();
        sizes_.clear();
        used_.clear();
        byPlace_ = false;
    }

private:
    // `size` bytes at the end, in a new chunk where the last has no room for them.
    std::uint8_t* Take(std::size_t size)
    {
        if (chunks_.empty() || used_.back() + size > sizes_.back()) {
            sizes_.push_back(std::max(kChunk, size));
            chunks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(sizes_.back()));
            used_.push_back(0);
        }
        std::uint8_t* out = chunks_.back().get() + used_.back();
        used_.back() += size;
        return out;
    }

    static constexpr std::size_t kChunk = std::size_t{1} << 16;  // (a longer string gets one of its own)
    static constexpr std::uint8_t kByPlace = 0x02;
    bool byPlace_ = false;
    std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;
    std::vector<std::size_t> sizes_;  // of each chunk
    std::vector<std::size_t> used_;   // of each chunk
};

// A CONTINUE record of what survives of the table.
struct TablePiece {
    std::size_t at;  // a CONTINUE record
    std::size_t length;  // of its body
    std::size_t run;  // the run of them, one after another, that it belongs to
    std::size_t within = 0;  // its place in that run
    bool lost = false;  // its header went with the damage: the table's records around tell where
};

// Where the new table may take the place of the records it is read from and its index (see
// FindPlaceOverRecords): [at, indexEnd), or nothing (`at` kNoPlace).
struct InPlace {
    std::size_t at = kNoPlace;
    bool afterStart = false;  // right after the new start, which then moves nothing
    std::size_t indexEnd = 0;
};

// What a table is rebuilt from: what the caller gave, and what survives of the table in the
// stream, gathered before its buckets are read.
struct TableEvidence : StringTableEvidence {
    TableEvidence(std::vector<std::uint8_t>& mended, std::vector<MendedRegion>& mendedRegions, StringTableEvidence given)
        : StringTableEvidence(std::move(given)),
          stream(mended),
          regions(mendedRegions),
          found(unmended.value_or(Bytes(mended))),
          lostStart(unmended.has_value() && !table)
    {
    }

    std::vector<std::uint8_t>& stream;
    std::vector<MendedRegion>& regions;
    // Strings are read from the bytes as they were found: filler over a hole may have taken
    // the end of a record whose header went.
    const Bytes found;
    // The table's first record lost its header, and no record of it may follow: its strings
    // lie in the bytes before the index.
    const bool lostStart;

    std::vector<TablePiece> pieces;
    std::size_t runs = 0;
    // Each run's bodies, read as one by the buckets that lie in it (shared, not copied).
    std::vector<std::shared_ptr<std::vector<Bytes>>> runBodies;
    std::optional<std::size_t> index;
    std::vector<std::uint8_t> indexBody;  // the index's entries, across its CONTINUE records
    std::vector<std::size_t> indexParts;  // those CONTINUE records
    // The index's buckets: how many strings each holds, and where each begins, as the index
    // counts (from the stream's old start) the place of its first string and the start of the
    // record it lies in.
    std::size_t perBucket = 0;
    std::size_t buckets = 0;
    std::int64_t BucketStart(std::size_t k) const { return std::int64_t{LoadLe32(indexBody.data() + 2 + 8 * k)}; }
    std::int64_t BucketOffset(std::size_t k) const { return std::int64_t{LoadLe16(indexBody.data() + 6 + 8 * k)}; }
    InPlace inPlace;
};

// A bucket as read under one difference.
struct BucketRead {
    // Its strings, from its first on, as far as they are proven: `count` of them from
    // `first` in the reading's strings.
    BucketStrings::Place first;
    std::uint32_t count = 0;
    std::size_t Count() const { return count; }
    // Which of the bucket's strings the first read is: its last ones only, where its start went
    // with the damage (see TakeTail).
    std::uint32_t skip = 0;
    std::uint32_t textual = 0;  // how many of them, from the first, read as text (no control characters)
    std::array<std::size_t, 2> runs{kNoPlace, kNoPlace};  // the runs of CONTINUE records it read in
    bool lands = false;    // all of them read, ending where the next bucket begins
    bool checked = false;  // whether the next bucket's start could tell
    bool stands = false;   // its strings go into the table
    std::size_t at = kNoPlace;  // where its first string lies (its others lie after it)
};

// The strings the index leads to; with no index to go by (`indexed` false), none stand.
struct TableChoice {
    bool indexed = false;
    std::vector<BucketRead> standing;  // by bucket: the strings that stand (none where a bucket does not)
    std::vector<BucketRead> tails;     // by bucket: its last strings past the damage, after those that stand (see ReadTails)
    BucketStrings strings;  // theirs
    std::vector<bool> used;  // by run: whether a bucket that stands was read in it
    std::size_t indexCount = 0;  // how many strings the index counts
};

// mend_strings_read.cpp
TableChoice ChooseStrings(const TableEvidence& evidence);

// mend_strings_write.cpp
// The new table, laid out where it goes, and what it was read from made filler; `named`: how
// many strings the cells name.
std::vector<std::uint8_t> WriteTable(TableEvidence& evidence, const TableChoice& choice, std::size_t named);

}  // namespace tabulon::mending
