#include "test_files.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "engine/base/byte_order.h"

namespace tabulon::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSector = 512;
constexpr std::size_t kMiniSector = 64;
constexpr std::size_t kCutoff = 4096;  // streams shorter than this live in the mini stream
constexpr std::size_t kEntry = 128;    // a directory entry
constexpr std::uint32_t kFree = 0xFFFF'FFFF;
constexpr std::uint32_t kEnd = 0xFFFF'FFFE;
constexpr std::uint32_t kTableSector = 0xFFFF'FFFD;
constexpr std::uint32_t kNoEntry = 0xFFFF'FFFF;
constexpr std::uint8_t kStream = 2;
constexpr std::uint8_t kRoot = 5;
constexpr std::uint8_t kRed = 0;
constexpr std::uint8_t kBlack = 1;
constexpr std::uint8_t kSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

std::uint32_t UnitsFor(std::size_t bytes, std::size_t unit)
{
    return static_cast<std::uint32_t>((bytes + unit - 1) / unit);
}

char16_t Upper(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// The order siblings are kept in, for names of ASCII letters: the shorter first, then by their
// letters in upper case.
int Compare(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i]))
            return Upper(a[i]) < Upper(b[i]) ? -1 : 1;
    }
    return 0;
}

void PutEntry(std::uint8_t* entry, std::u16string_view name, std::uint8_t type, std::uint8_t colour, std::uint32_t left,
              std::uint32_t right, std::uint32_t child, std::uint32_t start, std::uint32_t size)
{
    for (std::size_t i = 0; i < name.size(); ++i)
        StoreLe16(entry + 2 * i, name[i]);
    StoreLe16(entry + 64, static_cast<std::uint16_t>(2 * (name.size() + 1)));
    entry[66] = type;
    entry[67] = colour;
    StoreLe32(entry + 68, left);
    StoreLe32(entry + 72, right);
    StoreLe32(entry + 76, child);
    StoreLe32(entry + 116, start);
    StoreLe32(entry + 120, size);
}

// The sectors of the chain from `first` in `table`, `unit` bytes each, the sector k at
// `base + k * unit` in `pool` (the last one may be cut short by the end of the pool), or
// nothing when the chain leaves the table or the pool, or comes back on itself.
std::optional<Bytes> Chain(std::span<const std::uint8_t> pool, std::size_t base, std::size_t unit,
                           const std::vector<std::uint32_t>& table, std::uint32_t first)
{
    Bytes out;
    std::size_t steps = 0;
    for (std::uint32_t s = first; s != kEnd; s = table[s]) {
        const std::size_t at = base + std::size_t{s} * unit;
        if (s >= table.size() || ++steps > table.size() || at >= pool.size())
            return std::nullopt;
        out.insert(out.end(), pool.begin() + static_cast<std::ptrdiff_t>(at),
                   pool.begin() + static_cast<std::ptrdiff_t>(std::min(at + unit, pool.size())));
    }
    return out;
}

std::vector<std::uint32_t> Entries32(std::span<const std::uint8_t> bytes)
{
    std::vector<std::uint32_t> entries(bytes.size() / 4);
    for (std::size_t k = 0; k < entries.size(); ++k)
        entries[k] = LoadLe32(bytes.data() + 4 * k);
    return entries;
}

}  // namespace

std::vector<std::uint8_t> CompoundFileOf(const std::vector<NamedStream>& streams)
{
    const std::size_t count = streams.size();
    std::vector<std::uint32_t> start(count, kEnd);
    std::uint32_t sectors = 0, miniSectors = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (streams[i].data.size() >= kCutoff) {
            start[i] = sectors;
            sectors += UnitsFor(streams[i].data.size(), kSector);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!streams[i].data.empty() && streams[i].data.size() < kCutoff) {
            start[i] = miniSectors;
            miniSectors += UnitsFor(streams[i].data.size(), kMiniSector);
        }
    }
    const std::uint32_t miniStream = sectors, miniStreamSectors = UnitsFor(miniSectors * kMiniSector, kSector);
    const std::uint32_t miniTable = miniStream + miniStreamSectors, miniTableSectors = UnitsFor(miniSectors, kSector / 4);
    const std::uint32_t directory = miniTable + miniTableSectors, directorySectors = UnitsFor(count + 1, kSector / kEntry);
    const std::uint32_t table = directory + directorySectors;
    std::uint32_t tableSectors = 1;
    while (table + tableSectors > tableSectors * (kSector / 4))
        ++tableSectors;
    if (tableSectors > 109)
        throw std::length_error("a test file this large needs DIFAT sectors");

    Bytes file(kSector * (1 + std::size_t{table} + tableSectors), 0);
    const auto sector = [&](std::uint32_t s) { return file.data() + kSector * (std::size_t{s} + 1); };
    const auto chain = [](std::uint8_t* entries, std::uint32_t first, std::uint32_t length) {
        for (std::uint32_t k = 0; k < length; ++k)
            StoreLe32(entries + 4 * (first + k), k + 1 < length ? first + k + 1 : kEnd);
    };

    std::copy(std::begin(kSignature), std::end(kSignature), file.begin());
    StoreLe16(file.data() + 24, 0x3E);  // minor version
    StoreLe16(file.data() + 26, 3);
    StoreLe16(file.data() + 28, 0xFFFE);  // little-endian
    StoreLe16(file.data() + 30, 9);       // 512-byte sectors
    StoreLe16(file.data() + 32, 6);       // 64-byte mini sectors
    StoreLe32(file.data() + 44, tableSectors);
    StoreLe32(file.data() + 48, directory);
    StoreLe32(file.data() + 56, kCutoff);
    StoreLe32(file.data() + 60, miniTableSectors > 0 ? miniTable : kEnd);
    StoreLe32(file.data() + 64, miniTableSectors);
    StoreLe32(file.data() + 68, kEnd);  // no DIFAT sector
    for (std::uint32_t k = 0; k < 109; ++k)
        StoreLe32(file.data() + 76 + 4 * k, k < tableSectors ? table + k : kFree);

    std::fill(sector(miniTable), sector(directory), std::uint8_t{0xFF});
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes& data = streams[i].data;
        if (data.size() >= kCutoff) {
            std::copy(data.begin(), data.end(), sector(start[i]));
        } else if (!data.empty()) {
            std::copy(data.begin(), data.end(), sector(miniStream) + start[i] * kMiniSector);
            chain(sector(miniTable), start[i], UnitsFor(data.size(), kMiniSector));
        }
    }

    // The root's children as a balanced tree in sibling order, black but for the deepest level
    // when it is not full, which is red.
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i)
        order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return Compare(streams[a].name, streams[b].name) < 0; });
    for (std::size_t k = 1; k < count; ++k) {
        if (Compare(streams[order[k - 1]].name, streams[order[k]].name) == 0)
            throw std::invalid_argument("two streams of one name");
    }
    std::vector<std::uint32_t> left(count, kNoEntry), right(count, kNoEntry), depth(count, 0);
    std::uint32_t deepest = 0;
    std::function<std::uint32_t(std::size_t, std::size_t, std::uint32_t)> build;
    build = [&](std::size_t lo, std::size_t hi, std::uint32_t level) {
        if (lo >= hi)
            return kNoEntry;
        const std::size_t mid = lo + (hi - lo) / 2;
        const std::uint32_t i = order[mid];
        depth[i] = level;
        deepest = std::max(deepest, level);
        left[i] = build(lo, mid, level + 1);
        right[i] = build(mid + 1, hi, level + 1);
        return i + 1;  // the stream's directory entry
    };
    const std::uint32_t top = build(0, count, 0);
    const bool full = count + 1 == std::size_t{2} << deepest;

    std::uint8_t* entries = sector(directory);
    for (std::size_t k = count + 1; k < std::size_t{directorySectors} * (kSector / kEntry); ++k)
        std::fill_n(entries + kEntry * k + 68, 12, std::uint8_t{0xFF});  // an unused entry: no siblings, no child
    PutEntry(entries, u"Root Entry", kRoot, kBlack, kNoEntry, kNoEntry, top, miniSectors > 0 ? miniStream : kEnd,
             miniSectors * static_cast<std::uint32_t>(kMiniSector));
    for (std::size_t i = 0; i < count; ++i) {
        PutEntry(entries + kEntry * (i + 1), streams[i].name, kStream, !full && depth[i] == deepest ? kRed : kBlack, left[i],
                 right[i], kNoEntry, start[i], static_cast<std::uint32_t>(streams[i].data.size()));
    }

    std::uint8_t* fat = sector(table);
    std::fill(fat, file.data() + file.size(), std::uint8_t{0xFF});
    for (std::size_t i = 0; i < count; ++i) {
        if (streams[i].data.size() >= kCutoff)
            chain(fat, start[i], UnitsFor(streams[i].data.size(), kSector));
    }
    chain(fat, miniStream, miniStreamSectors);
    chain(fat, miniTable, miniTableSectors);
    chain(fat, directory, directorySectors);
    for (std::uint32_t k = 0; k < tableSectors; ++k)
        StoreLe32(fat + 4 * (table + k), kTableSector);
    return file;
}

std::optional<std::vector<std::uint8_t>> StreamOf(std::span<const std::uint8_t> file, std::span<const std::u16string_view> path)
{
    if (file.size() < kSector || !std::equal(std::begin(kSignature), std::end(kSignature), file.begin()) || path.empty())
        return std::nullopt;
    const std::uint16_t shift = LoadLe16(file.data() + 30);
    if (shift != 9 && shift != 12)
        return std::nullopt;
    const std::size_t sectorSize = std::size_t{1} << shift;
    const auto header32 = [&](std::size_t offset) { return LoadLe32(file.data() + offset); };

    // The allocation table: its sectors as the header lists them, then the DIFAT sectors do.
    std::vector<std::uint32_t> tableSectors;
    const std::uint32_t tableCount = header32(44);
    for (std::uint32_t k = 0; k < 109 && tableSectors.size() < tableCount; ++k)
        tableSectors.push_back(header32(76 + 4 * k));
    const std::size_t perDifat = sectorSize / 4 - 1;
    for (std::uint32_t d = header32(68), seen = 0; tableSectors.size() < tableCount; ++seen) {
        const std::size_t at = sectorSize * (std::size_t{d} + 1);
        if (d >= kTableSector || seen > file.size() / sectorSize || at + sectorSize > file.size())
            return std::nullopt;
        for (std::size_t j = 0; j < perDifat && tableSectors.size() < tableCount; ++j)
            tableSectors.push_back(LoadLe32(file.data() + at + 4 * j));
        d = LoadLe32(file.data() + at + 4 * perDifat);
    }
    std::vector<std::uint32_t> fat;
    for (const std::uint32_t s : tableSectors) {
        const std::size_t at = sectorSize * (std::size_t{s} + 1);
        if (at + sectorSize > file.size())
            return std::nullopt;
        const std::vector<std::uint32_t> entries = Entries32(file.subspan(at, sectorSize));
        fat.insert(fat.end(), entries.begin(), entries.end());
    }

    const std::optional<Bytes> directory = Chain(file, sectorSize, sectorSize, fat, header32(48));
    if (!directory || directory->size() < kEntry)
        return std::nullopt;
    const std::size_t entryCount = directory->size() / kEntry;
    const auto entry = [&](std::uint32_t id) { return directory->data() + kEntry * id; };
    const auto nameOf = [&](std::uint32_t id) {
        const std::size_t units = std::min<std::size_t>(LoadLe16(entry(id) + 64) / 2, 32);
        std::u16string name;
        for (std::size_t i = 0; i + 1 < units; ++i)
            name.push_back(static_cast<char16_t>(LoadLe16(entry(id) + 2 * i)));
        return name;
    };
    // The child of `parent` named `name`: the tree of its children searched whole.
    const auto childNamed = [&](std::uint32_t parent, std::u16string_view name) -> std::optional<std::uint32_t> {
        std::vector<std::uint32_t> pending = {LoadLe32(entry(parent) + 76)};
        for (std::size_t visits = 0; !pending.empty();) {
            const std::uint32_t id = pending.back();
            pending.pop_back();
            if (id >= entryCount)
                continue;
            if (++visits > entryCount)
                break;  // the tree comes back on itself
            if (Compare(nameOf(id), name) == 0)
                return id;
            pending.push_back(LoadLe32(entry(id) + 68));
            pending.push_back(LoadLe32(entry(id) + 72));
        }
        return std::nullopt;
    };
    std::uint32_t id = 0;
    for (const std::u16string_view name : path) {
        const std::optional<std::uint32_t> child = childNamed(id, name);
        if (!child)
            return std::nullopt;
        id = *child;
    }
    if (entry(id)[66] != kStream)
        return std::nullopt;

    const auto sizeOf = [&](std::uint32_t of) {
        return shift == 9 ? LoadLe32(entry(of) + 120) : LoadLe64(entry(of) + 120);
    };
    const std::uint64_t size = sizeOf(id);
    std::optional<Bytes> data;
    if (size < header32(56)) {
        std::optional<Bytes> miniStream = Chain(file, sectorSize, sectorSize, fat, LoadLe32(entry(0) + 116));
        const std::optional<Bytes> miniTable = header32(64) == 0 ? Bytes{} : Chain(file, sectorSize, sectorSize, fat, header32(60));
        if (miniStream && miniTable)
            data = Chain(*miniStream, 0, kMiniSector, Entries32(*miniTable), LoadLe32(entry(id) + 116));
    } else {
        data = Chain(file, sectorSize, sectorSize, fat, LoadLe32(entry(id) + 116));
    }
    if (!data || data->size() < size)
        return std::nullopt;
    data->resize(static_cast<std::size_t>(size));
    return data;
}

std::optional<std::vector<std::uint8_t>> RootStreamOf(std::span<const std::uint8_t> file, std::u16string_view name)
{
    return StreamOf(file, std::span(&name, 1));
}

}  // namespace tabulon::test
