// The structural check: one defect per row on a workbook built in code, real workbooks, and
// files that are no workbooks at all.
#include <gtest/gtest.h>

#include <functional>

#include "engine/header_rebuild.h"
#include "engine/verify.h"
#include "tests/support/compound_builder.h"
#include "tests/support/sector_builder.h"

namespace tabulon {
namespace {

using test::CompoundFile;

struct DefectCase {
    const char* name;
    std::function<void(CompoundFile&)> damage;
    FindingCode code;
    Severity severity;
};

WorkbookCheck Check(const std::vector<std::uint8_t>& bytes)
{
    MemorySectorFile file(bytes);
    return VerifyWorkbook(file);
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
    EXPECT_TRUE(check.findings.empty()) << DescribeFinding(check.findings.front());
}

TEST(VerifyWorkbook, OneDefectPerRow)
{
    const DefectCase cases[] = {
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
        {"no workbook stream", [](CompoundFile& f) { f.SetName(1, "Worksheet"); }, FindingCode::NoWorkbookStream,
         Severity::Fatal},
        {"workbook without BOF", [](CompoundFile& f) { f.Sector(2)[0] = 0; }, FindingCode::WorkbookWithoutBof,
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
    };
    for (const DefectCase& c : cases) {
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

TEST(VerifyWorkbook, RealWorkbooksAndThePlainRebuild)
{
    for (const char* name : {"readxl__mtcars.xls", "xlrd__issue20.xls", "poi__47847.xls", "npoi__59858.xls"}) {
        const auto bytes = test::ReadWholeFile(std::filesystem::path(TABULON_TEST_DATA) / name);
        EXPECT_TRUE(Check(bytes).Opens()) << name;
    }
    // A healthy workbook without a mini stream: the plain rebuild points the mini table at a
    // sector in use, and the result no longer opens.
    MemorySectorFile rebuilt(test::ReadWholeFile(std::filesystem::path(TABULON_TEST_DATA) / "readxl__mtcars.xls"));
    RebuildHeader(rebuilt);
    EXPECT_FALSE(VerifyWorkbook(rebuilt).Opens());
}

TEST(VerifyWorkbook, FilesThatAreNoWorkbooks)
{
    EXPECT_TRUE(Has(Check({'P', 'K', 3, 4, 0, 0}), FindingCode::FileTooShort, Severity::Fatal));
    std::vector<std::uint8_t> zip(4096, 0);
    zip[0] = 'P', zip[1] = 'K', zip[2] = 3, zip[3] = 4;
    EXPECT_TRUE(Has(Check(zip), FindingCode::NotCompoundFile, Severity::Fatal));
    std::string html = "<!DOCTYPE html><html><body><table><tr><td>1</td></tr></table></body></html>";
    html.resize(2048, ' ');
    EXPECT_FALSE(Check(std::vector<std::uint8_t>(html.begin(), html.end())).Opens());
}

}  // namespace
}  // namespace tabulon
