// The repair in words: on real files repaired as the program repairs them (what a workbook that
// needed nothing is called, stream names that begin with a control character, a file that is no
// workbook at all, which every text calls one), and on what a salvage or a realignment came to.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/base/byte_order.h"
#include "engine/cfb/consts.h"
#include "engine/repair/pipeline/repair.h"
#include "words/report_text.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;

// The repair of a copy of `bytes` as the window and the command line run it: the header first,
// then the salvage when no header opens the file.
RepairReport Repaired(const Bytes& bytes)
{
    MemorySectorFile copy(bytes);
    MemorySectorFile out;
    return RepairWorkingCopy(copy, RebuildMode::Auto, [&out]() -> SectorFile& { return out; }).report;
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

TEST(ReportText, WhatASalvageBroughtBackSheetBySheet)
{
    SalvageReport salvage;
    salvage.written = true;
    salvage.outcomes = {{.name = "One"},
                        {.name = "Two", .state = SheetState::Partial, .bytesLost = 100, .textsLost = 2, .startLost = true},
                        {.name = "Three", .state = SheetState::Lost}};
    EXPECT_EQ(DescribeSalvage(salvage),
              "Salvaged: 1 of 3 sheets complete; partial: Two (its first records, 100 bytes of its records and 2 texts lost); "
              "lost: Three");
    salvage.regions = {{MendedRegion::Kind::Replaced, 0, 8228, -1}};
    salvage.dropped = {"\x05SummaryInformation"};
    EXPECT_TRUE(DescribeSalvage(salvage).ends_with(
        "; damaged records replaced in the workbook's globals (8228 bytes); 1 stream lost"))
        << DescribeSalvage(salvage);
    salvage.formulasAsValues.needingCells = 1;
    EXPECT_TRUE(DescribeSalvage(salvage).ends_with("(8228 bytes); 1 formula kept as its value (what it refers to was lost); 1 stream lost"))
        << DescribeSalvage(salvage);
    salvage.formulasAsValues.needingGlobals = 2;
    EXPECT_TRUE(DescribeSalvage(salvage).ends_with("; 3 formulas kept as their values (what they refer to was lost); 1 stream lost"))
        << DescribeSalvage(salvage);

    // No sheet came back: nothing was salvaged, unless the new file stands all the same.
    SalvageReport nothing;
    nothing.written = true;
    nothing.outcomes = {{.name = "Only", .state = SheetState::Lost}};
    EXPECT_EQ(DescribeSalvage(nothing), "Nothing could be salvaged: none of the workbook's 1 sheet came back");
    RepairReport stood;
    stood.used = RebuildUsed::Salvaged;
    stood.salvage = nothing;
    EXPECT_EQ(DescribeVerdict(stood), "Salvaged: 0 of 1 sheet complete; lost: Only");
}

TEST(ReportText, WhatARealignmentUndidWithGroupedNumbers)
{
    EXPECT_EQ(DescribeRealign({}), "");
    EXPECT_EQ(DescribeRealign({.wrapperBytes = 128}), "A 128-byte wrapper before the workbook was removed");
    EXPECT_EQ(DescribeRealign({.crlfTurnedBack = 2314}), "2,314 CR LF pairs turned back into LF");
    EXPECT_EQ(DescribeRealign({.crRestored = 1}), "1 LF turned back into CR LF");
    EXPECT_EQ(DescribeRealign({.wrapperBytes = 1234567, .foreignClusters = 2}),
        "A 1,234,567-byte wrapper before the workbook was removed; 2 4 KiB "
        "clusters of other bytes removed");
    EXPECT_EQ(DescribeRealign({.crRestored = 1, .cellsLeftOut = 1}),
        "1 LF turned back into CR LF; 1 cell left out, whose bytes the damage left in doubt");
    RepairReport realigned;
    realigned.used = RebuildUsed::Realigned;
    realigned.realign = RealignNote{.crlfTurnedBack = 5};
    EXPECT_EQ(DescribeVerdict(realigned), "Realigned: 5 CR LF pairs turned back into LF");
}

}  // namespace
}  // namespace tabulon
