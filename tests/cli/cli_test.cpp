// tabulon-repair as a user runs it: a real process, real files, its exit status and output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/cfb/compound_reader.h"
#include "engine/cfb/verify.h"
#include "engine/repair/workbook_file.h"
#include "tests/support/biff_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch.h"
#include "tests/support/sector_builder.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::FirstDifference;

constexpr const char* kPauseVariable = "TABULON_TEST_PAUSE_BEFORE_WRITE";

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadText(const fs::path& path)
{
    const Bytes bytes = test::ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

Bytes Original(const char* source = "readxl__mtcars.xls")
{
    return test::TestWorkbook(source);
}

class RepairCommand : public ::testing::Test {
protected:
    // Starts the program, its output going to files in the folder; Finish collects it.
    // pauseMarker turns on the program's pause before it writes.
    pid_t Start(const std::vector<std::string>& arguments, const fs::path& pauseMarker = {})
    {
        const fs::path outPath = folder_ / ".stdout";
        const fs::path errPath = folder_ / ".stderr";
        return test::StartChild({}, [&] {
            const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0)
                return 127;
            if (pauseMarker.empty())
                ::unsetenv(kPauseVariable);
            else
                ::setenv(kPauseVariable, pauseMarker.c_str(), 1);
            std::vector<char*> argv = {const_cast<char*>(TABULON_REPAIR_PROGRAM)};
            for (const auto& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            ::execv(TABULON_REPAIR_PROGRAM, argv.data());
            return 126;
        });
    }

    RunResult Finish(pid_t child)
    {
        const test::ChildExit exit = test::WaitForChild(child);
        EXPECT_TRUE(exit.ExitCode() >= 0 && exit.ExitCode() < 120) << "tabulon-repair " << exit.Describe();
        RunResult result;
        result.exitCode = exit.ExitCode();
        result.out = ReadText(folder_ / ".stdout");
        result.err = ReadText(folder_ / ".stderr");
        fs::remove(folder_ / ".stdout");
        fs::remove(folder_ / ".stderr");
        return result;
    }

    RunResult Run(const std::vector<std::string>& arguments) { return Finish(Start(arguments)); }

    // Runs the program, and does `meanwhile` while it waits between reading and writing.
    RunResult RunPausedBeforeWrite(const std::vector<std::string>& arguments, const std::function<void()>& meanwhile)
    {
        const fs::path marker = folder_ / ".paused";
        const pid_t child = Start(arguments, marker);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const bool paused = fs::exists(marker);
        EXPECT_TRUE(paused) << "the program never paused before its write";
        if (paused)
            meanwhile();
        fs::remove(marker);
        return Finish(child);
    }

    // The names in `where` other than the test's own (.stdout, .stderr, .paused).
    std::set<std::string> Listing(const fs::path& where) const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(where)) {
            const std::string name = entry.path().filename().string();
            if (name != ".stdout" && name != ".stderr" && name != ".paused")
                names.insert(name);
        }
        return names;
    }

    static bool HoldsATemporaryFile(const std::set<std::string>& names)
    {
        return std::any_of(names.begin(), names.end(), [](const std::string& name) { return name.starts_with(".tabulon-"); });
    }

    // A real workbook with its header wiped, placed in the test folder.
    fs::path DamagedWorkbook(const std::string& name, const char* source = "readxl__mtcars.xls")
    {
        Bytes bytes = Original(source);
        std::fill(bytes.begin(), bytes.begin() + 76, std::uint8_t{0});
        const fs::path path = folder_ / name;
        test::WriteWholeFile(path, bytes);
        return path;
    }

    test::ScratchFolder scratch_;
    fs::path folder_ = scratch_.Path();
};

TEST_F(RepairCommand, BadUsageExitsWithTwo)
{
    const fs::path book = DamagedWorkbook("book.xls");
    const std::vector<std::vector<std::string>> misuses = {
        {},
        {"--frobnicate", book},
        {"--in-place", "-o", folder_, book},
        {"--in-place", "--overwrite", book},
        {"--in-place", "-s", "_x", book},
        {"-o"},
        {"--suffix", "../x", book},
        {"--json=yes", book},
        {"--export-csv"},
        {"--export-csv=", book},
        {"--export-csv", folder_, "--in-place", book},
        {"--export-csv", folder_, "--check", book},
        {"--export-csv", folder_, "-o", folder_, book},
        {"--export-csv", folder_, "-s", "_x", book},
        {"--export-csv", folder_, "--rebuild=design", book},
        {"--export-csv", folder_},
    };
    for (const auto& arguments : misuses) {
        const RunResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_NE(result.err.find("tabulon-repair: "), std::string::npos);
    }
    EXPECT_EQ(Listing(folder_), std::set<std::string>{"book.xls"}) << "bad usage writes nothing";

    const RunResult help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: tabulon-repair [options] WORKBOOK..."), std::string::npos);
    EXPECT_NE(help.out.find("--export-csv DIR"), std::string::npos);
    const RunResult version = Run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find(std::string("tabulon-repair ") + TABULON_VERSION + "\n"), std::string::npos);
}

TEST_F(RepairCommand, WritesARepairedCopyAndNeverTheWorkbook)
{
    const fs::path book = DamagedWorkbook("sales.2024.xls");
    const Bytes damaged = test::ReadWholeFile(book);

    const RunResult result = Run({book});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(test::ReadWholeFile(book), damaged);
    EXPECT_EQ(FirstDifference(test::ReadWholeFile(folder_ / "sales.2024_repaired.xls"), Original(), 44), std::nullopt);
    EXPECT_NE(result.out.find("repaired "), std::string::npos);
    EXPECT_NE(result.out.find("Header Signature"), std::string::npos) << "names the fields that changed";
    EXPECT_EQ(Listing(folder_), (std::set<std::string>{"sales.2024.xls", "sales.2024_repaired.xls"}))
        << "no temporary file is left behind";

    // Another folder and suffix; a name without extension.
    const fs::path out = folder_ / "out";
    fs::create_directory(out);
    fs::copy_file(book, folder_ / "plain");
    EXPECT_EQ(Run({"-q", "-o", out, "-s", "-fixed", book, folder_ / "plain"}).exitCode, 0);
    EXPECT_EQ(Listing(out), (std::set<std::string>{"sales.2024-fixed.xls", "plain-fixed.xls"}));
}

TEST_F(RepairCommand, NeverReplacesWithoutBeingAsked)
{
    const fs::path book = DamagedWorkbook("book.xls");
    const fs::path existing = folder_ / "book_repaired.xls";
    test::WriteWholeFile(existing, Bytes{'k', 'e', 'e', 'p'});

    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{{book}, {"-n", book}}) {
        const RunResult refused = Run(arguments);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(refused.err.find("already exists"), std::string::npos) << refused.err;
        EXPECT_EQ(ReadText(existing), "keep");
        EXPECT_FALSE(HoldsATemporaryFile(Listing(folder_)));
    }

    RunResult result = Run({"--overwrite", book});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(FirstDifference(test::ReadWholeFile(existing), Original(), 44), std::nullopt);

    // A copy that would land on the workbook itself is refused even with --overwrite.
    const Bytes damaged = test::ReadWholeFile(book);
    result = Run({"--overwrite", "-s", "", book});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("would replace the workbook itself"), std::string::npos) << result.err;
    EXPECT_EQ(test::ReadWholeFile(book), damaged);
}

TEST_F(RepairCommand, ACopyWrittenInARunIsNeverReplacedLaterInIt)
{
    for (const char* name : {"a", "b", "out"})
        fs::create_directory(folder_ / name);
    fs::create_directory_symlink("a", folder_ / "alias");
    const fs::path first = DamagedWorkbook("a/Book.xls");
    const fs::path second = DamagedWorkbook("b/Book.xls", "poi__47847.xls");
    DamagedWorkbook("a/Book.XLT", "poi__47847.xls");

    // Same-named workbooks from two folders into one, and two workbooks of one folder (named
    // once through a link to it) whose names differ in the extension only.
    const struct {
        std::vector<std::string> arguments;
        fs::path later, copy;
    } layouts[] = {
        {{"-o", folder_ / "out", first, second}, second, folder_ / "out/Book_repaired.xls"},
        {{first, folder_ / "alias/Book.XLT"}, folder_ / "alias/Book.XLT", folder_ / "alias/Book_repaired.xls"},
    };
    for (const auto& layout : layouts) {
        for (const std::vector<std::string>& options :
             std::vector<std::vector<std::string>>{{"--overwrite"}, {"--json"}, {"-n"}, {"-n", "--overwrite"}}) {
            fs::remove(layout.copy);
            std::vector<std::string> arguments = options;
            arguments.insert(arguments.end(), layout.arguments.begin(), layout.arguments.end());
            const RunResult result = Run(arguments);
            const bool dryRun = options[0] == "-n";
            EXPECT_EQ(result.exitCode, 1);
            const std::string refusal = "the copy " + layout.copy.string() + (dryRun ? " would be" : " was") +
                                        " written from " + first.string() + " earlier in this run; ";
            EXPECT_EQ(result.err.rfind("tabulon-repair: " + layout.later.string() + ": " + refusal, 0), 0u) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << "the first workbook is repaired";
            if (options[0] == "--json") {
                EXPECT_NE(result.out.find("\"outcome\":\"failed\",\"error\":\"" + refusal), std::string::npos) << result.out;
            }
            if (dryRun) {
                EXPECT_FALSE(fs::exists(layout.copy));
            } else {
                EXPECT_EQ(FirstDifference(test::ReadWholeFile(layout.copy), Original(), 44), std::nullopt) << layout.copy;
            }
            EXPECT_FALSE(HoldsATemporaryFile(Listing(layout.copy.parent_path())));
        }
    }

    // A workbook kept as it is writes no copy, and so claims no name.
    fs::remove(folder_ / "out/Book_repaired.xls");
    test::WriteWholeFile(first, Original());
    const RunResult result = Run({"-o", folder_ / "out", first, second});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(FirstDifference(test::ReadWholeFile(folder_ / "out/Book_repaired.xls"), Original("poi__47847.xls"), 44),
              std::nullopt);
}

TEST_F(RepairCommand, NeverWritesThroughALinkAtTheCopysName)
{
    const fs::path book = DamagedWorkbook("book.xls");
    const fs::path link = folder_ / "book_repaired.xls";
    const fs::path other = folder_ / "other";
    test::WriteWholeFile(other, Bytes{'o', 't', 'h', 'e', 'r'});
    const struct {
        const char* what;
        fs::path target;
        std::optional<Bytes> bytes;  // none: no such file
    } targets[] = {
        {"to the workbook", book, test::ReadWholeFile(book)},
        {"to another file", other, test::ReadWholeFile(other)},
        {"dangling", folder_ / "gone", std::nullopt},
    };
    for (const auto& target : targets) {
        for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{{}, {"-n"}, {"--overwrite"}}) {
            fs::remove(link);
            fs::create_symlink(target.target, link);
            std::vector<std::string> arguments = options;
            arguments.push_back(book);
            const RunResult result = Run(arguments);
            const std::string what = std::string(target.what) + (options.empty() ? "" : " " + options[0]);
            if (options == std::vector<std::string>{"--overwrite"} && target.target != book) {
                EXPECT_EQ(result.exitCode, 0) << what << ": " << result.err;
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(link))) << what;
                EXPECT_EQ(FirstDifference(test::ReadWholeFile(link), Original(), 44), std::nullopt) << what;
            } else {
                EXPECT_EQ(result.exitCode, 1) << what;
                const std::string why = target.target == book
                    ? "the copy " + link.string() + " is a symbolic link to the workbook itself; "
                    : link.string() + " is a symbolic link; use --overwrite to replace the link itself (never what it points to)\n";
                EXPECT_NE(result.err.find(book.string() + ": " + why), std::string::npos) << what << ": " << result.err;
                ASSERT_TRUE(fs::is_symlink(link)) << what;
                EXPECT_EQ(fs::read_symlink(link), target.target) << what;
            }
            if (target.bytes)
                EXPECT_EQ(test::ReadWholeFile(target.target), *target.bytes) << what;
            else
                EXPECT_FALSE(fs::exists(fs::symlink_status(target.target))) << what;
            EXPECT_FALSE(HoldsATemporaryFile(Listing(folder_))) << what;
        }
    }
}

TEST_F(RepairCommand, BadInputFailsThatFileAndTheBatchGoesOn)
{
    const fs::path good = DamagedWorkbook("good.xls");
    fs::create_directory(folder_ / "folder.xls");
    const fs::path pipe = folder_ / "pipe.xls";  // with no writer, a plain open would wait forever
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0666), 0);

    const RunResult result = Run({folder_ / "missing.xls", folder_ / "folder.xls", pipe, good});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(fs::exists(folder_ / "good_repaired.xls")) << result.err;
    const std::string prefix = "tabulon-repair: " + folder_.string() + "/";
    EXPECT_NE(result.err.find(prefix + "missing.xls: cannot open: No such file or directory"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(prefix + "folder.xls: is a folder"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(prefix + "pipe.xls: is not a regular file"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(folder_ / "folder_repaired.xls"));

    EXPECT_EQ(Run({"-o", folder_ / "no-such-folder", good}).exitCode, 1);
}

TEST_F(RepairCommand, A2GiBFileIsRefusedBeforeAnythingIsWritten)
{
    const test::SparseFile large(folder_ / "large.xls", std::uint64_t{1} << 31);
    if (!large.Made())
        GTEST_SKIP() << large.WhyNot();
    const fs::path good = DamagedWorkbook("good.xls");
    const RunResult result = Run({large.Path(), good});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find(large.Path().string() + ": is 2 GiB or larger"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(folder_ / "large_repaired.xls"));
    EXPECT_TRUE(fs::exists(folder_ / "good_repaired.xls")) << "the batch goes on";

    EXPECT_EQ(Run({"--in-place", large.Path()}).exitCode, 1);
    EXPECT_EQ(fs::file_size(large.Path()), std::uint64_t{1} << 31);
    EXPECT_EQ(test::ReadFirstBytes(large.Path(), 512), Bytes(512, 0));
}

// Root reads and writes everything, so these run as an ordinary user.
TEST_F(RepairCommand, WhatTheUserMayNotReadOrWriteIsLeftAlone)
{
    if (const auto why = test::WhyNoOrdinaryUser(TABULON_REPAIR_PROGRAM))
        GTEST_SKIP() << *why;
    EXPECT_TRUE(test::RunAsOrdinaryUser([&] {
        const test::ScratchFolder own;
        folder_ = own.Path();
        // A workbook that cannot be read fails alone.
        const fs::path locked = DamagedWorkbook("locked.xls");
        fs::permissions(locked, fs::perms::none);
        const fs::path book = DamagedWorkbook("book.xls");
        RunResult result = Run({locked, book});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find(locked.string() + ": cannot open: Permission denied"), std::string::npos) << result.err;
        EXPECT_TRUE(fs::exists(folder_ / "book_repaired.xls")) << result.err;

        // A copy's name taken by a file that cannot be read is still taken.
        const fs::path existing = folder_ / "book_repaired.xls";
        test::WriteWholeFile(existing, Bytes{'k', 'e', 'e', 'p'});
        fs::permissions(existing, fs::perms::none);
        result = Run({book});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find("already exists"), std::string::npos) << result.err;
        fs::permissions(existing, fs::perms::owner_read);
        EXPECT_EQ(ReadText(existing), "keep");

        // A folder that cannot be written into.
        const fs::path readOnly = folder_ / "read-only";
        fs::create_directory(readOnly);
        fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
        result = Run({"-o", readOnly, book});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find("cannot write into"), std::string::npos) << result.err;
        EXPECT_TRUE(Listing(readOnly).empty());
    }));
}

TEST_F(RepairCommand, AFullFileSystemLeavesNoPartialCopy)
{
    if (const auto why = test::WhyNoSmallFileSystems())
        GTEST_SKIP() << *why;
    const fs::path book = DamagedWorkbook("book.xls", "poi__47847.xls");
    const fs::path small = folder_ / "small";
    fs::create_directory(small);
    EXPECT_TRUE(test::RunChecksInChild({.smallFileSystems = {{small, 64 << 10}}}, [&] {
        const RunResult result = Run({"-o", small, book});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find("No space left on device"), std::string::npos) << result.err;
        EXPECT_TRUE(Listing(small).empty()) << "the partial copy is removed";
    }));
    EXPECT_TRUE(Listing(small).empty()) << "the small file system ended with the child";
}

TEST_F(RepairCommand, InPlaceWritesOnlyTheHeader)
{
    const fs::path book = DamagedWorkbook("book.xls");
    const RunResult result = Run({"--in-place", book});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(FirstDifference(test::ReadWholeFile(book), Original(), 44), std::nullopt);
    EXPECT_EQ(Listing(folder_), std::set<std::string>{"book.xls"});

    // A 100-byte stub holds nothing of a workbook: refused, unless the plain rebuild alone is
    // asked for, which grows it to one header.
    const fs::path stub = folder_ / "stub.xls";
    test::WriteWholeFile(stub, Bytes(100, 0xAB));
    const RunResult refused = Run({"--in-place", stub});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("no allocation table or directory"), std::string::npos) << refused.err;
    EXPECT_EQ(fs::file_size(stub), 100u);
    EXPECT_EQ(Run({"--in-place", "-q", "--rebuild=design", stub}).exitCode, 0);
    EXPECT_EQ(fs::file_size(stub), 512u);
}

TEST_F(RepairCommand, ChecksAndChoosesTheRebuild)
{
    // An intact workbook without a mini stream: the plain rebuild alone leaves it unreadable,
    // the default repair keeps it as it is, and gives it back whole once its signature is lost.
    const fs::path intact = folder_ / "intact.xls";
    test::WriteWholeFile(intact, Original());
    RunResult result = Run({"--check", intact});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.out.find("opens: "), std::string::npos) << result.out;

    result = Run({"-s", "_design", "--rebuild=design", intact});
    EXPECT_EQ(result.exitCode, 0) << "the plain rebuild alone is not judged";
    EXPECT_NE(result.out.find("still damaged"), std::string::npos) << result.out;
    EXPECT_EQ(Run({"--check", folder_ / "intact_design.xls"}).exitCode, 1);

    result = Run({"--json", intact});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("\"output\":null,\"opens\":true,\"rebuild\":\"kept\""), std::string::npos) << result.out;
    EXPECT_FALSE(fs::exists(folder_ / "intact_repaired.xls"));
    EXPECT_EQ(test::ReadWholeFile(intact), Original());

    Bytes withoutSignature = Original();
    std::fill(withoutSignature.begin(), withoutSignature.begin() + 8, std::uint8_t{0});
    const fs::path lost = folder_ / "lost.xls";
    test::WriteWholeFile(lost, withoutSignature);
    result = Run({"--json", lost});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("\"opens\":true,\"rebuild\":\"deep\""), std::string::npos) << result.out;
    EXPECT_EQ(test::ReadWholeFile(folder_ / "lost_repaired.xls"), Original());

    // A zip archive named .xls is refused, and nothing is written.
    const fs::path zip = folder_ / "new.xls";
    test::WriteWholeFile(zip, test::ZipArchive());
    result = Run({"--json", zip});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("This is a zip archive"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(folder_ / "new_repaired.xls"));

    EXPECT_EQ(Run({"--check", "--in-place", intact}).exitCode, 2);
    EXPECT_EQ(Run({"--rebuild=deep", intact}).exitCode, 2);
}

TEST_F(RepairCommand, DryRunWritesNothing)
{
    const fs::path book = DamagedWorkbook("book.xls");
    const Bytes damaged = test::ReadWholeFile(book);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-n", book}, {"--dry-run", "--in-place", book}, {"-n", "--json", book}}) {
        const RunResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_NE(result.out.find("Header Signature"), std::string::npos) << result.out;
        EXPECT_EQ(test::ReadWholeFile(book), damaged);
        EXPECT_EQ(Listing(folder_), std::set<std::string>{"book.xls"});
    }
}

TEST_F(RepairCommand, JsonReportsEveryWorkbook)
{
    const fs::path book = DamagedWorkbook("Résumé 表.xls");
    const RunResult result = Run({"--json", book, folder_ / "missing.xls"});
    EXPECT_EQ(result.exitCode, 1);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = result.out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(result.out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 2u) << result.out;

    const std::string& repaired = lines[0];
    EXPECT_EQ(repaired.rfind("{\"path\":\"" + book.string() + "\",\"outcome\":\"repaired\",\"error\":null,", 0), 0u)
        << repaired;
    EXPECT_NE(repaired.find("\"output\":\"" + (folder_ / "Résumé 表_repaired.xls").string() + "\""), std::string::npos);
    EXPECT_NE(repaired.find("\"before\":{\"Header Signature\":\"0000000000000000\""), std::string::npos);
    EXPECT_NE(repaired.find("\"after\":{\"Header Signature\":\"d0cf11e0a1b11ae1\""), std::string::npos);
    for (const char* field : {"Minor Version", "Number of FAT Sectors", "First Directory Sector Location",
                              "First Mini FAT Sector Location", "Number of DIFAT Sectors", "Mini Stream Cutoff Size"})
        EXPECT_NE(repaired.find(std::string("\"") + field + "\":"), std::string::npos) << field;
    const std::regex difat(R"re("DIFAT":\[(\d+,){108}\d+\])re");
    EXPECT_EQ(std::distance(std::sregex_iterator(repaired.begin(), repaired.end(), difat), std::sregex_iterator()), 2)
        << "109 entries before and after";

    EXPECT_NE(lines[1].find("\"outcome\":\"failed\",\"error\":\"cannot open: No such file or directory\""),
              std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\"before\":null,\"after\":null"), std::string::npos) << lines[1];
}

TEST_F(RepairCommand, AWorkbookThatOpensIsKeptAsItIs)
{
    std::vector<std::string> books;
    std::vector<Bytes> originals;
    for (const auto& entry : fs::directory_iterator(TABULON_TEST_DATA)) {
        if (entry.path().extension() != ".xls")
            continue;
        books.push_back(folder_ / entry.path().filename());
        originals.push_back(test::ReadWholeFile(entry.path()));
        test::WriteWholeFile(books.back(), originals.back());  // writable, whatever the sample's mode
    }
    ASSERT_GE(books.size(), 4u);
    // A copy from an earlier run is no reason to fail: nothing is written over it.
    const fs::path out = folder_ / "out";
    fs::create_directory(out);
    const std::string earlier = fs::path(books[0]).stem().string() + "_repaired.xls";
    test::WriteWholeFile(out / earlier, Bytes{'o', 'l', 'd'});
    const std::set<std::string> names = Listing(folder_);

    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
             {}, {"-n"}, {"--in-place"}, {"-n", "--in-place"}, {"-o", out}, {"-n", "-o", out}}) {
        std::vector<std::string> arguments = options;
        arguments.insert(arguments.end(), books.begin(), books.end());
        const RunResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        for (std::size_t i = 0; i < books.size(); ++i) {
            EXPECT_NE(result.out.find("kept " + books[i] + ": opens as it is; nothing changed\n"), std::string::npos)
                << result.out;
            EXPECT_EQ(test::ReadWholeFile(books[i]), originals[i]) << books[i];
        }
        EXPECT_EQ(Listing(folder_), names) << "no copy and no temporary file";
        EXPECT_EQ(Listing(out), std::set<std::string>{earlier});
        EXPECT_EQ(ReadText(out / earlier), "old");
    }

    const RunResult json = Run({"--json", books[0]});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(json.out.rfind("{\"path\":\"" + books[0] +
                                 "\",\"outcome\":\"kept\",\"error\":null,\"output\":null,\"opens\":true,\"rebuild\":\"kept\",",
                             0),
              0u)
        << json.out;
    EXPECT_NE(json.out.find("\"changed\":[],\"before\":{"), std::string::npos) << json.out;

    // The plain rebuild asked for alone is written as always, even over a workbook that opens.
    const fs::path mtcars = folder_ / "readxl__mtcars.xls";
    EXPECT_EQ(Run({"-q", "--rebuild=design", mtcars}).exitCode, 0);
    EXPECT_TRUE(fs::exists(folder_ / "readxl__mtcars_repaired.xls"));
    EXPECT_EQ(Run({"-q", "--in-place", "--rebuild=design", mtcars}).exitCode, 0);
    EXPECT_NE(test::ReadWholeFile(mtcars), Original()) << "this workbook's plain rebuild differs from its header";
}

TEST_F(RepairCommand, InPlaceWritesOnlyAHeaderThatOpens)
{
    // The header wiped and the Workbook stream's first bytes garbled: no header makes it open.
    Bytes bytes = Original();
    std::fill(bytes.begin(), bytes.begin() + 76, std::uint8_t{0});
    std::fill(bytes.begin() + 512, bytes.begin() + 520, std::uint8_t{0x11});
    const fs::path book = folder_ / "lost.xls";
    test::WriteWholeFile(book, bytes);

    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--in-place", book}, {"-n", "--in-place", book}}) {
        const RunResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find(book.string() + ": still damaged: "), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("; nothing written; run without --in-place to salvage it into a copy\n"), std::string::npos)
            << result.err;
        EXPECT_EQ(test::ReadWholeFile(book), bytes);
    }

    // A copy is salvaged: the workbook's first record comes back in a new file.
    RunResult result = Run({book});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("salvaged " + book.string()), std::string::npos) << result.out;
    EXPECT_TRUE(fs::exists(folder_ / "lost_repaired.xls"));

    result = Run({"--in-place", "--rebuild=design", book});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const Bytes written = test::ReadWholeFile(book);
    ASSERT_EQ(written.size(), bytes.size());
    EXPECT_EQ(test::HeaderField32(written, 0), 0xE011CFD0u);
    EXPECT_TRUE(std::equal(bytes.begin() + 512, bytes.end(), written.begin() + 512));
}

TEST_F(RepairCommand, InPlaceWritesNothingIntoAFileThatChangedMeanwhile)
{
    const struct {
        const char* what;
        std::function<void(const fs::path&)> change;
    } cases[] = {
        {"grown", [](const fs::path& path) { std::ofstream(path, std::ios::binary | std::ios::app) << std::string(512, 'x'); }},
        {"rewritten at its length",
         [](const fs::path& path) {
             Bytes bytes = test::ReadWholeFile(path);
             bytes[1000] ^= 0xFF;
             test::WriteWholeFile(path, bytes);
         }},
        {"left alone", nullptr},
    };
    for (const auto& c : cases) {
        const fs::path book = DamagedWorkbook("book.xls");
        // An old time, so that a change is seen however coarse the file system's clock.
        fs::last_write_time(book, fs::file_time_type::clock::now() - std::chrono::hours(1));
        Bytes expected = test::ReadWholeFile(book);
        const RunResult result = RunPausedBeforeWrite({"--in-place", book}, [&] {
            if (c.change)
                c.change(book);
            expected = test::ReadWholeFile(book);
        });
        if (!c.change) {
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(FirstDifference(test::ReadWholeFile(book), Original(), 44), std::nullopt);
            continue;
        }
        EXPECT_EQ(result.exitCode, 1) << c.what;
        EXPECT_NE(result.err.find(book.string() + ": changed while it was being repaired; nothing written"), std::string::npos)
            << c.what << ": " << result.err;
        EXPECT_EQ(test::ReadWholeFile(book), expected) << c.what;
    }
}

TEST_F(RepairCommand, TheCopyIsRepairedFromTheBytesItHolds)
{
    // Each copy is its workbook again, whatever its header was damaged with.
    const struct {
        const char* source;
        std::size_t from, to;
        std::uint8_t fill;
    } cases[] = {
        {"readxl__mtcars.xls", 0, 512, 0x00},
        {"poi__47847.xls", 0, 76, 0x00},
        {"npoi__59858.xls", 0, 8, 0x00},
        {"xlrd__issue20.xls", 0, 512, 0xA5},
    };
    std::vector<std::string> books;
    for (const auto& c : cases) {
        Bytes bytes = Original(c.source);
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(c.from), bytes.begin() + static_cast<std::ptrdiff_t>(c.to), c.fill);
        books.push_back(folder_ / c.source);
        test::WriteWholeFile(books.back(), bytes);
    }
    std::vector<std::string> arguments = {"-q", "-s", "_fixed"};
    arguments.insert(arguments.end(), books.begin(), books.end());
    EXPECT_EQ(Run(arguments).exitCode, 0);
    for (std::size_t i = 0; i < books.size(); ++i) {
        const fs::path copy = folder_ / (fs::path(cases[i].source).stem().string() + "_fixed.xls");
        EXPECT_EQ(FirstDifference(test::ReadWholeFile(copy), Original(cases[i].source), 44), std::nullopt) << copy;
    }

    // The workbook replaced by another once it was read: the copy is still the first one's.
    const fs::path book = DamagedWorkbook("moving.xls");
    std::set<std::string> whilePaused;
    RunResult result = RunPausedBeforeWrite({book}, [&] {
        whilePaused = Listing(folder_);
        Bytes other = Original("poi__47847.xls");
        std::fill(other.begin(), other.begin() + 512, std::uint8_t{0});
        test::WriteWholeFile(book, other);
    });
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(HoldsATemporaryFile(whilePaused)) << "the copy is made under a temporary name";
    EXPECT_EQ(whilePaused.count("moving_repaired.xls"), 0u);
    EXPECT_EQ(FirstDifference(test::ReadWholeFile(folder_ / "moving_repaired.xls"), Original(), 44), std::nullopt);

    // A file that takes the copy's name meanwhile is kept, and the temporary file goes.
    fs::remove(folder_ / "moving_repaired.xls");
    result = RunPausedBeforeWrite({book}, [&] { test::WriteWholeFile(folder_ / "moving_repaired.xls", Bytes{'n', 'e', 'w'}); });
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("already exists"), std::string::npos) << result.err;
    EXPECT_EQ(ReadText(folder_ / "moving_repaired.xls"), "new");
    EXPECT_FALSE(HoldsATemporaryFile(Listing(folder_)));

    // Refused, nothing is left behind either.
    const fs::path zip = folder_ / "new.xls";
    test::WriteWholeFile(zip, test::ZipArchive());
    const std::set<std::string> before = Listing(folder_);
    EXPECT_EQ(Run({zip}).exitCode, 1);
    EXPECT_EQ(Listing(folder_), before);
}

// A lost allocation-table sector leaves no header that opens: the copy is salvaged into a new
// file; in place, the workbook is left as it is and the line says what to do instead.
TEST_F(RepairCommand, SalvagesACopyWhenNoHeaderOpens)
{
    const Bytes original = Original("phpss__biff8cover.xls");
    Bytes damaged = original;
    const std::uint32_t table = test::HeaderField32(original, kHeaderDifatOffset);
    std::fill_n(damaged.begin() + 512 * (table + 1), 512, std::uint8_t{0});
    const fs::path book = folder_ / "book.xls";
    test::WriteWholeFile(book, damaged);

    const RunResult inPlace = Run({"--in-place", book.string()});
    EXPECT_EQ(inPlace.exitCode, 1);
    EXPECT_NE(inPlace.err.find("nothing written; run without --in-place to salvage it into a copy"), std::string::npos)
        << inPlace.err;
    EXPECT_EQ(test::ReadWholeFile(book), damaged);

    const RunResult dryRun = Run({"-n", book.string()});
    EXPECT_EQ(dryRun.exitCode, 0) << dryRun.err;
    EXPECT_NE(dryRun.out.find("would salvage " + book.string()), std::string::npos) << dryRun.out;
    EXPECT_EQ(Listing(folder_), std::set<std::string>{"book.xls"});

    const RunResult copy = Run({"--json", book.string()});
    EXPECT_EQ(copy.exitCode, 0) << copy.err;
    EXPECT_NE(copy.out.find("\"rebuild\":\"salvaged\""), std::string::npos) << copy.out;
    EXPECT_NE(copy.out.find("\"text\":\"Salvaged: 1 of 1 sheet"), std::string::npos) << copy.out;
    EXPECT_EQ(test::ReadWholeFile(book), damaged);
    MemorySectorFile intact(original);
    MemorySectorFile salvaged(test::ReadWholeFile(folder_ / "book_repaired.xls"));
    EXPECT_TRUE(VerifyWorkbook(salvaged).Opens());
    EXPECT_EQ(ReadWorkbookStream(salvaged), ReadWorkbookStream(intact));
}

// ---------------------------------------------------------------------------------------
// --export-csv

// A workbook of two sheets, the first named beyond ASCII, written into `path`.
void WriteUnicodeWorkbook(const fs::path& path)
{
    using namespace test;
    const Bytes first = Record(0x0203, Cell(0, 0) + Double(1.5)) + Record(0x0204, Cell(0, 1) + Le16(4) + Bytes{0} + Ascii("a\"b,"));
    const Bytes second = Record(0x0205, Cell(1, 1) + Bytes{1, 0});
    test::WriteWholeFile(path, WorkbookFile(Workbook(8, {}, {{"Ümsatz €", first}, {"Data", second}})));
}

TEST_F(RepairCommand, ExportsEverySheetAsCsvAndReplacesNothingUnasked)
{
    const fs::path book = folder_ / "book.xls";
    WriteUnicodeWorkbook(book);
    const fs::path damaged = DamagedWorkbook("damaged.xls");
    const Bytes bookBytes = test::ReadWholeFile(book), damagedBytes = test::ReadWholeFile(damaged);
    const fs::path out = folder_ / "out";
    fs::create_directory(out);

    const RunResult exported = Run({"--export-csv", out.string(), book.string(), damaged.string()});
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(Listing(out), (std::set<std::string>{"book-Ümsatz €.csv", "book-Data.csv", "damaged-head(mtcars).csv"}));
    EXPECT_EQ(ReadText(out / "book-Ümsatz €.csv"), "1.5,\"a\"\"b,\"\r\n");
    EXPECT_EQ(ReadText(out / "book-Data.csv"), ",\r\n,TRUE\r\n");
    const std::string mtcars = ReadText(out / "damaged-head(mtcars).csv");
    EXPECT_TRUE(mtcars.starts_with("mpg,cyl,disp,hp,drat,wt,qsec,vs,am,gear,carb\r\n21,6,160,110,3.9,2.62,16.46,0,1,4,4\r\n")) << mtcars;
    EXPECT_NE(exported.out.find("exported " + book.string() + " into " + out.string() + ": book-Ümsatz €.csv, book-Data.csv\n"),
              std::string::npos) << exported.out;
    EXPECT_NE(exported.out.find("exported " + damaged.string() + " into " + out.string() +
                                ": damaged-head(mtcars).csv; read with a rebuilt header\n"),
              std::string::npos) << exported.out;
    EXPECT_EQ(Listing(folder_), (std::set<std::string>{"book.xls", "damaged.xls", "out"})) << "nothing beside the workbooks";
    EXPECT_EQ(test::ReadWholeFile(book), bookBytes);
    EXPECT_EQ(test::ReadWholeFile(damaged), damagedBytes);

    // A workbook exports all of its files or none.
    test::WriteWholeFile(out / "book-Ümsatz €.csv", {'m', 'i', 'n', 'e'});
    fs::remove(out / "book-Data.csv");
    const RunResult refused = Run({"--export-csv", out.string(), book.string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "tabulon-repair: " + book.string() + ": " + (out / "book-Ümsatz €.csv").string() +
                               " already exists; use --overwrite to replace it; nothing written\n");
    EXPECT_EQ(ReadText(out / "book-Ümsatz €.csv"), "mine");
    EXPECT_FALSE(fs::exists(out / "book-Data.csv"));

    const RunResult replaced = Run({"--export-csv", out.string(), "--overwrite", book.string()});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(ReadText(out / "book-Ümsatz €.csv"), "1.5,\"a\"\"b,\"\r\n");
    EXPECT_TRUE(fs::exists(out / "book-Data.csv"));

    // Two workbooks of one name: the second never replaces what the first wrote in this run.
    fs::create_directory(folder_ / "other");
    fs::copy_file(book, folder_ / "other" / "book.xls");
    const RunResult twice = Run({"--export-csv", out.string(), "--overwrite", book.string(), (folder_ / "other" / "book.xls").string()});
    EXPECT_EQ(twice.exitCode, 1);
    EXPECT_NE(twice.err.find("was written from " + book.string() + " earlier in this run; not replaced; nothing written"),
              std::string::npos) << twice.err;
    EXPECT_FALSE(HoldsATemporaryFile(Listing(out)));
}

TEST_F(RepairCommand, AnUnrecoverableFileExportsNothingAndSaysSo)
{
    const fs::path zip = folder_ / "zip.xls";
    Bytes zipBytes(4096, 0);
    std::copy_n("PK\x03\x04", 4, zipBytes.begin());
    test::WriteWholeFile(zip, zipBytes);
    const fs::path noise = folder_ / "noise.xls";
    Bytes random(20000);
    std::uint32_t state = 1;
    for (std::uint8_t& byte : random)
        byte = static_cast<std::uint8_t>((state = state * 1103515245u + 12345u) >> 24);
    test::WriteWholeFile(noise, random);
    const fs::path locked = folder_ / "locked.xls";
    test::WriteWholeFile(locked, test::WorkbookFile(test::Workbook(8, test::Record(0x002F, Bytes(6, 0)), {{"One", {}}})));
    const fs::path other = folder_ / "other.xls";  // a compound file of another program
    {
        MemorySectorFile file;
        WriteCompoundFile(file, {}, {{u"Contents", kObjectTypeStream, -1, Bytes(5000, 0x41)}});
        test::WriteWholeFile(other, file.Bytes());
    }
    const fs::path good = DamagedWorkbook("good.xls");
    const fs::path out = folder_ / "out";
    fs::create_directory(out);

    const RunResult run = Run({"--export-csv", out.string(), zip.string(), noise.string(), other.string(), locked.string(), good.string(),
                               (folder_ / "missing.xls").string(), out.string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Listing(out), std::set<std::string>{"good-head(mtcars).csv"}) << "the others write nothing";
    const std::string expected[] = {
        zip.string() + ": This is a zip archive (perhaps a newer .xlsx workbook), not a legacy .xls workbook; nothing written\n",
        noise.string() + ": This file holds no allocation table or directory of a workbook anywhere; nothing written\n",
        other.string() + ": no workbook can be found in it, nor any of its cells; nothing written\n",
        locked.string() + ": is encrypted: its cells cannot be read without the password; nothing written\n",
        (folder_ / "missing.xls").string() + ": cannot open: No such file or directory; nothing written\n",
        out.string() + ": is a folder, not a workbook; nothing written\n",
    };
    for (const std::string& line : expected)
        EXPECT_NE(run.err.find("tabulon-repair: " + line), std::string::npos) << line << "\nin:\n" << run.err;
    EXPECT_NE(run.out.find("exported " + good.string()), std::string::npos) << run.out;
}

TEST_F(RepairCommand, ExportDryRunAndJson)
{
    const fs::path book = folder_ / "book.xls";
    WriteUnicodeWorkbook(book);
    const fs::path out = folder_ / "out";
    fs::create_directory(out);

    const RunResult noFolder = Run({"-n", "--export-csv", (folder_ / "none").string(), book.string()});
    EXPECT_EQ(noFolder.exitCode, 1);
    EXPECT_EQ(noFolder.err, "tabulon-repair: " + book.string() + ": cannot write into " + (folder_ / "none").string() +
                                ": no such folder; nothing written\n");

    const RunResult dryRun = Run({"-n", "--export-csv", out.string(), book.string()});
    EXPECT_EQ(dryRun.exitCode, 0) << dryRun.err;
    EXPECT_EQ(dryRun.out, "would export " + book.string() + " into " + out.string() + ": book-Ümsatz €.csv, book-Data.csv\n");
    EXPECT_TRUE(Listing(out).empty());

    const RunResult json = Run({"--json", "--export-csv", out.string(), book.string(), (folder_ / "missing.xls").string()});
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_EQ(json.out, "{\"path\":\"" + book.string() + "\",\"outcome\":\"exported\",\"error\":null,\"read\":\"workbook\"," +
                            "\"salvage\":null,\"files\":[\"" + (out / "book-Ümsatz €.csv").string() + "\",\"" +
                            (out / "book-Data.csv").string() + "\"]}\n" + "{\"path\":\"" + (folder_ / "missing.xls").string() +
                            "\",\"outcome\":\"failed\",\"error\":\"cannot open: No such file or directory; nothing written\"," +
                            "\"read\":null,\"salvage\":null,\"files\":null}\n");
}

}  // namespace
}  // namespace tabulon
