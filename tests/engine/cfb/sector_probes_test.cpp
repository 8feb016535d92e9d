// The probes on hand-made sectors, and the scans on small files.
#include <gtest/gtest.h>

#include "engine/cfb/sector_probes.h"
#include "tests/support/literal_scans.h"
#include "tests/support/sector_builder.h"

namespace tabulon {
namespace {

using test::ChainSector;
using test::DataSector;
using test::FilledSector;
using test::MakeFile;
using test::RootDirectorySector;
using test::SetDirectoryEntry;
using test::SetEntry;

// k marked entries (allocation-table markers) followed by unmarked zeros.
SectorBytes MarkedEntries(std::size_t k)
{
    SectorBytes sector{};
    for (std::size_t j = 0; j < k; ++j)
        SetEntry(sector, j, kFatSector);
    return sector;
}

TEST(SectorProbes, AllocationTableLikeness)
{
    SectorBytes fiftyFourAndLastEntryChained = MarkedEntries(54);
    SetEntry(fiftyFourAndLastEntryChained, 126, 7);  // 7 + 1 == 8: a chain mark for entry 126
    SetEntry(fiftyFourAndLastEntryChained, 127, 8);  // 8 + 1 has no next entry: never a chain mark
    SectorBytes fiftyFourAndLastChainOnly = MarkedEntries(54);
    SetEntry(fiftyFourAndLastChainOnly, 127, 0);  // entry 127 would "chain" to nothing: no mark
    SetEntry(fiftyFourAndLastChainOnly, 126, 0xFFFF'FFFF - 0);  // special: 55th mark
    SectorBytes wrapping = MarkedEntries(54);
    SetEntry(wrapping, 100, 0x7FFF'FFFF);
    SetEntry(wrapping, 101, 0x8000'0000);  // chain across the signed boundary still counts
    // Entry 127 has no successor: it counts only as a marker, never as a chain.
    SectorBytes lastUnmarked = MarkedEntries(54);
    SetEntry(lastUnmarked, 127, 41);
    SectorBytes lastSpecial = MarkedEntries(54);
    SetEntry(lastSpecial, 127, kDifatSector);

    // Marks at the end of the sector: the first 96 entries must hold at least 23 of them.
    auto tailHeavy = [](std::size_t inFirstPart) {
        SectorBytes sector = FilledSector(0);
        for (std::size_t j = 96; j < 128; ++j)
            SetEntry(sector, j, kFreeSector);
        for (std::size_t j = 0; j < inFirstPart; ++j)
            SetEntry(sector, 2 * j, kEndOfChain);
        return sector;
    };

    const struct { const char* name; SectorBytes sector; bool fatLike; } cases[] = {
        {"32 marks at the end, 22 before", tailHeavy(22), false},
        {"32 marks at the end, 23 before", tailHeavy(23), true},
        {"all entries free", FilledSector(kFreeSector), true},
        {"all entries end of chain", FilledSector(kEndOfChain), true},
        {"zero sector", SectorBytes{}, false},
        {"one chain 1..128", ChainSector(1), true},
        {"54 marked entries", MarkedEntries(54), false},
        {"55 marked entries", MarkedEntries(55), true},
        {"54 marks plus one chain pair", fiftyFourAndLastEntryChained, true},
        {"54 marks, 55th special at 126", fiftyFourAndLastChainOnly, true},
        {"54 marks plus chain across 0x7FFFFFFF", wrapping, true},
        {"54 marks, entry 127 neither chain nor marker", lastUnmarked, false},
        {"54 marks, 55th special at 127", lastSpecial, true},
        {"random data", DataSector(3), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsFatLikeSector(c.sector), c.fatLike) << c.name;
        EXPECT_EQ(literal::IsFatLikeSector(c.sector), c.fatLike) << c.name << " (reference)";
    }
}

TEST(SectorProbes, EstimateOfTablePosition)
{
    SectorBytes negativeSum = FilledSector(kFreeSector);  // large entries only
    SectorBytes mixed = ChainSector(129);
    SetEntry(mixed, 0, 511);
    SetEntry(mixed, 1, 512);

    const struct { const char* name; SectorBytes sector; std::int32_t n, estimate; } cases[] = {
        {"chain 1..128 at 0", ChainSector(1), 0, 0},
        {"chain 129..256 at 1", ChainSector(129), 1, 1},
        {"chain 129..256 at 0", ChainSector(129), 0, 1},
        {"chain 129..256 at 5", ChainSector(129), 5, 1},
        {"chain 385..512: 512 counts as entry 127", ChainSector(385), 0, 3},
        {"511 counts as itself, 512 as large", mixed, 0, 1},
        {"all large at 0", negativeSum, 0, 0},
        {"all large at 108", negativeSum, 108, 108},
        {"all large at -1: negative sum truncates toward zero", negativeSum, -1, 0},
        {"all large at -2", negativeSum, -2, -1},
        {"all large, sum wraps to negative", negativeSum, 0x2'0000, -131071},
        {"all large, n at the top of int32", negativeSum, 0x7FFF'FFFF, 0},
        {"zero sector", SectorBytes{}, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EstimateFatIndex(c.sector, c.n), c.estimate) << c.name;
        EXPECT_EQ(literal::EstimateFatIndex(c.sector, c.n), c.estimate) << c.name << " (reference)";
    }
}

TEST(SectorProbes, LargeEntriesEstimateEveryHeaderPosition)
{
    for (const std::uint32_t large : {512u, 0x1234'5678u, kFreeSector, kFatSector}) {
        const SectorBytes sector = FilledSector(large);
        for (std::int32_t n = 0; n <= 108; ++n)
            ASSERT_EQ(EstimateFatIndex(sector, n), n) << "entries " << large << ", n " << n;
    }
}

TEST(SectorProbes, NameUnits)
{
    SectorBytes sector{};
    SetDirectoryEntry(sector, 0, "Root Entry", 5, 1);
    EXPECT_EQ(CountNameUnits(std::span<const std::uint8_t>(sector)), 10u);

    sector[2 * 3] = 0x00;  // "Roo" then U+0100 written as 00 01: the low byte ends the count
    sector[2 * 3 + 1] = 0x01;
    EXPECT_EQ(CountNameUnits(std::span<const std::uint8_t>(sector)), 3u);

    sector[0] = 0;
    sector[1] = 'x';  // a high byte alone does not count
    EXPECT_EQ(CountNameUnits(std::span<const std::uint8_t>(sector)), 0u);

    SectorBytes full = FilledSector(0x4141'4141);  // no zero byte anywhere
    const auto all = std::span<const std::uint8_t>(full);
    EXPECT_EQ(CountNameUnits(all), 256u);
    EXPECT_EQ(CountNameUnits(all.subspan(384)), 64u) << "stops at the end of the sector";
}

TEST(SectorProbes, DirectoryLikeness)
{
    SectorBytes noNameLengths = RootDirectorySector();
    for (std::size_t k = 0; k < 4; ++k) {
        noNameLengths[128 * k + 64] = 0;
        noNameLengths[128 * k + 65] = 0;
    }
    SectorBytes sevenMarks = noNameLengths;
    sevenMarks[67] = 2;  // one colour flag out of range
    SectorBytes nameLengthOne = noNameLengths;
    for (std::size_t k = 0; k < 4; ++k)
        nameLengthOne[128 * k + 64] = 1;  // 1 / 2 - 1 == -1 never matches
    SectorBytes typeOutOfRange = RootDirectorySector();
    for (std::size_t k = 0; k < 4; ++k)
        typeOutOfRange[128 * k + 66] = 6;  // 12 - 4 = 8 marks: still a directory
    SectorBytes typeAndColourOut = typeOutOfRange;
    typeAndColourOut[67] = 0xFF;

    const struct { const char* name; SectorBytes sector; bool directory; } cases[] = {
        {"root and three valid entries: 12 marks", RootDirectorySector(), true},
        {"all name lengths 0: 8 marks", noNameLengths, true},
        {"7 marks", sevenMarks, false},
        {"name length 1 never matches", nameLengthOne, true},
        {"zero sector: 8 marks", SectorBytes{}, true},
        {"types out of range: 8 marks", typeOutOfRange, true},
        {"types and one colour out of range: 7 marks", typeAndColourOut, false},
        {"all free entries", FilledSector(kFreeSector), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsDirectorySector(c.sector), c.directory) << c.name;
        EXPECT_EQ(literal::IsDirectorySector(c.sector), c.directory) << c.name << " (reference)";
    }
}

// Files of one table-like sector or none: what the scans count and find for position 0, and
// with the first match skipped.
TEST(SectorScans, SmallFilesAndSingleMatches)
{
    auto withPartial = MakeFile(HeaderBytes{}, {DataSector(1), FilledSector(kFreeSector)});
    withPartial.pop_back();  // 511 bytes that look like a table, but are not a sector
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint32_t count;
        std::int32_t first, second;  // FindFatSector for position 0, without and with skipFirst
    } cases[] = {
        // No whole sector after the header below 1024 bytes; a trailing partial block is never read.
        {"0 bytes", {}, 0, -1, -1},
        {"511 bytes", std::vector<std::uint8_t>(511, 0xFF), 0, -1, -1},
        {"512 bytes", std::vector<std::uint8_t>(512, 0xFF), 0, -1, -1},
        {"1023 bytes", std::vector<std::uint8_t>(1023, 0xFF), 0, -1, -1},
        {"one sector of markers", MakeFile(HeaderBytes{}, {FilledSector(kFreeSector)}), 1, 0, -1},
        {"a table-like partial block", withPartial, 0, -1, -1},
        {"one table in the middle", MakeFile(HeaderBytes{}, {DataSector(1), ChainSector(1), DataSector(2)}), 1, 1, -1},
        {"one table last", MakeFile(HeaderBytes{}, {DataSector(1), DataSector(2), ChainSector(1)}), 1, 2, -1},
    };
    for (const auto& c : cases) {
        MemorySectorFile file(c.bytes);
        EXPECT_EQ(CountFatLikeSectors(file), c.count) << c.name;
        EXPECT_EQ(FindFatSector(file, 0, false), c.first) << c.name;
        EXPECT_EQ(FindFatSector(file, 0, true), c.second) << c.name;
        EXPECT_EQ(FindRootDirectorySector(file), -1) << c.name;
    }
}

TEST(SectorScans, FindsInFileOrder)
{
    SectorBytes zeroRoot = SectorBytes{};
    zeroRoot[66] = 5;  // a zero sector is directory-like; with type 5 first it is a root
    MemorySectorFile file(MakeFile(HeaderBytes{}, {
        DataSector(1),               // 0
        SectorBytes{},               // 1: directory-like, but its first entry is no root
        ChainSector(1),              // 2: table position 0
        RootDirectorySector(),       // 3
        FilledSector(kFreeSector),   // 4: any position
        ChainSector(129),            // 5: position 1
        zeroRoot,                    // 6
        ChainSector(1),              // 7: last whole sector, position 0 again
    }));
    EXPECT_EQ(CountFatLikeSectors(file), 4u);
    EXPECT_EQ(FindFatSector(file, 0, false), 2);
    EXPECT_EQ(FindFatSector(file, 0, true), 4);
    EXPECT_EQ(FindFatSector(file, 1, false), 4);
    EXPECT_EQ(FindFatSector(file, 1, true), 5);
    EXPECT_EQ(FindFatSector(file, 2, true), -1);
    EXPECT_EQ(FindFatSector(file, 200, false), 4) << "beyond the header's positions";
    EXPECT_EQ(FindFatSector(file, -1, false), -1);
    EXPECT_EQ(FindRootDirectorySector(file), 3);
}

// A table-like sector whose estimate runs as high as it can with `large` large entries:
// every small entry 511, the large ones at the highest indices.
SectorBytes HighestEstimate(std::size_t large)
{
    SectorBytes sector = FilledSector(511);
    for (std::size_t j = 128 - large; j < 128; ++j)
        SetEntry(sector, j, kFreeSector);
    return sector;
}

TEST(SectorScans, PositionsPastTheTableAgreeWithTheReference)
{
    // The scan keeps no sector past the tabled positions: there, only sectors without a small
    // entry may match, up to the position where their sum wraps.
    std::vector<std::uint8_t> highest(512, 0);
    for (std::size_t large = 55; large < 128; ++large) {
        const SectorBytes sector = HighestEstimate(large);
        highest.insert(highest.end(), sector.begin(), sector.end());
    }
    std::vector<std::uint8_t> withAllLarge = highest;
    for (const std::uint32_t marker : {kFatSector, kFreeSector, kEndOfChain}) {
        const SectorBytes sector = FilledSector(marker);
        withAllLarge.insert(withAllLarge.end(), sector.begin(), sector.end());
    }
    std::vector<std::int32_t> positions = {-131072, -2, -1, 131070, 131071, 131072, 0x7FFF'FFFF};
    for (std::int32_t n = 0; n <= 130; ++n)
        positions.push_back(n);
    for (const auto& bytes : {highest, withAllLarge}) {
        MemorySectorFile file(bytes);
        const SectorScan scan = SectorScan::Run(file);
        for (const std::int32_t n : positions) {
            for (const bool skipFirst : {false, true})
                ASSERT_EQ(scan.FindFatSector(n, skipFirst), literal::FindFatSector(file, n, skipFirst))
                    << "n " << n << ", skipFirst " << skipFirst << ", " << bytes.size() / 512 << " blocks";
        }
    }
    MemorySectorFile file(withAllLarge);
    EXPECT_EQ(SectorScan::Run(file).FindFatSector(67, false), 72) << "the reach of a sector with one small entry";
    EXPECT_EQ(SectorScan::Run(file).FindFatSector(131071, true), 74);
}

TEST(SectorScans, KeptSectorsAreWholeSectorsOnly)
{
    MemorySectorFile file(MakeFile(HeaderBytes{}, {DataSector(1), RootDirectorySector()}));
    const std::uint32_t keep[] = {1, 2, 3, 1};
    const SectorScan scan = SectorScan::Run(file, keep);
    ASSERT_NE(scan.KeptSector(1), nullptr);
    EXPECT_EQ(*scan.KeptSector(1), RootDirectorySector());
    EXPECT_EQ(scan.KeptSector(0), nullptr) << "not asked for";
    EXPECT_EQ(scan.KeptSector(2), nullptr) << "N - 1 is not a whole sector";
}

}  // namespace
}  // namespace tabulon
