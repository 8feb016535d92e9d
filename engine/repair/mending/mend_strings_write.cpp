// The rebuilt string table laid out: its strings by their place, its records, and where they
// go, into memory or over the records the strings are read from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mend_strings_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

namespace {

// A table written over the bytes its own strings are read from: what is written goes out only
// below the first byte of the strings still to be read (`limit`, from the buckets on whose
// strings come next, counted from the table's start), the rest is held until then.
class WrittenBehind {
public:
    WrittenBehind(std::uint8_t* to, std::function<std::size_t(std::size_t)> limit) : to_(to), limit_(std::move(limit)) {}

    void Put(const std::uint8_t* bytes, std::size_t n) { held_.insert(held_.end(), bytes, bytes + n); }
    // Two bytes at `at` written again (a record's length, once it is known), out or held.
    void Patch(std::size_t at, std::uint16_t value)
    {
        for (std::size_t i = 0; i < 2; ++i) {
            const auto byte = static_cast<std::uint8_t>(value >> (8 * i));
            if (at + i < out_)
                to_[at + i] = byte;
            else
                held_[head_ + (at + i - out_)] = byte;
        }
    }
    // The strings of the buckets from `bucket` on come next.
    void Release(std::size_t bucket) { LetOut(limit_(bucket)); }
    void Finish() { LetOut(kNoPlace); }

private:
    void LetOut(std::size_t limit)
    {
        const std::size_t end = std::min(limit, out_ + (held_.size() - head_));
        if (end <= out_)
            return;
        std::memcpy(to_ + out_, held_.data() + head_, end - out_);
        head_ += end - out_;
        out_ = end;
        if (head_ == held_.size()) {
            held_.clear();
            head_ = 0;
        } else if (2 * head_ >= held_.size()) {
            held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }

    std::uint8_t* to_;
    std::function<std::size_t(std::size_t)> limit_;
    std::vector<std::uint8_t> held_;  // from `head_` on: what has not gone out
    std::size_t head_ = 0;
    std::size_t out_ = 0;  // how much went out
};

// The table's strings by their place: those read from the table's start, then the buckets'
// that stand; the rest are gone. (Asked in order: a bucket's strings are read one after
// another from its first.)
class TableText {
public:
    TableText(const StringRun& known, const TableChoice& choice, std::size_t perBucket, const std::uint8_t* placesIn)
        : known_(known), standing_(choice.standing), tails_(choice.tails), strings_(choice.strings), perBucket_(perBucket),
          placesIn_(placesIn)
    {
    }

    std::size_t KnownCount() const { return known_.Count(); }
    std::size_t PerBucket() const { return perBucket_; }
    // Where the strings held by their place lie.
    void PlacesIn(const std::uint8_t* placesIn) { placesIn_ = placesIn; }

    StringRun::Text At(std::size_t n)
    {
        if (n < known_.Count())
            return known_.At(n);
        // (With no index, one bucket holds them all: see ReadUnindexedTail.)
        const std::size_t k = perBucket_ == 0 ? 0 : n / perBucket_;
        const std::size_t inBucket = perBucket_ == 0 ? n : n % perBucket_;
        const BucketRead* read = Holding(standing_, k, inBucket);
        read = read ? read : Holding(tails_, k, inBucket);
        if (!read)
            return {};
        const std::size_t i = inBucket - read->skip;
        if (n != nextWanted_ || i == 0) {  // (a bucket, or its tail, read after the one before it lies elsewhere)
            reading_ = read->first;
            for (std::size_t skipped = 0; skipped < i; ++skipped)
                strings_.Next(reading_, placesIn_);
        }
        nextWanted_ = n + 1;
        return strings_.Next(reading_, placesIn_);
    }

private:
    // The read of bucket `k` among `reads` that holds its string `inBucket`, if one does.
    static const BucketRead* Holding(const std::vector<BucketRead>& reads, std::size_t k, std::size_t inBucket)
    {
        if (k >= reads.size() || inBucket < reads[k].skip || inBucket - reads[k].skip >= reads[k].Count())
            return nullptr;
        return &reads[k];
    }

    const StringRun& known_;
    const std::vector<BucketRead>& standing_;
    const std::vector<BucketRead>& tails_;
    const BucketStrings& strings_;
    const std::size_t perBucket_;
    std::size_t nextWanted_ = kNoPlace;
    BucketStrings::Place reading_;
    const std::uint8_t* placesIn_;
};

// How many strings the new table holds: all it keeps, and as many as the cells name
// (`named`) within what the index counts or the table's start says (the cells alone, where
// neither survives).
std::size_t StringCount(const TableEvidence& evidence, const TableChoice& choice, std::size_t named)
{
    std::size_t held = evidence.known->Count();
    for (const std::vector<BucketRead>* reads : {&choice.standing, &choice.tails}) {
        for (std::size_t k = 0; k < reads->size(); ++k) {
            if ((*reads)[k].stands)
                held = std::max(held, k * evidence.perBucket + (*reads)[k].skip + (*reads)[k].Count());
        }
    }
    // (No table holds more strings than the stream has room for, three bytes each at least.)
    const std::size_t counted = std::max(choice.indexCount, evidence.declared);
    return std::max(held, std::min({named, counted > 0 ? counted : named, evidence.stream.size() / 3}));
}

// The new table of `count` strings: each string whole in one record where it fits, else its
// characters go on in the next with a flags byte of their own, as the format has it. Laid out
// twice: once to learn its size (`out` null), then into memory of that size (`out`), or over
// what it is read from (`behind`). Gives its size.
std::size_t LayOut(TableText& text, std::size_t count, std::uint8_t* out, WrittenBehind* behind = nullptr)
{
    const bool write = out != nullptr;
    const std::size_t known = text.KnownCount();
    const std::size_t perBucket = text.PerBucket();
    std::size_t size = 0;
    std::size_t record = 0;  // where the record under way begins
    const auto put = [&](const std::uint8_t* bytes, std::size_t n) {
        if (behind)
            behind->Put(bytes, n);
        else if (write)
            std::memcpy(out + size, bytes, n);
        size += n;
    };
    const auto open = [&](std::uint16_t type) {
        record = size;
        const std::uint8_t header[kHeader] = {static_cast<std::uint8_t>(type & 0xFF), static_cast<std::uint8_t>(type >> 8), 0, 0};
        put(header, kHeader);
    };
    const auto close = [&] {
        if (behind)
            behind->Patch(record + 2, static_cast<std::uint16_t>(size - record - kHeader));
        else if (write)
            StoreLe16(out + record + 2, static_cast<std::uint16_t>(size - record - kHeader));
    };
    const auto room = [&] { return kMaxBody - (size - record - kHeader); };
    open(kSst);
    std::uint8_t counts[8];
    StoreLe32(counts, static_cast<std::uint32_t>(count));
    StoreLe32(counts + 4, static_cast<std::uint32_t>(count));
    put(counts, 8);
    for (std::size_t n = 0; n < count; ++n) {
        if (behind && perBucket > 0 && n >= known && n % perBucket == 0)
            behind->Release(n / perBucket);
        const StringRun::Text string = text.At(n);
        const std::size_t characters = string.Characters();
        const std::size_t width = string.wide ? 2 : 1;
        const std::uint8_t flags = string.wide ? 1 : 0;
        if (room() < 3 + (characters == 0 ? 0 : width)) {
            close();
            open(kContinue);
        }
        const std::uint8_t head[3] = {static_cast<std::uint8_t>(characters & 0xFF), static_cast<std::uint8_t>(characters >> 8), flags};
        put(head, 3);
        for (std::size_t i = 0; i < characters;) {
            if (room() < width) {
                close();
                open(kContinue);
                put(&flags, 1);
            }
            const std::size_t take = std::min(characters - i, room() / width);
            put(string.bytes.data() + i * width, take * width);
            i += take;
        }
    }
    close();
    return size;
}

// What the table was read from (the records of the runs its buckets were read in), and the
// index, which no longer fits, become filler, before the table goes where `place` says: the
// stream may move then. (`inPlace`: the table and the filler after it are written over them
// all.)
void ReadFromBecomesFiller(TableEvidence& evidence, const std::vector<bool>& used, bool inPlace)
{
    std::vector<std::uint8_t>& stream = evidence.stream;
    auto neutralise = [&](std::size_t at, std::size_t end) {
        if (!inPlace)
            WriteFiller(stream, nullptr, at, end);
        evidence.regions.push_back({MendedRegion::Kind::Replaced, at, end - at, -1});
    };
    for (const TablePiece& piece : evidence.pieces) {
        if (used[piece.run] && !(evidence.table && piece.at == evidence.table->at))
            neutralise(piece.at, piece.at + kHeader + piece.length);
    }
    if (evidence.index && U16(stream, *evidence.index) != kFillerRecord)
        neutralise(*evidence.index, *evidence.index + kHeader + U16(stream, *evidence.index + 2));
    for (const std::size_t part : evidence.indexParts)
        neutralise(part, part + kHeader + U16(stream, part + 2));
}

// The table of `size` bytes written from `inPlace` on, over the records it is read from,
// filler after it up to where the index ended.
void WriteOverRecords(TableEvidence& evidence, const TableChoice& choice, TableText& text, std::size_t count, std::size_t size,
                      std::size_t inPlace)
{
    std::vector<std::uint8_t>& stream = evidence.stream;
    const std::vector<BucketRead>& standing = choice.standing;
    const std::size_t indexEnd = evidence.inPlace.indexEnd;
    const std::size_t before = stream.size();
    evidence.place(0);
    const std::size_t shift = stream.size() - before;  // (none when right after the new start)
    // Written behind the reading: no further than the first string still to be read, of
    // the buckets to come (the place of each bucket's first string, which the new start
    // moved up by `shift` with the rest).
    text.PlacesIn(stream.data() + shift);
    std::vector<std::size_t> firstAt(standing.size() + 1, kNoPlace);
    const auto firstOf = [](const BucketRead& read) { return read.stands && read.Count() > 0 ? read.at : kNoPlace; };
    for (std::size_t k = standing.size(); k-- > 0;)
        firstAt[k] = std::min({firstAt[k + 1], firstOf(standing[k]), k < choice.tails.size() ? firstOf(choice.tails[k]) : kNoPlace});
    WrittenBehind behind(stream.data() + shift + inPlace, [&](std::size_t bucket) {
        const std::size_t first = firstAt[std::min(bucket, standing.size())];
        return first == kNoPlace ? kNoPlace : first > inPlace ? first - inPlace : 0;
    });
    LayOut(text, count, stream.data() + inPlace + shift, &behind);
    behind.Finish();
    if (inPlace + size < indexEnd)
        WriteFiller(stream, nullptr, inPlace + size + shift, indexEnd + shift);
    // (What lies before `from` is the new start's.)
    const std::size_t written = evidence.inPlace.afterStart ? evidence.from : inPlace;
    if (written < evidence.pieces.front().at)
        evidence.regions.push_back({MendedRegion::Kind::Replaced, written + shift, evidence.pieces.front().at - written, -1});
}

}  // namespace

std::vector<std::uint8_t> WriteTable(TableEvidence& evidence, const TableChoice& choice, std::size_t named)
{
    const std::size_t count = StringCount(evidence, choice, named);
    TableText text(*evidence.known, choice, evidence.perBucket, evidence.found.data());
    const std::size_t size = LayOut(text, count, nullptr);

    // The table goes in the place of the records it is read from (see FindPlaceOverRecords)
    // where every run of them was read from and it fits there, filler after it.
    std::size_t inPlace = evidence.inPlace.at;
    const std::size_t indexEnd = evidence.inPlace.indexEnd;
    const bool everyRunRead = std::all_of(choice.used.begin(), choice.used.end(), [](bool u) { return u; });
    if (inPlace != kNoPlace && !(everyRunRead && (indexEnd - inPlace == size || size + kHeader <= indexEnd - inPlace)))
        inPlace = kNoPlace;
    // Strings held by their place are laid out elsewhere before their records become filler.
    std::vector<std::uint8_t> records;
    const bool laidOut = inPlace == kNoPlace && choice.strings.AnyByPlace();
    if (laidOut) {
        records.resize(size);
        LayOut(text, count, records.data());
    }
    ReadFromBecomesFiller(evidence, choice.used, inPlace != kNoPlace);
    if (inPlace != kNoPlace) {
        WriteOverRecords(evidence, choice, text, count, size, inPlace);
    } else if (evidence.place) {
        std::uint8_t* into = evidence.place(size);
        if (laidOut)
            std::copy(records.begin(), records.end(), into);
        else
            LayOut(text, count, into);
        records = {};
    } else if (!laidOut) {
        records.resize(size);
        LayOut(text, count, records.data());
    }
    return records;
}

}  // namespace tabulon::mending
