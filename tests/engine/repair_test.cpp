// The whole repair: real workbooks damaged the ways headers get damaged all come back with
// their own structure; intact ones keep it; files that are no workbooks are left alone.
#include <gtest/gtest.h>

#include <random>

#include "engine/deep_rebuild.h"
#include "engine/header_rebuild.h"
#include "engine/repair.h"
#include "tests/support/compound_builder.h"
#include "tests/support/sector_builder.h"

namespace tabulon {
namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const kWorkbooks[] = {
    "readxl__mtcars.xls", "xlrd__issue20.xls", "poi__47847.xls", "npoi__59858.xls",
    "edr__Test_git_issue_231_NoCodePage.xls", "phpss__biff8cover.xls", "sheetjs__number_format_russian.xls",
    "readxl__more-than-256-unique-strings-xls.xls", "sheetjs__image.et.xls",
};

Bytes Workbook(const char* name)
{
    return test::ReadWholeFile(std::filesystem::path(TABULON_TEST_DATA) / name);
}

void Damage(Bytes& file, int pattern, std::mt19937& random)
{
    auto noise = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            file[i] = static_cast<std::uint8_t>(random());
    };
    auto zero = [&](std::ptrdiff_t from, std::ptrdiff_t to) { std::fill(file.begin() + from, file.begin() + to, 0); };
    switch (pattern) {
    case 0: zero(0, 512); break;         // wiped
    case 1: noise(0, 512); break;        // noise
    case 2: noise(0, 44); break;         // identification garbled
    case 3: noise(44, 76); break;        // counts garbled
    case 4: zero(76, 512); break;        // allocation list wiped
    case 5: noise(30, 94); break;        // a 64-byte burst
    default: zero(200, 512); break;      // a truncated write
    }
}

TEST(Repair, DamagedWorkbooksComeBackWithTheirOwnStructure)
{
    std::mt19937 random(1234);
    for (const char* name : kWorkbooks) {
        const Bytes original = Workbook(name);
        for (int pattern = 0; pattern < 7; ++pattern) {
            Bytes damaged = original;
            Damage(damaged, pattern, random);
            MemorySectorFile file(damaged);
            const RepairReport report = RepairHeader(file, RebuildMode::Auto);
            const Bytes& repaired = file.Bytes();
            ASSERT_EQ(repaired.size(), original.size()) << name << " pattern " << pattern;
            EXPECT_TRUE(report.check.Opens()) << name << " pattern " << pattern;
            EXPECT_TRUE(std::equal(original.begin() + 512, original.end(), repaired.begin() + 512));
            // Every field that locates or counts a structure is the writer's own again.
            EXPECT_TRUE(std::equal(original.begin() + 44, original.begin() + 512, repaired.begin() + 44))
                << name << " pattern " << pattern;
            EXPECT_FALSE(report.refused);
        }
    }
}

TEST(Repair, IntactWorkbooksKeepWhatTheyHold)
{
    for (const char* name : kWorkbooks) {
        const Bytes original = Workbook(name);
        MemorySectorFile file(original);
        const RepairReport report = RepairHeader(file, RebuildMode::Auto);
        EXPECT_TRUE(report.check.Opens()) << name;
        EXPECT_TRUE(std::equal(original.begin() + 44, original.end(), file.Bytes().begin() + 44)) << name;
    }
    // The plain rebuild alone stays exactly the plain rebuild, even where it does harm.
    MemorySectorFile plain(Workbook("readxl__mtcars.xls"));
    MemorySectorFile reference(Workbook("readxl__mtcars.xls"));
    const RepairReport report = RepairHeader(plain, RebuildMode::Design);
    RebuildHeader(reference);
    EXPECT_EQ(plain.Bytes(), reference.Bytes());
    EXPECT_EQ(report.used, RebuildUsed::Design);
    EXPECT_FALSE(report.check.Opens());
}

TEST(Repair, DeepRebuildFindsTheLiveTableAndOddWriters)
{
    // A stale copy of the allocation table, left later in the file, that breaks the workbook.
    test::CompoundFile stale = test::BuildCompoundFile();
    stale.bytes.resize(stale.bytes.size() + 512);
    std::copy(stale.Sector(0), stale.Sector(0) + 512, stale.Sector(12));
    StoreLe32(stale.Sector(12) + 4 * 5, kEndOfChain);
    const Bytes intact = stale.bytes;
    std::fill(stale.bytes.begin(), stale.bytes.begin() + 512, 0);
    MemorySectorFile staleFile(stale.bytes);
    const auto staleHeader = DeepRebuildHeader(staleFile);
    ASSERT_TRUE(staleHeader);
    EXPECT_EQ(LoadLe32(staleHeader->data() + kHeaderDifatOffset), 0u);
    EXPECT_TRUE(VerifyWithHeader(staleFile, *staleHeader).Opens());

    // A writer that marks its table sector as end of chain instead of as a table sector.
    test::CompoundFile unmarked = test::BuildCompoundFile();
    unmarked.SetFat(0, kEndOfChain);
    std::fill(unmarked.bytes.begin(), unmarked.bytes.begin() + 512, 0);
    MemorySectorFile unmarkedFile(unmarked.bytes);
    const RepairReport report = RepairHeader(unmarkedFile, RebuildMode::Auto);
    EXPECT_EQ(report.used, RebuildUsed::Deep);
    EXPECT_TRUE(report.check.Opens());
    EXPECT_EQ(LoadLe32(unmarkedFile.Bytes().data() + kFirstMiniFatSectorOffset), 10u);
}

TEST(Repair, FilesThatAreNoWorkbooksAreLeftAlone)
{
    struct Case {
        const char* name;
        Bytes bytes;
        NotAWorkbook what;
    };
    Bytes zip(8192, 0x11);
    zip[0] = 'P', zip[1] = 'K', zip[2] = 3, zip[3] = 4;
    std::string htmlText = "<!DOCTYPE html>\n<html><body><table><tr><td>Budget</td></tr></table></body></html>\n";
    htmlText.resize(4096, ' ');
    std::string xmlText = "<?xml version=\"1.0\"?>\n<Workbook xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\"/>";
    xmlText.resize(4096, ' ');
    Bytes large = test::BuildCompoundFile().bytes;
    large[26] = 4;
    large[30] = 12;
    Bytes noise(16384);
    std::mt19937 random(9);
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>(random());

    const Case cases[] = {
        {"zip archive", zip, NotAWorkbook::ZipArchive},
        {"HTML document", Bytes(htmlText.begin(), htmlText.end()), NotAWorkbook::HtmlDocument},
        {"XML document", Bytes(xmlText.begin(), xmlText.end()), NotAWorkbook::XmlDocument},
        {"4096-byte sectors", large, NotAWorkbook::LargeSectors},
        {"random bytes", noise, NotAWorkbook::NoCompoundStructure},
    };
    for (const Case& c : cases) {
        MemorySectorFile file(c.bytes);
        const RepairReport report = RepairHeader(file, RebuildMode::Auto);
        ASSERT_TRUE(report.refused) << c.name;
        EXPECT_EQ(*report.refused, c.what) << c.name;
        EXPECT_EQ(file.Bytes(), c.bytes) << c.name << ": nothing written";
        EXPECT_FALSE(DescribeNotAWorkbook(*report.refused).empty());
    }
}

}  // namespace
}  // namespace tabulon
