// The structural check: one defect per row on a workbook built in code, real workbooks, and
// files that are no workbooks at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "engine/biff/records.h"
#include "engine/cfb/verify.h"
#include "engine/repair/workbook/workbook.h"
#include "tests/support/compound_builder.h"
#include "tests/support/sector_builder.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::CompoundFile;

WorkbookCheck Check(const std::vector<std::uint8_t>& bytes)
{
    MemorySectorFile file(bytes);
    return VerifyWorkbookStructure(file);
}

bool Has(const WorkbookCheck& check, FindingCode code, Severity severity)
{
    return std::any_of(check.findings.begin(), check.findings.end(),
                       [&](const Finding& f) { return f.code == code && f.severity == severity; });
}

TEST(VerifyWorkbook, IntactFileOpensWithoutFindings)
{
    const WorkbookCheck check = Check(test::BuildCompoundFile().bytes);
    EXPECT_TRUE(check.Opens());
    EXPECT_TRUE(check.findings.empty()) << "finding " << static_cast<int>(check.findings.front().code);
}

// A file that ends inside its last sector where only another stream's bytes are missing (the
// mini stream's, here): readers read the workbook as it is, and so it opens.
TEST(VerifyWorkbook, AFileCutInsideAnotherStreamsLastSectorOpens)
{
    CompoundFile file = test::BuildCompoundFile();
    file.bytes.resize(file.bytes.size() - 100);
    const WorkbookCheck check = Check(file.bytes);
    EXPECT_TRUE(Has(check, FindingCode::FileCutShort, Severity::Harmless));
    EXPECT_TRUE(check.Opens());
}

TEST(VerifyWorkbook, OneDefectPerRow)
{
    const struct { const char* name; std::function<void(CompoundFile&)> damage; FindingCode code; Severity severity; } cases[] = {
        {"stream chain loops", [](CompoundFile& f) { f.SetFat(5, 3); }, FindingCode::ChainLoop, Severity::Fatal},
        {"stream chain leaves the file", [](CompoundFile& f) { f.SetFat(5, 500); }, FindingCode::ChainOutOfRange,
         Severity::Incorrect},
        {"sector used by two chains", [](CompoundFile& f) { f.SetEntry32(0, 116, 9); },
         FindingCode::SectorClaimedTwice, Severity::Incorrect},
        {"stream longer than its chain", [](CompoundFile& f) { f.SetEntry32(1, 120, 8192); },
         FindingCode::ChainTooShort, Severity::Incorrect},
        {"first entry no root", [](CompoundFile& f) { f.Entry(0)[66] = 1; }, FindingCode::NoRootEntry, Severity::Fatal},
        {"directory beyond the file", [](CompoundFile& f) { f.SetHeader(kFirstDirectorySectorOffset, 90); },
         FindingCode::NoDirectory, Severity::Fatal},
        {"directory tree loops", [](CompoundFile& f) { f.SetEntry32(2, 68, 1); }, FindingCode::DirectoryCycle,
         Severity::Fatal},
        {"directory index beyond the entries", [](CompoundFile& f) { f.SetEntry32(2, 68, 40); },
         FindingCode::DirectoryIndexOutOfRange, Severity::Incorrect},
        // What readers (LibreOffice's) refuse the whole file for: the tree leads to bytes of
        // something else (clusters stitched in before a directory sector), or to an unused entry.
        {"the tree leads to no entry's bytes", [](CompoundFile& f) { f.Entry(2)[66] = 0xF2; },
         FindingCode::DirectoryEntryInvalid, Severity::Incorrect},
        {"the tree leads to an unused entry", [](CompoundFile& f) { f.Entry(2)[66] = 0; },
         FindingCode::DirectoryEntryInvalid, Severity::Incorrect},
        {"no workbook stream", [](CompoundFile& f) { f.SetName(1, "Worksheet"); }, FindingCode::NoMainStream,
         Severity::Fatal},
        {"workbook without BOF", [](CompoundFile& f) { f.Sector(2)[0] = 0; }, FindingCode::MainStreamStartsWrongly,
         Severity::Incorrect},
        {"small streams but no mini table",
         [](CompoundFile& f) {
             f.SetHeader(kFirstMiniFatSectorOffset, kEndOfChain);
             f.SetHeader(kNumMiniFatSectorsOffset, 0);
         },
         FindingCode::MiniFatInconsistent, Severity::Incorrect},
        {"mini table count wrong", [](CompoundFile& f) { f.SetHeader(kNumMiniFatSectorsOffset, 3); },
         FindingCode::MiniFatCountMismatch, Severity::Incorrect},
        {"mini table pointing at a data sector",
         [](CompoundFile& f) {
             f.SetEntry32(0, 120, 0);  // no mini stream, and no small stream left
             f.SetEntry32(0, 116, kEndOfChain);
             f.SetEntry32(2, 120, 0);
             f.SetFat(11, kFreeSector);
             f.SetHeader(kFirstMiniFatSectorOffset, 3);
         },
         FindingCode::SectorClaimedTwice, Severity::Incorrect},
        {"table count wrong", [](CompoundFile& f) { f.SetHeader(kNumFatSectorsOffset, 2); },
         FindingCode::FatCountMismatch, Severity::Incorrect},
        {"table sector beyond the file", [](CompoundFile& f) { f.SetHeader(kHeaderDifatOffset, 70); },
         FindingCode::FatSectorOutOfRange, Severity::Fatal},
        {"byte order", [](CompoundFile& f) { f.bytes[28] = 0; }, FindingCode::HeaderFieldUnusual, Severity::Incorrect},
        {"not a compound file", [](CompoundFile& f) { f.bytes[0] = 'P'; }, FindingCode::NotCompoundFile,
         Severity::Fatal},
        {"4096-byte sectors", [](CompoundFile& f) { f.bytes[30] = 12; }, FindingCode::UnsupportedFormat,
         Severity::Fatal},
        // What readers that load the whole table or whole sectors (Gnumeric's) refuse.
        {"an unused table entry neither a sector nor a marker", [](CompoundFile& f) { f.SetFat(100, 0xFFFF'FFEFu); },
         FindingCode::FatEntryOutOfRange, Severity::Incorrect},
        {"the file ends inside its last sector, in the workbook stream",
         [](CompoundFile& f) {
             // The workbook stream's last sector goes to the file's end, the mini stream's into its place.
             std::swap_ranges(f.Sector(9), f.Sector(9) + 512, f.Sector(11));
             f.SetFat(8, 11);
             f.SetFat(9, kEndOfChain);
             f.SetEntry32(0, 116, 9);
             f.bytes.resize(f.bytes.size() - 100);
         },
         FindingCode::FileCutShort, Severity::Incorrect},
    };
    for (const auto& c : cases) {
        CompoundFile file = test::BuildCompoundFile();
        c.damage(file);
        const WorkbookCheck check = Check(file.bytes);
        EXPECT_TRUE(Has(check, c.code, c.severity)) << c.name;
        EXPECT_FALSE(check.Opens()) << c.name;
    }
}

TEST(VerifyWorkbook, HarmlessOddities)
{
    CompoundFile file = test::BuildCompoundFile();
    file.SetFat(0, kEndOfChain);  // a writer that marks its table sector as end of chain
    file.bytes[24] = 0x3B;        // another minor version
    const WorkbookCheck check = Check(file.bytes);
    EXPECT_TRUE(Has(check, FindingCode::FatSectorNotMarked, Severity::Harmless));
    EXPECT_TRUE(check.Opens());
}

// A workbook whose directory chain runs through `directorySectors` sectors: the root, a
// Workbook stream of 4096 bytes, and empty entries. Past 109 table sectors the table is listed
// in DIFAT sectors.
struct WideWorkbook {
    std::vector<std::uint8_t> bytes;
    std::uint32_t directoryStart = 0;

    std::uint8_t* Entry(std::uint32_t index)
    {
        return bytes.data() + (std::size_t{directoryStart} + 1) * 512 + std::size_t{index} * 128;
    }
    void SetEntry32(std::uint32_t index, std::size_t offset, std::uint32_t value) { StoreLe32(Entry(index) + offset, value); }
};

WideWorkbook BuildWideWorkbook(std::uint32_t directorySectors)
{
    constexpr std::uint32_t kWorkbookSectors = 8;
    std::uint32_t fatSectors = 1;
    std::uint32_t difatSectors = 0;
    for (;;) {
        const std::uint32_t total = fatSectors + difatSectors + directorySectors + kWorkbookSectors;
        const std::uint32_t fat = (total + 127) / 128;
        const std::uint32_t difat = fat > 109 ? (fat - 109 + 126) / 127 : 0;
        if (fat == fatSectors && difat == difatSectors)
            break;
        fatSectors = fat;
        difatSectors = difat;
    }
    const std::uint32_t directory = fatSectors + difatSectors;
    const std::uint32_t workbook = directory + directorySectors;
    const std::uint32_t total = workbook + kWorkbookSectors;

    WideWorkbook file;
    file.directoryStart = directory;
    file.bytes.assign((std::size_t{total} + 1) * 512, 0);
    std::vector<std::uint8_t> model = test::BuildCompoundFile().bytes;
    std::copy_n(model.begin(), kHeaderDifatOffset, file.bytes.begin());
    auto sector = [&](std::uint32_t index) { return file.bytes.data() + (std::size_t{index} + 1) * 512; };
    auto setFat = [&](std::uint32_t index, std::uint32_t value) { StoreLe32(sector(index / 128) + 4 * (index % 128), value); };
    for (std::uint32_t i = 0; i < fatSectors * 128; ++i)
        setFat(i, kFreeSector);
    for (std::uint32_t i = 0; i < fatSectors; ++i)
        setFat(i, kFatSector);
    for (std::uint32_t i = 0; i < difatSectors; ++i)
        setFat(fatSectors + i, kDifatSector);
    for (std::uint32_t i = directory; i + 1 < workbook; ++i)
        setFat(i, i + 1);
    setFat(workbook - 1, kEndOfChain);
    for (std::uint32_t i = workbook; i + 1 < total; ++i)
        setFat(i, i + 1);
    setFat(total - 1, kEndOfChain);

    std::uint8_t* header = file.bytes.data();
    StoreLe32(header + kNumFatSectorsOffset, fatSectors);
    StoreLe32(header + kFirstDirectorySectorOffset, directory);
    StoreLe32(header + kFirstMiniFatSectorOffset, kEndOfChain);
    StoreLe32(header + kNumMiniFatSectorsOffset, 0);
    StoreLe32(header + kFirstDifatSectorOffset, difatSectors > 0 ? fatSectors : kEndOfChain);
    StoreLe32(header + kNumDifatSectorsOffset, difatSectors);
    for (std::uint32_t k = 0; k < 109 + difatSectors * 127; ++k) {
        const std::uint32_t value = k < fatSectors ? k : kFreeSector;
        if (k < 109)
            StoreLe32(header + kHeaderDifatOffset + 4 * k, value);
        else
            StoreLe32(sector(fatSectors + (k - 109) / 127) + 4 * ((k - 109) % 127), value);
    }
    for (std::uint32_t i = 0; i < difatSectors; ++i)
        StoreLe32(sector(fatSectors + i) + 508, i + 1 < difatSectors ? fatSectors + i + 1 : kEndOfChain);

    std::copy_n(model.data() + 2 * 512, 256, file.Entry(0));  // the model's root and Workbook entries
    file.SetEntry32(0, kEntryStartSectorOffset, kEndOfChain);
    file.SetEntry32(0, kEntryStreamSizeOffset, 0);
    file.SetEntry32(1, kEntryRightSiblingOffset, kNoStream);
    file.SetEntry32(1, kEntryStartSectorOffset, workbook);
    StoreLe16(sector(workbook), biff::kBof);
    return file;
}

TEST(VerifyWorkbook, CraftedDirectoriesAndListsStayWithinBounds)
{
    // A directory of 2^18 + 4 entries: the check reads 2^18 of them and says so when the tree
    // reaches past them, apart from a reference past the chain's end.
    WideWorkbook wide = BuildWideWorkbook((1u << 16) + 1);
    ASSERT_TRUE(Check(wide.bytes).Opens()) << "a table listed through DIFAT sectors";
    wide.SetEntry32(1, kEntryRightSiblingOffset, (1u << 18) + 1);
    wide.SetEntry32(1, kEntryLeftSiblingOffset, (1u << 18) + 4);
    WorkbookCheck check = Check(wide.bytes);
    EXPECT_FALSE(check.Opens());
    auto find = [&](FindingCode code) {
        return std::find_if(check.findings.begin(), check.findings.end(), [&](const Finding& f) { return f.code == code; });
    };
    ASSERT_NE(find(FindingCode::DirectoryTooLarge), check.findings.end());
    EXPECT_EQ(find(FindingCode::DirectoryTooLarge)->where, (1u << 18) + 1);
    ASSERT_NE(find(FindingCode::DirectoryIndexOutOfRange), check.findings.end());
    EXPECT_EQ(find(FindingCode::DirectoryIndexOutOfRange)->expected, (1u << 18) + 4) << "every entry of the chain";

    // 1100 entries, each pointing past the directory: the findings stop at 1000, the first of
    // them still the first problem.
    WideWorkbook many = BuildWideWorkbook(300);
    for (std::uint32_t k = 2; k < 1102; ++k) {
        test::SetDirectoryEntry(reinterpret_cast<SectorBytes&>(*many.Entry(k & ~3u)), k % 4, "s", kObjectTypeStream, 1);
        many.SetEntry32(k, kEntryLeftSiblingOffset, 0x7FFF'0000 + k);
        many.SetEntry32(k, kEntryRightSiblingOffset, k + 1 < 1102 ? k + 1 : kNoStream);
        many.SetEntry32(k, kEntryChildOffset, kNoStream);
    }
    many.SetEntry32(1, kEntryRightSiblingOffset, 2);
    check = Check(many.bytes);
    EXPECT_EQ(check.findings.size(), 1000u);
    ASSERT_NE(check.FirstProblem(), nullptr);
    EXPECT_EQ(check.FirstProblem()->code, FindingCode::DirectoryIndexOutOfRange);
    EXPECT_EQ(check.FirstProblem()->where, 0x7FFF'0000u + 1101);

    // Three DIFAT sectors listing sector 0 over and over: every listed sector counts, and the
    // second of them, not marked as a DIFAT sector, is the one reported.
    CompoundFile listing = test::BuildCompoundFile();
    listing.bytes.resize(17 * 512, 0);
    for (std::uint32_t d = 13; d < 16; ++d) {
        for (std::size_t j = 0; j < 127; ++j)
            StoreLe32(listing.Sector(d) + 4 * j, 0);
        StoreLe32(listing.Sector(d) + 508, d + 1 < 16 ? d + 1 : kEndOfChain);
        listing.SetFat(d, kDifatSector);
    }
    listing.SetFat(14, kFreeSector);
    listing.SetHeader(kFirstDifatSectorOffset, 13);
    listing.SetHeader(kNumDifatSectorsOffset, 3);
    check = Check(listing.bytes);
    const auto count = std::find_if(check.findings.begin(), check.findings.end(),
                                     [](const Finding& f) { return f.code == FindingCode::FatCountMismatch; });
    ASSERT_NE(count, check.findings.end());
    EXPECT_EQ(count->found, 1u + 3 * 127);
    const auto unmarked = std::find_if(check.findings.begin(), check.findings.end(),
                                       [](const Finding& f) { return f.code == FindingCode::FatSectorNotMarked; });
    ASSERT_NE(unmarked, check.findings.end());
    EXPECT_EQ(unmarked->where, 14u);
    EXPECT_EQ(unmarked->expected, kDifatSector);
}

TEST(VerifyWorkbook, SmallWorkbookInTheMiniStreamsSecondSector)
{
    // The Workbook stream begins at mini sector 9, in the mini stream's second sector.
    CompoundFile file = test::BuildCompoundFile();
    file.bytes.resize(14 * 512, 0);
    file.SetFat(11, 12);
    file.SetFat(12, kEndOfChain);
    for (std::uint32_t s = 2; s < 10; ++s)
        file.SetFat(s, kFreeSector);
    file.SetEntry32(0, kEntryStreamSizeOffset, 1024);
    file.SetEntry32(1, kEntryStartSectorOffset, 9);
    file.SetEntry32(1, kEntryStreamSizeOffset, 100);
    StoreLe32(file.Sector(10) + 4 * 9, 10);
    StoreLe32(file.Sector(10) + 4 * 10, kEndOfChain);
    StoreLe16(file.Sector(12) + 64, biff::kBof);
    const WorkbookCheck check = Check(file.bytes);
    EXPECT_TRUE(check.Opens()) << (check.findings.empty() ? -1 : static_cast<int>(check.findings.front().code));

    StoreLe16(file.Sector(12) + 64, 0x1234);
    EXPECT_TRUE(Has(Check(file.bytes), FindingCode::MainStreamStartsWrongly, Severity::Incorrect));
}

TEST(VerifyWorkbook, StreamsSharingTheEndOfAMiniChain)
{
    // "B" runs through mini sector 3 into the chain of "SummaryInformation" (0, 1): its length
    // counts on through the shared sectors to the end of the chain.
    CompoundFile file = test::BuildCompoundFile();
    file.SetEntry32(0, kEntryStreamSizeOffset, 512);
    file.SetEntry32(2, kEntryRightSiblingOffset, 3);
    file.SetName(3, "B");
    file.Entry(3)[kEntryObjectTypeOffset] = kObjectTypeStream;
    file.SetEntry32(3, kEntryStartSectorOffset, 3);
    file.SetEntry32(3, kEntryStreamSizeOffset, 192);
    StoreLe32(file.Sector(10) + 4 * 3, 0);
    WorkbookCheck check = Check(file.bytes);
    EXPECT_TRUE(check.Opens()) << (check.findings.empty() ? -1 : static_cast<int>(check.findings.front().code));

    file.SetEntry32(3, kEntryStreamSizeOffset, 300);
    check = Check(file.bytes);
    ASSERT_EQ(check.findings.size(), 1u);
    EXPECT_EQ(check.findings[0].code, FindingCode::ChainTooShort);
    EXPECT_EQ(check.findings[0].expected, 5u);
    EXPECT_EQ(check.findings[0].found, 3u);
}

TEST(VerifyWorkbook, FilesThatAreNoWorkbooks)
{
    EXPECT_TRUE(Has(Check({'P', 'K', 3, 4, 0, 0}), FindingCode::FileTooShort, Severity::Fatal));
    EXPECT_TRUE(Has(Check(test::ZipArchive()), FindingCode::NotCompoundFile, Severity::Fatal));
    std::string html = "<!DOCTYPE html><html><body><table><tr><td>1</td></tr></table></body></html>";
    html.resize(2048, ' ');
    EXPECT_FALSE(Check(std::vector<std::uint8_t>(html.begin(), html.end())).Opens());
}

}  // namespace
}  // namespace tabulon
