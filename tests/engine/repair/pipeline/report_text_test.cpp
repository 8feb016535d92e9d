// The repair in words, on real files repaired as the program repairs them: what a workbook that
// needed nothing is called, stream names that begin with a control character, and a file that
// is no workbook at all, which every text calls one.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/base/byte_order.h"
#include "engine/cfb/consts.h"
#include "engine/repair/pipeline/repair.h"
#include "engine/repair/pipeline/report_text.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;

// The repair of a copy of `bytes` as the window and the command line run it: the header first,
// then the salvage when no header opens the file.
RepairReport Repaired(const Bytes& bytes)
{
    MemorySectorFile copy(bytes);
    RepairReport report = RepairHeader(copy, RebuildMode::Auto);
    if (NeedsSalvage(report)) {
        MemorySectorFile out;
        report = SalvageRepair(copy, report, out);
    }
    return report;
}

TEST(ReportText, AWorkbookThatNeededNothingIsCalledKept)
{
    const Bytes intact = test::TestWorkbook();
    EXPECT_EQ(DescribeVerdict(Repaired(intact)), "Kept: opens as it is; nothing changed");

    Bytes wiped = intact;
    std::fill_n(wiped.begin(), kHeaderSize, std::uint8_t{0});
    const RepairReport rebuilt = Repaired(wiped);
    ASSERT_NE(rebuilt.used, RebuildUsed::Kept);
    EXPECT_EQ(DescribeVerdict(rebuilt), "Opens");
}

// A lost allocation-table sector: the salvage lists the streams it kept and lost by name, and
// the names that begin with a control character show it written out.
TEST(ReportText, StreamNamesShowTheirControlCharacters)
{
    Bytes damaged = test::TestWorkbook("phpss__biff8cover.xls");
    const std::size_t table = LoadLe32(damaged.data() + kHeaderDifatOffset);
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(kHeaderSize * (table + 1)), kHeaderSize, std::uint8_t{0});
    const RepairReport report = Repaired(damaged);
    ASSERT_EQ(report.used, RebuildUsed::Salvaged);
    const std::string text = DescribeRepair(report);
    EXPECT_NE(text.find("  \\x05SummaryInformation: "), std::string::npos) << text;
    EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](char c) { return c != '\n' && static_cast<unsigned char>(c) < 0x20; }))
        << text;
}

// A text file named .xls, short or long: the refusal, the finding on the file as it is (short)
// and what the salvage came to all call it not a workbook.
TEST(ReportText, ATextFileIsNotAWorkbookInEveryText)
{
    const std::string note = "Dear all,\nthe figures follow next week.\n";
    for (const std::size_t length : {note.size(), std::size_t{3000}}) {
        Bytes text;
        while (text.size() < length)
            text.insert(text.end(), note.begin(), note.end());
        text.resize(length);
        const RepairReport report = Repaired(text);
        ASSERT_EQ(report.refused, NotAWorkbook::NoCompoundStructure) << length;
        const std::string refusal = DescribeNotAWorkbook(*report.refused);
        EXPECT_TRUE(refusal.starts_with("This file is not a workbook")) << refusal;
        EXPECT_TRUE(DescribeRepair(report).starts_with(refusal)) << length;
        EXPECT_EQ(DescribeSalvageOf(report), "Nothing could be salvaged: this file is not a workbook");
        if (length < 2 * kHeaderSize) {
            ASSERT_NE(report.check.FirstProblem(), nullptr);
            EXPECT_TRUE(DescribeFinding(*report.check.FirstProblem()).starts_with("not a workbook")) << length;
        }
    }
}

}  // namespace
}  // namespace tabulon
