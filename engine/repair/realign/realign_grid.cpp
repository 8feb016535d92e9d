// Putting a compound file's bytes back on its sector grid, one place at a time, each proved
// by the structure (see realign_grid.h): the walk's steps run in order (realign_walk.h), and
// the original built from the places they decided.
#include "engine/repair/realign/realign_walk.h"

#include <algorithm>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/biff/records.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/header.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon::realigning {
namespace {

// The shift at the end of the bytes, once the walk left them at `done` under `shift`: the
// fixed sectors after the stream, then a file as long as its grid (a CR lost), or clusters past
// everything the table uses.
std::int64_t ShiftAtEnd(const Grid& grid, const Tables& tables, std::uint64_t done, std::int64_t shift)
{
    const std::int64_t size = static_cast<std::int64_t>(grid.bytes.size());
    std::int64_t last = shift;
    for (const auto& [sector, shifts] : tables.fixed)
        if (Grid::SectorAt(sector, shifts.front()) > done && (tables.After(sector, shifts.front()) - last) * grid.step > 0)
            last = tables.After(sector, shifts.front());
    std::int64_t target = last;
    if (grid.move == Move::LostCr) {
        while ((size + target) % std::int64_t{kSectorSize} != 0 &&
            Place(grid, tables, done, shift, grid.bytes.size(), target + grid.step, nullptr))
            target += grid.step;
        if ((size + target) % std::int64_t{kSectorSize} != 0)
            target = last;
    } else {
        const std::int64_t needed = std::int64_t{kSectorSize} * (std::int64_t{tables.highestUsed} + 2);
        while (size + target + grid.step >= needed &&
            Place(grid, tables, done, shift, grid.bytes.size(), target + grid.step, nullptr))
            target += grid.step;
    }
    return target;
}

// Whether every copy of the workbook in `bytes` reads record by record: the one readers take is
// checked as the file opens; a BIFF5 copy beside it is read here.
bool EveryCopyReads(const Bytes& bytes)
{
    static constexpr std::u16string_view kBook[] = {u"Book"};
    ByteViewFile file(bytes);
    const std::optional<std::vector<StreamLayout>> streams = MapCompoundStreams(file);
    const auto named = [&](std::u16string_view name) {
        return streams && std::any_of(streams->begin(), streams->end(), [name](const StreamLayout& stream) {
                   return stream.path.size() == 1 && EqualIgnoringAsciiCase(stream.path.front(), name);
               });
    };
    if (!named(u"Workbook") || !named(kBook[0]))
        return true;
    const std::optional<Bytes> book = ReadRootStream(file, kBook);
    return !book || !FirstRecordDamage(*book);
}

// Which of the places in other streams' sectors held the clusters, no record of the stream
// walked says: each way of taking the open choices is built in turn, the places no choice holds
// with them, and the first that makes the whole file open, every copy of the workbook in it
// read whole, stands (a few dozen tried at most).
class ClusterWays {
public:
    ClusterWays(const Grid& grid, const std::vector<OpenChoice>& choices, const std::vector<std::uint64_t>& acted,
                std::int64_t shift)
        : grid_(grid)
        , choices_(choices)
        , shift_(shift)
    {
        for (std::uint64_t at : acted) {
            const bool open = std::any_of(choices.begin(), choices.end(), [at](const OpenChoice& choice) {
                return std::find(choice.places.begin(), choice.places.end(), at) != choice.places.end();
            });
            if (!open)
                fixed_.push_back(at);
        }
    }

    // The first way, from choice `choice` on (those before it taken as `picked_`), that opens.
    std::optional<Bytes> TryFrom(std::size_t choice)
    {
        if (choice == choices_.size()) {
            if (++tries_ > kMostTries)
                return std::nullopt;
            std::vector<std::uint64_t> acted = fixed_;
            acted.insert(acted.end(), picked_.begin(), picked_.end());
            std::optional<Bytes> bytes = Build(grid_, acted, shift_);
            return bytes && Opens(*bytes) && EveryCopyReads(*bytes) ? bytes : std::nullopt;
        }
        const OpenChoice& open = choices_[choice];
        std::optional<Bytes> found;
        ForEachChoice(open.places.size(), open.acting, [&](const std::vector<std::size_t>& index) {
            const std::size_t before = picked_.size();
            for (std::size_t k : index)
                picked_.push_back(open.places[k]);
            found = TryFrom(choice + 1);
            picked_.resize(before);
            return !found && tries_ <= kMostTries;
        });
        return found;
    }

private:
    static constexpr int kMostTries = 48;

    const Grid& grid_;
    const std::vector<OpenChoice>& choices_;
    const std::int64_t shift_;
    std::vector<std::uint64_t> fixed_;  // the places no choice holds
    std::vector<std::uint64_t> picked_;
    int tries_ = 0;
};

// The cell whose header lies at `header` in the bytes as found made filler, its record's length
// kept: readers skip it, and every record after it stays where it is.
void FillerAt(const Grid& grid, const std::vector<std::uint64_t>& acted, Bytes& original, std::uint64_t header)
{
    // Where that header lies in the original: each place before it moved it by a step.
    const auto before = static_cast<std::int64_t>(
        std::upper_bound(acted.begin(), acted.end(), grid.move == Move::LostCr ? header : header - kClusterSize) -
        acted.begin());
    const std::int64_t at = static_cast<std::int64_t>(header) + before * grid.step;
    if (at >= 0 && static_cast<std::uint64_t>(at) + 2 <= original.size())
        StoreLe16(original.data() + at, biff::kFillerRecord);
}

// The shared-string cells that show a doubtful string: those of the stream as built, in order,
// are those the walk took (`cells`, by their headers as found). Nothing where they differ.
std::optional<std::vector<std::uint64_t>> CellsShowingDoubt(
    const Bytes& original, const std::vector<std::uint64_t>& cells, const std::vector<std::uint32_t>& doubtfulStrings)
{
    ByteViewFile file(original);
    const std::optional<Bytes> stream = ReadWorkbookStream(file);
    if (!stream)
        return std::nullopt;
    std::vector<std::uint64_t> doubtful;
    std::size_t k = 0;
    for (const BiffRecord& record : ListRecords(*stream)) {
        if (record.type != biff::kLabelSst)
            continue;
        if (k >= cells.size())
            return std::nullopt;
        if (record.length >= 10 &&
            std::binary_search(doubtfulStrings.begin(), doubtfulStrings.end(), LoadLe32(stream->data() + record.offset + 10)))
            doubtful.push_back(cells[k]);
        ++k;
    }
    if (k != cells.size())
        return std::nullopt;
    return doubtful;
}

// Makes the cells left out filler: those no reading proved, and those that show a doubtful
// string. How many of the second kind, or nothing where they cannot be told.
std::optional<std::uint32_t> LeaveOut(const Grid& grid, const std::vector<std::uint64_t>& acted, const WalkedRecords& walked,
                                      const std::vector<std::uint32_t>& doubtfulStrings, Bytes& original)
{
    std::uint32_t textsLeftOut = 0;
    if (!doubtfulStrings.empty()) {
        const std::optional<std::vector<std::uint64_t>> doubtful =
            CellsShowingDoubt(original, walked.sharedStringCells, doubtfulStrings);
        if (!doubtful || walked.leftOut.size() + doubtful->size() > kMostLeftOut)
            return std::nullopt;
        for (const std::uint64_t header : *doubtful)
            FillerAt(grid, acted, original, header);
        textsLeftOut = static_cast<std::uint32_t>(doubtful->size());
    }
    for (const std::uint64_t header : walked.leftOut)
        FillerAt(grid, acted, original, header);
    return textsLeftOut;
}

// The places the steps after the tables decide: the workbook stream's records, the rest of the
// bytes to the end under `target` (its open choices, where clusters went, in `open`), the string
// table's choices, and the other streams'. Nothing where one is not proved.
std::optional<WalkedRecords> DecidePlaces(const Grid& grid, const Tables& tables, const StreamChain& chain,
                                          std::int64_t& target, std::vector<OpenChoice>& open,
                                          std::vector<std::uint32_t>& doubtfulStrings)
{
    std::optional<WalkedRecords> walked = WalkedRecords();
    if (!chain.units.empty())
        walked = WalkRecords(grid, tables, chain);
    if (!walked)
        return std::nullopt;
    target = ShiftAtEnd(grid, tables, walked->done, walked->shift);
    std::vector<std::uint64_t>& acted = walked->acted;
    if (!Place(grid, tables, walked->done, walked->shift, grid.bytes.size(), target, &acted,
               grid.move == Move::ForeignCluster ? &open : nullptr))
        return std::nullopt;
    open.insert(open.begin(), walked->choicesBefore.begin(), walked->choicesBefore.end());
    std::sort(acted.begin(), acted.end());
    acted.erase(std::unique(acted.begin(), acted.end()), acted.end());
    if (!walked->stringChoices.empty()) {
        std::optional<SettledStrings> settled = SettleStringChoices(grid, acted, walked->stringChoices, target);
        if (!settled)
            return std::nullopt;
        acted = std::move(settled->acted);
        doubtfulStrings = std::move(settled->doubtful);
    }
    ChooseByStreams(grid, tables.fixed, acted);
    return walked;
}

}  // namespace

std::optional<Bytes> Build(const Grid& grid, const std::vector<std::uint64_t>& places, std::int64_t shift)
{
    const auto b = grid.bytes;
    std::vector<std::uint64_t> acted = places;
    std::sort(acted.begin(), acted.end());
    acted.erase(std::unique(acted.begin(), acted.end()), acted.end());
    Bytes original;
    original.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, static_cast<std::int64_t>(b.size()) + shift)));
    std::uint64_t from = 0;
    for (std::uint64_t at : acted) {
        if (at < from || at > b.size())
            return std::nullopt;
        original.insert(original.end(), b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(at));
        if (grid.move == Move::LostCr) {
            original.push_back(kCr);
            from = at;
        } else {
            from = at + kClusterSize;
        }
    }
    original.insert(original.end(), b.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(from, b.size())), b.end());
    return original;
}

bool Opens(std::span<const std::uint8_t> bytes)
{
    ByteViewFile file(bytes);
    return VerifyWorkbook(file).Opens();
}

bool SignatureAt(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return bytes.size() >= at + kHeaderSignature.size() &&
           std::equal(kHeaderSignature.begin(), kHeaderSignature.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

std::optional<GridResult> PutBackOnGrid(std::span<const std::uint8_t> bytes, Move move, bool onlyMoved)
{
    if (bytes.size() < 2 * kSectorSize || !SignatureAt(bytes, 0))
        return std::nullopt;
    const Grid grid(bytes, move);
    const std::optional<Tables> tables = LocateTables(grid);
    if (!tables)
        return std::nullopt;
    // Clusters put in lengthen the file past all the table uses, by a cluster each: a file no
    // longer than that holds none, and its stream need not be walked to say so.
    if (move == Move::ForeignCluster && bytes.size() < kSectorSize * (std::uint64_t{tables->highestUsed} + 2) + kClusterSize)
        return std::nullopt;
    const std::optional<StreamChain> chain = ReadWorkbookChain(grid, *tables);
    if (!chain)
        return std::nullopt;
    std::int64_t target = 0;
    std::vector<OpenChoice> open;
    std::vector<std::uint32_t> doubtfulStrings;
    const std::optional<WalkedRecords> walked = DecidePlaces(grid, *tables, *chain, target, open, doubtfulStrings);
    if (!walked || (onlyMoved && walked->acted.empty()))
        return std::nullopt;  // (no copy of a large file made to be thrown away)
    const std::vector<std::uint64_t>& acted = walked->acted;
    std::optional<Bytes> original;
    if (!open.empty())
        original = ClusterWays(grid, open, acted, target).TryFrom(0);
    if (!original)
        original = Build(grid, acted, target);
    if (!original)
        return std::nullopt;
    const std::optional<std::uint32_t> textsLeftOut = LeaveOut(grid, acted, *walked, doubtfulStrings, *original);
    if (!textsLeftOut)
        return std::nullopt;
    return GridResult{std::move(*original), acted.size(), static_cast<std::uint32_t>(walked->leftOut.size()) + *textsLeftOut};
}

}  // namespace tabulon::realigning
