// The repair in words: on real files repaired as the program repairs them (what a workbook that
// needed nothing is called, stream names by the names people know them by, a file that is no
// workbook at all, which every text calls one), on what a salvage or a realignment came to, and
// every finding and refusal in plain words first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

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

bool HoldsAControlCharacter(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return c != '\n' && static_cast<unsigned char>(c) < 0x20; });
}

// A lost allocation-table sector: the salvage lists the streams it kept and lost by the names
// people know them by, without the control character some begin with; one that a damaged name
// holds elsewhere is written out.
TEST(ReportText, StreamNamesAreTheOnesPeopleKnow)
{
    Bytes damaged = test::TestWorkbook("phpss__biff8cover.xls");
    const std::size_t table = LoadLe32(damaged.data() + kHeaderDifatOffset);
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(kHeaderSize * (table + 1)), kHeaderSize, std::uint8_t{0});
    const RepairReport report = Repaired(damaged);
    ASSERT_EQ(report.used, RebuildUsed::Salvaged);
    const std::string text = DescribeRepair(report);
    EXPECT_NE(text.find("\n  SummaryInformation: "), std::string::npos) << text;
    EXPECT_FALSE(HoldsAControlCharacter(text)) << text;

    EXPECT_EQ(StreamName("\x05" "DocumentSummaryInformation"), "DocumentSummaryInformation");
    EXPECT_EQ(StreamName("Workbook"), "Workbook");
    EXPECT_EQ(StreamName("Objects/\x01" "CompObj"), "Objects/CompObj");
    EXPECT_EQ(StreamName("Bo\x07ok"), "Bo\\x07ok");
    EXPECT_EQ(StreamName("\x05"), "\\x05");
}

// Every finding and every refusal says first what happened in plain words, before any term of
// the format, and holds no control character.
TEST(ReportText, EveryFindingStartsInPlainWords)
{
    static const std::set<std::string> kFormatTerms = {"sector",  "sectors", "allocation", "allocation-table", "stream",
                                                       "streams", "record",  "records",    "biff",             "offset",
                                                       "directory", "entry", "chain",      "fat",              "difat",
                                                       "mini",    "compound", "header",    "byte",             "bytes"};
    const auto opening = [](const std::string& sentence) {
        std::string words[2];
        std::size_t at = 0;
        for (std::string& word : words) {
            const std::size_t end = std::min(sentence.find(' ', at), sentence.size());
            for (std::size_t i = at; i < end; ++i)
                word += static_cast<char>(std::tolower(static_cast<unsigned char>(sentence[i])));
            at = end + 1;
        }
        const bool article = words[0] == "the" || words[0] == "a" || words[0] == "an";
        return article ? words[1] : words[0];
    };
    const std::string unnamed = DescribeFinding({static_cast<FindingCode>(1000), Severity::Fatal, 7});
    for (int code = 0; code <= static_cast<int>(FindingCode::DirectoryEntryInvalid); ++code) {
        const std::string sentence = DescribeFinding({static_cast<FindingCode>(code), Severity::Incorrect, 4546, 1, 2});
        EXPECT_NE(sentence, unnamed) << code;
        EXPECT_FALSE(kFormatTerms.contains(opening(sentence))) << sentence;
        EXPECT_FALSE(HoldsAControlCharacter(sentence)) << sentence;
    }
    for (const NotAWorkbook what : {NotAWorkbook::ZipArchive, NotAWorkbook::HtmlDocument, NotAWorkbook::XmlDocument,
                                    NotAWorkbook::LargeSectors, NotAWorkbook::NoCompoundStructure}) {
        const std::string sentence = DescribeNotAWorkbook(what);
        EXPECT_TRUE(sentence.starts_with("This ")) << sentence;
        EXPECT_FALSE(kFormatTerms.contains(opening(sentence.substr(5)))) << sentence;
    }
    EXPECT_EQ(DescribeFinding({FindingCode::DifatChainBroken, Severity::Fatal, 3}),
              "the file's table of contents is damaged (the list of allocation-table sectors is broken)");
    EXPECT_EQ(DescribeFinding({FindingCode::MainStreamDamaged, Severity::Incorrect, 4546}),
              "part of the workbook's data is damaged (its records, at byte 4546 of the workbook stream)");
    EXPECT_EQ(DescribeFinding({FindingCode::FileCutShort, Severity::Incorrect, 12}),
              "the file was cut short (it ends inside sector 12, which is in use)");
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
    const std::string sheets = "Salvaged: 1 of 3 sheets complete; partial: Two (its first records, 100 bytes of its records and "
                               "2 texts lost); lost: Three; damaged data that all sheets share was replaced (8228 bytes of the "
                               "workbook's global records)";
    EXPECT_EQ(DescribeSalvage(salvage), sheets + "; 1 other part of the file lost (1 stream)");
    salvage.formulasAsValues.needingCells = 1;
    EXPECT_EQ(DescribeSalvage(salvage),
              sheets + "; 1 formula kept as its value (what it refers to was lost); 1 other part of the file lost (1 stream)");
    salvage.formulasAsValues.needingGlobals = 2;
    salvage.directoryLost = true;
    EXPECT_EQ(DescribeSalvage(salvage), sheets + "; 3 formulas kept as their values (what they refer to was lost); 1 other part "
                                                 "of the file lost (1 stream); found without the file's table of contents (its "
                                                 "directory was lost)");

    EXPECT_EQ(DescribeMendedStretch({MendedRegion::Kind::Replaced, 4546, 100, 0}),
              "data damaged and replaced (100 bytes at offset 4546 of the workbook stream)");
    EXPECT_EQ(DescribeMendedStretch({MendedRegion::Kind::Lost, 0, 1, -1}), "data lost (1 byte at offset 0 of the workbook stream)");

    // No sheet came back: nothing was salvaged, unless the new file stands all the same.
    SalvageReport nothing;
    nothing.written = true;
    nothing.outcomes = {{.name = "Only", .state = SheetState::Lost}};
    EXPECT_EQ(DescribeSalvage(nothing), "Nothing could be salvaged: none of the workbook's 1 sheet came back");
    RepairReport stood;
    stood.used = RebuildUsed::Salvaged;
    stood.salvage = nothing;
    EXPECT_EQ(DescribeVerdict(stood), "Salvaged: 0 of 1 sheet complete; lost: Only");

    // The same where the file's structure was gone and the salvage found the workbook by its
    // records: the refusal says so, not that the file is no workbook.
    RepairReport refused;
    refused.refused = NotAWorkbook::NoCompoundStructure;
    refused.salvage = nothing;
    for (const std::string& text : {DescribeVerdict(refused), DescribeRefusal(refused), DescribeSalvageOf(refused)})
        EXPECT_EQ(text, "Nothing could be salvaged: none of the workbook's 1 sheet came back");
    EXPECT_EQ(DescribeRepair(refused), "Nothing could be salvaged: none of the workbook's 1 sheet came back; nothing was written.");
    refused.salvage->outcomes.clear();
    EXPECT_EQ(DescribeRefusal(refused), "Nothing could be salvaged: no sheet of the workbook came back");
    refused.salvage->written = false;
    EXPECT_EQ(DescribeRefusal(refused), DescribeNotAWorkbook(NotAWorkbook::NoCompoundStructure));
}

TEST(ReportText, WhatARealignmentUndidWithGroupedNumbers)
{
    EXPECT_EQ(DescribeRealign({}), "");
    EXPECT_EQ(DescribeRealign({.wrapperBytes = 128}), "Bytes added before the workbook were removed (a 128-byte wrapper)");
    EXPECT_EQ(DescribeRealign({.crlfTurnedBack = 2314}),
              "Line breaks a text-mode copy changed were put back (2,314 CR LF pairs turned back into LF)");
    EXPECT_EQ(DescribeRealign({.crRestored = 1}), "Line breaks a text-mode copy changed were put back (1 LF turned back into CR LF)");
    EXPECT_EQ(DescribeRealign({.wrapperBytes = 1234567, .foreignClusters = 2}),
              "Bytes added before the workbook were removed (a 1,234,567-byte wrapper); bytes of other files were removed "
              "(2 4 KiB clusters)");
    EXPECT_EQ(DescribeRealign({.crRestored = 1, .cellsLeftOut = 1}),
              "Line breaks a text-mode copy changed were put back (1 LF turned back into CR LF); cells whose bytes the damage "
              "left in doubt were left out (1 cell)");
    RepairReport realigned;
    realigned.used = RebuildUsed::Realigned;
    realigned.realign = RealignNote{.crlfTurnedBack = 5};
    EXPECT_EQ(DescribeVerdict(realigned),
              "Realigned: line breaks a text-mode copy changed were put back (5 CR LF pairs turned back into LF)");
}

}  // namespace
}  // namespace tabulon
