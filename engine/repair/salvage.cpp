#include "engine/repair/salvage.h"

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <tuple>

#include "engine/biff/biff_cells.h"
#include "engine/biff/property_set.h"
#include "engine/biff/records.h"
#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/cfb/compound_writer.h"
#include "engine/cfb/directory_entry.h"
#include "engine/repair/record_mend.h"
#include "engine/cfb/sector_probes.h"
#include "engine/repair/workbook_file.h"

namespace tabulon {
namespace {

using namespace biff;

// Walks longer than this many links, directories longer than this many sectors: no workbook has them.
constexpr std::uint32_t kMaxDirectorySectors = 1u << 16;
constexpr std::uint32_t kMaxTableSectors = 1u << 16;
// Streams that begin with a workbook's first record and are followed to their end, at most.
constexpr std::size_t kMaxBofCandidates = 64;
// Units a record may span that a lost link is judged across (a CONTINUE-sized record is 17).
constexpr std::size_t kMaxSpan = 24;

struct Image {
    std::vector<std::uint8_t> bytes;
    std::uint32_t sectors = 0;  // whole sectors after the header
};

Image ReadImage(SectorFile& file)
{
    Image image;
    const std::uint64_t length = std::min<std::uint64_t>(file.Length(), kMaxWorkbookLength);
    image.bytes.resize(static_cast<std::size_t>(length));
    file.Seek(0);
    std::size_t done = 0;
    while (done < image.bytes.size()) {
        const std::size_t read = file.Read(std::span(image.bytes).subspan(done));
        if (read == 0)
            break;
        done += read;
    }
    // A sector cut short by a truncation still holds records: it counts, its missing part zero
    // (the mending ends the stream at the last whole record).
    const std::size_t sectors = done > kHeaderSize ? (done - kHeaderSize + kSectorSize - 1) / kSectorSize : 0;
    image.bytes.resize(kHeaderSize + sectors * kSectorSize, 0);
    image.sectors = static_cast<std::uint32_t>(sectors);
    return image;
}

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
    void NotePredecessors()
    {
        for (std::uint32_t u = 0; u < count; ++u) {
            if (known[u] && next[u] < count)
                hasPredecessor[next[u]] = true;
        }
    }
};

// The entries of a table sector that can be trusted, when the sector survives at all: every
// entry a marker or in range and no two leading to the same unit, but for a few (a flipped bit
// here and there), which are left unknown. A wiped sector reads as 128 links to unit 0, and a
// sector of something else breaks the rules everywhere: neither survives.
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

// Fills `space`'s table from the table sectors listed, where they survive; gives how many did not.
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

enum class Fit { Yes, No, Unknown };

// Builds one stream's chain. For a workbook stream the records decide where a lost link
// leads: a BIFF record (2-byte type, 2-byte length) runs on seamlessly from one sector into
// the next, so the sector in which the records continue is the next one.
class ChainBuilder {
public:
    ChainBuilder(Space& space, bool biff, std::uint64_t size, Budget& budget, std::vector<std::int8_t>& fragmentStarts)
        : space_(space), biff_(biff), size_(size), budget_(budget), fragmentStarts_(fragmentStarts)
    {
    }

    void Build(std::uint32_t start)
    {
        if (!space_.Free(start))
            return;
        Append(start);
        while (!Done()) {
            const std::optional<std::uint32_t> next = NextLink(units_.back());
            if (!next)
                break;
            Append(*next);
        }
    }

    const std::vector<std::uint32_t>& Units() const { return units_; }
    std::uint32_t Rebuilt() const { return rebuilt_; }
    bool Guessed() const { return guessed_; }
    // The stream's length: its size, or for a stream found by its records, where its last
    // sheet ends; never more than its chain holds.
    std::uint64_t Length() const
    {
        const std::uint64_t held = Available();
        if (size_ != 0)
            return std::min(size_, held);
        return end_ ? std::min(*end_, held) : held;
    }
    void Release()
    {
        for (const std::uint32_t u : units_)
            space_.claimed[u] = false;
    }

private:
    std::uint64_t Available() const { return std::uint64_t{units_.size()} * space_.unit; }

    bool Done() const
    {
        if (units_.size() >= space_.count)
            return true;
        if (size_ != 0)
            return Available() >= size_;
        return end_ && *end_ <= Available();
    }

    std::uint8_t ByteAt(std::uint64_t offset) const
    {
        return space_.At(units_[static_cast<std::size_t>(offset / space_.unit)])[offset % space_.unit];
    }
    std::uint16_t U16At(std::uint64_t offset) const
    {
        return static_cast<std::uint16_t>(ByteAt(offset) | (ByteAt(offset + 1) << 8));
    }
    std::uint32_t U32At(std::uint64_t offset) const
    {
        return U16At(offset) | (std::uint32_t{U16At(offset + 2)} << 16);
    }

    bool Plausible(std::uint64_t offset) const { return PlausibleRecord(U16At(offset), U16At(offset + 2)); }

    // Whether `count` records start at `offset` one after the other, each header within reach.
    bool RunAt(std::uint64_t offset, int count) const
    {
        for (int i = 0; i < count; ++i) {
            if (offset + 4 > Available() || !Plausible(offset))
                return false;
            offset += 4u + U16At(offset + 2);
        }
        return true;
    }

    void Append(std::uint32_t unit)
    {
        units_.push_back(unit);
        space_.claimed[unit] = true;
        if (biff_)
            Walk();
    }

    // Takes in the records whose headers the chain now holds.
    void Walk()
    {
        while (true) {
            if (!synced_ && !Resync())
                return;
            if (nextRecord_ + 4 > Available())
                return;
            if (!Plausible(nextRecord_)) {
                synced_ = false;
                scanFrom_ = nextRecord_ + 1;
                continue;
            }
            if (U16At(nextRecord_) == kBoundSheet && nextRecord_ + 8 > Available())
                return;  // its offset is not all here yet
            Note(nextRecord_);
            nextRecord_ += 4u + U16At(nextRecord_ + 2);
        }
    }

    // After damage: the first place where three plausible records follow one another.
    bool Resync()
    {
        for (; scanFrom_ + 4 <= Available(); ++scanFrom_) {
            if (RunAt(scanFrom_, 3)) {
                nextRecord_ = scanFrom_;
                synced_ = true;
                return true;
            }
        }
        return false;
    }

    // Keeps track of where the workbook's last sheet ends, for a stream of unknown size.
    void Note(std::uint64_t offset)
    {
        const std::uint16_t type = U16At(offset);
        const std::uint16_t length = U16At(offset + 2);
        if (type == kBoundSheet && length >= 4)
            lastSheet_ = std::max<std::uint64_t>(lastSheet_, U32At(offset + 4));
        else if (type == kBof)
            substream_ = offset, lastCell_.reset();
        else if (IsCellRecord(type) && length >= 4 && offset + 8 <= Available())
            lastCell_ = std::pair<std::uint32_t, std::uint32_t>{U16At(offset + 4), U16At(offset + 6)};
        else if (type == kEof && substream_ && *substream_ >= lastSheet_ && (lastSheet_ != 0 || *substream_ == 0))
            end_ = offset + 4 + length;
    }

    // Whether the records run on into `candidate` if it came next.
    Fit Continues(std::uint32_t candidate) { return Junction(candidate).fit; }

    // How well the records run on into `candidate`: whether they do, and how far the first cell
    // there lies from the last one before it (cells come row by row, so the right continuation
    // goes on at the same row or a little below; a cell well above it belongs elsewhere).
    struct JunctionFit {
        Fit fit = Fit::Unknown;
        bool backwards = false;
        std::uint64_t rowGap = ~std::uint64_t{0};  // unknown: no cell on one side
    };

    JunctionFit Junction(std::uint32_t candidate)
    {
        JunctionFit result;
        if (!synced_)
            return result;
        if (end_ && nextRecord_ >= *end_)
            return result;  // past the last sheet: what follows is filler
        const std::uint64_t limit = size_ != 0 ? size_ : ~std::uint64_t{0};
        // A record under way that covers the candidate and more (a long one, such as a string
        // table's): its end is where the next header must be, a few units on, taken to follow
        // the candidate contiguously.
        const std::size_t kept = units_.size();
        units_.push_back(candidate);
        for (std::uint32_t unit = candidate; nextRecord_ + 4 > Available() && units_.size() - kept < kMaxSpan;) {
            unit = Following(unit);
            if (!Candidate(unit))
                break;
            units_.push_back(unit);
        }
        if (nextRecord_ + 4 > Available() || nextRecord_ < Available() - (units_.size() - kept) * space_.unit) {
            units_.resize(kept);
            return result;
        }
        std::uint64_t offset = nextRecord_;
        bool cellSeen = false;
        // Every record whose header lies in the candidate must be one.
        while (offset + 4 <= Available() && offset < limit) {
            if (!Plausible(offset)) {
                result.fit = Fit::No;
                break;
            }
            result.fit = Fit::Yes;
            const std::uint16_t type = U16At(offset);
            if (type == kEof || type == kBof)
                break;  // what follows a sheet's end may be filler; a new sheet starts afresh
            if (!cellSeen && lastCell_ && IsCellRecord(type) && U16At(offset + 2) >= 4 && offset + 8 <= Available()) {
                cellSeen = true;
                const std::uint32_t row = U16At(offset + 4);
                const std::uint32_t column = U16At(offset + 6);
                const auto [lastRow, lastColumn] = *lastCell_;
                // Some writers interleave two rows (merged cells), so one row back is as near
                // as the next row.
                if (row + 1 == lastRow) {
                    result.rowGap = 1;
                } else {
                    result.backwards = row < lastRow || (row == lastRow && column <= lastColumn);
                    result.rowGap = result.backwards ? ~std::uint64_t{0} : row - lastRow;
                }
            }
            offset += 4u + U16At(offset + 2);
        }
        units_.resize(kept);
        return result;
    }

    // Whether `unit` begins a run of records of its own rather than continuing those of the
    // unit before it: the start of another fragment.
    bool StartsFragment(std::uint32_t unit)
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

    // A unit a lost link may lead to: free, and neither the target of a surviving link nor
    // the first unit of another stream.
    bool Candidate(std::uint32_t unit) const
    {
        return space_.Free(unit) && !space_.hasPredecessor[unit] && !space_.head[unit];
    }

    // Where the records say the stream goes on after `unit`: the unit after it when they run
    // on there, else a free unit where they run on and that starts a fragment of its own.
    // The unit after `unit` in the file, past the table and directory sectors and the streams
    // that lie there: most writers allocate each stream contiguously around what is already
    // placed, so another stream's first unit means the next fragment lies after that stream.
    std::uint32_t Following(std::uint32_t unit) const
    {
        std::uint32_t following = unit + 1;
        for (int hops = 0; hops < 64 && following < space_.count; ++hops) {
            if (space_.head[following] && space_.headLength[following] != 0 && !space_.claimed[following])
                following += std::min(space_.headLength[following], space_.count - following);
            else if (space_.claimed[following])
                ++following;
            else
                break;
        }
        return following;
    }

    std::optional<std::uint32_t> Infer(std::uint32_t unit)
    {
        const std::uint32_t following = Following(unit);
        const JunctionFit next = Candidate(following) ? Junction(following) : JunctionFit{};
        constexpr std::uint64_t kNoGap = ~std::uint64_t{0};
        if (next.fit == Fit::Yes && !next.backwards && (next.rowGap <= 1 || next.rowGap == kNoGap))
            return following;  // the same row or the next: as cells run on
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

    static bool OneBitApart(std::uint32_t a, std::uint32_t b)
    {
        const std::uint32_t difference = a ^ b;
        return difference != 0 && (difference & (difference - 1)) == 0;
    }

    std::optional<std::uint32_t> NextLink(std::uint32_t unit)
    {
        const bool known = space_.known[unit];
        const std::uint32_t given = space_.next[unit];
        const bool usable = known && given < space_.count && space_.Free(given);
        if (!biff_) {
            if (usable)
                return given;
            if (const std::uint32_t following = Following(unit); !known && Candidate(following)) {
                guessed_ = true;  // a lost table sector: most writers allocate contiguously
                return following;
            }
            return std::nullopt;
        }
        if (usable) {
            // The table's link stands when the records agree or cannot tell, and also when
            // they disagree (a wiped sector still holds its place in the stream), unless they
            // run on in a unit one bit away from it: a flipped bit.
            if (Continues(given) != Fit::No)
                return given;
            if (const auto inferred = Infer(unit); inferred && OneBitApart(*inferred, given)) {
                ++rebuilt_;
                return inferred;
            }
            return given;
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
        return std::nullopt;
    }

    Space& space_;
    bool biff_;
    std::uint64_t size_;
    Budget& budget_;
    std::vector<std::int8_t>& fragmentStarts_;
    std::vector<std::uint32_t> units_;
    std::uint32_t rebuilt_ = 0;
    bool guessed_ = false;
    // The record walk.
    bool synced_ = true;
    std::uint64_t nextRecord_ = 0;
    std::uint64_t scanFrom_ = 0;
    std::uint64_t lastSheet_ = 0;
    std::optional<std::uint64_t> substream_;
    std::optional<std::uint64_t> end_;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> lastCell_;  // row and column of the last cell
};

std::vector<std::uint8_t> Gather(const Space& space, const std::vector<std::uint32_t>& units, std::uint64_t length)
{
    std::vector<std::uint8_t> data;
    data.reserve(static_cast<std::size_t>(length));
    for (const std::uint32_t u : units) {
        if (data.size() >= length)
            break;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(space.unit, length - data.size()));
        data.insert(data.end(), space.At(u), space.At(u) + take);
    }
    return data;
}

// What stands for an entry that does not read: no type, no name, no links.
const DirectoryEntry kUnreadableEntry = [] {
    DirectoryEntry entry;
    entry.start = 0;
    return entry;
}();

// Whether a workbook's first record (the globals' BOF) starts here; its BIFF version if so.
std::optional<std::uint16_t> GlobalsBofAt(const std::uint8_t* p, std::size_t room)
{
    if (room < 8 || LoadLe16(p) != kBof)
        return std::nullopt;
    const std::uint16_t length = LoadLe16(p + 2);
    const std::uint16_t version = LoadLe16(p + 4);
    if (length < 4 || length > 20 || (version != kBiff8Version && version != kBiff5Version) ||
        LoadLe16(p + 6) != kGlobalsSubstream)
        return std::nullopt;
    return version;
}

// The sheets a workbook stream lists, and how many of them begin where the list says.
struct ListedSheet {
    std::string name;
    bool found = false;  // its first record is where the list says
};

struct SheetBof {
    std::size_t offset;
    std::uint16_t version;
};

// The first worksheet BOF record anywhere in `size` bytes, if they hold one.
std::optional<SheetBof> FirstSheetBof(const std::uint8_t* bytes, std::size_t size)
{
    for (std::size_t at = 0; at + 8 <= size; ++at) {
        if (LoadLe16(bytes + at) != kBof)
            continue;
        const std::uint16_t length = LoadLe16(bytes + at + 2);
        const std::uint16_t version = LoadLe16(bytes + at + 4);
        if (length >= 8 && length <= 20 && (version == kBiff8Version || version == kBiff5Version) &&
            LoadLe16(bytes + at + 6) == kWorksheetSubstream)
            return SheetBof{at, version};
    }
    return std::nullopt;
}

// Where, in the sectors that lie before `sector` in the file, the records run on into it:
// the nearest of up to `reach` free sectors before it from which records that read lead
// exactly to a record start already known (`starts`, as offsets from the first sector's
// start, none of them before `sector`). Gives that sector, and adds the record starts found
// on the way to `starts`.
std::optional<std::uint32_t> RecordsRunInto(const Space& space, std::uint32_t sector, std::set<std::uint64_t>& starts,
                                            std::uint32_t reach)
{
    const std::uint64_t unit = space.unit;
    const std::uint64_t end = std::uint64_t{sector} * unit;  // the sector's start, where the walk is to land past
    const std::uint64_t last = *starts.rbegin();
    for (std::uint32_t back = 1; back <= reach && back <= sector && space.Free(sector - back); ++back) {
        const std::uint64_t first = std::uint64_t{sector - back} * unit;
        const std::uint8_t* base = space.At(0);
        for (std::uint64_t at = first; at < first + unit; ++at) {
            // Past the sector's start a few records more may lead to a known start (an end
            // record before the sheet's first), no more: the work stays in proportion.
            constexpr int kRecordsPast = 8;
            std::vector<std::uint64_t> walked;
            int past = 0;
            for (std::uint64_t k = at; k <= last && past <= kRecordsPast && PlausibleRecord(LoadLe16(base + k), LoadLe16(base + k + 2));) {
                walked.push_back(k);
                k += 4u + LoadLe16(base + k + 2);
                if (k >= end && starts.contains(k)) {
                    starts.insert(walked.begin(), walked.end());
                    return sector - back;
                }
                past += k >= end ? 1 : 0;
            }
        }
    }
    return std::nullopt;
}

// The sheets a workbook stream lists, by name, and whether each begins where the list says.
std::vector<ListedSheet> ListSheets(const std::vector<std::uint8_t>& stream)
{
    std::vector<ListedSheet> sheets;
    const bool biff8 = stream.size() >= 6 && LoadLe16(stream.data() + 4) >= kBiff8Version;
    std::size_t offset = 0;
    while (offset + 4 <= stream.size()) {
        const std::uint16_t type = LoadLe16(stream.data() + offset);
        const std::uint16_t length = LoadLe16(stream.data() + offset + 2);
        const bool filler = type == kFillerRecord && length <= kMaxRecordBody;
        if ((!filler && !PlausibleRecord(type, length)) || (type == kEof && offset > 0) ||
            offset + 4 + length > stream.size())
            break;
        if (type == kBoundSheet && length >= 8) {
            const std::uint8_t* body = stream.data() + offset + 4;
            ListedSheet sheet;
            const std::uint32_t at = LoadLe32(body);
            sheet.found = at + std::uint64_t{4} <= stream.size() && LoadLe16(stream.data() + at) == kBof;
            const std::size_t count = body[6];
            const bool wide = biff8 && (body[7] & 1) != 0;
            const std::size_t chars = biff8 ? 8 : 7;
            std::u16string name;
            for (std::size_t i = 0; i < count && chars + (wide ? 2 * i + 1 : i) < length; ++i)
                name.push_back(wide ? static_cast<char16_t>(LoadLe16(body + chars + 2 * i)) : static_cast<char16_t>(body[chars + i]));
            sheet.name = Utf8FromUtf16(name);
            sheets.push_back(std::move(sheet));
        }
        offset += 4 + std::size_t{length};
    }
    return sheets;
}

// One attempt at the file with one header: the entries to write, and the report so far.
struct Attempt {
    CompoundRoot root;
    std::vector<CompoundEntry> entries;
    SalvageReport report;
    std::uint64_t workbookLength = 0;
    bool found = false;
};

class Salvager {
public:
    Salvager(const Image& image, const HeaderBytes& header) : header_(header)
    {
        miniContainer_.assign(image.sectors, false);
        main_.base = image.bytes.data() + kHeaderSize;
        main_.unit = kSectorSize;
        main_.Resize(image.sectors);
        budget_.left = 64 * std::uint64_t{image.sectors} + (1u << 20);
        fragmentStarts_.assign(image.sectors, -1);
    }

    Attempt Run()
    {
        Attempt attempt;
        LoadMainTable(attempt.report);
        ReadDirectory();
        const std::vector<std::uint32_t> miniTable =
            FollowStructure(Header32(kFirstMiniFatSectorOffset), std::min(Header32(kNumMiniFatSectorsOffset), kMaxTableSectors),
                            [](const std::uint8_t* sector) { return IsFatLikeSector(SectorView(sector, kSectorSize)); });
        MarkHeads(main_, false);
        LoadMiniStream(miniTable);
        MarkHeads(mini_, true);

        std::optional<std::size_t> workbook;
        for (std::size_t i = 0; i < tree_.size(); ++i) {
            const DirectoryEntry& entry = entries_[tree_[i].entry];
            if (tree_[i].parent < 0 && entry.type == kObjectTypeStream &&
                IsWorkbookStreamName(entry.name) && !workbook)
                workbook = i;
        }
        // Every other stream first, by the table alone, so that the workbook's rebuilt links
        // never take a sector that belongs to them.
        std::vector<std::optional<std::vector<std::uint8_t>>> data(tree_.size());
        for (std::size_t i = 0; i < tree_.size(); ++i) {
            const DirectoryEntry& entry = entries_[tree_[i].entry];
            if (entry.type != kObjectTypeStream || (workbook && i == *workbook))
                continue;
            data[i] = FollowStream(entry, false, nullptr);
            if (!data[i])
                attempt.report.dropped.push_back(PathOf(i));
        }

        std::vector<std::uint8_t> workbookData;
        std::u16string workbookName = u"Workbook";
        std::uint32_t rebuilt = 0;
        // The workbook's own entry, when its chain begins as a workbook does; else the stream
        // found by its first record; else what the entry's chain holds after all.
        std::vector<std::uint32_t> entryUnits;
        auto followEntry = [&](bool requireBof) {
            const DirectoryEntry& entry = entries_[tree_[*workbook].entry];
            if (auto followed = FollowStream(entry, true, &rebuilt, requireBof, &entryUnits)) {
                workbookData = std::move(*followed);
                workbookName = entry.name;
                attempt.report.workbookBytesLost = entry.size > workbookData.size() ? entry.size - workbookData.size() : 0;
                attempt.report.workbookInMiniStream = entry.size < kMiniStreamCutoff;
            }
        };
        if (workbook)
            followEntry(true);
        if (workbookData.empty()) {
            std::uint16_t version = kBiff8Version;
            if (FindByBof(workbookData, version, rebuilt, attempt.report.workbookInMiniStream)) {
                workbookName = version == kBiff5Version ? u"Book" : u"Workbook";
                attempt.report.directoryLost = true;
                workbook.reset();
            } else {
                // The workbook's start is gone. What its entry's chain holds keeps the rest of
                // the globals (the shared strings among them) when a sheet survives in it;
                // else what is left starts at the first sector that holds a sheet.
                if (workbook)
                    followEntry(false);
                if (!FirstSheetBof(workbookData.data(), workbookData.size())) {
                    std::vector<std::uint8_t> sheets;
                    std::uint32_t sheetsRebuilt = 0;
                    for (const std::uint32_t u : entryUnits)
                        (attempt.report.workbookInMiniStream ? mini_ : main_).claimed[u] = false;
                    if (FindBySheetBof(sheets, version, sheetsRebuilt)) {
                        workbookData = std::move(sheets);
                        rebuilt = sheetsRebuilt;
                        workbookName = version == kBiff5Version ? u"Book" : u"Workbook";
                        attempt.report.workbookInMiniStream = false;
                        attempt.report.workbookBytesLost = 0;
                        workbook.reset();
                    }
                }
            }
            if (workbookData.empty() || !workbook)
                attempt.report.directoryLost = true;
        }
        if (workbookData.empty())
            return attempt;

        attempt.found = true;
        attempt.workbookLength = workbookData.size();
        if (lostEntries_)
            attempt.report.dropped.push_back("directory entries in lost sectors (their streams)");
        // The document summary names the sheets, for a workbook whose own list of them is gone.
        std::vector<std::u16string> summaryNames;
        for (std::size_t i = 0; i < tree_.size() && !attempt.report.directoryLost; ++i) {
            if (tree_[i].parent < 0 && data[i] &&
                CompareEntryNames(entries_[tree_[i].entry].name, u"\u0005DocumentSummaryInformation") == 0)
                summaryNames = SheetNamesFromSummary(*data[i]);
        }
        attempt.report.regions = MendWorkbookStream(workbookData, summaryNames);
        attempt.report.linksRebuilt = rebuilt;
        for (const ListedSheet& sheet : ListSheets(workbookData)) {
            ++attempt.report.sheets;
            attempt.report.sheetsFound += sheet.found ? 1 : 0;
            attempt.report.sheetNames.push_back(sheet.name);
            if (!sheet.found)
                attempt.report.lostSheets.push_back(sheet.name);
        }
        if (rootEntry_) {
            attempt.root.clsid = rootEntry_->clsid;
            attempt.root.created = rootEntry_->created;
            attempt.root.modified = rootEntry_->modified;
        }

        // The tree as it was, less the streams that could not be followed.
        std::vector<int> placed(tree_.size(), -1);
        if (!attempt.report.directoryLost) {
            for (std::size_t i = 0; i < tree_.size(); ++i) {
                const DirectoryEntry& entry = entries_[tree_[i].entry];
                const int parent = tree_[i].parent < 0 ? -1 : placed[static_cast<std::size_t>(tree_[i].parent)];
                if (tree_[i].parent >= 0 && parent < 0)
                    continue;  // its storage was left out
                const bool isWorkbook = workbook && i == *workbook;
                if (entry.type == kObjectTypeStream && !isWorkbook && !data[i])
                    continue;
                CompoundEntry out;
                out.name = entry.name;
                out.type = entry.type;
                out.parent = parent;
                out.clsid = entry.clsid;
                out.stateBits = entry.stateBits;
                out.created = entry.created;
                out.modified = entry.modified;
                if (isWorkbook)
                    out.data = workbookData;
                else if (data[i])
                    out.data = std::move(*data[i]);
                SalvagedStream kept{PathOf(i), entry.size, out.data.size(), isWorkbook ? rebuilt : 0};
                if (entry.type == kObjectTypeStream)
                    attempt.report.kept.push_back(kept);
                placed[i] = static_cast<int>(attempt.entries.size());
                attempt.entries.push_back(std::move(out));
            }
        }
        if (attempt.report.directoryLost) {
            CompoundEntry out;
            out.name = workbookName;
            out.data = std::move(workbookData);
            attempt.report.kept.push_back({Utf8FromUtf16(workbookName), 0, out.data.size(), rebuilt});
            attempt.entries.push_back(std::move(out));
        }
        return attempt;
    }

private:
    struct Placed {
        std::uint32_t entry;
        int parent;  // index into tree_, -1 for the root
    };

    std::uint32_t Header32(std::size_t offset) const { return LoadLe32(header_.data() + offset); }

    void LoadMainTable(SalvageReport& report)
    {
        std::vector<std::uint32_t> listed;
        const std::uint32_t count = std::min(Header32(kNumFatSectorsOffset), kMaxTableSectors);
        std::uint32_t steps = 0;
        WalkTableList(
            header_.data(),
            [&](std::uint32_t difat) -> const std::uint8_t* {
                if (listed.size() >= count || difat >= main_.count || steps++ >= kMaxTableSectors)
                    return nullptr;
                main_.claimed[difat] = true;
                return main_.At(difat);
            },
            [&](std::uint32_t entry) {
                if (listed.size() >= count)
                    return false;
                listed.push_back(entry);
                return listed.size() < count;
            });
        report.tableSectorsLost = LoadTable(main_, listed, main_);
        // A listed sector that reads as no table (wiped, or a header's wrong guess) is left to
        // the streams: a stream whose entry starts there still needs it.
        const std::uint64_t capacity = std::uint64_t{listed.size()} * kEntriesPerFatSector;
        for (const std::uint32_t sector : listed) {
            if (sector < main_.count && SurvivingEntries(main_.At(sector), capacity))
                main_.claimed[sector] = true;
        }
        for (std::uint32_t u = 0; u < main_.count; ++u) {
            if (main_.known[u] && (main_.next[u] == kFatSector || main_.next[u] == kDifatSector))
                main_.claimed[u] = true;
        }
        main_.NotePredecessors();
    }

    // Follows a structure's chain through the table; where a link is lost, on to the next
    // sector while `looksRight` accepts it.
    template <typename Accept>
    std::vector<std::uint32_t> FollowStructure(std::uint32_t start, std::uint32_t limit, Accept looksRight)
    {
        std::vector<std::uint32_t> chain;
        std::uint32_t sector = start;
        while (sector < main_.count && !main_.claimed[sector] && chain.size() < limit) {
            chain.push_back(sector);
            main_.claimed[sector] = true;
            if (main_.known[sector]) {
                sector = main_.next[sector];
                continue;
            }
            // A lost link: the next sector of that kind that no surviving link claims, the one
            // after first (structures too are mostly written in one piece).
            std::uint32_t next = sector + 1;
            while (next < main_.count && (main_.claimed[next] || main_.hasPredecessor[next] || !looksRight(main_.At(next))))
                ++next;
            sector = next;
        }
        return chain;
    }

    void ReadDirectory()
    {
        // Every entry of a directory sector reads as one, or is unused.
        const auto directoryLike = [](const std::uint8_t* sector) {
            for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
                const std::uint8_t* entry = sector + k * kDirectoryEntrySize;
                const bool unused = entry[kEntryObjectTypeOffset] == 0 && LoadLe16(entry + kEntryNameLengthOffset) == 0;
                if (!unused && !ReadDirectoryEntry(entry, EntryReading::Strict))
                    return false;
            }
            return LoadLe16(sector + kEntryNameLengthOffset) != 0;  // not a sector of unused entries alone
        };
        const std::vector<std::uint32_t> sectors =
            FollowStructure(Header32(kFirstDirectorySectorOffset), kMaxDirectorySectors, directoryLike);
        for (const std::uint32_t sector : sectors) {
            for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
                const std::optional<DirectoryEntry> entry =
                    ReadDirectoryEntry(main_.At(sector) + k * kDirectoryEntrySize, EntryReading::Strict);
                entries_.push_back(entry.value_or(kUnreadableEntry));
            }
        }
        if (entries_.empty() || entries_[0].type != kObjectTypeRootStorage)
            return;
        rootEntry_ = entries_[0];
        // The tree under the root, each entry once.
        std::vector<bool> seen(entries_.size(), false);
        std::vector<std::pair<std::uint32_t, int>> pending{{entries_[0].child, -1}};
        while (!pending.empty()) {
            const auto [index, parent] = pending.back();
            pending.pop_back();
            if (index != kNoStream && index >= entries_.size())
                lostEntries_ = true;  // in a directory sector that did not survive
            if (index >= entries_.size() || seen[index] || entries_[index].type == 0 ||
                entries_[index].type == kObjectTypeRootStorage)
                continue;
            seen[index] = true;
            const DirectoryEntry& entry = entries_[index];
            pending.emplace_back(entry.left, parent);
            pending.emplace_back(entry.right, parent);
            tree_.push_back({index, parent});
            if (entry.type == 1)
                pending.emplace_back(entry.child, static_cast<int>(tree_.size() - 1));
        }
        // Storages before what they hold, as the writer wants them.
        std::vector<Placed> ordered;
        std::vector<int> newIndex(tree_.size(), -1);
        std::vector<bool> done(tree_.size(), false);
        for (bool progress = true; progress;) {
            progress = false;
            for (std::size_t i = 0; i < tree_.size(); ++i) {
                if (done[i] || (tree_[i].parent >= 0 && !done[static_cast<std::size_t>(tree_[i].parent)]))
                    continue;
                done[i] = true;
                progress = true;
                newIndex[i] = static_cast<int>(ordered.size());
                ordered.push_back({tree_[i].entry, tree_[i].parent < 0 ? -1 : newIndex[static_cast<std::size_t>(tree_[i].parent)]});
            }
        }
        tree_ = std::move(ordered);
    }

    // Where the directory says streams begin, in the file's sectors or in the mini stream.
    void MarkHeads(Space& space, bool mini)
    {
        if (mini && rootEntry_ && rootEntry_->start < main_.count)
            main_.head[rootEntry_->start] = true;
        for (const Placed& placed : tree_) {
            const DirectoryEntry& entry = entries_[placed.entry];
            if (entry.type == kObjectTypeStream && entry.size != 0 && (entry.size < kMiniStreamCutoff) == mini &&
                entry.start < space.count) {
                space.head[entry.start] = true;
                space.headLength[entry.start] = static_cast<std::uint32_t>((entry.size + space.unit - 1) / space.unit);
            }
        }
    }

    void LoadMiniStream(const std::vector<std::uint32_t>& miniTable)
    {
        if (!rootEntry_ || rootEntry_->size == 0)
            return;
        const std::uint32_t start = rootEntry_->start;
        ChainBuilder container(main_, false, rootEntry_->size, budget_, fragmentStarts_);
        container.Build(start);
        miniBytes_ = Gather(main_, container.Units(), rootEntry_->size);
        for (const std::uint32_t u : container.Units())
            miniContainer_[u] = true;
        mini_.base = miniBytes_.data();
        mini_.unit = kMiniSectorSize;
        mini_.Resize(static_cast<std::uint32_t>(miniBytes_.size() / kMiniSectorSize));
        miniFragmentStarts_.assign(mini_.count, -1);
        LoadTable(mini_, miniTable, main_);
        mini_.NotePredecessors();
    }

    // A stream's bytes, or nothing when its chain does not reach its size (a workbook keeps
    // what survives).
    std::optional<std::vector<std::uint8_t>> FollowStream(const DirectoryEntry& entry, bool workbook, std::uint32_t* rebuilt,
                                                          bool requireBof = false, std::vector<std::uint32_t>* units = nullptr)
    {
        if (entry.size == 0)
            return std::vector<std::uint8_t>{};
        const bool inMini = entry.size < kMiniStreamCutoff;
        Space& space = inMini ? mini_ : main_;
        if (inMini && !rootEntry_)
            return std::nullopt;
        ChainBuilder chain(space, workbook, entry.size, budget_, inMini ? miniFragmentStarts_ : fragmentStarts_);
        chain.Build(entry.start);
        if (rebuilt)
            *rebuilt = chain.Rebuilt();
        const std::uint64_t length = chain.Length();
        if (!workbook && (length < entry.size || chain.Guessed())) {
            chain.Release();
            return std::nullopt;
        }
        if (length == 0 || (requireBof && !GlobalsBofAt(space.At(chain.Units().front()), space.unit))) {
            chain.Release();
            return std::nullopt;
        }
        if (units)
            *units = chain.Units();
        return Gather(space, chain.Units(), length);
    }

    // The workbook stream found by its first record: in the file's sectors, then at the
    // mini stream's 64-byte granularity anywhere in the file; the longest one stands.
    bool FindByBof(std::vector<std::uint8_t>& data, std::uint16_t& version, std::uint32_t& rebuilt, bool& inMini)
    {
        auto search = [&](Space& space, std::vector<std::int8_t>& fragments) {
            std::vector<std::uint32_t> candidates;
            for (std::uint32_t u = 0; u < space.count && candidates.size() < kMaxBofCandidates; ++u) {
                if (space.Free(u) && GlobalsBofAt(space.At(u), space.unit))
                    candidates.push_back(u);
            }
            bool any = false;
            for (const std::uint32_t start : candidates) {
                ChainBuilder chain(space, true, 0, budget_, fragments);
                chain.Build(start);
                const std::uint64_t length = chain.Length();
                if (length > data.size()) {
                    data = Gather(space, chain.Units(), length);
                    version = *GlobalsBofAt(space.At(start), space.unit);
                    rebuilt = chain.Rebuilt();
                    any = true;
                }
                chain.Release();
            }
            return any;
        };
        if (search(main_, fragmentStarts_))
            return true;
        // A small workbook lives in the mini stream, which lies in the file's sectors.
        Space fine;
        fine.base = main_.base;
        fine.unit = kMiniSectorSize;
        fine.Resize(main_.count * (kSectorSize / kMiniSectorSize));
        for (std::uint32_t u = 0; u < main_.count; ++u) {
            if (main_.claimed[u] && !miniContainer_[u]) {
                for (std::uint32_t k = 0; k < kSectorSize / kMiniSectorSize; ++k)
                    fine.claimed[u * (kSectorSize / kMiniSectorSize) + k] = true;
            }
        }
        std::vector<std::int8_t> fineFragments(fine.count, -1);
        inMini = search(fine, fineFragments);
        return inMini;
    }

    // When the globals are gone as well: what is left of the workbook starts in the first free
    // sector that holds a worksheet's first record; the mending gives it new globals.
    bool FindBySheetBof(std::vector<std::uint8_t>& data, std::uint16_t& version, std::uint32_t& rebuilt)
    {
        for (std::uint32_t u = 0; u < main_.count; ++u) {
            const std::optional<SheetBof> sheet = main_.Free(u) ? FirstSheetBof(main_.At(u), kSectorSize) : std::nullopt;
            if (!sheet)
                continue;
            // What survives of the globals (the shared strings among them) lies in the sectors
            // before it whose records run on into it; a long record (a string table's) may
            // cover a few sectors with no record start in them.
            constexpr std::uint32_t kLongestRecordSectors = (kRecordHeaderSize + kMaxRecordBody + kSectorSize - 1) / kSectorSize + 1;
            // At most this far back (the globals of the largest workbooks, string table and all,
            // fit in it), so that a file crafted to read as records throughout costs no more.
            constexpr std::uint32_t kMostSectorsBack = 16384;
            std::uint32_t start = u;
            std::set<std::uint64_t> starts{std::uint64_t{u} * kSectorSize + sheet->offset};
            while (u - start < kMostSectorsBack) {
                const auto before = RecordsRunInto(main_, start, starts, kLongestRecordSectors);
                if (!before)
                    break;
                start = *before;
            }
            // A long record whose header went with the damage may begin in the sectors before
            // (the string table's first, often): they come along, up to where the wiping ends.
            for (std::uint32_t k = 0; k < kLongestRecordSectors && start > 0 && main_.Free(start - 1) &&
                                      !std::all_of(main_.At(start - 1), main_.At(start - 1) + kSectorSize,
                                                   [](std::uint8_t b) { return b == 0; });
                 ++k)
                --start;
            ChainBuilder chain(main_, true, 0, budget_, fragmentStarts_);
            chain.Build(start);
            data = Gather(main_, chain.Units(), chain.Length());
            version = sheet->version;
            rebuilt = chain.Rebuilt();
            chain.Release();
            return !data.empty();
        }
        return false;
    }

    std::string PathOf(std::size_t index) const
    {
        std::string path = Utf8FromUtf16(entries_[tree_[index].entry].name);
        for (int parent = tree_[index].parent; parent >= 0; parent = tree_[static_cast<std::size_t>(parent)].parent)
            path = Utf8FromUtf16(entries_[tree_[static_cast<std::size_t>(parent)].entry].name) + "/" + path;
        return path;
    }

    const HeaderBytes& header_;
    Space main_;
    Space mini_;
    std::vector<std::uint8_t> miniBytes_;
    std::vector<bool> miniContainer_;  // the file's sectors that hold the mini stream
    Budget budget_{0};
    std::vector<std::int8_t> fragmentStarts_;
    std::vector<std::int8_t> miniFragmentStarts_;
    std::vector<DirectoryEntry> entries_;
    std::optional<DirectoryEntry> rootEntry_;
    std::vector<Placed> tree_;
    bool lostEntries_ = false;  // the tree leads to entries no surviving directory sector holds

public:
    bool LostEntries() const { return lostEntries_; }
};

}  // namespace

SalvageReport SalvageWorkbook(SectorFile& file, std::span<const HeaderBytes> headers, SectorFile& out)
{
    const Image image = ReadImage(file);
    std::optional<Attempt> best;
    for (const HeaderBytes& header : headers) {
        Attempt attempt = Salvager(image, header).Run();
        if (!attempt.found)
            continue;
        // The share of its listed sheets found where the list says, then the directory, then
        // the length: a file may hold another workbook (an embedded object's) with more sheets.
        const auto rank = [](const Attempt& a) {
            const double found = a.report.sheets == 0 ? 0.0 : double(a.report.sheetsFound) / double(a.report.sheets);
            return std::tuple(found, !a.report.directoryLost, a.workbookLength);
        };
        if (!best || rank(attempt) > rank(*best))
            best = std::move(attempt);
    }
    if (!best)
        return {};
    try {
        WriteCompoundFile(out, best->root, best->entries);
    } catch (const std::invalid_argument&) {
        // A damaged directory can hold what no compound file may (two entries of one name,
        // a name with a separator): the workbook stream alone is written then.
        const auto workbook = std::find_if(best->entries.begin(), best->entries.end(), [](const CompoundEntry& entry) {
            return entry.parent < 0 && entry.type == kObjectTypeStream &&
                   IsWorkbookStreamName(entry.name);
        });
        if (workbook == best->entries.end())
            return {};
        CompoundEntry alone = std::move(*workbook);
        alone.parent = -1;
        for (const CompoundEntry& entry : best->entries) {
            if (&entry != &*workbook && entry.type == kObjectTypeStream)
                best->report.dropped.push_back(Utf8FromUtf16(entry.name));
        }
        const std::string name = Utf8FromUtf16(alone.name);
        const auto kept = std::find_if(best->report.kept.begin(), best->report.kept.end(), [&](const SalvagedStream& stream) {
            return stream.path == name && stream.size == alone.data.size();
        });
        if (kept != best->report.kept.end())
            best->report.kept = {*kept};
        WriteCompoundFile(out, best->root, {alone});
    }
    best->report.written = true;
    best->report.check = VerifyWorkbook(out);
    return best->report;
}

}  // namespace tabulon
