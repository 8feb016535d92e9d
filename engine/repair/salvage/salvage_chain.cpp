#include "engine/repair/salvage/salvage_chain.h"

#include <algorithm>
#include <bit>
#include <span>

#include "engine/base/byte_order.h"
#include "engine/biff/record_scan.h"
#include "engine/biff/records.h"

namespace tabulon::salvage {

using namespace biff;

namespace {

// Units a record may span that a lost link is judged across (a CONTINUE-sized record is 17).
constexpr std::size_t kMaxSpan = 24;

bool OneBitApart(std::uint32_t a, std::uint32_t b)
{
    const std::uint32_t difference = a ^ b;
    return difference != 0 && (difference & (difference - 1)) == 0;
}

}  // namespace

Image ReadImage(SectorFile& file)
{
    Image image;
    const auto done = static_cast<std::size_t>(std::min<std::uint64_t>(file.Length(), kMaxFileLength));
    // A sector cut short by a truncation still holds records: it counts, its missing part zero
    // (the mending ends the stream at the last whole record).
    const auto sectorsOf = [](std::size_t bytes) {
        return bytes > kHeaderSize ? (bytes - kHeaderSize + kSectorSize - 1) / kSectorSize : 0;
    };
    const std::size_t whole = kHeaderSize + sectorsOf(done) * kSectorSize;
    const std::optional<LentBytes> lent = done >= kHeaderSize ? file.Lend() : std::nullopt;
    if (lent && lent->bytes.size() >= done) {
        // Lent bytes are read where they lie when they reach the last sector's end, or when
        // what follows the file's end there reads as zeros.
        if (lent->bytes.size() >= whole || (lent->zerosToBlockEnd && lent->bytes.size() == done)) {
            image.bytes = std::span(lent->bytes.data(), whole);  // (past the end: the zeros promised)
            image.sectors = static_cast<std::uint32_t>(sectorsOf(done));
            return image;
        }
    }
    // The bytes go straight into a buffer of that size: no second one while the first is
    // copied over.
    image.owned.assign(whole, 0);
    file.Seek(0);
    const std::size_t got = file.Read(std::span(image.owned).first(std::min(done, image.owned.size())));
    if (got < done)  // (the file was shorter than it said)
        image.owned.resize(kHeaderSize + sectorsOf(got) * kSectorSize);
    image.sectors = static_cast<std::uint32_t>(sectorsOf(got));
    image.bytes = image.owned;
    return image;
}

std::optional<std::array<bool, kEntriesPerFatSector>> SurvivingEntries(const std::uint8_t* sector, std::uint64_t capacity)
{
    constexpr int kMostBadEntries = 4;
    std::array<bool, kEntriesPerFatSector> good{};
    std::array<std::pair<std::uint32_t, std::size_t>, kEntriesPerFatSector> links{};
    std::size_t linkCount = 0;
    bool anyNonZero = false;
    int bad = 0;
    for (std::size_t j = 0; j < kEntriesPerFatSector; ++j) {
        const std::uint32_t value = LoadLe32(sector + 4 * j);
        anyNonZero = anyNonZero || value != 0;
        good[j] = value >= kFirstSpecialValue || value < capacity;
        if (!good[j])
            ++bad;
        else if (value < kFirstSpecialValue)
            links[linkCount++] = {value, j};
    }
    if (!anyNonZero)
        return std::nullopt;
    std::sort(links.begin(), links.begin() + static_cast<std::ptrdiff_t>(linkCount));
    for (std::size_t k = 1; k < linkCount; ++k) {
        if (links[k].first == links[k - 1].first) {
            good[links[k].second] = good[links[k - 1].second] = false;
            bad += 2;
        }
    }
    if (bad > kMostBadEntries)
        return std::nullopt;
    return good;
}

std::uint32_t LoadTable(Space& space, const std::vector<std::uint32_t>& tableSectors, const Space& holder)
{
    std::uint32_t lost = 0;
    const std::uint64_t capacity = std::uint64_t{tableSectors.size()} * kEntriesPerFatSector;
    for (std::size_t i = 0; i < tableSectors.size(); ++i) {
        const std::uint32_t sector = tableSectors[i];
        const auto good = sector < holder.count ? SurvivingEntries(holder.At(sector), capacity) : std::nullopt;
        if (!good) {
            ++lost;
            continue;
        }
        for (std::size_t j = 0; j < kEntriesPerFatSector; ++j) {
            const std::uint64_t index = i * kEntriesPerFatSector + j;
            if (index >= space.count)
                break;
            if (!(*good)[j])
                continue;
            space.next[index] = LoadLe32(holder.At(sector) + 4 * j);
            space.known[index] = true;
        }
    }
    return lost;
}

void Space::NotePredecessors()
{
    for (std::uint32_t u = 0; u < count; ++u) {
        if (known[u] && next[u] < count)
            hasPredecessor[next[u]] = true;
    }
    // Every unit is walked once at most: a walk that meets a unit walked before (two links
    // into one unit across table sectors) gives no tail.
    tails.clear();
    std::vector<bool> walked(count, false);
    for (std::uint32_t u = 0; u < count; ++u) {
        if (!known[u] || hasPredecessor[u] || (next[u] >= count && next[u] != kEndOfChain))
            continue;
        std::uint32_t length = 0;
        std::uint32_t at = u;
        bool ends = false;
        while (at < count && known[at] && !walked[at]) {
            walked[at] = true;
            ++length;
            if (next[at] == kEndOfChain) {
                ends = true;
                break;
            }
            at = next[at];
        }
        if (ends)
            tails.emplace_back(length, u);
    }
    std::sort(tails.begin(), tails.end());
}

enum class ChainBuilder::Fit { Yes, No, Unknown };

// How well the records run on into `candidate`: whether they do, and how far the first cell
// there lies from the last one before it (cells come row by row, so the right continuation
// goes on at the same row or a little below; a cell well above it belongs elsewhere).
struct ChainBuilder::JunctionFit {
    Fit fit = Fit::Unknown;
    bool backwards = false;
    std::uint64_t rowGap = ~std::uint64_t{0};  // unknown: no cell on one side
};

void ChainBuilder::Build(std::uint32_t start)
{
    if (!space_.Free(start))
        return;
    Append(start);
    while (!Done()) {
        if (TakeLinked(units_.back()))
            continue;
        const std::optional<std::uint32_t> next = NextLink(units_.back());
        if (!next)
            break;
        Append(*next);
    }
}

std::uint64_t ChainBuilder::Length() const
{
    const std::uint64_t held = Available();
    if (size_ != 0)
        return std::min(size_, held);
    return end_ ? std::min(*end_, held) : held;
}

void ChainBuilder::Release()
{
    for (const std::uint32_t u : units_)
        space_.claimed[u] = false;
}

bool ChainBuilder::Done() const
{
    if (units_.size() >= space_.count)
        return true;
    if (size_ != 0)
        return Available() >= size_;
    return end_ && *end_ <= Available();
}

std::uint8_t ChainBuilder::ByteAt(std::uint64_t offset) const
{
    return space_.At(units_[static_cast<std::size_t>(offset / space_.unit)])[offset % space_.unit];
}

std::uint32_t ChainBuilder::U32At(std::uint64_t offset) const
{
    return U16At(offset) | (std::uint32_t{U16At(offset + 2)} << 16);
}

void ChainBuilder::Append(std::uint32_t unit, bool walk)
{
    units_.push_back(unit);
    proven_.push_back(provenNow_);
    space_.claimed[unit] = true;
    if (biff_ && walk)
        Walk([](std::uint16_t, std::uint16_t) { return true; });
}

// Takes in the records whose headers the chain now holds, as long as `accept` takes each
// record before it is taken in (a record it refuses ends the walk there; gives false).
template <typename Accept>
bool ChainBuilder::Walk(const Accept& accept)
{
    if (pendingCell_ && *pendingCell_ + 8 <= Available()) {
        lastCell_ = pendingCell_;
        pendingCell_.reset();
    }
    while (true) {
        if (!synced_ && !Resync())
            return true;
        if (nextRecord_ + 4 > Available())
            return true;
        const std::uint16_t type = U16At(nextRecord_);
        const std::uint16_t length = U16At(nextRecord_ + 2);
        if (!accept(type, length))
            return false;
        if (!PlausibleRecord(type, length)) {
            synced_ = false;
            scanFrom_ = nextRecord_ + 1;
            continue;
        }
        if (type == kBoundSheet && nextRecord_ + 8 > Available())
            return true;  // its offset is not all here yet
        Note(nextRecord_, type, length);
        lastRecord_ = nextRecord_;
        nextRecord_ += 4u + length;
    }
}

// The table's link from `unit` taken when the records do not disagree with it, the records in
// the unit it leads to checked as they are taken in (what Continues tells, in the same walk).
// False, nothing changed, where there is no usable link, where the records disagree (a flipped
// bit may have led it astray) and where telling takes more units than that one (a long record
// under way): NextLink decides.
bool ChainBuilder::TakeLinked(std::uint32_t unit)
{
    const std::uint32_t given = space_.next[unit];
    if (!biff_ || !space_.known[unit] || given >= space_.count || !space_.Free(given))
        return false;
    const std::uint64_t before = Available();
    if (!synced_ || (end_ && nextRecord_ >= *end_) || nextRecord_ < before) {
        Append(given);  // nothing to tell by: the link stands
        return true;
    }
    if (nextRecord_ + 4 > before + space_.unit)
        return false;
    const auto saved = std::tuple(synced_, nextRecord_, lastRecord_, scanFrom_, lastSheet_, substream_, outermost_, depth_, end_, lastCell_, pendingCell_);
    Append(given, false);
    const std::optional<std::uint16_t> kind = SubstreamKind();
    const std::uint64_t limit = size_ != 0 ? size_ : ~std::uint64_t{0};
    bool checking = true;
    const bool taken = Walk([&](std::uint16_t type, std::uint16_t length) {
        if (!checking || nextRecord_ >= limit) {
            checking = false;
            return true;
        }
        if (!PlausibleRecord(type, length) || !BelongsIn(kind, type))
            return false;
        checking = type != kEof && type != kBof;
        return true;
    });
    if (!taken) {
        units_.pop_back();
        proven_.pop_back();
        space_.claimed[given] = false;
        std::tie(synced_, nextRecord_, lastRecord_, scanFrom_, lastSheet_, substream_, outermost_, depth_, end_, lastCell_, pendingCell_) = saved;
    }
    return taken;
}

// After damage: the first place where three plausible records follow one another, their headers
// in the chain so far. (Places the scan passed are not looked at again as the chain grows.)
bool ChainBuilder::Resync()
{
    const std::uint64_t found = biff::FirstRun<biff::kChainRun>(Held{*this}, scanFrom_);
    if (found == biff::kNoPlace) {
        scanFrom_ = std::max(scanFrom_, Available() >= 4 ? Available() - 3 : 0);
        return false;
    }
    scanFrom_ = nextRecord_ = found;
    synced_ = true;
    return true;
}

// Keeps track of where the workbook's last sheet ends, for a stream of unknown size.
void ChainBuilder::Note(std::uint64_t offset, std::uint16_t type, std::uint16_t length)
{
    if (type == kBoundSheet && length >= 4) {
        lastSheet_ = std::max<std::uint64_t>(lastSheet_, U32At(offset + 4));
    } else if (type == kBof) {
        // The one the last sheet's entry leads to begins a substream of the outermost level,
        // whatever the walk counted (a hole may have taken the end record before it); one whose
        // kind is not here yet is taken for a chart's.
        const bool embedded = offset != lastSheet_ &&
                              BeginsInsideTheOpenSubstream(offset + 8 > Available() ? kChartSubstream : U16At(offset + 6), depth_);
        if (!embedded)
            outermost_ = offset, depth_ = 0;
        ++depth_;
        substream_ = offset, lastCell_.reset(), pendingCell_.reset();
    } else if (IsCellRecord(type) && length >= 4 && offset + 8 <= Available()) {
        lastCell_ = offset;
    } else if (IsCellRecord(type) && length >= 4) {
        pendingCell_ = offset;  // its row and column lie in the unit still to come
    } else if (type == kEof) {
        depth_ -= depth_ > 0 ? 1 : 0;
        if (depth_ == 0 && outermost_ && *outermost_ >= lastSheet_ && (lastSheet_ != 0 || *outermost_ == 0))
            end_ = offset + 4 + length;
    }
}

// The kind of the substream the records are in where the walk stands.
std::optional<std::uint16_t> ChainBuilder::SubstreamKind() const
{
    if (substream_ && *substream_ + 8 <= Available() && U16At(*substream_) == kBof)
        return U16At(*substream_ + 6);
    return std::nullopt;
}

// Whether a record of `type` may stand in a substream of `kind` (BIFF5 and later, whose
// worksheets hold no records of the globals' kinds but a code page, a country and their own
// external sheets, as some writers give them): cells do not come in the globals, nor the
// globals' records in a sheet.
bool ChainBuilder::BelongsIn(std::optional<std::uint16_t> kind, std::uint16_t type)
{
    // (The chain does not tell BIFF5 from BIFF8: a sheet's list of external sheets stands.)
    return !((kind == kGlobalsSubstream && IsCellRecord(type)) || (kind == kWorksheetSubstream && IsGlobalsOnlyRecord(type, false)));
}

// Whether the records run on into `candidate` if it came next.
ChainBuilder::Fit ChainBuilder::Continues(std::uint32_t candidate)
{
    return Junction(candidate).fit;
}

ChainBuilder::JunctionFit ChainBuilder::Junction(std::uint32_t candidate)
{
    JunctionFit result;
    if (!synced_)
        return result;
    if (end_ && nextRecord_ >= *end_)
        return result;  // past the last sheet: what follows is filler
    const std::uint64_t limit = size_ != 0 ? size_ : ~std::uint64_t{0};
    // A record under way that covers the candidate and more (a long one, such as a string
    // table's): its end is where the next header must be, a few units on, taken to follow
    // the candidate contiguously, and on along the links of the stream's tail where one
    // begins there (the stream goes on past a lost table sector).
    const std::size_t kept = units_.size();
    units_.push_back(candidate);
    bool alongTail = false;
    for (std::uint32_t unit = candidate; nextRecord_ + 4 > Available() && units_.size() - kept < kMaxSpan;) {
        std::uint32_t after = alongTail ? space_.next[unit] : Following(unit);
        if (!alongTail && !Candidate(after) && TailHoldsTheRest(unit)) {
            alongTail = true;
            after = space_.next[unit];
        }
        if (alongTail ? !space_.Free(after) : !Candidate(after))
            break;
        unit = after;
        units_.push_back(unit);
    }
    if (nextRecord_ + 4 > Available() || nextRecord_ < Available() - (units_.size() - kept) * space_.unit) {
        units_.resize(kept);
        return result;
    }
    std::uint64_t offset = nextRecord_;
    bool cellSeen = false;
    // Where the first cell after the joint lies against the last one before it: rows come in
    // order, one row back is as near as the next (some writers interleave two rows around
    // merged cells), and in one row the columns go forward.
    const auto placeCell = [&](std::uint64_t cell) {
        cellSeen = true;
        const std::uint32_t row = U16At(cell + 4);
        const std::uint32_t column = U16At(cell + 6);
        const auto [lastRow, lastColumn] = LastCell();
        if (row + 1 == lastRow) {
            result.rowGap = 1;
        } else {
            result.backwards = row < lastRow || (row == lastRow && column <= lastColumn);
            result.rowGap = result.backwards ? ~std::uint64_t{0} : row - lastRow;
        }
    };
    // A cell record under way at the joint whose row and column run into the candidate: the
    // first cell the candidate says anything of.
    if (pendingCell_ && lastCell_ && *pendingCell_ + 8 <= Available())
        placeCell(*pendingCell_);
    const std::optional<std::uint16_t> kind = SubstreamKind();
    // Every record whose header lies in the candidate must be one, of its substream.
    while (offset + 4 <= Available() && offset < limit) {
        const std::uint16_t type = U16At(offset);
        if (!PlausibleRecord(type, U16At(offset + 2)) || !BelongsIn(kind, type)) {
            result.fit = Fit::No;
            break;
        }
        result.fit = Fit::Yes;
        if (type == kEof || type == kBof)
            break;  // what follows a sheet's end may be filler; a new sheet starts afresh
        if (!cellSeen && lastCell_ && IsCellRecord(type) && U16At(offset + 2) >= 4 && offset + 8 <= Available())
            placeCell(offset);
        offset += 4u + U16At(offset + 2);
    }
    units_.resize(kept);
    return result;
}

// Whether the chain's last unit begins a tail of surviving links (Space::tails) that holds just
// the units the stream still needs.
bool ChainBuilder::TailHoldsTheRest(std::uint32_t unit) const
{
    const std::uint64_t needed = (size_ + space_.unit - 1) / space_.unit;
    if (size_ == 0 || units_.empty() || units_.back() != unit || needed < units_.size())
        return false;
    const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(needed - units_.size() + 1, space_.count + 1));
    return std::binary_search(space_.tails.begin(), space_.tails.end(), std::pair{length, unit});
}

// Whether `unit` begins a run of records of its own rather than continuing those of the
// unit before it: the start of another fragment.
bool ChainBuilder::StartsFragment(std::uint32_t unit)
{
    std::int8_t& cached = fragmentStarts_[unit];
    if (cached >= 0)
        return cached == 1;
    cached = 1;
    if (unit == 0)
        return true;
    const std::uint8_t* left = space_.At(unit - 1);
    const std::uint8_t* self = space_.At(unit);
    const std::uint32_t size = space_.unit;
    auto byteAt = [&](std::uint64_t offset) { return offset < size ? left[offset] : self[offset - size]; };
    auto u16At = [&](std::uint64_t offset) {
        return static_cast<std::uint16_t>(byteAt(offset) | (byteAt(offset + 1) << 8));
    };
    auto plausibleAt = [&](std::uint64_t offset) {
        return offset + 4 <= 2 * std::uint64_t{size} && PlausibleRecord(u16At(offset), u16At(offset + 2));
    };
    for (std::uint64_t start = 0; start + 4 <= size; ++start) {
        // A run of records in the left unit that reaches into this one.
        std::uint64_t offset = start;
        int inLeft = 0;
        while (offset < size && plausibleAt(offset)) {
            ++inLeft;
            offset += 4u + u16At(offset + 2);
        }
        if (inLeft < 2 || offset < size)
            continue;
        if (offset >= 2 * std::uint64_t{size} || plausibleAt(offset))
            cached = 0;
        return cached == 1;
    }
    return true;
}

// Whether some unit a lost link may lead to is wiped (looked for once).
bool ChainBuilder::AnyWipedCandidate()
{
    if (!anyWiped_) {
        anyWiped_ = false;
        for (std::uint32_t u = 0; u < space_.count && !*anyWiped_; ++u)
            anyWiped_ = Candidate(u) && Wiped(u);
    }
    return *anyWiped_;
}

bool ChainBuilder::Wiped(std::uint32_t unit) const
{
    const std::uint8_t* bytes = space_.At(unit);
    return std::all_of(bytes, bytes + space_.unit, [](std::uint8_t b) { return b == 0; });
}

// A unit a lost link may lead to: free, and neither the target of a surviving link nor
// the first unit of another stream.
bool ChainBuilder::Candidate(std::uint32_t unit) const
{
    return space_.Free(unit) && !space_.hasPredecessor[unit] && !space_.head[unit];
}

// Where the records say the stream goes on after `unit`: the unit after it when they run
// on there, else a free unit where they run on and that starts a fragment of its own.
// The unit after `unit` in the file, past the table and directory sectors and the streams
// that lie there: most writers allocate each stream contiguously around what is already
// placed, so another stream's first unit means the next fragment lies after that stream.
std::uint32_t ChainBuilder::Following(std::uint32_t unit) const
{
    // Claimed runs are passed over whole (a large file's table sectors lie in one run of
    // hundreds between two fragments of the workbook): the runs after the units of one chain
    // are disjoint, so that this stays in proportion to the file. Streams are jumped a few
    // times at most.
    std::uint32_t following = unit + 1;
    for (int hops = 0; following < space_.count;) {
        if (space_.claimed[following]) {
            ++following;
        } else if (space_.head[following] && space_.headLength[following] != 0 && hops++ < 64) {
            following += std::min(space_.headLength[following], space_.count - following);
        } else {
            break;
        }
    }
    return following;
}

std::optional<std::uint32_t> ChainBuilder::Infer(std::uint32_t unit)
{
    const std::uint32_t following = Following(unit);
    const JunctionFit next = Candidate(following) ? Junction(following) : JunctionFit{};
    constexpr std::uint64_t kNoGap = ~std::uint64_t{0};
    if (next.fit == Fit::Yes && !next.backwards && (next.rowGap <= 1 || next.rowGap == kNoGap))
        return following;  // the same row or the next: as cells run on
    // A header that straddles the joint tells of no unit whether the records run on there
    // (Junction): there is nothing to look for.
    const std::uint64_t joint = Available();
    if (synced_ && nextRecord_ < joint && nextRecord_ + 4 > joint)
        return std::nullopt;
    if (!synced_ || !budget_.Take(space_.count))
        return next.fit == Fit::Yes ? std::optional(following) : std::nullopt;
    // Among the units where the records run on and a fragment starts: cells in order
    // first, then the nearest row, then the nearest unit forward (writers place a stream's
    // later fragments after its earlier ones).
    std::optional<std::uint32_t> best;
    std::tuple<bool, std::uint64_t, std::uint32_t> bestRank{};
    if (next.fit == Fit::Yes) {
        best = following;
        bestRank = {next.backwards, next.rowGap, 0};
    }
    for (std::uint32_t step = 1; step < space_.count; ++step) {
        const std::uint32_t other = static_cast<std::uint32_t>((std::uint64_t{following} + step) % space_.count);
        if (!Candidate(other))
            continue;
        const JunctionFit fit = Junction(other);
        if (fit.fit != Fit::Yes || !StartsFragment(other))
            continue;
        const std::tuple<bool, std::uint64_t, std::uint32_t> rank{fit.backwards, fit.rowGap, step};
        if (!best || rank < bestRank) {
            best = other;
            bestRank = rank;
        }
    }
    return best;
}

std::optional<std::uint32_t> ChainBuilder::NextLink(std::uint32_t unit)
{
    const bool known = space_.known[unit];
    const std::uint32_t given = space_.next[unit];
    const bool usable = known && given < space_.count && space_.Free(given);
    if (!biff_) {
        if (usable)
            return given;
        if (known)
            return std::nullopt;
        // A lost link into units whose own links are lost as well: most writers allocate
        // contiguously. Into units whose links survive: the one tail that holds just what the
        // stream still needs.
        const std::uint32_t following = Following(unit);
        if (Candidate(following) && !space_.known[following]) {
            guessed_ = true;
            provenNow_ = false;
            return following;
        }
        const std::optional<std::uint32_t> tail = FittingTail();
        provenNow_ = provenNow_ || tail.has_value();
        return tail;
    }
    if (usable) {
        // The table's link stands when the records agree or cannot tell, and also when
        // they disagree (a wiped sector still holds its place in the stream), unless they
        // run on in a unit one bit away from it: a flipped bit.
        if (Continues(given) != Fit::No)
            return given;
        if (const auto inferred = Infer(unit); inferred && OneBitApart(*inferred, given)) {
            ++rebuilt_;
            // A unit the table calls free is no flipped link's: the file's units moved against
            // the table (bytes were put in between), and the units the chain took on the
            // table's word inside the record under way may be others' bytes. They are no
            // one's, as at a break.
            if (space_.known[*inferred] && space_.next[*inferred] == kFreeSector)
                breaks_.emplace_back(nextRecord_ > Available() ? lastRecord_ : nextRecord_, Available());
            return inferred;
        }
        return given;
    }
    // A wiped unit right after, the table's link lost: the stream ran on through it, as writers
    // place a stream's units, and the records pick up again after the damage. A unit further
    // off where records fit the joint is no proof against it: in a sheet of like records they
    // fit at many.
    if (const std::uint32_t following = Following(unit); !known && Candidate(following) && Wiped(following)) {
        ++rebuilt_;
        guessed_ = true;
        return following;
    }
    // The globals of a stream found by its records break off at a joint whose link went, the
    // unit after it no place for them, and the damage wiped units no link leads into: the
    // stream ran on through those (writers place a stream's later units in room left before
    // its first) and goes on in the unit after, past a break; once. A unit further off where
    // the records happen to fit the joint would take the globals astray, and every sheet with
    // them.
    if (const std::uint32_t following = Following(unit); !known && size_ == 0 && lastSheet_ == 0 && !brokeInGlobals_ &&
        Candidate(following) && Continues(following) == Fit::No && AnyWipedCandidate()) {
        if (const auto past = PastABreak(unit, true)) {
            brokeInGlobals_ = true;
            return past;
        }
    }
    if (const auto inferred = Infer(unit)) {
        ++rebuilt_;
        return inferred;
    }
    // Nothing to tell by (or damage right at the joint): contiguity, as long as the stream
    // is known to go on.
    const std::uint32_t following = Following(unit);
    if (Candidate(following) && (size_ != 0 || (!known && Continues(following) == Fit::Unknown))) {
        ++rebuilt_;
        guessed_ = true;
        return following;
    }
    return PastABreak(unit);
}

// The records break off and nothing in the file joins them, while the workbook's last sheet
// has not ended (a stream found by its records, its size unknown; in its globals only where
// `inGlobals` says so): the stream goes on somewhere, and the unit that follows is where
// writers put it, with or without the bytes the damage took between (a wiped unit the stream
// ran through, its link lost). That unit's records must read, and its first cell not lie in a
// row before the last one's; the mending fills what does not read around the break.
// In the globals of a chain that holds the stream's first unit (its first record is the
// workbook's), the stream ran on through wiped units in the room before that unit (where
// writers place a stream's later units): where units the damage left lie after them there, it
// goes on in the first of those.
std::optional<std::uint32_t> ChainBuilder::PastABreak(std::uint32_t unit, bool inGlobals)
{
    if (size_ != 0 || end_ || (lastSheet_ == 0 && !inGlobals) || !synced_)
        return std::nullopt;
    const bool fromTheStart = !units_.empty() && U16At(0) == kBof && U16At(6) == kGlobalsSubstream;
    if (inGlobals && fromTheStart) {
        std::uint32_t afterWiped = units_.front();  // the unit after the last wiped one before it
        while (afterWiped > 0 && !(Candidate(afterWiped - 1) && Wiped(afterWiped - 1)))
            --afterWiped;
        if (afterWiped > 0 && afterWiped < units_.front() && !Wiped(afterWiped)) {
            if (const auto past = PastABreakAt(afterWiped))
                return past;
        }
    }
    return PastABreakAt(Following(unit));
}

// The stream going on in `next` past a break, where its records read (PastABreak).
std::optional<std::uint32_t> ChainBuilder::PastABreakAt(std::uint32_t next)
{
    const std::uint32_t size = space_.unit;
    if (!Candidate(next))
        return std::nullopt;
    std::vector<std::uint8_t> bytes(space_.At(next), space_.At(next) + size);
    if (const std::uint32_t after = Following(next); Candidate(after))
        bytes.insert(bytes.end(), space_.At(after), space_.At(after) + size);
    const std::size_t at = biff::Resync(bytes, 0, size);
    if (at == biff::kNoPlace)
        return std::nullopt;
    for (std::size_t k = at; biff::ReadsKnown(bytes, k); k += 4u + LoadLe16(bytes.data() + k + 2)) {
        const std::uint16_t type = LoadLe16(bytes.data() + k);
        if (type == kBof || type == kEof)
            break;
        if (IsCellRecord(type) && LoadLe16(bytes.data() + k + 2) >= 4) {
            if (lastCell_ && LoadLe16(bytes.data() + k + 4) < LastCell().first)
                return std::nullopt;
            break;
        }
    }
    // The record under way at the break and what precedes the first record that reads after
    // it are no one's bytes: a record read across the break would show values made of both.
    breaks_.emplace_back(nextRecord_ > Available() ? lastRecord_ : nextRecord_, Available() + at);
    pendingCell_.reset();
    ++rebuilt_;
    guessed_ = true;
    return next;
}

std::optional<std::uint32_t> ChainBuilder::FittingTail()
{
    const std::uint64_t needed = (size_ + space_.unit - 1) / space_.unit;
    if (size_ == 0 || needed <= units_.size() || needed - units_.size() > space_.count)
        return std::nullopt;
    const auto length = static_cast<std::uint32_t>(needed - units_.size());
    auto [first, last] = std::equal_range(space_.tails.begin(), space_.tails.end(), std::pair{length, 0u},
                                          [](const auto& a, const auto& b) { return a.first < b.first; });
    std::optional<std::uint32_t> found;
    for (; first != last && budget_.Take(); ++first) {
        if (!Candidate(first->second))
            continue;
        if (found)
            return std::nullopt;  // two would do: neither is known to be the one
        found = first->second;
    }
    if (found)
        ++rebuilt_;
    return found;
}

std::vector<std::uint8_t> ChainBuilder::Gathered() const
{
    std::vector<std::uint8_t> data = Gather(space_, units_, Length());
    for (const auto& [from, to] : breaks_) {
        if (from < data.size())
            std::fill(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(to, data.size())), std::uint8_t{0});
    }
    return data;
}

std::vector<std::uint8_t> Gather(const Space& space, const std::vector<std::uint32_t>& units, std::uint64_t length)
{
    std::vector<std::uint8_t> data;
    // `length` comes from the file: the units at hand bound what is read.
    data.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{units.size()} * space.unit)));
    for (const std::uint32_t u : units) {
        if (data.size() >= length)
            break;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(space.unit, length - data.size()));
        data.insert(data.end(), space.At(u), space.At(u) + take);
    }
    return data;
}

}  // namespace tabulon::salvage
