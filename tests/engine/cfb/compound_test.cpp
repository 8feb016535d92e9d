// Fresh compound files written and read back: every workbook of tests/data through a round
// trip, the sizes the layout turns on, sibling trees, and damaged files the reader must survive.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <span>
#include <string>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/biff/records.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/compound_writer.h"
#include "engine/io/os_file.h"
#include "engine/cfb/verify.h"
#include "tests/support/scratch.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The stream the check takes a file's main stream to be, as the repair layer names a
// workbook's: "Workbook" or "Book" (letters' case aside), opening with a BOF record.
bool IsWorkbookName(std::u16string_view name)
{
    return EqualIgnoringAsciiCase(name, u"Workbook") || EqualIgnoringAsciiCase(name, u"Book");
}
constexpr std::u16string_view kWorkbookNames[] = {u"Workbook", u"Book"};

CompoundCheck CheckAsWorkbook(SectorFile& file)
{
    return VerifyCompoundFile(file, {IsWorkbookName, biff::IsBofType, biff::kBof});
}

std::optional<Bytes> WorkbookStreamOf(SectorFile& file)
{
    return ReadRootStream(file, kWorkbookNames);
}

// A workbook stream the structural check accepts: a BIFF8 BOF record, then a pattern.
Bytes WorkbookBytes(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 509);
    StoreLe16(bytes.data(), biff::kBof);
    return bytes;
}

CompoundEntry Stream(std::u16string name, Bytes data, int parent = -1)
{
    return {std::move(name), kObjectTypeStream, parent, std::move(data)};
}

CompoundEntry Storage(std::u16string name, int parent = -1, std::uint8_t type = kObjectTypeStorage)
{
    CompoundEntry entry;
    entry.name = std::move(name);
    entry.type = type;
    entry.parent = parent;
    return entry;
}

MemorySectorFile Write(const std::vector<CompoundEntry>& entries, const CompoundRoot& root = {})
{
    MemorySectorFile file;
    WriteCompoundFile(file, root, entries);
    return file;
}

// The check finds nothing at all to say, not even harmless oddities.
void ExpectClean(MemorySectorFile& file)
{
    const CompoundCheck check = CheckAsWorkbook(file);
    EXPECT_TRUE(check.findings.empty()) << "finding " << static_cast<int>(check.findings.front().code);
}

std::vector<CompoundStream> ReadAll(SectorFile& file)
{
    std::optional<std::vector<CompoundStream>> streams = ReadCompoundFile(file);
    if (!streams)
        ADD_FAILURE() << "the file does not read as a compound file";
    return streams.value_or(std::vector<CompoundStream>{});
}

std::vector<CompoundEntry> AsEntries(const std::vector<CompoundStream>& streams)
{
    std::vector<CompoundEntry> entries;
    for (const CompoundStream& s : streams)
        entries.push_back({s.path.back(), s.type, s.parent, s.data, s.clsid, s.stateBits, s.created, s.modified});
    return entries;
}

// Each stream's bytes, read where the map of the file says they lie, are the stream's.
void ExpectMapReadsAsTheStreams(const Bytes& file, const std::vector<CompoundStream>& streams)
{
    ByteViewFile view(file);
    const std::optional<std::vector<StreamLayout>> layouts = MapCompoundStreams(view);
    ASSERT_TRUE(layouts);
    std::size_t k = 0;
    for (const CompoundStream& stream : streams) {
        if (stream.type != kObjectTypeStream)
            continue;
        ASSERT_LT(k, layouts->size());
        const StreamLayout& layout = (*layouts)[k++];
        EXPECT_EQ(layout.path, stream.path);
        Bytes bytes;
        for (const auto& [at, length] : layout.runs) {
            ASSERT_LE(at + length, file.size());
            bytes.insert(bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + length));
        }
        EXPECT_TRUE(bytes == stream.data) << "stream " << k;
    }
    EXPECT_EQ(k, layouts->size());
}

TEST(CompoundRoundTrip, EveryTestWorkbookComesBackStreamForStream)
{
    int workbooks = 0;
    for (const std::string& name : test::TestWorkbookNames()) {
        SCOPED_TRACE(name);
        ++workbooks;
        OsFile original = OsFile::Open(test::TestWorkbookPath(name), OsFile::Access::Read);
        const std::vector<CompoundStream> before = ReadAll(original);
        const std::optional<CompoundRoot> root = ReadCompoundRoot(original);
        ASSERT_TRUE(root && !before.empty());
        for (const CompoundStream& s : before)
            EXPECT_FALSE(s.truncated) << "intact workbooks have whole streams";

        ExpectMapReadsAsTheStreams(test::TestWorkbook(name), before);
        MemorySectorFile written = Write(AsEntries(before), *root);
        ExpectClean(written);
        const std::vector<CompoundStream> after = ReadAll(written);
        ExpectMapReadsAsTheStreams(written.Bytes(), after);
        ASSERT_EQ(after.size(), before.size());
        for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(std::tie(after[i].path, after[i].type, after[i].parent), std::tie(before[i].path, before[i].type, before[i].parent));
            EXPECT_TRUE(after[i].data == before[i].data) << "stream " << i;
            EXPECT_EQ(std::tie(after[i].clsid, after[i].stateBits, after[i].created, after[i].modified),
                      std::tie(before[i].clsid, before[i].stateBits, before[i].created, before[i].modified));
        }
        const std::optional<CompoundRoot> rootAfter = ReadCompoundRoot(written);
        ASSERT_TRUE(rootAfter);
        EXPECT_EQ(std::tie(rootAfter->clsid, rootAfter->created, rootAfter->modified),
                  std::tie(root->clsid, root->created, root->modified));
        const std::optional<Bytes> workbook = WorkbookStreamOf(original);
        ASSERT_TRUE(workbook && workbook->size() > 4);
        EXPECT_TRUE(WorkbookStreamOf(written) == workbook);
    }
    EXPECT_GE(workbooks, 11);
}

TEST(CompoundWriter, StreamSizesAroundTheMiniCutoffAndTheTableLimits)
{
    // Sizes on both sides of 4096 (mini stream or own sectors) and an empty stream.
    const std::vector<CompoundEntry> entries = {
        Stream(u"Workbook", WorkbookBytes(4096)), Stream(u"Mini", WorkbookBytes(4095)), Stream(u"Empty", {}),
        Stream(u"One", {42}), Stream(u"Full", WorkbookBytes(64)), Stream(u"Large", WorkbookBytes(4097))};
    MemorySectorFile file = Write(entries);
    ExpectClean(file);
    const std::vector<CompoundStream> read = ReadAll(file);
    ASSERT_EQ(read.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        EXPECT_TRUE(read[i].data == entries[i].data) << i;

    // One large stream of n sectors plus one directory sector. 127 of them fill one table
    // sector, which then has no room for itself; 109 table sectors cover up to 13842, one
    // more needs a DIFAT sector, 16 MiB two of them.
    struct Size {
        std::size_t sectors;
        std::uint32_t fatSectors, difatSectors;
    };
    for (const Size& size : {Size{127, 2, 0}, Size{13842, 109, 0}, Size{13843, 110, 1}, Size{32768, 259, 2}}) {
        SCOPED_TRACE(size.sectors);
        const Bytes data = WorkbookBytes(size.sectors * 512);
        MemorySectorFile big = Write({Stream(u"Workbook", data)});
        EXPECT_EQ(LoadLe32(big.Bytes().data() + kNumFatSectorsOffset), size.fatSectors);
        EXPECT_EQ(LoadLe32(big.Bytes().data() + kNumDifatSectorsOffset), size.difatSectors);
        ExpectClean(big);
        const std::optional<Bytes> back = WorkbookStreamOf(big);
        EXPECT_TRUE(back == data);
    }
}

// Writes one block at a time, as every file may: the default for many blocks at once.
class BlockByBlock final : public SectorFile {
public:
    std::uint64_t Length() override { return file.Length(); }
    void Seek(std::uint64_t offset) override { file.Seek(offset); }
    std::size_t Read(std::span<std::uint8_t> buffer) override { return file.Read(buffer); }
    void Write(std::span<const std::uint8_t, kBlockSize> block) override { file.Write(block); }

    MemorySectorFile file;
};

TEST(CompoundWriter, TheSameBytesOnDiskInMemoryAndBlockByBlock)
{
    // Streams that end inside a sector, one in the mini stream, one past the DIFAT limit.
    const std::vector<CompoundEntry> entries = {Stream(u"Workbook", WorkbookBytes(14000 * 512 + 77)),
                                                Stream(u"Small", WorkbookBytes(300)), Stream(u"Odd", WorkbookBytes(5000))};
    const MemorySectorFile memory = Write(entries);
    BlockByBlock blocks;
    WriteCompoundFile(blocks, {}, entries);
    EXPECT_TRUE(blocks.file.Bytes() == memory.Bytes());

    const test::ScratchFolder folder;
    const std::filesystem::path path = folder.Path() / "written.xls";
    {
        OsFile disk = OsFile::CreateNew(path);
        WriteCompoundFile(disk, {}, entries);
        disk.Close();
    }
    OsFile disk = OsFile::Open(path, OsFile::Access::Read);
    EXPECT_TRUE(ReadFileBytes(disk, disk.Length()) == memory.Bytes());
    const std::optional<Bytes> back = WorkbookStreamOf(disk);
    EXPECT_TRUE(back == entries.front().data);
}

struct Node {
    std::u16string name;
    std::uint8_t colour = 0;
    std::uint32_t left = 0, right = 0, child = 0;
};

// The directory as written, through the first table sector (enough for small files).
std::vector<Node> Directory(const Bytes& bytes)
{
    const auto sector = [&](std::uint32_t s) { return bytes.data() + (std::size_t{s} + 1) * 512; };
    const std::uint8_t* fat = sector(LoadLe32(bytes.data() + kHeaderDifatOffset));
    std::vector<Node> nodes;
    for (std::uint32_t s = LoadLe32(bytes.data() + kFirstDirectorySectorOffset); s != kEndOfChain;
         s = LoadLe32(fat + 4 * s)) {
        for (std::size_t k = 0; k < 4; ++k) {
            const std::uint8_t* raw = sector(s) + 128 * k;
            Node node{{}, raw[kEntryColorFlagOffset], LoadLe32(raw + kEntryLeftSiblingOffset),
                      LoadLe32(raw + kEntryRightSiblingOffset), LoadLe32(raw + kEntryChildOffset)};
            for (std::size_t i = 0; i + 1 < LoadLe16(raw + kEntryNameLengthOffset) / 2u; ++i)
                node.name.push_back(static_cast<char16_t>(LoadLe16(raw + 2 * i)));
            nodes.push_back(node);
        }
    }
    return nodes;
}

// Checks the tree below `id`: names strictly between `low` and `high` in sibling order (which
// NamesCompareAsSiblingsAreOrdered pins down), no red node under a red one, the same count of
// black nodes on every path, which it returns.
int BlackHeight(const std::vector<Node>& dir, std::uint32_t id, const std::u16string* low, const std::u16string* high,
                bool redAbove, std::size_t& visited)
{
    if (id == kNoStream)
        return 1;
    const Node& node = dir.at(id);
    ++visited;
    EXPECT_TRUE(!low || CompareEntryNames(*low, node.name) < 0) << id;
    EXPECT_TRUE(!high || CompareEntryNames(node.name, *high) < 0) << id;
    const bool red = node.colour == 0;
    EXPECT_FALSE(red && redAbove) << id;
    const int left = BlackHeight(dir, node.left, low, &node.name, red, visited);
    const int right = BlackHeight(dir, node.right, &node.name, high, red, visited);
    EXPECT_EQ(left, right) << id;
    return left + (red ? 0 : 1);
}

TEST(CompoundWriter, SiblingsFormValidRedBlackTrees)
{
    for (const std::size_t count : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 16u, 100u}) {
        SCOPED_TRACE(count);
        std::vector<CompoundEntry> entries = {Stream(u"Workbook", WorkbookBytes(600))};
        // Names of 1 to 31 units in mixed case, unique by their leading digits.
        for (std::size_t k = 1; k < count; ++k) {
            std::u16string name;
            for (const char digit : std::to_string(k))
                name.push_back(static_cast<char16_t>(digit));
            while (name.size() < 1 + (k * 7) % 31)
                name.push_back(static_cast<char16_t>((name.size() % 2 ? u'a' : u'A') + (k + name.size()) % 26));
            entries.push_back(Stream(name, WorkbookBytes(k * 97 % 6000)));
        }
        MemorySectorFile file = Write(entries);
        ExpectClean(file);
        const std::vector<CompoundStream> read = ReadAll(file);
        ASSERT_EQ(read.size(), count);
        for (std::size_t i = 0; i < count; ++i)
            EXPECT_TRUE(read[i].path == std::vector{entries[i].name} && read[i].data == entries[i].data) << i;

        const std::vector<Node> dir = Directory(file.Bytes());
        ASSERT_GT(dir.size(), count);
        std::size_t visited = 0;
        EXPECT_EQ(dir.at(dir[0].child).colour, 1) << "the top of a tree is black";
        BlackHeight(dir, dir[0].child, nullptr, nullptr, false, visited);
        EXPECT_EQ(visited, count);
        for (std::size_t unused = count + 1; unused < dir.size(); ++unused)
            EXPECT_TRUE(dir[unused].name.empty() && dir[unused].left == kNoStream && dir[unused].child == kNoStream);
    }
}

TEST(CompoundWriter, NestedStoragesKeepPlacesAndAttributes)
{
    const std::array<std::uint8_t, 16> clsid = {0x20, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    // The parent comes after its children in the list. The workbook is "Workbook" under the
    // root, before "Book" and not the nested "WORKBOOK".
    std::vector<CompoundEntry> entries = {
        Stream(u"\x01Ole", Bytes(20, 1), 3), Stream(u"WORKBOOK", WorkbookBytes(5000), 2), Storage(u"Inner", 3),
        Storage(u"MBD00000001"), Stream(u"Workbook", WorkbookBytes(700)), Stream(u"Deep", Bytes(9000, 3), 2),
        Stream(u"Book", WorkbookBytes(300))};
    entries[3].clsid = clsid;
    entries[3].stateBits = 0x11;
    entries[3].created = 0x01D9'0000'1234'5678;
    entries[3].modified = 0x01D9'0000'8765'4321;
    const CompoundRoot root{clsid, 0, 0x01D8'1111'2222'3333};
    MemorySectorFile file = Write(entries, root);
    ExpectClean(file);

    const std::vector<CompoundStream> read = ReadAll(file);
    ASSERT_EQ(read.size(), entries.size());
    const std::vector<std::vector<std::u16string>> paths = {{u"MBD00000001", u"\x01Ole"},
                                                            {u"MBD00000001", u"Inner", u"WORKBOOK"},
                                                            {u"MBD00000001", u"Inner"},
                                                            {u"MBD00000001"},
                                                            {u"Workbook"},
                                                            {u"MBD00000001", u"Inner", u"Deep"},
                                                            {u"Book"}};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(read[i].path, paths[i]) << i;
        EXPECT_EQ(read[i].parent, entries[i].parent) << i;
        EXPECT_TRUE(read[i].data == entries[i].data) << i;
    }
    EXPECT_EQ(std::tie(read[3].clsid, read[3].stateBits, read[3].created, read[3].modified),
              std::tie(clsid, entries[3].stateBits, entries[3].created, entries[3].modified));
    const std::optional<CompoundRoot> rootRead = ReadCompoundRoot(file);
    ASSERT_TRUE(rootRead);
    EXPECT_EQ(std::tie(rootRead->clsid, rootRead->modified), std::tie(root.clsid, root.modified));
    EXPECT_TRUE(WorkbookStreamOf(file) == entries[4].data);
}

TEST(CompoundWriter, NamesCompareAsSiblingsAreOrdered)
{
    EXPECT_LT(CompareEntryNames(u"Z", u"aa"), 0);  // shorter first, whatever the letters
    EXPECT_LT(CompareEntryNames(u"abc", u"ABD"), 0);
    EXPECT_EQ(CompareEntryNames(u"Book", u"bOOK"), 0);
    EXPECT_GT(CompareEntryNames(u"_", u"a"), 0);  // 'a' compares as 'A', before '_'
    EXPECT_EQ(CompareEntryNames(u"\u00e9t\u00e9", u"\u00c9T\u00c9"), 0);
    EXPECT_EQ(CompareEntryNames(u"\u044f\u0451", u"\u042f\u0401"), 0);  // Cyrillic
    EXPECT_EQ(CompareEntryNames(u"\u03c3\u03c2", u"\u03a3\u03a3"), 0);  // Greek, final sigma
    EXPECT_GT(CompareEntryNames(u"\u00e4", u"z"), 0);
}

TEST(CompoundWriter, RefusesWhatItCannotWriteAndWritesNothing)
{
    const std::pair<const char*, std::vector<CompoundEntry>> cases[] = {
        {"empty name", {Stream(u"", {})}},
        {"32 units", {Stream(std::u16string(32, u'x'), {})}},
        {"slash", {Stream(u"a/b", {})}},
        {"root type", {Storage(u"Root", -1, kObjectTypeRootStorage)}},
        {"parent out of range", {Stream(u"a", {}, 1)}},
        {"parent a stream", {Stream(u"a", {}), Stream(u"b", {}, 0)}},
        {"parent loop", {Storage(u"a", 1), Storage(u"b", 0)}},
        {"same name in another case", {Stream(u"Workbook", {}), Stream(u"WORKBOOK", {})}},
        {"storage with data", {[] { CompoundEntry e = Storage(u"s"); e.data = {1}; return e; }()}},
    };
    for (const auto& [name, entries] : cases) {
        MemorySectorFile file;
        EXPECT_THROW(WriteCompoundFile(file, {}, entries), std::invalid_argument) << name;
        EXPECT_EQ(file.Length(), 0u) << name;
    }
    // One name under two storages is fine, and a 31-unit name is.
    EXPECT_NO_THROW(Write({Storage(u"s"), Stream(u"Workbook", WorkbookBytes(10)),
                           Stream(u"Workbook", {}, 0), Stream(std::u16string(31, u'x'), {})}));
}

// A small written file to damage: the workbook in sectors 0-15, "Small" in the mini stream.
struct Damaged {
    MemorySectorFile file = Write({Stream(u"Workbook", WorkbookBytes(8192)), Stream(u"Small", WorkbookBytes(300))});
    std::vector<std::uint8_t> bytes = file.Bytes();
    std::uint8_t* Sector(std::uint32_t s) { return bytes.data() + (std::size_t{s} + 1) * 512; }
    std::uint32_t Header(std::size_t offset) { return LoadLe32(bytes.data() + offset); }
    void SetFat(std::uint32_t s, std::uint32_t value) { StoreLe32(Sector(Header(kHeaderDifatOffset)) + 4 * s, value); }
    std::uint8_t* Entry(std::uint32_t id) { return Sector(Header(kFirstDirectorySectorOffset)) + 128 * id; }
};

TEST(CompoundReader, DamagedFilesEndInBoundedTime)
{
    const Bytes workbook = WorkbookBytes(8192);
    struct Case {
        const char* name;
        std::function<void(Damaged&)> damage;
        std::size_t workbookBytes;  // what still reads of the workbook
        bool workbookTruncated;
        std::size_t smallBytes = 300;
    };
    const Case cases[] = {
        {"stream chain loops", [](Damaged& d) { d.SetFat(5, 2); }, 6 * 512, true},
        {"stream chain leaves the file", [](Damaged& d) { d.SetFat(3, 90'000); }, 4 * 512, true},
        {"huge declared size", [](Damaged& d) { StoreLe32(d.Entry(1) + kEntryStreamSizeOffset, 0x7FFF'FFF0); },
         8192, true},
        {"directory chain loops",
         [](Damaged& d) {
             const std::uint32_t directory = d.Header(kFirstDirectorySectorOffset);
             d.SetFat(directory, directory);
         },
         8192, false},
        {"directory tree loops",  // "Small", the left sibling of "Workbook", names it as its right
         [](Damaged& d) { StoreLe32(d.Entry(2) + kEntryRightSiblingOffset, 1); }, 8192, false},
        {"mini chain loops and huge mini stream",
         [](Damaged& d) {
             StoreLe32(d.Sector(d.Header(kFirstMiniFatSectorOffset)), 0);
             StoreLe32(d.Entry(0) + kEntryStreamSizeOffset, 0xFFFF'FFC0);
         },
         8192, false, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Damaged damaged;
        c.damage(damaged);
        MemorySectorFile file(damaged.bytes);
        const std::vector<CompoundStream> read = ReadAll(file);
        ASSERT_EQ(read.size(), 2u) << "each entry once";
        ASSERT_EQ(read[0].path, std::vector<std::u16string>{u"Workbook"});
        EXPECT_EQ(read[0].truncated, c.workbookTruncated);
        EXPECT_TRUE(read[0].data ==
                    Bytes(workbook.begin(), workbook.begin() + static_cast<std::ptrdiff_t>(c.workbookBytes)));
        EXPECT_EQ(read[1].data.size(), c.smallBytes);
    }

    // No table left but a DIFAT sector that lists nothing and names itself as the next.
    Damaged damaged;
    std::fill_n(damaged.bytes.begin() + kHeaderDifatOffset, 4 * kHeaderDifatEntries, std::uint8_t{0xFF});
    StoreLe32(damaged.bytes.data() + kFirstDifatSectorOffset, 15);
    std::fill_n(damaged.Sector(15), 508, std::uint8_t{0xFF});
    StoreLe32(damaged.Sector(15) + 508, 15);
    MemorySectorFile difatLoop(damaged.bytes);
    EXPECT_FALSE(ReadCompoundFile(difatLoop));
    MemorySectorFile zeros(Bytes(4096, 0));
    EXPECT_FALSE(ReadCompoundFile(zeros));
    EXPECT_FALSE(WorkbookStreamOf(zeros));
}

// A DIFAT chain that comes back to a sector it went through never ends: the check calls it
// broken there, having read a handful of sectors, however large the file (it followed such a
// chain for as many steps as the file has sectors, reading each on its own: a large file's
// zeroed header, whose chain starts and stays at sector 0, cost it tens of milliseconds).
TEST(CompoundCheck, ADifatChainThatComesBackBreaksThere)
{
    // Counts the reads the check makes.
    class CountingFile final : public SectorFile {
    public:
        explicit CountingFile(Bytes bytes) : file_(std::move(bytes)) {}
        std::uint64_t Length() override { return file_.Length(); }
        void Seek(std::uint64_t offset) override { file_.Seek(offset); }
        std::size_t Read(std::span<std::uint8_t> buffer) override
        {
            ++reads;
            return file_.Read(buffer);
        }
        void Write(std::span<const std::uint8_t, kBlockSize> block) override { file_.Write(block); }
        std::size_t reads = 0;

    private:
        MemorySectorFile file_;
    };
    for (const std::uint32_t loop : {1u, 3u}) {  // sectors the chain goes round
        SCOPED_TRACE(loop);
        Damaged d;
        const auto first = static_cast<std::uint32_t>(d.bytes.size() / 512 - 1);  // past the written sectors
        d.bytes.resize(d.bytes.size() + 40'000 * 512, 0);
        StoreLe32(d.bytes.data() + kFirstDifatSectorOffset, first);
        StoreLe32(d.bytes.data() + kNumDifatSectorsOffset, loop);
        for (std::uint32_t k = 0; k < loop; ++k) {
            std::fill_n(d.Sector(first + k), 508, std::uint8_t{0xFF});
            StoreLe32(d.Sector(first + k) + 508, first + (k + 1) % loop);
        }
        CountingFile file(d.bytes);
        const CompoundCheck check = CheckAsWorkbook(file);
        EXPECT_FALSE(check.Opens());
        EXPECT_TRUE(std::any_of(check.findings.begin(), check.findings.end(), [&](const Finding& f) {
            return f.code == FindingCode::DifatChainBroken && f.severity == Severity::Fatal && f.where == first;
        }));
        EXPECT_LT(file.reads, 20u);
    }
}

// A file whose one stream is too large for the mini stream: it has no small stream.
Damaged WithNoSmallStream()
{
    Damaged d;
    d.file = Write({Stream(u"Workbook", WorkbookBytes(8192))});
    d.bytes = d.file.Bytes();
    return d;
}

// A table for small streams (one sector of free entries) in a file that has no mini stream:
// harmless while no stream is small, which readers bear out; a small stream with no mini
// stream to live in is damage.
TEST(CompoundCheck, ASmallStreamTableWithoutAMiniStream)
{
    for (const bool small : {false, true}) {
        SCOPED_TRACE(small ? "a small stream" : "no small stream");
        Damaged d = small ? Damaged() : WithNoSmallStream();
        if (!small) {
            const auto table = static_cast<std::uint32_t>(d.bytes.size() / 512 - 1);
            d.bytes.resize(d.bytes.size() + 512, 0xFF);
            d.SetFat(table, kEndOfChain);
            StoreLe32(d.bytes.data() + kFirstMiniFatSectorOffset, table);
            StoreLe32(d.bytes.data() + kNumMiniFatSectorsOffset, 1);
        } else {
            StoreLe32(d.Entry(0) + kEntryStartSectorOffset, kEndOfChain);
            StoreLe32(d.Entry(0) + kEntryStreamSizeOffset, 0);
        }
        MemorySectorFile file(d.bytes);
        const CompoundCheck check = CheckAsWorkbook(file);
        EXPECT_EQ(check.Opens(), !small);
        EXPECT_EQ(std::any_of(check.findings.begin(), check.findings.end(),
                              [](const Finding& f) { return f.code == FindingCode::MiniFatInconsistent; }),
                  small);
    }
}

// A count of small-stream table sectors with no table at all (its first sector the end of a
// chain), as one writer leaves it: readers follow the empty chain and read every stream, so
// the file opens; with a small stream that the missing table should place, it does not.
TEST(CompoundCheck, ACountOfSmallStreamTableSectorsWithNoTable)
{
    for (const bool small : {false, true}) {
        SCOPED_TRACE(small ? "a small stream" : "no small stream");
        Damaged d = small ? Damaged() : WithNoSmallStream();
        StoreLe32(d.bytes.data() + kFirstMiniFatSectorOffset, kEndOfChain);
        StoreLe32(d.bytes.data() + kNumMiniFatSectorsOffset, 1);
        MemorySectorFile file(d.bytes);
        const CompoundCheck check = CheckAsWorkbook(file);
        EXPECT_EQ(check.Opens(), !small);
        EXPECT_TRUE(std::any_of(check.findings.begin(), check.findings.end(), [&](const Finding& f) {
            return f.code == FindingCode::MiniFatCountMismatch && f.severity == (small ? Severity::Incorrect : Severity::Harmless);
        }));
    }
}

}  // namespace
}  // namespace tabulon
