#include "engine/repair/rebuild/rebuild.h"

#include <algorithm>
#include <cstring>

#include "engine/base/bit_set.h"
#include "engine/base/byte_order.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/directory_entry.h"
#include "engine/cfb/sector_probes.h"

namespace tabulon {
namespace {

using Table = std::vector<std::uint32_t>;

// Limits that keep what the rebuild holds and does independent of what the sectors look
// like. No workbook a spreadsheet program writes comes near any of them.
constexpr std::size_t kMaxRivalsPerPosition = 8;
constexpr std::size_t kMaxMarkOnlyCandidates = 1024;
constexpr std::size_t kMaxRoots = 4096;
constexpr std::size_t kMaxOrders = 16;
constexpr std::size_t kDirectoriesCompletedPerTable = 3;
constexpr std::uint32_t kMaxDirectorySectors = 1u << 16;  // 262,144 entries
constexpr std::uint32_t kMaxMiniTableSectors = 1u << 13;  // a 64 MiB mini stream
constexpr std::uint64_t kMiniTableReadBudget = 1u << 18;

// A table position no sector's content settles, in an order still to be completed.
constexpr std::uint32_t kUnplaced = kFreeSector;

bool IsSpecial(std::uint32_t value)
{
    return value >= kFirstSpecialValue;
}

struct Stream {
    std::uint32_t start;
    std::uint32_t size;
};

struct Directory {
    std::vector<std::uint32_t> chain;
    std::uint32_t rootStart = kEndOfChain;
    std::uint32_t rootSize = 0;
    std::vector<Stream> streams;  // reachable streams
    int fittingStreams = 0;       // regular streams whose chain holds their size
    int regularStreams = 0;
};

struct Layout {
    std::vector<std::uint32_t> tableSectors;
    std::uint32_t directoryStart = kEndOfChain;
    bool complete = false;  // every stream, regular and small, fits its chain
    int fittingStreams = 0;
    std::uint32_t miniFatStart = kEndOfChain;
    std::uint32_t miniFatCount = 0;
    std::uint32_t difatStart = kEndOfChain;
    std::uint32_t difatCount = 0;
    HeaderBytes header{};
};

class DeepRebuilder {
public:
    explicit DeepRebuilder(std::uint64_t length)
        : usable_(length > kSectorSize && length <= kMaxFileLength),
          // Sectors that begin in the file; a partial last one reads padded with zeros.
          sectorCount_(usable_ ? static_cast<std::uint32_t>((length - 1) / kSectorSize) : 0),
          wholeSectors_(usable_ ? static_cast<std::uint32_t>(length / kSectorSize - 1) : 0),
          positionsNeeded_(static_cast<std::uint32_t>((sectorCount_ + kEntriesPerFatSector - 1) / kEntriesPerFatSector)),
          candidates_(sectorCount_),
          rivals_(positionsNeeded_)
    {
    }

    // The sectors the caller's pass does not see: a partial last one.
    void ExamineRest(SectorFile& file)
    {
        file_ = &file;
        for (std::uint32_t index = wholeSectors_; index < sectorCount_; ++index)
            Examine(index, ReadSector(index));
    }

    // One sector of the file: can it be an allocation-table sector (every entry inside the
    // file or a marker, no target twice), and which table position does it suggest? Does it
    // start a directory?
    void Examine(std::uint32_t index, SectorView sector)
    {
        if (sector[kEntryObjectTypeOffset] == kObjectTypeRootStorage && IsDirectorySector(sector) &&
            roots_.size() < kMaxRoots)
            roots_.push_back(index);
        // A sector of free entries only could be a table sector of an unused region, and
        // says nothing more: such sectors fill whole files of 0xFF.
        static const SectorBytes kAllFree = [] {
            SectorBytes bytes;
            bytes.fill(0xFF);
            return bytes;
        }();
        if (std::memcmp(sector.data(), kAllFree.data(), kSectorSize) == 0) {
            candidates_.Set(index);
            return;
        }
        // Most sectors are data and fail at their first entries.
        for (std::size_t j = 0; j < kEntriesPerFatSector; ++j) {
            const std::uint32_t value = LoadLe32(sector.data() + 4 * j);
            if (!IsSpecial(value) && value >= sectorCount_)
                return;
        }
        std::array<std::uint32_t, kEntriesPerFatSector> targets;
        std::size_t targetCount = 0;
        // Entry j of table sector p usually continues a chain into sector 128p + j + 1.
        std::array<std::uint32_t, kEntriesPerFatSector> votedPositions;
        std::size_t voteCount = 0;
        bool marksTable = false;
        for (std::size_t j = 0; j < kEntriesPerFatSector; ++j) {
            const std::uint32_t value = LoadLe32(sector.data() + 4 * j);
            marksTable = marksTable || value == kFatSector;
            if (IsSpecial(value))
                continue;
            targets[targetCount++] = value;
            if (value > j && (value - j - 1) % kEntriesPerFatSector == 0)
                votedPositions[voteCount++] = static_cast<std::uint32_t>((value - j - 1) / kEntriesPerFatSector);
        }
        const auto end = targets.begin() + static_cast<std::ptrdiff_t>(targetCount);
        std::sort(targets.begin(), end);
        if (std::adjacent_find(targets.begin(), end) != end)
            return;
        candidates_.Set(index);
        if (voteCount > 0) {
            const auto votesEnd = votedPositions.begin() + static_cast<std::ptrdiff_t>(voteCount);
            std::sort(votedPositions.begin(), votesEnd);
            std::uint32_t best = votedPositions[0];
            std::size_t bestRun = 0;
            for (auto run = votedPositions.begin(); run != votesEnd;) {
                const auto next = std::upper_bound(run, votesEnd, *run);
                if (static_cast<std::size_t>(next - run) > bestRun) {
                    bestRun = static_cast<std::size_t>(next - run);
                    best = *run;
                }
                run = next;
            }
            AddRival(best, index);
        } else if (marksTable && markOnly_.size() < kMaxMarkOnlyCandidates) {
            markOnly_.push_back(index);
        }
    }

    std::vector<HeaderBytes> Rebuild(SectorFile& file, const HeaderBytes* evidence)
    {
        file_ = &file;
        evidence_ = evidence;
        if (!usable_ || roots_.empty())
            return {};
        PlaceMarkOnlyCandidates();
        KeepMarkedRivals();
        settled_ = positionsNeeded_;
        while (settled_ > 0 && rivals_[settled_ - 1].empty())
            --settled_;

        std::vector<Layout> layouts;
        for (const std::vector<std::uint32_t>& order : Orders())
            Evaluate(order, layouts);
        // Complete layouts first, the most recently written first among them; then the ones
        // in which the most streams fit.
        std::stable_sort(layouts.begin(), layouts.end(), [](const Layout& a, const Layout& b) {
            if (a.complete != b.complete)
                return a.complete;
            if (!a.complete && a.fittingStreams != b.fittingStreams)
                return a.fittingStreams > b.fittingStreams;
            return HeaderRecency(a.header) > HeaderRecency(b.header);
        });
        std::vector<HeaderBytes> headers;
        for (const Layout& layout : layouts) {
            if (headers.size() < kMaxDeepCandidates &&
                std::find(headers.begin(), headers.end(), layout.header) == headers.end())
                headers.push_back(layout.header);
        }
        return headers;
    }

private:
    SectorBytes ReadSector(std::uint32_t index) { return tabulon::ReadSector(*file_, index); }

    void AddRival(std::uint32_t position, std::uint32_t sector)
    {
        std::vector<std::uint32_t>& rivals = rivals_[position];
        if (std::find(rivals.begin(), rivals.end(), sector) != rivals.end())
            return;
        if (rivals.size() < kMaxRivalsPerPosition)
            rivals.push_back(sector);
        else
            rivals.back() = sector;  // keep the latest: the most recently written copy
    }

    // A table sector whose entries continue no chain (a region of single sectors and
    // markers) may still name its position: each FATSECT mark at entry e says that sector
    // 128p + e is a table sector. A sector that marks itself describes its own region, which
    // settles p; otherwise the first positions whose marks all land on candidates are tried.
    void PlaceMarkOnlyCandidates()
    {
        for (const std::uint32_t sector : markOnly_) {
            const SectorBytes bytes = ReadSector(sector);
            if (LoadLe32(bytes.data() + 4 * (sector % kEntriesPerFatSector)) == kFatSector) {
                AddRival(static_cast<std::uint32_t>(sector / kEntriesPerFatSector), sector);
                continue;
            }
            std::vector<std::uint32_t> marks;
            for (std::uint32_t e = 0; e < kEntriesPerFatSector; ++e) {
                if (LoadLe32(bytes.data() + 4 * e) == kFatSector)
                    marks.push_back(e);
            }
            int placed = 0;
            for (std::uint32_t p = 0; p < positionsNeeded_ && placed < 2; ++p) {
                const bool fits = std::all_of(marks.begin(), marks.end(), [&](std::uint32_t e) {
                    const std::uint64_t marked = std::uint64_t{p} * kEntriesPerFatSector + e;
                    return marked < sectorCount_ && candidates_.Test(static_cast<std::uint32_t>(marked));
                });
                if (fits) {
                    AddRival(p, sector);
                    ++placed;
                }
            }
        }
    }

    // Of rival sectors for one position, those that some rival marks as a table sector are
    // the table's; the others (a mini table, a table-shaped data sector) drop out. A writer
    // that marks nothing keeps every rival.
    void KeepMarkedRivals()
    {
        BitSet marked(sectorCount_);
        bool anyMarked = false;
        for (std::uint32_t p = 0; p < positionsNeeded_; ++p) {
            for (const std::uint32_t sector : rivals_[p]) {
                const SectorBytes bytes = ReadSector(sector);
                for (std::uint32_t e = 0; e < kEntriesPerFatSector; ++e) {
                    const std::uint64_t target = std::uint64_t{p} * kEntriesPerFatSector + e;
                    if (target < sectorCount_ && LoadLe32(bytes.data() + 4 * e) == kFatSector) {
                        marked.Set(static_cast<std::uint32_t>(target));
                        anyMarked = true;
                    }
                }
            }
        }
        if (!anyMarked)
            return;
        for (std::vector<std::uint32_t>& rivals : rivals_) {
            if (std::any_of(rivals.begin(), rivals.end(), [&](std::uint32_t s) { return marked.Test(s); }))
                std::erase_if(rivals, [&](std::uint32_t s) { return !marked.Test(s); });
        }
    }

    // The table built from `order`, as far as it describes sectors of the file; an unplaced
    // position reads as free entries.
    Table BuildTable(const std::vector<std::uint32_t>& order)
    {
        const std::size_t used = std::min<std::size_t>(order.size(), positionsNeeded_);
        Table table;
        table.reserve(used * kEntriesPerFatSector);
        for (std::size_t p = 0; p < used; ++p) {
            if (order[p] == kUnplaced) {
                table.insert(table.end(), kEntriesPerFatSector, kFreeSector);
                continue;
            }
            const SectorBytes bytes = ReadSector(order[p]);
            for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
                table.push_back(LoadLe32(bytes.data() + 4 * j));
        }
        return table;
    }

    // Orders of candidate sectors to try as the allocation table: the damaged header's own
    // list; the order the sectors' content suggests, forked where rival copies remain; the
    // sectors each of those marks as the table's own; for writers that do not mark their
    // table, the candidates in ascending order, as many as the file needs; and last, where
    // the content leaves positions open, the order the DIFAT chain lists.
    std::vector<std::vector<std::uint32_t>> Orders()
    {
        std::vector<std::vector<std::uint32_t>> orders;
        auto add = [&orders](std::vector<std::uint32_t> order) {
            if (!order.empty() && std::find(orders.begin(), orders.end(), order) == orders.end())
                orders.push_back(std::move(order));
        };
        if (evidence_)
            add(EvidenceOrder());
        std::vector<std::vector<std::uint32_t>> prefixes, byDifat, whole;
        for (std::vector<std::uint32_t> byContent : ContentOrders()) {
            const auto open = std::find(byContent.begin(), byContent.end(), kUnplaced);
            if (open == byContent.end()) {
                add(MarkedFixpoint(byContent));
                add(std::move(byContent));
                continue;
            }
            // The placed positions before the first open one, as far as the content goes on
            // its own (rival copies after the open position share them).
            std::vector<std::uint32_t> prefix(byContent.begin(), open);
            if (std::find(prefixes.begin(), prefixes.end(), prefix) == prefixes.end()) {
                add(MarkedFixpoint(prefix));
                prefixes.push_back(std::move(prefix));
            }
            byDifat.push_back(DifatOrder(byContent));
            // And the whole order, its open positions free: where a table sector was lost, the
            // salvage infers the links it held, and needs every other one in its place.
            whole.push_back(std::move(byContent));
        }
        std::vector<std::uint32_t> ascending;
        for (std::uint32_t s = 0; s < sectorCount_ && ascending.size() < positionsNeeded_; ++s) {
            if (candidates_.Test(s))
                ascending.push_back(s);
        }
        add(MarkedFixpoint(ascending));
        add(std::move(ascending));
        for (std::vector<std::uint32_t>& order : byDifat)
            add(std::move(order));
        for (std::vector<std::uint32_t>& order : whole)
            add(std::move(order));
        return orders;
    }

    // The table sectors the damaged header still lists, when each of them can be one.
    std::vector<std::uint32_t> EvidenceOrder() const
    {
        std::vector<std::uint32_t> order;
        for (std::size_t k = 0; k < kHeaderDifatEntries; ++k) {
            const std::uint32_t sector = LoadLe32(evidence_->data() + kHeaderDifatOffset + 4 * k);
            if (sector == kFreeSector)
                break;
            if (sector >= sectorCount_ || !candidates_.Test(sector) ||
                std::find(order.begin(), order.end(), sector) != order.end())
                return {};
            order.push_back(sector);
        }
        return order;
    }

    // The orders the sectors' content suggests, as far as the last position it settles;
    // positions before that which it leaves open (a run of sectors that mark nothing but
    // table sectors all look alike) stay unplaced.
    std::vector<std::vector<std::uint32_t>> ContentOrders() const
    {
        if (positionsNeeded_ == 0 || rivals_[0].empty())
            return {};
        std::vector<std::vector<std::uint32_t>> orders(1);
        for (std::uint32_t p = 0; p < settled_; ++p) {
            const std::vector<std::uint32_t>& rivals = rivals_[p];
            if (rivals.empty()) {
                for (auto& order : orders)
                    order.push_back(kUnplaced);
            } else if (rivals.size() > 1 && orders.size() * rivals.size() <= kMaxOrders) {
                std::vector<std::vector<std::uint32_t>> forked;
                for (const auto& order : orders) {
                    for (const std::uint32_t rival : rivals) {
                        forked.push_back(order);
                        forked.back().push_back(rival);
                    }
                }
                orders = std::move(forked);
            } else {
                const std::uint32_t latest = *std::max_element(rivals.begin(), rivals.end());
                for (auto& order : orders)
                    order.push_back(latest);
            }
        }
        return orders;
    }

    // The table sectors past the header's 109 are listed, in order, by the DIFAT chain, which
    // the table marks: `order` with its first 109 positions, then as the chain lists them.
    // Nothing when the first 109 are not all placed or the chain names a sector that cannot
    // be a table sector.
    std::vector<std::uint32_t> DifatOrder(const std::vector<std::uint32_t>& order)
    {
        if (order.size() <= kHeaderDifatEntries ||
            std::find(order.begin(), order.begin() + kHeaderDifatEntries, kUnplaced) != order.begin() + kHeaderDifatEntries)
            return {};
        const auto difat = FindDifat(BuildTable(order));
        if (!difat)
            return {};
        std::vector<std::uint32_t> listed(order.begin(), order.begin() + kHeaderDifatEntries);
        std::uint32_t sector = difat->first;
        for (std::uint32_t k = 0; k < difat->second && !IsSpecial(sector); ++k) {
            if (sector >= sectorCount_)
                return {};
            const SectorBytes bytes = ReadSector(sector);
            for (std::size_t j = 0; j < kDifatEntriesPerSector; ++j) {
                const std::uint32_t listedSector = LoadLe32(bytes.data() + 4 * j);
                if (listedSector == kFreeSector)
                    continue;
                // No sector is listed twice, so no list is longer than the file.
                if (listedSector >= sectorCount_ || !candidates_.Test(listedSector) || listed.size() >= sectorCount_)
                    return {};
                listed.push_back(listedSector);
            }
            sector = LoadLe32(bytes.data() + 4 * kDifatEntriesPerSector);
        }
        return listed;
    }

    // Repeats: build the table from `order`, take the sectors it marks as table sectors.
    std::vector<std::uint32_t> MarkedFixpoint(std::vector<std::uint32_t> order)
    {
        for (int round = 0; round < 4; ++round) {
            const Table table = BuildTable(order);
            std::vector<std::uint32_t> marked;
            for (std::uint32_t s = 0; s < table.size() && s < sectorCount_; ++s) {
                if (table[s] == kFatSector && candidates_.Test(s))
                    marked.push_back(s);
            }
            if (marked == order || marked.empty())
                return marked;
            order = std::move(marked);
        }
        return {};
    }

    // A chain through `table` from `start`, or nothing when it leaves the range, loops or
    // grows past `maxLength`.
    static std::optional<std::vector<std::uint32_t>> Walk(const Table& table, std::uint32_t start, std::uint32_t limit,
                                                          std::uint32_t maxLength)
    {
        std::vector<std::uint32_t> chain;
        std::uint32_t sector = start;
        while (sector != kEndOfChain) {
            if (sector >= limit || sector >= table.size() || chain.size() >= maxLength)
                return std::nullopt;
            chain.push_back(sector);
            sector = table[sector];
        }
        return chain;
    }

    // Whether the chain from `start` ends properly and holds `size` bytes; every step is
    // charged to `budget`, and an exhausted budget answers no.
    static bool ChainFits(const Table& table, std::uint32_t start, std::uint32_t size, std::uint32_t unit,
                          std::uint32_t limit, std::uint64_t& budget)
    {
        std::uint64_t length = 0;
        std::uint32_t sector = start;
        while (sector != kEndOfChain) {
            if (sector >= limit || sector >= table.size() || length >= limit || budget == 0)
                return false;
            --budget;
            ++length;
            sector = table[sector];
        }
        return length >= (static_cast<std::uint64_t>(size) + unit - 1) / unit;
    }

    // The directory whose chain starts at `head`: a root entry first, then a tree of entries
    // read as they are reached.
    std::optional<Directory> ReadDirectory(const Table& table, std::uint32_t head)
    {
        const auto chain = Walk(table, head, sectorCount_, kMaxDirectorySectors);
        if (!chain || chain->empty())
            return std::nullopt;
        Directory directory;
        directory.chain = *chain;
        std::uint32_t cachedIndex = kFreeSector;
        SectorBytes cached{};
        auto entry = [&](std::uint32_t index) -> const std::uint8_t* {
            const std::uint32_t sector = directory.chain[index / kDirectoryEntriesPerSector];
            if (sector != cachedIndex) {
                cached = ReadSector(sector);
                cachedIndex = sector;
            }
            return cached.data() + (index % kDirectoryEntriesPerSector) * kDirectoryEntrySize;
        };
        const DirectoryEntry root = *ReadDirectoryEntry(entry(0), EntryReading::Lenient);
        if (root.type != kObjectTypeRootStorage)
            return std::nullopt;
        directory.rootStart = root.start;
        directory.rootSize = static_cast<std::uint32_t>(root.size);
        const auto entryCount = static_cast<std::uint32_t>(directory.chain.size() * kDirectoryEntriesPerSector);
        BitSet seen(entryCount);
        seen.Set(0);
        std::vector<std::uint32_t> pending = {root.child};
        while (!pending.empty()) {
            const std::uint32_t index = pending.back();
            pending.pop_back();
            if (index == kNoStream)
                continue;
            if (index >= entryCount || seen.Test(index))
                return std::nullopt;
            seen.Set(index);
            const DirectoryEntry read = *ReadDirectoryEntry(entry(index), EntryReading::Lenient);
            if (read.type == kObjectTypeStream)
                directory.streams.push_back({read.start, static_cast<std::uint32_t>(read.size)});
            pending.insert(pending.end(), {read.left, read.right, read.child});
        }
        std::uint64_t budget = 4 * std::uint64_t{sectorCount_} + (1u << 20);
        for (const Stream& stream : directory.streams) {
            if (stream.size < kMiniStreamCutoff)
                continue;
            ++directory.regularStreams;
            if (ChainFits(table, stream.start, stream.size, kSectorSize, sectorCount_, budget))
                ++directory.fittingStreams;
        }
        return directory;
    }

    void Evaluate(const std::vector<std::uint32_t>& order, std::vector<Layout>& layouts)
    {
        Table table = BuildTable(order);
        // A tool may leave sectors after the last one the table describes: those are free,
        // when the table reaches as far as the sectors' content places table sectors and
        // every stream fits in what it describes (a cut file's streams run past it).
        const bool endsEarly = table.size() < sectorCount_;
        if (endsEarly) {
            if (order.size() < settled_)
                return;
            table.resize(sectorCount_, kFreeSector);
        }

        BitSet referenced(sectorCount_);
        for (std::uint32_t s = 0; s < sectorCount_; ++s) {
            if (!IsSpecial(table[s]) && table[s] < sectorCount_)
                referenced.Set(table[s]);
        }

        // The directories: unreferenced chains whose first entry is a root; the ones with the
        // most regular streams that fit their chains are completed.
        std::vector<Directory> directories;
        for (const std::uint32_t head : roots_) {
            if (referenced.Test(head))
                continue;
            if (std::optional<Directory> directory = ReadDirectory(table, head))
                directories.push_back(std::move(*directory));
        }
        std::stable_sort(directories.begin(), directories.end(), [](const Directory& a, const Directory& b) {
            return a.fittingStreams > b.fittingStreams;
        });
        if (directories.size() > kDirectoriesCompletedPerTable)
            directories.resize(kDirectoriesCompletedPerTable);

        std::optional<std::pair<std::uint32_t, std::uint32_t>> difat{{kEndOfChain, 0}};
        if (order.size() > kHeaderDifatEntries)
            difat = FindDifat(table);
        if (!difat)
            return;
        for (const Directory& directory : directories) {
            const std::optional<MiniTable> mini = FindMiniTable(table, referenced, directory);
            if (!mini)
                continue;
            Layout layout;
            layout.tableSectors = order;
            layout.directoryStart = directory.chain.front();
            layout.fittingStreams = directory.fittingStreams;
            layout.complete = directory.fittingStreams == directory.regularStreams && mini->fitsAll;
            if (endsEarly && !layout.complete)
                continue;
            layout.miniFatStart = mini->start;
            layout.miniFatCount = mini->count;
            layout.difatStart = difat->first;
            layout.difatCount = difat->second;
            layout.header = HeaderFor(layout);
            layouts.push_back(std::move(layout));
        }
    }

    struct MiniTable {
        std::uint32_t start = kEndOfChain;
        std::uint32_t count = 0;
        bool fitsAll = true;
    };

    // The mini allocation table: an unreferenced chain, neither the directory nor a stream,
    // that makes the small streams' chains valid; none when the mini stream is empty. The
    // damaged header's own location is tried first.
    std::optional<MiniTable> FindMiniTable(const Table& table, const BitSet& referenced, const Directory& directory)
    {
        std::vector<Stream> small;
        for (const Stream& stream : directory.streams) {
            if (stream.size > 0 && stream.size < kMiniStreamCutoff)
                small.push_back(stream);
        }
        if (directory.rootSize == 0 || directory.rootStart == kEndOfChain) {
            if (small.empty())
                return MiniTable{};
            return std::nullopt;
        }

        std::vector<std::uint32_t> excluded(directory.chain);
        for (const Stream& stream : directory.streams) {
            if (stream.size >= kMiniStreamCutoff)
                excluded.push_back(stream.start);
        }
        excluded.push_back(directory.rootStart);
        std::sort(excluded.begin(), excluded.end());
        const auto miniSectors = static_cast<std::uint32_t>(
            (static_cast<std::uint64_t>(directory.rootSize) + kMiniSectorSize - 1) / kMiniSectorSize);
        // A mini table needs no more sectors than the mini stream has mini sectors.
        const std::uint32_t maxLength = std::min(miniSectors / static_cast<std::uint32_t>(kEntriesPerFatSector) + 1,
                                                 kMaxMiniTableSectors);
        std::uint64_t reads = kMiniTableReadBudget;
        std::uint64_t budget = 4 * std::uint64_t{sectorCount_} + (1u << 20);

        // The mini table starting at `head`, when it fits.
        auto tryHead = [&](std::uint32_t head) -> std::optional<MiniTable> {
            if (head >= sectorCount_ || referenced.Test(head) || std::binary_search(excluded.begin(), excluded.end(), head) ||
                (IsSpecial(table[head]) && table[head] != kEndOfChain) || reads == 0)
                return std::nullopt;
            // A mini table's entries are mini sector indices or markers.
            SectorBytes first = ReadSector(head);
            --reads;
            for (std::size_t j = 0; j < kEntriesPerFatSector; ++j) {
                const std::uint32_t value = LoadLe32(first.data() + 4 * j);
                if (!IsSpecial(value) && value >= miniSectors)
                    return std::nullopt;
            }
            const auto chain = Walk(table, head, sectorCount_, maxLength);
            if (!chain || chain->size() > reads)
                return std::nullopt;
            Table miniTable;
            miniTable.reserve(chain->size() * kEntriesPerFatSector);
            for (const std::uint32_t s : *chain) {
                const SectorBytes bytes = s == head ? first : ReadSector(s);
                for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
                    miniTable.push_back(LoadLe32(bytes.data() + 4 * j));
            }
            reads -= chain->size() - 1;
            const bool fits = std::all_of(small.begin(), small.end(), [&](const Stream& stream) {
                return ChainFits(miniTable, stream.start, stream.size, kMiniSectorSize, miniSectors, budget);
            });
            if (!fits)
                return std::nullopt;
            return MiniTable{head, static_cast<std::uint32_t>(chain->size()), true};
        };

        if (evidence_) {
            if (auto found = tryHead(LoadLe32(evidence_->data() + kFirstMiniFatSectorOffset)))
                return found;
        }
        for (std::uint32_t head = 0; head < sectorCount_ && reads > 0; ++head) {
            if (auto found = tryHead(head))
                return found;
        }
        if (small.empty())
            return MiniTable{};
        // The small streams fit no chain: the best this table can do, still worth a check.
        return MiniTable{kEndOfChain, 0, false};
    }

    // DIFAT sectors, marked as such by the table, in chain order: where the list of table
    // sectors goes on after the header's 109.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> FindDifat(const Table& table)
    {
        std::vector<std::uint32_t> difat;
        const auto described = static_cast<std::uint32_t>(std::min<std::size_t>(table.size(), sectorCount_));
        for (std::uint32_t s = 0; s < described; ++s) {
            if (table[s] == kDifatSector)
                difat.push_back(s);
        }
        if (difat.empty())
            return std::nullopt;
        std::vector<std::uint8_t> pointedTo(difat.size(), 0);
        for (std::size_t i = 0; i < difat.size(); ++i) {
            const std::uint32_t next = LoadLe32(ReadSector(difat[i]).data() + 4 * kDifatEntriesPerSector);
            const auto target = std::lower_bound(difat.begin(), difat.end(), next);
            if (target != difat.end() && *target == next)
                pointedTo[static_cast<std::size_t>(target - difat.begin())] = 1;
        }
        const auto head = std::find(pointedTo.begin(), pointedTo.end(), 0);
        if (head == pointedTo.end())
            return std::nullopt;
        return std::pair{difat[static_cast<std::size_t>(head - pointedTo.begin())], static_cast<std::uint32_t>(difat.size())};
    }

    static HeaderBytes HeaderFor(const Layout& layout)
    {
        HeaderLayout fields;
        fields.numFatSectors = static_cast<std::uint32_t>(layout.tableSectors.size());
        fields.firstDirectorySector = layout.directoryStart;
        fields.firstMiniFatSector = layout.miniFatStart;
        fields.numMiniFatSectors = layout.miniFatCount;
        fields.firstDifatSector = layout.difatStart;
        fields.numDifatSectors = layout.difatCount;
        std::copy_n(layout.tableSectors.begin(), std::min(layout.tableSectors.size(), fields.headerDifat.size()),
                    fields.headerDifat.begin());
        return MakeHeader(fields);
    }

    SectorFile* file_ = nullptr;
    const HeaderBytes* evidence_ = nullptr;
    bool usable_;
    std::uint32_t sectorCount_;
    std::uint32_t wholeSectors_;
    std::uint32_t positionsNeeded_;
    BitSet candidates_;
    std::vector<std::vector<std::uint32_t>> rivals_;  // by table position
    std::uint32_t settled_ = 0;                       // positions up to the last with a rival
    std::vector<std::uint32_t> markOnly_;
    std::vector<std::uint32_t> roots_;
};

}  // namespace

struct DeepRebuildCollector::Collected {
    explicit Collected(std::uint64_t length) : rebuilder(length) {}
    DeepRebuilder rebuilder;
};

DeepRebuildCollector::DeepRebuildCollector(std::uint64_t fileLength)
    : collected_(std::make_unique<Collected>(fileLength))
{
}

DeepRebuildCollector::~DeepRebuildCollector() = default;

void DeepRebuildCollector::Examine(std::uint32_t index, std::span<const std::uint8_t, kSectorSize> sector)
{
    collected_->rebuilder.Examine(index, sector);
}

std::vector<HeaderBytes> DeepRebuildCollector::Rebuild(SectorFile& file, const HeaderBytes* evidence)
{
    collected_->rebuilder.ExamineRest(file);
    return collected_->rebuilder.Rebuild(file, evidence);
}

std::optional<HeaderBytes> DeepRebuildHeader(SectorFile& file)
{
    const std::uint64_t length = file.Length();
    if (length <= kSectorSize || length > kMaxFileLength)
        return std::nullopt;
    DeepRebuildCollector collector(length);
    SectorScan::Run(file, {}, [&collector](std::uint32_t index, SectorView sector) { collector.Examine(index, sector); });
    std::vector<HeaderBytes> headers = collector.Rebuild(file);
    if (headers.empty())
        return std::nullopt;
    return headers.front();
}

int HeaderEvidence(const HeaderBytes& candidate, const HeaderBytes& damaged)
{
    auto informative = [](std::uint32_t value) { return value != 0 && value != kFreeSector; };
    int agreeing = 0;
    for (const std::size_t offset : {kNumFatSectorsOffset, kFirstDirectorySectorOffset, kFirstMiniFatSectorOffset,
                                     kNumMiniFatSectorsOffset, kFirstDifatSectorOffset, kNumDifatSectorsOffset}) {
        const std::uint32_t said = LoadLe32(damaged.data() + offset);
        agreeing += informative(said) && said == LoadLe32(candidate.data() + offset) ? 1 : 0;
    }
    for (std::size_t k = 0; k < kHeaderDifatEntries; ++k) {
        const std::size_t offset = kHeaderDifatOffset + 4 * k;
        const std::uint32_t said = LoadLe32(damaged.data() + offset);
        agreeing += informative(said) && said == LoadLe32(candidate.data() + offset) ? 1 : 0;
    }
    return agreeing;
}

std::uint32_t HeaderRecency(const HeaderBytes& header)
{
    std::uint32_t latest = 0;
    auto consider = [&latest](std::uint32_t sector) {
        if (!IsSpecial(sector))
            latest = std::max(latest, sector);
    };
    consider(LoadLe32(header.data() + kFirstDirectorySectorOffset));
    consider(LoadLe32(header.data() + kFirstMiniFatSectorOffset));
    consider(LoadLe32(header.data() + kFirstDifatSectorOffset));
    for (std::size_t k = 0; k < kHeaderDifatEntries; ++k)
        consider(LoadLe32(header.data() + kHeaderDifatOffset + 4 * k));
    return latest;
}

}  // namespace tabulon
