#include "engine/cfb/compound_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/cfb/directory_entry.h"
#include "engine/cfb/header.h"
#include "engine/cfb/sector_probes.h"

namespace tabulon {
namespace {

// As many directory entries as the structural check reads; no real file comes near.
constexpr std::size_t kMaxDirectoryEntries = std::size_t{1} << 18;
// Storages nested deeper are left out: workbooks nest a few levels, and every entry carries
// its whole path.
constexpr int kMaxDepth = 16;
constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// Where an entry sits in the tree.
struct Place {
    bool reachable = false;
    std::uint32_t parent = 0;  // directory index of its storage; 0: the root
};

class Reader {
public:
    explicit Reader(SectorFile& file) : file_(file) {}

    bool Open()
    {
        const std::uint64_t length = file_.Length();
        if (length < 2 * kSectorSize)
            return false;
        // Sectors that begin inside the file; a last one cut short reads as padded with zeros.
        // Sector numbers stay below the table's markers.
        sectorCount_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            (length - kHeaderSize + kSectorSize - 1) / kSectorSize, 0xFFFF'FFF0u));
        header_ = ReadBlockAt(file_, 0);
        if (!HasHeaderSignature(header_) || LoadLe16(header_.data() + 26) != 3 || LoadLe16(header_.data() + 30) != 9)
            return false;
        claimed_.assign(sectorCount_, false);
        ReadAllocationTable();
        ReadDirectory();
        if (entries_.empty() || entries_[0].type != kObjectTypeRootStorage)
            return false;
        ReadMiniStream();
        PlaceEntries();
        return true;
    }

    const std::vector<DirectoryEntry>& Entries() const { return entries_; }
    const std::vector<Place>& Places() const { return places_; }

    // A stream's bytes, as far as its chain goes, with room for `spare` more behind them.
    std::vector<std::uint8_t> ReadStream(const DirectoryEntry& entry, std::size_t spare = 0)
    {
        std::vector<std::uint8_t> data;
        if (entry.type != kObjectTypeStream || entry.size == 0)
            return data;
        const auto size = static_cast<std::size_t>(entry.size);
        if (size < kMiniStreamCutoff) {
            ReadMiniChain(entry.start, size, data);
            return data;
        }
        const std::vector<std::uint32_t> chain = ChainOf(entry);
        // What lies past the end of the file reads as zeros, as a sector cut short does.
        const std::size_t length = std::min(size, chain.size() * kSectorSize);
        data.reserve(length + std::min(spare, length));
        data.assign(length, 0);
        ForEachRun(chain, data.size(), [&](std::size_t offset, std::size_t count) {
            file_.Read(std::span(data.data() + offset, count));
        });
        return data;
    }

    // Where a stream's bytes lie in the file, as far as its chain goes (bounded as ReadStream).
    std::vector<std::pair<std::uint64_t, std::uint32_t>> RunsOf(const DirectoryEntry& entry)
    {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> runs;
        const auto add = [&runs](std::uint64_t offset, std::uint32_t length) {
            if (!runs.empty() && runs.back().first + runs.back().second == offset)
                runs.back().second += length;
            else
                runs.emplace_back(offset, length);
        };
        if (entry.type != kObjectTypeStream || entry.size == 0)
            return runs;
        const auto size = static_cast<std::size_t>(entry.size);
        if (size >= kMiniStreamCutoff) {
            std::size_t left = size;
            for (const std::uint32_t sector : ChainOf(entry)) {
                const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(left, kSectorSize));
                add((std::uint64_t{sector} + 1) * kSectorSize, length);
                left -= length;
            }
            return runs;
        }
        std::size_t left = size;
        for (std::uint32_t sector = entry.start; left > 0;) {
            if (sector >= miniClaimed_.size() || miniClaimed_[sector])
                break;
            miniClaimed_[sector] = true;
            const std::size_t offset = std::size_t{sector} * kMiniSectorSize;
            if (offset / kSectorSize >= miniSectors_.size() || offset >= miniStream_.size())
                break;
            const auto length = static_cast<std::uint32_t>(std::min<std::size_t>({left, kMiniSectorSize, miniStream_.size() - offset}));
            add((std::uint64_t{miniSectors_[offset / kSectorSize]} + 1) * kSectorSize + offset % kSectorSize, length);
            left -= length;
            if (length < kMiniSectorSize)
                break;
            sector = miniFat_[sector];
        }
        return runs;
    }

    // A stream's bytes, as ReadStream gives them, handed to `take` a run of sectors at a time
    // (what lies past the file's end reads as zeros); false when `take` stopped.
    bool StreamPieces(const DirectoryEntry& entry, const std::function<bool(std::span<const std::uint8_t>)>& take)
    {
        if (entry.type != kObjectTypeStream || entry.size < kMiniStreamCutoff) {
            const std::vector<std::uint8_t> data = ReadStream(entry);
            return data.empty() || take(data);
        }
        const std::vector<std::uint32_t> chain = ChainOf(entry);
        const std::size_t length = std::min(static_cast<std::size_t>(entry.size), chain.size() * kSectorSize);
        std::vector<std::uint8_t> buffer(kMostSectorsAtOnce * kSectorSize);
        bool going = true;
        ForEachRun(chain, length, [&](std::size_t, std::size_t count) {
            if (!going)
                return;
            const std::span<std::uint8_t> piece(buffer.data(), count);
            const std::size_t got = file_.Read(piece);
            std::fill(piece.begin() + static_cast<std::ptrdiff_t>(std::min(got, count)), piece.end(), std::uint8_t{0});
            going = take(piece);
        });
        return going;
    }

    // Whether a stream holds exactly `expected`, read a run of sectors at a time.
    bool StreamEquals(const DirectoryEntry& entry, std::span<const std::uint8_t> expected)
    {
        if (entry.type != kObjectTypeStream || entry.size < kMiniStreamCutoff) {
            const std::vector<std::uint8_t> data = ReadStream(entry);
            return std::equal(data.begin(), data.end(), expected.begin(), expected.end());
        }
        const std::vector<std::uint32_t> chain = ChainOf(entry);
        const std::size_t length = std::min(static_cast<std::size_t>(entry.size), chain.size() * kSectorSize);
        if (length != expected.size())
            return false;
        // Each run's bytes where the file lends them, else read into a buffer; what lies past
        // the file's end reads as zeros.
        const std::optional<LentBytes> lent = file_.Lend();
        std::vector<std::uint8_t> buffer(lent ? 0 : kMostSectorsAtOnce * kSectorSize);
        bool same = true;
        ForEachRun(chain, length, [&](std::size_t offset, std::size_t count) {
            if (!same)
                return;
            std::span<const std::uint8_t> piece;
            if (lent) {
                const std::size_t from = static_cast<std::size_t>((std::uint64_t{chain[offset / kSectorSize]} + 1) * kSectorSize);
                piece = from < lent->bytes.size() ? lent->bytes.subspan(from, std::min(count, lent->bytes.size() - from))
                                                  : std::span<const std::uint8_t>();
            } else {
                piece = std::span(buffer.data(), file_.Read(std::span(buffer.data(), count)));
            }
            const auto wanted = expected.subspan(offset, count);
            same = std::equal(piece.begin(), piece.end(), wanted.begin()) &&
                   std::all_of(wanted.begin() + static_cast<std::ptrdiff_t>(piece.size()), wanted.end(), [](std::uint8_t b) { return b == 0; });
        });
        return same;
    }

private:
    // Sectors read in one go at most (1 MiB).
    static constexpr std::size_t kMostSectorsAtOnce = 2048;

    // The sectors of a large stream's chain, as far as it goes; it cannot hold more than the
    // file, whatever the size says.
    std::vector<std::uint32_t> ChainOf(const DirectoryEntry& entry)
    {
        std::vector<std::uint32_t> chain;
        Walk(entry.start, (entry.size + kSectorSize - 1) / kSectorSize, [&](std::uint32_t sector) { chain.push_back(sector); });
        return chain;
    }

    // Sectors that follow one another in the file, a run at a time: the file stands at the
    // run's first sector when `visit(offset, count)` is told where its bytes go in the stream.
    template <class Visit>
    void ForEachRun(const std::vector<std::uint32_t>& chain, std::size_t length, Visit&& visit)
    {
        for (std::size_t i = 0; i < chain.size();) {
            std::size_t j = i + 1;
            while (j < chain.size() && chain[j] == chain[j - 1] + 1 && j - i < kMostSectorsAtOnce)
                ++j;
            const std::size_t from = i * kSectorSize;
            if (from >= length)
                return;
            file_.Seek((std::uint64_t{chain[i]} + 1) * kSectorSize);
            visit(from, std::min(length, j * kSectorSize) - from);
            i = j;
        }
    }

    // Follows a chain through the allocation table from `start`, handing each sector to
    // `visit`, for `limit` sectors at most. It ends early at ENDOFCHAIN, at a link outside
    // the file or the table, and at a sector some chain went through already.
    template <class Visit>
    void Walk(std::uint32_t start, std::uint64_t limit, Visit&& visit)
    {
        std::uint32_t sector = start;
        for (std::uint64_t count = 0; count < limit; ++count) {
            if (sector >= sectorCount_ || sector >= fat_.size() || claimed_[sector])
                return;
            claimed_[sector] = true;
            visit(sector);
            sector = fat_[sector];
        }
    }

    // The table sectors listed in the header and the DIFAT chain, as far as they describe
    // sectors of the file.
    void ReadAllocationTable()
    {
        const std::size_t needed = (std::size_t{sectorCount_} + kEntriesPerFatSector - 1) / kEntriesPerFatSector;
        std::vector<std::uint32_t> listed;
        SectorBytes difatSector{};
        WalkTableList(
            header_.data(),
            [&](std::uint32_t difat) -> const std::uint8_t* {
                if (difat >= sectorCount_ || claimed_[difat] || listed.size() >= needed)
                    return nullptr;
                claimed_[difat] = true;
                difatSector = ReadSector(file_, difat);
                return difatSector.data();
            },
            [&](std::uint32_t sector) {
                if (sector != kFreeSector && listed.size() < needed)
                    listed.push_back(sector);
                return true;
            });
        fat_.reserve(listed.size() * kEntriesPerFatSector);
        for (const std::uint32_t sector : listed) {
            if (sector >= sectorCount_) {
                fat_.insert(fat_.end(), kEntriesPerFatSector, kFreeSector);  // keeps the later ones in place
                continue;
            }
            claimed_[sector] = true;
            const SectorBytes bytes = ReadSector(file_, sector);
            for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
                fat_.push_back(LoadLe32(bytes.data() + 4 * j));
        }
    }

    void ReadDirectory()
    {
        Walk(HeaderField32(header_, kFirstDirectorySectorOffset), kNoLimit, [&](std::uint32_t sector) {
            if (entries_.size() >= kMaxDirectoryEntries)
                return;
            const SectorBytes bytes = ReadSector(file_, sector);
            for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k)
                entries_.push_back(*ReadDirectoryEntry(bytes.data() + k * kDirectoryEntrySize, EntryReading::Lenient));
        });
    }

    // The mini stream (the root entry's chain) and the mini table sectors that cover it.
    void ReadMiniStream()
    {
        const std::size_t size =
            std::min<std::size_t>(static_cast<std::size_t>(entries_[0].size), std::size_t{sectorCount_} * kSectorSize);
        if (size == 0)
            return;
        Walk(entries_[0].start, (size + kSectorSize - 1) / kSectorSize, [&](std::uint32_t sector) {
            miniSectors_.push_back(sector);
            const SectorBytes bytes = ReadSector(file_, sector);
            miniStream_.insert(miniStream_.end(), bytes.begin(), bytes.end());
        });
        miniStream_.resize(std::min(miniStream_.size(), size));
        const std::size_t miniSectors = (miniStream_.size() + kMiniSectorSize - 1) / kMiniSectorSize;
        const std::size_t miniTableSectors = (miniSectors + kEntriesPerFatSector - 1) / kEntriesPerFatSector;
        Walk(HeaderField32(header_, kFirstMiniFatSectorOffset), miniTableSectors,
             [&](std::uint32_t sector) {
                 const SectorBytes bytes = ReadSector(file_, sector);
                 for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
                     miniFat_.push_back(LoadLe32(bytes.data() + 4 * j));
             });
        miniClaimed_.assign(std::min(miniSectors, miniFat_.size()), false);
    }

    // As Walk, through the mini table, copying `size` bytes at most into `data`.
    void ReadMiniChain(std::uint32_t start, std::size_t size, std::vector<std::uint8_t>& data)
    {
        for (std::uint32_t sector = start; data.size() < size;) {
            if (sector >= miniClaimed_.size() || miniClaimed_[sector])
                return;
            miniClaimed_[sector] = true;
            const std::size_t offset = std::size_t{sector} * kMiniSectorSize;
            const std::size_t wanted = std::min<std::size_t>(kMiniSectorSize, size - data.size());
            const std::size_t count = std::min(wanted, miniStream_.size() - offset);
            data.insert(data.end(), miniStream_.begin() + static_cast<std::ptrdiff_t>(offset),
                        miniStream_.begin() + static_cast<std::ptrdiff_t>(offset + count));
            if (count < wanted)
                return;  // the mini stream ends inside this mini sector
            sector = miniFat_[sector];
        }
    }

    // Finds every entry reachable from the root and its storage. An entry met twice (a loop
    // in the directory) is taken the first time only.
    void PlaceEntries()
    {
        places_.assign(entries_.size(), Place{});
        std::vector<bool> seen(entries_.size(), false);
        seen[0] = true;
        struct Pending {
            std::uint32_t index;
            std::uint32_t parent;
            int depth;
        };
        std::vector<Pending> pending = {{entries_[0].child, 0, 1}};
        while (!pending.empty()) {
            const Pending at = pending.back();
            pending.pop_back();
            if (at.index >= entries_.size() || seen[at.index])
                continue;
            seen[at.index] = true;
            const DirectoryEntry& entry = entries_[at.index];
            pending.push_back({entry.left, at.parent, at.depth});
            pending.push_back({entry.right, at.parent, at.depth});
            if (entry.type != kObjectTypeStream && entry.type != kObjectTypeStorage)
                continue;
            places_[at.index] = {true, at.parent};
            if (entry.type == kObjectTypeStorage && at.depth < kMaxDepth)
                pending.push_back({entry.child, at.index, at.depth + 1});
        }
    }

    SectorFile& file_;
    HeaderBytes header_{};
    std::uint32_t sectorCount_ = 0;
    std::vector<std::uint32_t> fat_;
    std::vector<bool> claimed_;  // sectors some chain went through
    std::vector<DirectoryEntry> entries_;
    std::vector<Place> places_;
    std::vector<std::uint8_t> miniStream_;
    std::vector<std::uint32_t> miniSectors_;  // the mini stream's, in its order
    std::vector<std::uint32_t> miniFat_;
    std::vector<bool> miniClaimed_;
};

}  // namespace

namespace {

// An entry's names from under the root down to its own. (Paths are short, kMaxDepth at most,
// so each is put together from its storages up.)
std::vector<std::u16string> PathOf(const Reader& reader, std::size_t index)
{
    std::vector<std::u16string> path;
    for (std::uint32_t at = static_cast<std::uint32_t>(index); at != 0; at = reader.Places()[at].parent)
        path.push_back(reader.Entries()[at].name);
    std::reverse(path.begin(), path.end());
    return path;
}

}  // namespace

std::optional<std::vector<CompoundStream>> ReadCompoundFile(SectorFile& file)
{
    Reader reader(file);
    if (!reader.Open())
        return std::nullopt;
    const std::vector<DirectoryEntry>& entries = reader.Entries();
    const std::vector<Place>& places = reader.Places();

    std::vector<int> listIndex(entries.size(), -1);
    int count = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (places[i].reachable)
            listIndex[i] = count++;
    }
    std::vector<CompoundStream> streams;
    streams.reserve(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!places[i].reachable)
            continue;
        const DirectoryEntry& entry = entries[i];
        CompoundStream stream;
        stream.path = PathOf(reader, i);
        stream.type = entry.type;
        stream.parent = places[i].parent == 0 ? -1 : listIndex[places[i].parent];
        stream.data = reader.ReadStream(entry);
        stream.clsid = entry.clsid;
        stream.stateBits = entry.stateBits;
        stream.created = entry.created;
        stream.modified = entry.modified;
        stream.declaredSize = static_cast<std::uint32_t>(entry.size);
        stream.truncated = entry.type == kObjectTypeStream && stream.data.size() < entry.size;
        streams.push_back(std::move(stream));
    }
    return streams;
}

std::optional<std::vector<StreamLayout>> MapCompoundStreams(SectorFile& file)
{
    Reader reader(file);
    if (!reader.Open())
        return std::nullopt;
    const std::vector<DirectoryEntry>& entries = reader.Entries();
    const std::vector<Place>& places = reader.Places();
    std::vector<StreamLayout> layouts;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!places[i].reachable || entries[i].type != kObjectTypeStream)
            continue;
        layouts.push_back({PathOf(reader, i), reader.RunsOf(entries[i])});
    }
    return layouts;
}

std::optional<CompoundRoot> ReadCompoundRoot(SectorFile& file)
{
    Reader reader(file);
    if (!reader.Open())
        return std::nullopt;
    const DirectoryEntry& root = reader.Entries()[0];
    return CompoundRoot{root.clsid, root.created, root.modified};
}

namespace {

// The first stream of `names` directly under the root, of the directory `reader` opened.
const DirectoryEntry* FindRootStream(const Reader& reader, std::span<const std::u16string_view> names)
{
    const std::vector<DirectoryEntry>& entries = reader.Entries();
    for (const std::u16string_view name : names) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const Place& place = reader.Places()[i];
            if (place.reachable && place.parent == 0 && entries[i].type == kObjectTypeStream &&
                EqualIgnoringAsciiCase(entries[i].name, name))
                return &entries[i];
        }
    }
    return nullptr;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadRootStream(SectorFile& file, std::span<const std::u16string_view> names, std::size_t spare)
{
    Reader reader(file);
    if (!reader.Open())
        return std::nullopt;
    if (const DirectoryEntry* entry = FindRootStream(reader, names))
        return reader.ReadStream(*entry, spare);
    return std::nullopt;
}

bool ReadRootStreamInPieces(SectorFile& file, std::span<const std::u16string_view> names,
                            const std::function<bool(std::span<const std::uint8_t>)>& take)
{
    Reader reader(file);
    if (!reader.Open())
        return false;
    const DirectoryEntry* entry = FindRootStream(reader, names);
    return entry && reader.StreamPieces(*entry, take);
}

bool RootStreamEquals(SectorFile& file, std::span<const std::u16string_view> names, std::span<const std::uint8_t> expected)
{
    Reader reader(file);
    if (!reader.Open())
        return false;
    const DirectoryEntry* entry = FindRootStream(reader, names);
    return entry && reader.StreamEquals(*entry, expected);
}

}  // namespace tabulon
