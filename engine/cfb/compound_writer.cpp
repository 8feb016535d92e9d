#include "engine/cfb/compound_writer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "engine/base/byte_order.h"
#include "engine/cfb/header.h"

namespace tabulon {
namespace {

constexpr std::uint8_t kRed = 0;
constexpr std::uint8_t kBlack = 1;

using Block = std::array<std::uint8_t, kSectorSize>;

std::uint64_t CeilDiv(std::uint64_t value, std::uint64_t unit)
{
    return (value + unit - 1) / unit;
}

char16_t UpperUnit(char16_t c)
{
    const auto pairEvenUpper = [c] { return static_cast<char16_t>(c & ~1u); };
    const auto pairOddUpper = [c] { return static_cast<char16_t>(c % 2 == 0 ? c - 1 : c); };
    if (c < u'a')
        return c;
    if (c <= u'z')
        return static_cast<char16_t>(c - 0x20);
    if (c < 0xE0)
        return c == 0xB5 ? char16_t{0x39C} : c;
    if (c <= 0xFE)
        return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    // Latin Extended-A: upper and lower case alternate, with a few loners.
    if (c <= 0x137)
        return c == 0x131 ? u'I' : c == 0x130 ? c : pairEvenUpper();
    if (c <= 0x148)
        return c == 0x138 ? c : pairOddUpper();
    if (c <= 0x177)
        return c == 0x149 ? c : pairEvenUpper();
    if (c <= 0x17E)
        return c == 0x178 ? c : pairOddUpper();
    if (c == 0x17F)
        return u'S';
    // Greek.
    if (c == 0x3AC)
        return 0x386;
    if (c >= 0x3AD && c <= 0x3AF)
        return static_cast<char16_t>(c - 0x25);
    if (c == 0x3C2)
        return 0x3A3;
    if (c >= 0x3B1 && c <= 0x3CB)
        return static_cast<char16_t>(c - 0x20);
    if (c == 0x3CC)
        return 0x38C;
    if (c == 0x3CD || c == 0x3CE)
        return static_cast<char16_t>(c - 0x3F);
    // Cyrillic.
    if (c >= 0x430 && c <= 0x44F)
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<char16_t>(c - 0x50);
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
        return pairEvenUpper();
    if (c >= 0x4C1 && c <= 0x4CE)
        return pairOddUpper();
    if (c == 0x4CF)
        return 0x4C0;
    // Armenian.
    if (c >= 0x561 && c <= 0x586)
        return static_cast<char16_t>(c - 0x30);
    // Full-width Latin.
    if (c >= 0xFF41 && c <= 0xFF5A)
        return static_cast<char16_t>(c - 0x20);
    return c;
}

void CheckName(std::u16string_view name)
{
    if (name.empty() || name.size() > kMaxEntryNameLength)
        throw std::invalid_argument("a compound-file name must have 1 to 31 code units");
    if (name.find_first_of(std::u16string_view(u"\0/\\:!", 5)) != std::u16string_view::npos)
        throw std::invalid_argument("a compound-file name cannot hold a null, '/', '\\', ':' or '!'");
}

// Checks everything that can be wrong before a byte is written, so that a refused list
// leaves `out` as it was.
void CheckEntries(const std::vector<CompoundEntry>& entries)
{
    const std::size_t count = entries.size();
    for (const CompoundEntry& entry : entries) {
        CheckName(entry.name);
        if (entry.type != kObjectTypeStream && entry.type != kObjectTypeStorage)
            throw std::invalid_argument("an entry must be a stream or a storage");
        if (entry.type == kObjectTypeStorage && !entry.data.empty())
            throw std::invalid_argument("a storage holds no data");
        if (entry.parent < -1 || (entry.parent >= 0 && static_cast<std::size_t>(entry.parent) >= count))
            throw std::invalid_argument("an entry's parent is not in the list");
        if (entry.parent >= 0 && entries[static_cast<std::size_t>(entry.parent)].type != kObjectTypeStorage)
            throw std::invalid_argument("an entry's parent is not a storage");
    }
    // Every chain of parents must reach the root. Each entry is settled once: 1 while its
    // chain is being followed, 2 once it is known to reach the root.
    std::vector<std::uint8_t> state(count, 0);
    std::vector<std::size_t> chain;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = i;
        chain.clear();
        while (state[at] == 0) {
            state[at] = 1;
            chain.push_back(at);
            if (entries[at].parent < 0)
                break;
            at = static_cast<std::size_t>(entries[at].parent);
        }
        if (state[at] == 1 && entries[at].parent >= 0)
            throw std::invalid_argument("the entries' parents form a loop");
        for (const std::size_t settled : chain)
            state[settled] = 2;
    }
}

// Directory links of one entry; index 0 is the root.
struct Links {
    std::uint32_t left = kNoStream;
    std::uint32_t right = kNoStream;
    std::uint32_t child = kNoStream;
    std::uint8_t colour = kBlack;
};

// Builds each storage's sibling tree: balanced from the sorted siblings (the middle one on
// top), so that every level but the deepest is full. All black then keeps the black count
// of every path equal; a deepest level that is not full is coloured red, which keeps it
// equal too, and red nodes there have no children to clash with.
std::vector<Links> BuildTrees(const std::vector<CompoundEntry>& entries)
{
    const std::size_t count = entries.size();
    std::vector<std::vector<std::uint32_t>> children(count + 1);
    for (std::size_t i = 0; i < count; ++i)
        children[static_cast<std::size_t>(entries[i].parent + 1)].push_back(static_cast<std::uint32_t>(i + 1));

    std::vector<Links> links(count + 1);
    std::vector<int> depth(count + 1, 0);
    const auto nameOf = [&](std::uint32_t id) -> std::u16string_view { return entries[id - 1].name; };
    for (std::size_t storage = 0; storage <= count; ++storage) {
        std::vector<std::uint32_t>& siblings = children[storage];
        if (siblings.empty())
            continue;
        std::sort(siblings.begin(), siblings.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return CompareEntryNames(nameOf(a), nameOf(b)) < 0; });
        for (std::size_t k = 1; k < siblings.size(); ++k) {
            if (CompareEntryNames(nameOf(siblings[k - 1]), nameOf(siblings[k])) == 0)
                throw std::invalid_argument("two entries under one storage have the same name");
        }
        int deepest = 0;
        const auto build = [&](auto& self, std::size_t lo, std::size_t hi, int level) -> std::uint32_t {
            if (lo >= hi)
                return kNoStream;
            const std::size_t mid = lo + (hi - lo) / 2;
            const std::uint32_t id = siblings[mid];
            depth[id] = level;
            deepest = std::max(deepest, level);
            links[id].left = self(self, lo, mid, level + 1);
            links[id].right = self(self, mid + 1, hi, level + 1);
            return id;
        };
        links[storage].child = build(build, 0, siblings.size(), 0);
        const bool full = siblings.size() + 1 == std::size_t{1} << (deepest + 1);
        for (const std::uint32_t id : siblings)
            links[id].colour = !full && depth[id] == deepest ? kRed : kBlack;
    }
    return links;
}

DirectoryEntry EntryOf(std::u16string_view name, std::uint8_t type, const Links& links,
                       const std::array<std::uint8_t, 16>& clsid, std::uint32_t stateBits, std::uint64_t created,
                       std::uint64_t modified, std::uint32_t start, std::uint32_t size)
{
    DirectoryEntry entry;
    entry.name = name;
    entry.type = type;
    entry.colour = links.colour;
    entry.left = links.left;
    entry.right = links.right;
    entry.child = links.child;
    entry.clsid = clsid;
    entry.stateBits = stateBits;
    entry.created = created;
    entry.modified = modified;
    entry.start = start;
    entry.size = size;
    return entry;
}

// An empty slot in the last directory sector: zeros, with no siblings and no child.
void PutUnusedEntry(std::uint8_t* raw)
{
    StoreLe32(raw + kEntryLeftSiblingOffset, kNoStream);
    StoreLe32(raw + kEntryRightSiblingOffset, kNoStream);
    StoreLe32(raw + kEntryChildOffset, kNoStream);
}

// Where everything goes, in sectors (and mini sectors for the small streams).
struct Layout {
    std::vector<std::uint32_t> start;  // per entry: first sector, first mini sector or ENDOFCHAIN
    std::uint32_t streamSectors = 0;   // the large streams', from sector 0 on
    std::uint32_t miniSectors = 0;
    std::uint32_t miniStreamStart = 0;
    std::uint32_t miniStreamSectors = 0;
    std::uint32_t miniFatStart = 0;
    std::uint32_t miniFatSectors = 0;
    std::uint32_t directoryStart = 0;
    std::uint32_t directorySectors = 0;
    std::uint32_t fatStart = 0;
    std::uint32_t fatSectors = 0;
    std::uint32_t difatStart = 0;
    std::uint32_t difatSectors = 0;
};

bool IsSmall(const CompoundEntry& entry)
{
    return entry.type == kObjectTypeStream && !entry.data.empty() && entry.data.size() < kMiniStreamCutoff;
}

bool IsLarge(const CompoundEntry& entry)
{
    return entry.type == kObjectTypeStream && entry.data.size() >= kMiniStreamCutoff;
}

Layout PlanLayout(const std::vector<CompoundEntry>& entries)
{
    // Counted in 64 bits and checked against the largest file the engine handles before
    // anything is narrowed.
    std::uint64_t sectors = 0;
    std::uint64_t miniSectors = 0;
    std::vector<std::uint64_t> start;
    start.reserve(entries.size());
    for (const CompoundEntry& entry : entries) {
        if (IsLarge(entry)) {
            start.push_back(sectors);
            sectors += CeilDiv(entry.data.size(), kSectorSize);
        } else if (IsSmall(entry)) {
            start.push_back(miniSectors);
            miniSectors += CeilDiv(entry.data.size(), kMiniSectorSize);
        } else {
            start.push_back(entry.type == kObjectTypeStream ? kEndOfChain : 0);
        }
        if (sectors > kMaxFileLength / kSectorSize)
            break;
    }
    const std::uint64_t streamSectors = sectors;
    const std::uint64_t miniStreamSectors = CeilDiv(miniSectors * kMiniSectorSize, kSectorSize);
    const std::uint64_t miniFatSectors = CeilDiv(miniSectors, kEntriesPerFatSector);
    const std::uint64_t directorySectors = CeilDiv(entries.size() + 1, kDirectoryEntriesPerSector);
    sectors += miniStreamSectors + miniFatSectors + directorySectors;
    // The table has to cover itself and the DIFAT sectors that list it.
    std::uint64_t fatSectors = CeilDiv(sectors, kEntriesPerFatSector);
    std::uint64_t difatSectors = 0;
    for (;;) {
        difatSectors =
            fatSectors > kHeaderDifatEntries ? CeilDiv(fatSectors - kHeaderDifatEntries, kDifatEntriesPerSector) : 0;
        if (sectors + fatSectors + difatSectors <= fatSectors * kEntriesPerFatSector)
            break;
        ++fatSectors;
    }
    const std::uint64_t total = sectors + fatSectors + difatSectors;
    if ((total + 1) * kSectorSize > kMaxFileLength)
        throw std::invalid_argument("the entries need a compound file of 2^31 bytes or more");

    const auto narrow = [](std::uint64_t value) { return static_cast<std::uint32_t>(value); };
    Layout layout;
    for (const std::uint64_t s : start)
        layout.start.push_back(narrow(s));
    layout.streamSectors = narrow(streamSectors);
    layout.miniSectors = narrow(miniSectors);
    layout.miniStreamStart = layout.streamSectors;
    layout.miniStreamSectors = narrow(miniStreamSectors);
    layout.miniFatStart = layout.miniStreamStart + layout.miniStreamSectors;
    layout.miniFatSectors = narrow(miniFatSectors);
    layout.directoryStart = layout.miniFatStart + layout.miniFatSectors;
    layout.directorySectors = narrow(directorySectors);
    layout.fatStart = layout.directoryStart + layout.directorySectors;
    layout.fatSectors = narrow(fatSectors);
    layout.difatStart = layout.fatStart + layout.fatSectors;
    layout.difatSectors = narrow(difatSectors);
    return layout;
}

// Marks `count` sectors from `first` on as one chain.
void Chain(std::vector<std::uint32_t>& table, std::uint32_t first, std::uint32_t count)
{
    for (std::uint32_t k = 0; k < count; ++k)
        table[first + k] = k + 1 < count ? first + k + 1 : kEndOfChain;
}

void WriteTable(SectorFile& out, const std::vector<std::uint32_t>& table)
{
    std::vector<std::uint8_t> bytes(table.size() * 4);  // whole sectors of entries
    for (std::size_t k = 0; k < table.size(); ++k)
        StoreLe32(bytes.data() + 4 * k, table[k]);
    out.WriteBlocks(bytes);
}

// Writes `bytes` as whole sectors, the last one padded with zeros.
void WriteSectors(SectorFile& out, const std::vector<std::uint8_t>& bytes)
{
    const std::size_t whole = bytes.size() / kSectorSize * kSectorSize;
    out.WriteBlocks(std::span(bytes).first(whole));
    if (whole < bytes.size()) {
        Block block{};
        std::memcpy(block.data(), bytes.data() + whole, bytes.size() - whole);
        out.Write(block);
    }
}

HeaderBytes HeaderFor(const Layout& layout)
{
    HeaderLayout fields;
    fields.numFatSectors = layout.fatSectors;
    fields.firstDirectorySector = layout.directoryStart;
    fields.firstMiniFatSector = layout.miniFatSectors > 0 ? layout.miniFatStart : kEndOfChain;
    fields.numMiniFatSectors = layout.miniFatSectors;
    fields.firstDifatSector = layout.difatSectors > 0 ? layout.difatStart : kEndOfChain;
    fields.numDifatSectors = layout.difatSectors;
    for (std::uint32_t k = 0; k < kHeaderDifatEntries && k < layout.fatSectors; ++k)
        fields.headerDifat[k] = layout.fatStart + k;
    return MakeHeader(fields);
}

}  // namespace

int CompareEntryNames(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char16_t x = UpperUnit(a[i]);
        const char16_t y = UpperUnit(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

void WriteCompoundFile(SectorFile& out, const CompoundRoot& root, const std::vector<CompoundEntry>& entries)
{
    CheckEntries(entries);
    const std::vector<Links> links = BuildTrees(entries);
    const Layout layout = PlanLayout(entries);

    out.Seek(0);
    out.Write(HeaderFor(layout));

    for (const CompoundEntry& entry : entries) {
        if (IsLarge(entry))
            WriteSectors(out, entry.data);
    }

    // The mini stream, packed sector by sector; each small stream starts on a 64-byte boundary.
    Block block{};
    std::size_t filled = 0;
    const auto flush = [&] {
        out.Write(block);
        block.fill(0);
        filled = 0;
    };
    for (const CompoundEntry& entry : entries) {
        if (!IsSmall(entry))
            continue;
        for (std::size_t offset = 0; offset < entry.data.size();) {
            const std::size_t count = std::min(kSectorSize - filled, entry.data.size() - offset);
            std::memcpy(block.data() + filled, entry.data.data() + offset, count);
            filled += count;
            offset += count;
            if (filled == kSectorSize)
                flush();
        }
        filled = static_cast<std::size_t>(CeilDiv(filled, kMiniSectorSize) * kMiniSectorSize);
        if (filled == kSectorSize)
            flush();
    }
    if (filled > 0)
        flush();

    std::vector<std::uint32_t> miniFat(std::size_t{layout.miniFatSectors} * kEntriesPerFatSector, kFreeSector);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (IsSmall(entries[i]))
            Chain(miniFat, layout.start[i],
                  static_cast<std::uint32_t>(CeilDiv(entries[i].data.size(), kMiniSectorSize)));
    }
    WriteTable(out, miniFat);

    const std::size_t slots = std::size_t{layout.directorySectors} * kDirectoryEntriesPerSector;
    for (std::size_t slot = 0; slot < slots; slot += kDirectoryEntriesPerSector) {
        block.fill(0);
        for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
            std::uint8_t* raw = block.data() + k * kDirectoryEntrySize;
            const std::size_t id = slot + k;
            if (id == 0) {
                const std::uint32_t miniStreamStart = layout.miniSectors > 0 ? layout.miniStreamStart : kEndOfChain;
                WriteDirectoryEntry(raw, EntryOf(u"Root Entry", kObjectTypeRootStorage, links[0], root.clsid, 0, root.created,
                                                 root.modified, miniStreamStart, layout.miniSectors * kMiniSectorSize));
            } else if (id <= entries.size()) {
                const CompoundEntry& entry = entries[id - 1];
                WriteDirectoryEntry(raw, EntryOf(entry.name, entry.type, links[id], entry.clsid, entry.stateBits,
                                                 entry.created, entry.modified, layout.start[id - 1],
                                                 static_cast<std::uint32_t>(entry.data.size())));
            } else {
                PutUnusedEntry(raw);
            }
        }
        out.Write(block);
    }

    std::vector<std::uint32_t> fat(std::size_t{layout.fatSectors} * kEntriesPerFatSector, kFreeSector);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (IsLarge(entries[i]))
            Chain(fat, layout.start[i], static_cast<std::uint32_t>(CeilDiv(entries[i].data.size(), kSectorSize)));
    }
    Chain(fat, layout.miniStreamStart, layout.miniStreamSectors);
    Chain(fat, layout.miniFatStart, layout.miniFatSectors);
    Chain(fat, layout.directoryStart, layout.directorySectors);
    std::fill_n(fat.begin() + static_cast<std::ptrdiff_t>(layout.fatStart), layout.fatSectors, kFatSector);
    std::fill_n(fat.begin() + static_cast<std::ptrdiff_t>(layout.difatStart), layout.difatSectors, kDifatSector);
    WriteTable(out, fat);

    // The table sectors past the header's 109, 127 to a DIFAT sector, each sector naming the next.
    for (std::uint32_t d = 0; d < layout.difatSectors; ++d) {
        for (std::uint32_t j = 0; j < kDifatEntriesPerSector; ++j) {
            const std::uint64_t listed = kHeaderDifatEntries + std::uint64_t{d} * kDifatEntriesPerSector + j;
            StoreLe32(block.data() + 4 * j,
                      listed < layout.fatSectors ? layout.fatStart + static_cast<std::uint32_t>(listed) : kFreeSector);
        }
        StoreLe32(block.data() + 4 * kDifatEntriesPerSector,
                  d + 1 < layout.difatSectors ? layout.difatStart + d + 1 : kEndOfChain);
        out.Write(block);
    }
}

}  // namespace tabulon
