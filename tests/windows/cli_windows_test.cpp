// tabulon-repair.exe as a Windows user meets it: names in any script (its arguments arrive as
// UTF-16), paths shown with backslashes, wildcards, workbooks held open by other programs, and
// files too large to be workbooks. What it writes is compared with the Linux build's by scripts/test.
#include <gtest/gtest.h>

#include "engine/cfb/consts.h"
#include "tests/windows/windows_process.h"

namespace tabulon {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::HeldFile;

class RepairProgram : public ::testing::Test {
protected:
    // Runs tabulon-repair.exe in the scratch folder; it must end within the time limit.
    test::ProgramRun Repair(const std::vector<std::wstring>& arguments)
    {
        return test::RunProgram(fs::absolute(TABULON_REPAIR_PROGRAM), arguments, scratch_.Path());
    }

    // A real workbook with its header wiped, at `name` (UTF-8) in the scratch folder.
    fs::path Damaged(const std::string& name, const char* source = "readxl__mtcars.xls")
    {
        Bytes bytes = test::TestWorkbook(source);
        std::fill(bytes.begin(), bytes.begin() + 512, std::uint8_t{0});
        const fs::path path = At(name);
        fs::create_directories(path.parent_path());
        test::WriteWholeFile(path, bytes);
        return path;
    }

    fs::path At(const std::string& name) const { return PathFromUtf8(PathToUtf8(scratch_.Path()) + "\\" + name); }

    test::ScratchFolder scratch_;
};

bool Contains(const std::string& text, const std::string& piece)
{
    return text.find(piece) != std::string::npos;
}

TEST_F(RepairProgram, TakesNamesInAnyScriptFromItsUtf16CommandLine)
{
    // Latin, Cyrillic, CJK, and U+1F4CA and U+1D11E beyond the Basic Multilingual Plane.
    const std::string name = "\xC3\x9C" "bersicht \xD0\xBA\xD0\xBD\xD0\xB8\xD0\xB3\xD0\xB0 \xE8\xA1\xA8 \xF0\x9F\x93\x8A";
    const std::string suffix = "_\xF0\x9D\x84\x9E";
    const fs::path workbook = Damaged(name + ".xls");
    const test::ProgramRun run = Repair({workbook.wstring(), L"-s", PathFromUtf8(suffix).wstring()});
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    const fs::path copy = At(name + suffix + ".xls");
    ASSERT_TRUE(fs::exists(copy)) << run.out << run.err;
    EXPECT_EQ(test::FirstDifference(test::ReadWholeFile(copy), test::TestWorkbook(), 44), std::nullopt);
    EXPECT_TRUE(Contains(run.out, "repaired " + PathToUtf8(workbook) + " into " + PathToUtf8(copy))) << run.out;
}

// Paths are shown with backslashes, however they were given. No Windows shell expands
// wildcards: the program does, and a pattern that matches nothing is taken as a name.
TEST_F(RepairProgram, ShowsPathsWithBackslashesAndExpandsWildcardsItself)
{
    Damaged("sub\\Book.xls");
    Damaged("a.xls");
    Damaged("b.xls");
    test::WriteWholeFile(At("notes.txt"), {'n'});
    const test::ProgramRun run = Repair({L"sub/Book.xls", L"sub/missing.xls", L"*.xls", L"none*.xls"});
    EXPECT_EQ(run.exitCode, 1u);
    for (const char* line : {"repaired sub\\Book.xls into sub\\Book_repaired.xls", "repaired a.xls into .\\a_repaired.xls",
                             "repaired b.xls into .\\b_repaired.xls"})
        EXPECT_TRUE(Contains(run.out, line)) << run.out;
    for (const char* line : {"tabulon-repair: sub\\missing.xls: cannot open: ", "tabulon-repair: none*.xls: cannot open: "})
        EXPECT_TRUE(Contains(run.err, line)) << run.err;
    EXPECT_FALSE(Contains(run.out + run.err, "/") || Contains(run.out + run.err, "notes.txt")) << run.out << run.err;

    const test::ProgramRun json = Repair({L"--json", L"-n", L"-s", L"_planned", L"sub/Book.xls"});
    EXPECT_EQ(json.exitCode, 0u) << json.err;
    EXPECT_TRUE(Contains(json.out, "\"path\":\"sub\\\\Book.xls\"")) << json.out;
}

// A workbook another program holds without sharing is reported at once and nothing is
// written; one a spreadsheet program has open for editing is read and repaired into a copy,
// but never rewritten in place under it.
TEST_F(RepairProgram, ReportsWorkbooksOtherProgramsHold)
{
    const fs::path edited = Damaged("edited.xls");
    Damaged("locked.xls");
    const HeldFile locker(At("locked.xls"), GENERIC_READ | GENERIC_WRITE, 0);
    const HeldFile editor(edited, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    const test::ProgramRun copy = Repair({L"locked.xls", L"edited.xls"});
    EXPECT_EQ(copy.exitCode, 1u);
    EXPECT_TRUE(Contains(copy.err, "tabulon-repair: locked.xls: cannot open: ")) << copy.err;
    EXPECT_FALSE(fs::exists(At("locked_repaired.xls")));
    EXPECT_EQ(test::FirstDifference(test::ReadWholeFile(At("edited_repaired.xls")), test::TestWorkbook(), 44),
              std::nullopt);
    const test::ProgramRun inPlace = Repair({L"--in-place", L"edited.xls"});
    EXPECT_EQ(inPlace.exitCode, 1u);
    EXPECT_TRUE(Contains(inPlace.err, "edited.xls: cannot open: ")) << inPlace.err;
    EXPECT_EQ(test::ReadFirstBytes(edited, 512), Bytes(512, 0)) << "left as it was";
}

TEST_F(RepairProgram, RefusesAFileOf2GiBBeforeCopyingIt)
{
    const test::SparseFile large(At("large.xls"), kMaxFileLength + 1);
    if (!large.Made())
        GTEST_SKIP() << large.WhyNot();
    for (const std::vector<std::wstring>& arguments :
         {std::vector<std::wstring>{L"-o", L".", L"large.xls"}, {L"--in-place", L"large.xls"}}) {
        const test::ProgramRun run = Repair(arguments);
        EXPECT_EQ(run.exitCode, 1u) << arguments.size();
        EXPECT_TRUE(Contains(run.err, "large.xls: is 2 GiB or larger")) << run.err;
        EXPECT_EQ(std::distance(fs::directory_iterator(scratch_.Path()), fs::directory_iterator()), 1)
            << "no copy, whole or begun";
        EXPECT_EQ(fs::file_size(large.Path()), kMaxFileLength + 1);
    }
}

}  // namespace
}  // namespace tabulon
