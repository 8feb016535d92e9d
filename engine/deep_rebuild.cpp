#include "deep_rebuild.h"

#include <algorithm>
#include <map>

#include "byte_order.h"
#include "consts.h"
#include "sector_probes.h"

namespace tabulon {
namespace {


using Table = std::vector<std::uint32_t>;

bool IsSpecial(std::uint32_t value)
{
    return value >= kFirstSpecialValue;
}

struct Candidate {
    std::uint32_t sector;
    std::array<std::uint32_t, kEntriesPerFatSector> entries;
    int vote;  // the table position its chain entries suggest, or -1
};

struct Stream {
    std::uint32_t start;
    std::uint32_t size;
};

struct Directory {
    std::vector<std::uint32_t> chain;
    std::uint32_t rootStart = kEndOfChain;
    std::uint32_t rootSize = 0;
    std::vector<Stream> streams;  // reachable streams
};

class DeepRebuilder {
public:
    explicit DeepRebuilder(std::uint64_t length)
        : usable_(length > kSectorSize && length <= kMaxWorkbookLength),
          // Sectors that begin in the file; a partial last one reads padded with zeros.
          sectorCount_(usable_ ? static_cast<std::uint32_t>((length - 1) / kSectorSize) : 0),
          wholeSectors_(usable_ ? static_cast<std::uint32_t>(length / kSectorSize - 1) : 0)
    {
    }

    // The sectors the caller's pass does not see: a partial last one.
    void ExamineRest(SectorFile& file)
    {
        file_ = &file;
        for (std::uint32_t index = wholeSectors_; index < sectorCount_; ++index)
            Examine(index, ReadSector(index));
    }

    std::optional<HeaderBytes> Rebuild(SectorFile& file)
    {
        file_ = &file;
        if (!usable_ || candidates_.empty() || roots_.empty())
            return std::nullopt;

        std::optional<Layout> best;
        for (const std::vector<std::uint32_t>& order : Orders()) {
            std::optional<Layout> layout = Evaluate(order);
            if (layout && (!best || Better(*layout, *best)))
                best = std::move(layout);
        }
        if (!best)
            return std::nullopt;
        return MakeHeader(*best);
    }

private:
    struct Layout {
        std::vector<std::uint32_t> tableSectors;
        Table table;
        Directory directory;
        int validStreams = 0;
        bool allocatesLastSector = false;
        std::uint32_t miniFatStart = kEndOfChain;
        std::uint32_t miniFatCount = 0;
        std::uint32_t difatStart = kEndOfChain;
        std::uint32_t difatCount = 0;
    };

    static bool Better(const Layout& a, const Layout& b)
    {
        if (a.validStreams != b.validStreams)
            return a.validStreams > b.validStreams;
        return a.allocatesLastSector && !b.allocatesLastSector;
    }

    SectorBytes ReadSector(std::uint32_t index) { return tabulon::ReadSector(*file_, index); }

    // One pass: sectors that can be allocation-table sectors (every entry inside the file or
    // a marker, no target twice) and sectors that start a directory with a root entry.

public:
    // One sector of the file: can it be an allocation-table sector, does it start a directory?
    void Examine(std::uint32_t index, SectorView sector)
    {
        if (sector[kEntryObjectTypeOffset] == kObjectTypeRootStorage && IsDirectorySector(sector))
            roots_.push_back(index);
        // Most sectors are data and fail at their first entries.
        for (std::size_t j = 0; j < kEntriesPerFatSector; ++j) {
            const std::uint32_t value = LoadLe32(sector.data() + 4 * j);
            if (!IsSpecial(value) && value >= sectorCount_)
                return;
        }
        Candidate candidate{index, {}, -1};
        std::array<std::uint32_t, kEntriesPerFatSector> targets;
        std::size_t targetCount = 0;
        std::map<int, int> votes;
        for (std::size_t j = 0; j < kEntriesPerFatSector; ++j) {
            const std::uint32_t value = LoadLe32(sector.data() + 4 * j);
            candidate.entries[j] = value;
            if (!IsSpecial(value)) {
                targets[targetCount++] = value;
                // Entry j of table sector p usually continues a chain into sector 128p + j + 1.
                if (value > j && (value - j - 1) % kEntriesPerFatSector == 0)
                    ++votes[static_cast<int>((value - j - 1) / kEntriesPerFatSector)];
            }
        }
        const auto end = targets.begin() + static_cast<std::ptrdiff_t>(targetCount);
        std::sort(targets.begin(), end);
        if (std::adjacent_find(targets.begin(), end) != end)
            return;
        int best = 0;
        for (const auto& [position, count] : votes) {
            if (count > best) {
                best = count;
                candidate.vote = position;
            }
        }
        candidates_.push_back(candidate);
    }

private:
    const Candidate* FindCandidate(std::uint32_t sector) const
    {
        const auto found = std::lower_bound(candidates_.begin(), candidates_.end(), sector,
                                            [](const Candidate& c, std::uint32_t s) { return c.sector < s; });
        return found != candidates_.end() && found->sector == sector ? &*found : nullptr;
    }

    Table BuildTable(const std::vector<std::uint32_t>& order) const
    {
        Table table;
        table.reserve(order.size() * kEntriesPerFatSector);
        for (const std::uint32_t sector : order) {
            const Candidate* candidate = FindCandidate(sector);
            table.insert(table.end(), candidate->entries.begin(), candidate->entries.end());
        }
        return table;
    }

    // Orders of candidate sectors to try as the allocation table: the sectors the table marks
    // as its own, found by starting from all candidates in ascending order and in the order
    // their content suggests; and, for writers that do not mark their table, the candidates
    // themselves in both orders, as many as the file needs.
    std::vector<std::vector<std::uint32_t>> Orders() const
    {
        std::vector<std::uint32_t> ascending;
        for (const Candidate& c : candidates_)
            ascending.push_back(c.sector);

        std::vector<std::vector<std::uint32_t>> orders;
        auto add = [&orders](std::vector<std::uint32_t> order) {
            if (!order.empty() && std::find(orders.begin(), orders.end(), order) == orders.end())
                orders.push_back(std::move(order));
        };
        const std::size_t needed = (sectorCount_ + kEntriesPerFatSector - 1) / kEntriesPerFatSector;
        for (std::vector<std::uint32_t> byContent : ContentOrders()) {
            add(MarkedFixpoint(byContent));
            add(std::move(byContent));
        }
        add(MarkedFixpoint(ascending));
        ascending.resize(std::min(needed, ascending.size()));
        add(std::move(ascending));
        return orders;
    }

    // Table positions by content: entry e of table sector p usually holds 128p + e + 1, and a
    // table sector marks the table's own sectors. Rival sectors for one position (a stale
    // copy) give rival orders.
    std::vector<std::vector<std::uint32_t>> ContentOrders() const
    {
        std::map<int, std::vector<std::uint32_t>> byPosition;
        for (const Candidate& c : candidates_) {
            int position = c.vote;
            if (position < 0)
                position = PositionFromMarks(c);
            if (position >= 0)
                byPosition[position].push_back(c.sector);
        }
        std::vector<std::vector<std::uint32_t>> orders(1);
        for (int position = 0; byPosition.count(position) != 0; ++position) {
            const std::vector<std::uint32_t>& rivals = byPosition[position];
            if (rivals.size() > 1 && orders.size() < 4) {
                std::vector<std::vector<std::uint32_t>> forked;
                for (const auto& order : orders) {
                    for (const std::uint32_t rival : rivals) {
                        forked.push_back(order);
                        forked.back().push_back(rival);
                    }
                }
                orders = std::move(forked);
            } else {
                for (auto& order : orders)
                    order.push_back(rivals.front());
            }
        }
        return orders;
    }

    // The position p at which every "table sector" mark of `c`, at entry e, names a candidate
    // 128p + e; -1 when there is no such single position.
    int PositionFromMarks(const Candidate& c) const
    {
        std::optional<std::uint32_t> position;
        for (std::size_t e = 0; e < kEntriesPerFatSector; ++e) {
            if (c.entries[e] != kFatSector)
                continue;
            std::optional<std::uint32_t> fits;
            for (const Candidate& other : candidates_) {
                if (other.sector >= e && (other.sector - e) % kEntriesPerFatSector == 0 &&
                    (!position || (other.sector - e) / kEntriesPerFatSector == *position)) {
                    fits = static_cast<std::uint32_t>((other.sector - e) / kEntriesPerFatSector);
                    break;
                }
            }
            if (!fits)
                return -1;
            position = fits;
        }
        return position ? static_cast<int>(*position) : -1;
    }

    // Repeats: build the table from `order`, take the sectors it marks as table sectors.
    std::vector<std::uint32_t> MarkedFixpoint(std::vector<std::uint32_t> order) const
    {
        for (int round = 0; round < 4; ++round) {
            const Table table = BuildTable(order);
            std::vector<std::uint32_t> marked;
            for (std::uint32_t s = 0; s < table.size() && s < sectorCount_; ++s) {
                if (table[s] == kFatSector && FindCandidate(s))
                    marked.push_back(s);
            }
            if (marked == order || marked.empty())
                return marked;
            order = std::move(marked);
        }
        return {};
    }

    // A chain through `table` from `start`, or nothing when it leaves the range or loops.
    static std::optional<std::vector<std::uint32_t>> Walk(const Table& table, std::uint32_t start, std::uint32_t limit)
    {
        std::vector<std::uint32_t> chain;
        std::uint32_t sector = start;
        while (sector != kEndOfChain) {
            if (sector >= limit || sector >= table.size() || chain.size() >= limit)
                return std::nullopt;
            chain.push_back(sector);
            sector = table[sector];
        }
        return chain;
    }

    std::optional<Directory> ReadDirectory(const Table& table, std::uint32_t head)
    {
        const auto chain = Walk(table, head, sectorCount_);
        if (!chain || chain->empty())
            return std::nullopt;
        Directory directory;
        directory.chain = *chain;
        struct Entry {
            std::uint8_t type;
            std::uint32_t left, right, child, start, size;
        };
        std::vector<Entry> entries;
        for (const std::uint32_t sector : *chain) {
            const SectorBytes bytes = ReadSector(sector);
            for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
                const std::uint8_t* raw = bytes.data() + k * kDirectoryEntrySize;
                entries.push_back({raw[kEntryObjectTypeOffset], LoadLe32(raw + kEntryLeftSiblingOffset), LoadLe32(raw + kEntryRightSiblingOffset),
                                   LoadLe32(raw + kEntryChildOffset), LoadLe32(raw + kEntryStartSectorOffset), LoadLe32(raw + kEntryStreamSizeOffset)});
            }
        }
        if (entries.front().type != kObjectTypeRootStorage)
            return std::nullopt;
        directory.rootStart = entries.front().start;
        directory.rootSize = entries.front().size;
        std::vector<std::uint8_t> seen(entries.size(), 0);
        std::vector<std::uint32_t> pending = {entries.front().child};
        while (!pending.empty()) {
            const std::uint32_t index = pending.back();
            pending.pop_back();
            if (index == kNoStream)
                continue;
            if (index >= entries.size() || seen[index])
                return std::nullopt;
            seen[index] = 1;
            if (entries[index].type == kObjectTypeStream)
                directory.streams.push_back({entries[index].start, entries[index].size});
            pending.insert(pending.end(), {entries[index].left, entries[index].right, entries[index].child});
        }
        return directory;
    }

    static bool ChainFits(const Table& table, std::uint32_t start, std::uint32_t size, std::uint32_t unit,
                          std::uint32_t limit)
    {
        const auto chain = Walk(table, start, limit);
        return chain && chain->size() >= (static_cast<std::uint64_t>(size) + unit - 1) / unit;
    }

    std::optional<Layout> Evaluate(const std::vector<std::uint32_t>& order)
    {
        Layout layout;
        layout.tableSectors = order;
        layout.table = BuildTable(order);
        const Table& table = layout.table;
        if (table.size() < sectorCount_)
            return std::nullopt;

        std::vector<std::uint8_t> referenced(sectorCount_, 0);
        for (std::uint32_t s = 0; s < sectorCount_; ++s) {
            if (!IsSpecial(table[s]) && table[s] < sectorCount_)
                referenced[table[s]] = 1;
        }

        // The directory: an unreferenced chain whose first entry is a root, with the most
        // streams that fit their chains.
        bool found = false;
        for (const std::uint32_t head : roots_) {
            if (referenced[head])
                continue;
            std::optional<Directory> directory = ReadDirectory(table, head);
            if (!directory)
                continue;
            int valid = 0;
            for (const Stream& stream : directory->streams) {
                if (stream.size >= kMiniStreamCutoff && ChainFits(table, stream.start, stream.size, kSectorSize, sectorCount_))
                    ++valid;
            }
            if (!found || valid > layout.validStreams) {
                layout.directory = std::move(*directory);
                layout.validStreams = valid;
                found = true;
            }
        }
        if (!found)
            return std::nullopt;
        layout.allocatesLastSector = table[sectorCount_ - 1] != kFreeSector;

        if (!FindMiniTable(layout, referenced))
            return std::nullopt;
        if (order.size() > kHeaderDifatEntries && !FindDifat(layout))
            return std::nullopt;
        return layout;
    }

    // The mini allocation table: an unreferenced chain, neither the directory nor a stream,
    // that makes the small streams' chains valid; none when the mini stream is empty.
    bool FindMiniTable(Layout& layout, const std::vector<std::uint8_t>& referenced)
    {
        const Directory& directory = layout.directory;
        std::vector<Stream> small;
        for (const Stream& stream : directory.streams) {
            if (stream.size > 0 && stream.size < kMiniStreamCutoff)
                small.push_back(stream);
        }
        if (directory.rootSize == 0 || directory.rootStart == kEndOfChain)
            return small.empty();

        const Table& table = layout.table;
        std::vector<std::uint8_t> excluded(sectorCount_, 0);
        for (const std::uint32_t s : directory.chain)
            excluded[s] = 1;
        for (const Stream& stream : directory.streams) {
            if (stream.size >= kMiniStreamCutoff && stream.start < sectorCount_)
                excluded[stream.start] = 1;
        }
        if (directory.rootStart < sectorCount_)
            excluded[directory.rootStart] = 1;
        const auto miniSectors = static_cast<std::uint32_t>(
            (static_cast<std::uint64_t>(directory.rootSize) + kMiniSectorSize - 1) / kMiniSectorSize);

        for (std::uint32_t head = 0; head < sectorCount_; ++head) {
            if (referenced[head] || excluded[head] || (IsSpecial(table[head]) && table[head] != kEndOfChain))
                continue;
            const auto chain = Walk(table, head, sectorCount_);
            if (!chain || chain->size() > miniSectors / kEntriesPerFatSector + 1)
                continue;  // a mini table needs no more sectors than the mini stream has mini sectors
            Table miniTable;
            for (const std::uint32_t s : *chain) {
                const SectorBytes bytes = ReadSector(s);
                for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
                    miniTable.push_back(LoadLe32(bytes.data() + 4 * j));
            }
            const bool fits = std::all_of(small.begin(), small.end(), [&](const Stream& stream) {
                return ChainFits(miniTable, stream.start, stream.size, kMiniSectorSize, miniSectors);
            });
            if (fits) {
                layout.miniFatStart = head;
                layout.miniFatCount = static_cast<std::uint32_t>(chain->size());
                return true;
            }
        }
        return small.empty();
    }

    // DIFAT sectors, marked as such by the table, in chain order.
    bool FindDifat(Layout& layout)
    {
        std::vector<std::uint32_t> difat;
        for (std::uint32_t s = 0; s < sectorCount_; ++s) {
            if (layout.table[s] == kDifatSector)
                difat.push_back(s);
        }
        if (difat.empty())
            return false;
        std::vector<std::uint32_t> next(difat.size());
        std::vector<std::uint8_t> pointedTo(difat.size(), 0);
        for (std::size_t i = 0; i < difat.size(); ++i) {
            next[i] = LoadLe32(ReadSector(difat[i]).data() + 4 * kDifatEntriesPerSector);
            const auto target = std::find(difat.begin(), difat.end(), next[i]);
            if (target != difat.end())
                pointedTo[static_cast<std::size_t>(target - difat.begin())] = 1;
        }
        const auto head = std::find(pointedTo.begin(), pointedTo.end(), 0);
        if (head == pointedTo.end())
            return false;
        layout.difatStart = difat[static_cast<std::size_t>(head - pointedTo.begin())];
        layout.difatCount = static_cast<std::uint32_t>(difat.size());
        return true;
    }

    HeaderBytes MakeHeader(const Layout& layout) const
    {
        HeaderBytes header{};
        std::copy(kVersion3HeaderStart.begin(), kVersion3HeaderStart.end(), header.begin());
        StoreLe32(header.data() + kNumFatSectorsOffset, static_cast<std::uint32_t>(layout.tableSectors.size()));
        StoreLe32(header.data() + kFirstDirectorySectorOffset, layout.directory.chain.front());
        StoreLe32(header.data() + kMiniStreamCutoffOffset, kMiniStreamCutoff);
        StoreLe32(header.data() + kFirstMiniFatSectorOffset, layout.miniFatStart);
        StoreLe32(header.data() + kNumMiniFatSectorsOffset, layout.miniFatCount);
        StoreLe32(header.data() + kFirstDifatSectorOffset, layout.difatStart);
        StoreLe32(header.data() + kNumDifatSectorsOffset, layout.difatCount);
        for (std::size_t k = 0; k < kHeaderDifatEntries; ++k) {
            const std::uint32_t entry = k < layout.tableSectors.size() ? layout.tableSectors[k] : kFreeSector;
            StoreLe32(header.data() + kHeaderDifatOffset + 4 * k, entry);
        }
        return header;
    }

    SectorFile* file_ = nullptr;
    bool usable_;
    std::uint32_t sectorCount_;
    std::uint32_t wholeSectors_;
    std::vector<Candidate> candidates_;  // in ascending sector order
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

std::optional<HeaderBytes> DeepRebuildCollector::Rebuild(SectorFile& file)
{
    collected_->rebuilder.ExamineRest(file);
    return collected_->rebuilder.Rebuild(file);
}

std::optional<HeaderBytes> DeepRebuildHeader(SectorFile& file)
{
    const std::uint64_t length = file.Length();
    if (length <= kSectorSize || length > kMaxWorkbookLength)
        return std::nullopt;
    DeepRebuildCollector collector(length);
    SectorScan::Run(file, {}, [&collector](std::uint32_t index, SectorView sector) { collector.Examine(index, sector); });
    return collector.Rebuild(file);
}

}  // namespace tabulon
