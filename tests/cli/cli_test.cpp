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
#include "engine/cfb/compound_writer.h"
#include "engine/cfb/verify.h"
#include "engine/repair/workbook/workbook.h"
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

// Where the file at `path` first differs from workbook `source` past the header's first 44
// bytes, or nothing: a repaired copy is its workbook again.
std::optional<std::size_t> Mismatch(const fs::path& path, const char* source = "readxl__mtcars.xls")
{
    return FirstDifference(test::ReadWholeFile(path), Original(source), 44);
}

// Whether `text` holds `part`, and if not, the text.
::testing::AssertionResult Holds(const std::string& text, const std::string& part)
{
    if (text.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
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
            pauseMarker.empty() ? ::unsetenv(kPauseVariable) : ::setenv(kPauseVariable, pauseMarker.c_str(), 1);
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
        const RunResult result{exit.ExitCode(), ReadText(folder_ / ".stdout"), ReadText(folder_ / ".stderr")};
        fs::remove(folder_ / ".stdout");
        fs::remove(folder_ / ".stderr");
        return result;
    }

    RunResult Run(const std::vector<std::string>& arguments) { return Finish(Start(arguments)); }

    // Runs the program and expects its exit status and `said` on its stdout (status 0, or 3: a
    // copy written with less than the workbook held) or its stderr (any other).
    RunResult Expect(int exitCode, const std::vector<std::string>& arguments, const std::string& said = {})
    {
        const RunResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, exitCode) << result.err;
        EXPECT_TRUE(Holds(exitCode == 0 || exitCode == 3 ? result.out : result.err, said));
        return result;
    }

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

    fs::path Folder(const std::string& name)
    {
        fs::create_directory(folder_ / name);
        return folder_ / name;
    }

    fs::path Put(const std::string& name, const Bytes& bytes)
    {
        test::WriteWholeFile(folder_ / name, bytes);
        return folder_ / name;
    }

    // A real workbook with its header wiped, placed in the test folder.
    fs::path DamagedWorkbook(const std::string& name, const char* source = "readxl__mtcars.xls")
    {
        Bytes bytes = Original(source);
        std::fill(bytes.begin(), bytes.begin() + 76, std::uint8_t{0});
        return Put(name, bytes);
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
        {"--check", "--in-place", book},
        {"--rebuild=deep", book},
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
    for (const auto& arguments : misuses)
        Expect(2, arguments, "tabulon-repair: ");
    EXPECT_EQ(Listing(folder_), std::set<std::string>{"book.xls"}) << "bad usage writes nothing";

    const RunResult help = Expect(0, {"--help"}, "Usage: tabulon-repair [options] WORKBOOK...\nRepair damaged ");
    EXPECT_TRUE(Holds(help.out, "--export-csv DIR"));
    const std::string summary = help.out.substr(0, help.out.find("\n\n"));
    EXPECT_TRUE(Holds(summary, "header") && Holds(summary, "salvage")) << "what the program does, in its first lines";
    Expect(0, {"--version"}, std::string("tabulon-repair ") + TABULON_VERSION + "\n");
}

TEST_F(RepairCommand, WritesARepairedCopyAndNeverTheWorkbook)
{
    const fs::path book = DamagedWorkbook("sales.2024.xls");
    const Bytes damaged = test::ReadWholeFile(book);
    const RunResult result = Expect(0, {book}, "repaired ");
    EXPECT_NE(result.out.find("Header Signature"), std::string::npos) << "names the fields that changed";
    EXPECT_EQ(test::ReadWholeFile(book), damaged);
    EXPECT_EQ(Mismatch(folder_ / "sales.2024_repaired.xls"), std::nullopt);
    EXPECT_EQ(Listing(folder_), (std::set<std::string>{"sales.2024.xls", "sales.2024_repaired.xls"}))
        << "no temporary file is left behind";

    // Another folder and suffix; a name without extension; and each copy its workbook again,
    // whatever its header was damaged with (so many bytes from the start set to `fill`).
    const struct {
        const char* source;
        std::size_t length;
        std::uint8_t fill;
    } damages[] = {
        {"readxl__mtcars.xls", 512, 0x00},
        {"poi__47847.xls", 76, 0x00},
        {"npoi__59858.xls", 8, 0x00},
        {"xlrd__issue20.xls", 512, 0xA5},
    };
    const fs::path out = Folder("out");
    fs::copy_file(book, folder_ / "plain");
    std::vector<std::string> arguments = {"-q", "-o", out, "-s", "-fixed", book, folder_ / "plain"};
    std::set<std::string> copies = {"sales.2024-fixed.xls", "plain-fixed.xls"};
    for (const auto& damage : damages) {
        Bytes bytes = Original(damage.source);
        std::fill_n(bytes.begin(), damage.length, damage.fill);
        arguments.push_back(Put(damage.source, bytes));
        copies.insert(fs::path(damage.source).stem().string() + "-fixed.xls");
    }
    Expect(0, arguments);
    EXPECT_EQ(Listing(out), copies);
    for (const auto& damage : damages) {
        const fs::path copy = out / (fs::path(damage.source).stem().string() + "-fixed.xls");
        EXPECT_EQ(Mismatch(copy, damage.source), std::nullopt) << copy;
    }
}

TEST_F(RepairCommand, NeverReplacesWithoutBeingAsked)
{
    const fs::path book = DamagedWorkbook("book.xls");
    const fs::path existing = Put("book_repaired.xls", Bytes{'k', 'e', 'e', 'p'});
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{{book}, {"-n", book}}) {
        Expect(1, arguments, "already exists");
        EXPECT_EQ(ReadText(existing), "keep");
        EXPECT_FALSE(HoldsATemporaryFile(Listing(folder_)));
    }
    Expect(0, {"--overwrite", book});
    EXPECT_EQ(Mismatch(existing), std::nullopt);

    // A copy that would land on the workbook itself is refused even with --overwrite.
    const Bytes damaged = test::ReadWholeFile(book);
    Expect(1, {"--overwrite", "-s", "", book}, "would replace the workbook itself");
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
            const bool dryRun = options[0] == "-n";
            const std::string refusal = "the copy " + layout.copy.string() + (dryRun ? " would be" : " was") +
                                        " written from " + first.string() + " earlier in this run; ";
            const RunResult result = Expect(1, arguments);
            EXPECT_TRUE(result.err.starts_with("tabulon-repair: " + layout.later.string() + ": " + refusal)) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << "the first workbook is repaired";
            if (options[0] == "--json") {
                EXPECT_TRUE(Holds(result.out, "\"outcome\":\"failed\",\"error\":\"" + refusal));
            }
            if (dryRun)
                EXPECT_FALSE(fs::exists(layout.copy));
            else
                EXPECT_EQ(Mismatch(layout.copy), std::nullopt) << layout.copy;
            EXPECT_FALSE(HoldsATemporaryFile(Listing(layout.copy.parent_path())));
        }
    }

    // A workbook kept as it is writes no copy, and so claims no name.
    fs::remove(folder_ / "out/Book_repaired.xls");
    test::WriteWholeFile(first, Original());
    Expect(0, {"-o", folder_ / "out", first, second});
    EXPECT_EQ(Mismatch(folder_ / "out/Book_repaired.xls", "poi__47847.xls"), std::nullopt);
}

TEST_F(RepairCommand, NeverWritesThroughALinkAtTheCopysName)
{
    const fs::path book = DamagedWorkbook("book.xls");
    const fs::path link = folder_ / "book_repaired.xls";
    const fs::path other = Put("other", Bytes{'o', 't', 'h', 'e', 'r'});
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
            const std::string what = std::string(target.what) + (options.empty() ? "" : " " + options[0]);
            SCOPED_TRACE(what);
            if (options == std::vector<std::string>{"--overwrite"} && target.target != book) {
                Expect(0, arguments);
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(link)));
                EXPECT_EQ(Mismatch(link), std::nullopt);
            } else {
                const std::string why = target.target == book
                    ? "the copy " + link.string() + " is a symbolic link to the workbook itself; "
                    : link.string() + " is a symbolic link; use --overwrite to replace the link itself (never what it points to)\n";
                Expect(1, arguments, book.string() + ": " + why);
                ASSERT_TRUE(fs::is_symlink(link));
                EXPECT_EQ(fs::read_symlink(link), target.target);
            }
            if (target.bytes)
                EXPECT_EQ(test::ReadWholeFile(target.target), *target.bytes);
            else
                EXPECT_FALSE(fs::exists(fs::symlink_status(target.target)));
            EXPECT_FALSE(HoldsATemporaryFile(Listing(folder_)));
        }
    }
}

TEST_F(RepairCommand, BadInputFailsThatFileAndTheBatchGoesOn)
{
    const fs::path good = DamagedWorkbook("good.xls");
    fs::create_directory(folder_ / "folder.xls");
    const fs::path pipe = folder_ / "pipe.xls";  // with no writer, a plain open would wait forever
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0666), 0);

    const RunResult result = Expect(1, {folder_ / "missing.xls", folder_ / "folder.xls", pipe, good});
    EXPECT_TRUE(fs::exists(folder_ / "good_repaired.xls")) << result.err;
    for (const char* line : {"missing.xls: cannot open: No such file or directory", "folder.xls: is a folder",
                             "pipe.xls: is not a regular file"})
        EXPECT_TRUE(Holds(result.err, "tabulon-repair: " + (folder_ / line).string()));
    EXPECT_FALSE(fs::exists(folder_ / "folder_repaired.xls"));

    Expect(1, {"-o", folder_ / "no-such-folder", good});
}

TEST_F(RepairCommand, A2GiBFileIsRefusedBeforeAnythingIsWritten)
{
    const test::SparseFile large(folder_ / "large.xls", std::uint64_t{1} << 31);
    if (!large.Made())
        GTEST_SKIP() << large.WhyNot();
    const fs::path good = DamagedWorkbook("good.xls");
    Expect(1, {large.Path(), good}, large.Path().string() + ": is 2 GiB or larger");
    EXPECT_FALSE(fs::exists(folder_ / "large_repaired.xls"));
    EXPECT_TRUE(fs::exists(folder_ / "good_repaired.xls")) << "the batch goes on";

    Expect(1, {"--in-place", large.Path()});
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
        Expect(1, {locked, book}, locked.string() + ": cannot open: Permission denied");
        EXPECT_TRUE(fs::exists(folder_ / "book_repaired.xls"));

        // A copy's name taken by a file that cannot be read is still taken.
        const fs::path existing = Put("book_repaired.xls", Bytes{'k', 'e', 'e', 'p'});
        fs::permissions(existing, fs::perms::none);
        Expect(1, {book}, "already exists");
        fs::permissions(existing, fs::perms::owner_read);
        EXPECT_EQ(ReadText(existing), "keep");

        // A folder that cannot be written into.
        const fs::path readOnly = Folder("read-only");
        fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
        Expect(1, {"-o", readOnly, book}, "cannot write into");
        EXPECT_TRUE(Listing(readOnly).empty());
    }));
}

TEST_F(RepairCommand, AFullFileSystemLeavesNoPartialCopy)
{
    if (const auto why = test::WhyNoSmallFileSystems())
        GTEST_SKIP() << *why;
    const fs::path book = DamagedWorkbook("book.xls", "poi__47847.xls");
    const fs::path small = Folder("small");
    EXPECT_TRUE(test::RunChecksInChild({.smallFileSystems = {{small, 64 << 10}}}, [&] {
        Expect(1, {"-o", small, book}, "No space left on device");
        EXPECT_TRUE(Listing(small).empty()) << "the partial copy is removed";
    }));
    EXPECT_TRUE(Listing(small).empty()) << "the small file system ended with the child";
}

TEST_F(RepairCommand, ChecksAndChoosesTheRebuild)
{
    // An intact workbook without a mini stream: the plain rebuild alone leaves it unreadable;
    // the default repair gives it back whole once its signature is lost.
    const fs::path intact = Put("intact.xls", Original());
    Expect(0, {"--check", intact}, "opens: ");
    Expect(0, {"-s", "_design", "--rebuild=design", intact}, "still damaged");  // the plain rebuild alone is not judged
    EXPECT_TRUE(Holds(Expect(1, {"--check", folder_ / "intact_design.xls"}).out, "does not open: "));

    Bytes withoutSignature = Original();
    std::fill(withoutSignature.begin(), withoutSignature.begin() + 8, std::uint8_t{0});
    Expect(0, {"--json", Put("lost.xls", withoutSignature)}, "\"opens\":true,\"rebuild\":\"deep\"");
    EXPECT_EQ(test::ReadWholeFile(folder_ / "lost_repaired.xls"), Original());

    // A 100-byte stub holds nothing of a workbook: refused in place, unless the plain rebuild
    // alone is asked for, which grows it to one header.
    const fs::path stub = Put("stub.xls", Bytes(100, 0xAB));
    Expect(1, {"--in-place", stub}, "no allocation table or directory");
    EXPECT_EQ(fs::file_size(stub), 100u);
    Expect(0, {"--in-place", "-q", "--rebuild=design", stub});
    EXPECT_EQ(fs::file_size(stub), 512u);

    // A zip archive named .xls is refused, and nothing is written or left behind.
    const fs::path zip = Put("new.xls", test::ZipArchive());
    const std::set<std::string> before = Listing(folder_);
    Expect(1, {"--json", zip}, "This is a zip archive");
    EXPECT_EQ(Listing(folder_), before);
}

TEST_F(RepairCommand, DryRunWritesNothing)
{
    const fs::path book = DamagedWorkbook("book.xls");
    const Bytes damaged = test::ReadWholeFile(book);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-n", book}, {"--dry-run", "--in-place", book}, {"-n", "--json", book}}) {
        Expect(0, arguments, "Header Signature");
        EXPECT_EQ(test::ReadWholeFile(book), damaged);
        EXPECT_EQ(Listing(folder_), std::set<std::string>{"book.xls"});
    }
}

TEST_F(RepairCommand, JsonReportsEveryWorkbook)
{
    const fs::path book = DamagedWorkbook("Résumé 表.xls");
    const RunResult result = Expect(1, {"--json", book, folder_ / "missing.xls"});
    ASSERT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 2) << result.out;
    const std::string repaired = result.out.substr(0, result.out.find('\n'));
    const std::string failed = result.out.substr(repaired.size() + 1);
    EXPECT_TRUE(repaired.starts_with("{\"path\":\"" + book.string() + "\",\"outcome\":\"repaired\",\"error\":null,")) << repaired;
    EXPECT_TRUE(Holds(repaired, "\"output\":\"" + (folder_ / "Résumé 表_repaired.xls").string() + "\""));
    EXPECT_TRUE(Holds(repaired, "\"before\":{\"Header Signature\":\"0000000000000000\""));
    EXPECT_TRUE(Holds(repaired, "\"after\":{\"Header Signature\":\"d0cf11e0a1b11ae1\""));
    for (const char* field : {"Minor Version", "Number of FAT Sectors", "First Directory Sector Location",
                              "First Mini FAT Sector Location", "Number of DIFAT Sectors", "Mini Stream Cutoff Size"})
        EXPECT_NE(repaired.find(std::string("\"") + field + "\":"), std::string::npos) << field;
    const std::regex difat(R"re("DIFAT":\[(\d+,){108}\d+\])re");
    EXPECT_EQ(std::distance(std::sregex_iterator(repaired.begin(), repaired.end(), difat), std::sregex_iterator()), 2)
        << "109 entries before and after";

    EXPECT_TRUE(Holds(failed, "\"outcome\":\"failed\",\"error\":\"cannot open: No such file or directory\""));
    EXPECT_TRUE(Holds(failed, "\"before\":null,\"after\":null"));
}

TEST_F(RepairCommand, AWorkbookThatOpensIsKeptAsItIs)
{
    std::vector<std::string> books;
    std::vector<Bytes> originals;
    for (const auto& entry : fs::directory_iterator(TABULON_TEST_DATA)) {
        if (entry.path().extension() != ".xls")
            continue;
        originals.push_back(test::ReadWholeFile(entry.path()));
        books.push_back(Put(entry.path().filename(), originals.back()));  // writable, whatever the sample's mode
    }
    ASSERT_GE(books.size(), 4u);
    // A copy from an earlier run is no reason to fail: nothing is written over it.
    const fs::path out = Folder("out");
    const std::string earlier = fs::path(books[0]).stem().string() + "_repaired.xls";
    test::WriteWholeFile(out / earlier, Bytes{'o', 'l', 'd'});
    const std::set<std::string> names = Listing(folder_);

    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
             {}, {"-n"}, {"--in-place"}, {"-n", "--in-place"}, {"-o", out}, {"-n", "-o", out}}) {
        std::vector<std::string> arguments = options;
        arguments.insert(arguments.end(), books.begin(), books.end());
        const RunResult result = Expect(0, arguments);
        for (std::size_t i = 0; i < books.size(); ++i) {
            EXPECT_TRUE(Holds(result.out, "kept " + books[i] + ": opens as it is; nothing changed\n"));
            EXPECT_EQ(test::ReadWholeFile(books[i]), originals[i]) << books[i];
        }
        EXPECT_EQ(Listing(folder_), names) << "no copy and no temporary file";
        EXPECT_EQ(Listing(out), std::set<std::string>{earlier});
        EXPECT_EQ(ReadText(out / earlier), "old");
    }

    const RunResult json = Expect(0, {"--json", books[0]});
    EXPECT_TRUE(json.out.starts_with("{\"path\":\"" + books[0] +
                                     "\",\"outcome\":\"kept\",\"error\":null,\"output\":null,\"opens\":true,\"rebuild\":\"kept\","))
        << json.out;
    EXPECT_TRUE(Holds(json.out, "\"changed\":[],\"before\":{"));

    // The plain rebuild asked for alone is written as always, even over a workbook that opens
    // (into a copy: ChecksAndChoosesTheRebuild).
    const fs::path mtcars = folder_ / "readxl__mtcars.xls";
    Expect(0, {"-q", "--in-place", "--rebuild=design", mtcars});
    EXPECT_NE(test::ReadWholeFile(mtcars), Original()) << "this workbook's plain rebuild differs from its header";
}

// A workbook that itself ends inside its last sector, in use, where only padding after its
// workbook stream or another stream's bytes are missing: every reader reads it, so it opens as it
// is. With its header wiped, the rebuilt one goes in place and gives the original back. Where
// the workbook stream's own bytes are missing there, it does not open, and nothing is written in
// place: a copy mends it.
TEST_F(RepairCommand, AWorkbookThatEndsInsideItsLastSector)
{
    Bytes cut = Original("phpss__biff8cover.xls");
    while (cut.back() == 0)
        cut.pop_back();  // its last sector's padding after the end of its streams
    cut.resize(cut.size() + 2);
    ASSERT_NE(cut.size() % 512, 0u);
    Bytes wiped = cut;
    std::fill_n(wiped.begin(), 512, std::uint8_t{0});
    const fs::path own = Put("own.xls", cut), path = Put("wiped.xls", wiped);

    Expect(0, {"--check", own}, "opens: ");
    Expect(0, {"--in-place", own}, "kept ");
    EXPECT_EQ(test::ReadWholeFile(own), cut);
    Expect(0, {"--in-place", path}, "; the workbook opens");
    EXPECT_EQ(test::ReadWholeFile(path), cut);

    // Here the workbook stream's own last bytes (its last end record's length) go with the padding.
    Bytes short_ = Original("poi__47847.xls");
    while (short_.back() == 0)
        short_.pop_back();
    short_.resize(short_.size() + 2);
    ASSERT_NE(short_.size() % 512, 0u);
    Bytes shortWiped = short_;
    std::fill_n(shortWiped.begin(), 512, std::uint8_t{0});
    const fs::path shortOwn = Put("short.xls", short_), shortPath = Put("short-wiped.xls", shortWiped);
    const RunResult kept = Expect(1, {"--in-place", shortOwn}, ": still damaged: ");
    EXPECT_TRUE(Holds(kept.err, "; nothing was written; run without --in-place to ")) << kept.err;
    EXPECT_EQ(test::ReadWholeFile(shortOwn), short_);
    const RunResult notRebuilt = Expect(1, {"--in-place", shortPath}, ": still damaged: ");
    EXPECT_TRUE(Holds(notRebuilt.err, "; nothing was written; run without --in-place to ")) << notRebuilt.err;
    EXPECT_EQ(test::ReadWholeFile(shortPath), shortWiped);

    Run({shortOwn});
    MemorySectorFile salvaged(test::ReadWholeFile(folder_ / "short_repaired.xls"));
    EXPECT_TRUE(VerifyWorkbook(salvaged).Opens());
}

// A copy that would still not open is not written: a spreadsheet program would read it as text.
TEST_F(RepairCommand, NoCopyThatStillDoesNotOpen)
{
    MemorySectorFile file;
    CompoundEntry other;
    other.name = u"Other";
    other.data = Bytes(5000, 7);
    WriteCompoundFile(file, {}, {other});
    Bytes bytes = file.Bytes();
    std::fill_n(bytes.begin(), 512, std::uint8_t{0});
    const fs::path path = Put("other.xls", bytes);
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{{"-n", path}, {path}}) {
        const RunResult result = Expect(1, arguments, path.string() + ": still damaged: ");
        EXPECT_TRUE(Holds(result.err, "; nothing could be salvaged: no workbook data was found (no workbook stream); nothing was written\n"));
    }
    EXPECT_EQ(Listing(folder_), (std::set<std::string>{"other.xls"}));
}

// No header opens a workbook whose Workbook stream's first bytes are garbled, nor one that lost
// an allocation-table sector: in place it is left as it is and the line says what to do
// instead; a copy is salvaged into a new file.
TEST_F(RepairCommand, SalvagesACopyWhenNoHeaderOpens)
{
    Bytes garbled = Original();
    std::fill_n(garbled.begin(), 76, std::uint8_t{0});
    std::fill_n(garbled.begin() + 512, 8, std::uint8_t{0x11});
    const Bytes original = Original("phpss__biff8cover.xls");
    Bytes lost = original;
    std::fill_n(lost.begin() + 512 * (test::HeaderField32(original, kHeaderDifatOffset) + 1), 512, std::uint8_t{0});
    const fs::path garbledBook = Put("garbled.xls", garbled), book = Put("book.xls", lost);

    for (const auto& [path, bytes] : {std::pair{garbledBook, garbled}, std::pair{book, lost}}) {
        for (const std::vector<std::string>& arguments :
             std::vector<std::vector<std::string>>{{"--in-place", path}, {"-n", "--in-place", path}}) {
            const RunResult result = Expect(1, arguments, path.string() + ": still damaged: ");
            EXPECT_TRUE(Holds(result.err, "; nothing was written; run without --in-place to salvage it into a copy\n"));
            EXPECT_EQ(test::ReadWholeFile(path), bytes);
        }
        // Records replaced, a stream lost: a copy written with less than the workbook held.
        Expect(3, {"-n", path}, "would salvage " + path.string());
    }
    EXPECT_EQ(Listing(folder_), (std::set<std::string>{"garbled.xls", "book.xls"}));

    Expect(3, {garbledBook}, "salvaged " + garbledBook.string());
    EXPECT_TRUE(fs::exists(folder_ / "garbled_repaired.xls"));
    const RunResult copy = Expect(3, {"--json", book}, "\"rebuild\":\"salvaged\"");
    EXPECT_TRUE(Holds(copy.out, "\"text\":\"Salvaged: 1 of 1 sheet"));
    EXPECT_EQ(test::ReadWholeFile(book), lost);
    MemorySectorFile intact(original);
    MemorySectorFile salvaged(test::ReadWholeFile(folder_ / "book_repaired.xls"));
    EXPECT_TRUE(VerifyWorkbook(salvaged).Opens());
    EXPECT_EQ(ReadWorkbookStream(salvaged), ReadWorkbookStream(intact));

    // The plain rebuild asked for alone is written in place: the header, and nothing else.
    Expect(0, {"--in-place", "--rebuild=design", garbledBook});
    const Bytes written = test::ReadWholeFile(garbledBook);
    ASSERT_EQ(written.size(), garbled.size());
    EXPECT_EQ(test::HeaderField32(written, 0), 0xE011CFD0u);
    EXPECT_TRUE(std::equal(garbled.begin() + 512, garbled.end(), written.begin() + 512));
}

TEST_F(RepairCommand, PutsMovedBytesBackIntoACopyOnly)
{
    const Bytes original = Original();
    Bytes wrapped(128 + original.size(), std::uint8_t{0x5A});
    std::copy(original.begin(), original.end(), wrapped.begin() + 128);
    const fs::path book = Put("mailed.xls", wrapped);

    // A realigned workbook differs in length: it never goes into the workbook itself.
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--in-place", book}, {"-n", "--in-place", book}}) {
        const RunResult result = Expect(1, arguments,
                                        book.string() + ": the workbook's bytes have moved, which only a copy can put right: "
                                                        "bytes added before the workbook were removed (a 128-byte wrapper); "
                                                        "nothing was written; run without --in-place to write the realigned "
                                                        "workbook into a copy\n");
        EXPECT_EQ(test::ReadWholeFile(book), wrapped);
    }
    Expect(0, {"-n", book}, "would realign " + book.string());
    EXPECT_EQ(Listing(folder_), (std::set<std::string>{"mailed.xls"}));

    const RunResult copy = Expect(0, {"--json", book}, "\"rebuild\":\"realigned\"");
    EXPECT_TRUE(Holds(copy.out, "\"realign\":{\"wrapperBytes\":128,"));
    EXPECT_TRUE(Holds(copy.out, "\"text\":\"Bytes added before the workbook were removed (a 128-byte wrapper)\""));
    EXPECT_EQ(test::ReadWholeFile(folder_ / "mailed_repaired.xls"), original);
    EXPECT_EQ(test::ReadWholeFile(book), wrapped);
}

TEST_F(RepairCommand, InPlaceWritesIntoAFileOnlyWhileItIsUnchanged)
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
        SCOPED_TRACE(c.what);
        const fs::path book = DamagedWorkbook("book.xls");
        // An old time, so that a change is seen however coarse the file system's clock.
        fs::last_write_time(book, fs::file_time_type::clock::now() - std::chrono::hours(1));
        Bytes expected = test::ReadWholeFile(book);
        const RunResult result = RunPausedBeforeWrite({"--in-place", book}, [&] {
            if (c.change)
                c.change(book);
            expected = test::ReadWholeFile(book);
        });
        if (!c.change) {  // the header written in place, and nothing beside the workbook
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(Mismatch(book), std::nullopt);
            EXPECT_EQ(Listing(folder_), std::set<std::string>{"book.xls"});
            continue;
        }
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_TRUE(Holds(result.err, book.string() + ": changed while it was being repaired; nothing was written"));
        EXPECT_EQ(test::ReadWholeFile(book), expected);
    }
}

TEST_F(RepairCommand, TheCopyIsRepairedFromTheBytesItRead)
{
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
    EXPECT_EQ(Mismatch(folder_ / "moving_repaired.xls"), std::nullopt);

    // A file that takes the copy's name meanwhile is kept, and the temporary file goes.
    fs::remove(folder_ / "moving_repaired.xls");
    result = RunPausedBeforeWrite({book}, [&] { Put("moving_repaired.xls", Bytes{'n', 'e', 'w'}); });
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(Holds(result.err, "already exists"));
    EXPECT_EQ(ReadText(folder_ / "moving_repaired.xls"), "new");
    EXPECT_FALSE(HoldsATemporaryFile(Listing(folder_)));
}

// ---------------------------------------------------------------------------------------
// --export-csv

// A workbook of two sheets, the first named beyond ASCII.
Bytes UnicodeWorkbook()
{
    using namespace test;
    const Bytes first = Record(biff::kNumber, Cell(0, 0) + Double(1.5)) + Record(biff::kLabel, Cell(0, 1) + Le16(4) + Bytes{0} + Ascii("a\"b,"));
    const Bytes second = Record(biff::kBoolErr, Cell(1, 1) + Bytes{1, 0});
    return WorkbookFile(Workbook(8, {}, {{"Ümsatz €", first}, {"Data", second}}));
}

TEST_F(RepairCommand, ExportsEverySheetAsCsvAndReplacesNothingUnasked)
{
    const fs::path book = Put("book.xls", UnicodeWorkbook());
    const fs::path damaged = DamagedWorkbook("damaged.xls");
    const Bytes bookBytes = test::ReadWholeFile(book), damagedBytes = test::ReadWholeFile(damaged);
    const fs::path out = Folder("out");

    // A dry run names the files it would write, and writes none.
    const RunResult noFolder = Expect(1, {"-n", "--export-csv", (folder_ / "none").string(), book.string()});
    EXPECT_EQ(noFolder.err, "tabulon-repair: " + book.string() + ": cannot write into " + (folder_ / "none").string() +
                                ": no such folder; nothing was written\n");
    const RunResult dryRun = Expect(0, {"-n", "--export-csv", out.string(), book.string()});
    EXPECT_EQ(dryRun.out, "would export " + book.string() + " into " + out.string() + ":\n  book-Ümsatz €.csv\n  book-Data.csv\n");
    EXPECT_TRUE(Listing(out).empty());

    const RunResult exported = Expect(0, {"--export-csv", out.string(), book.string(), damaged.string()});
    EXPECT_EQ(Listing(out), (std::set<std::string>{"book-Ümsatz €.csv", "book-Data.csv", "damaged-head(mtcars).csv"}));
    EXPECT_EQ(ReadText(out / "book-Ümsatz €.csv"), "1.5,\"a\"\"b,\"\r\n");
    EXPECT_EQ(ReadText(out / "book-Data.csv"), ",\r\n,TRUE\r\n");
    const std::string mtcars = ReadText(out / "damaged-head(mtcars).csv");
    EXPECT_TRUE(mtcars.starts_with("mpg,cyl,disp,hp,drat,wt,qsec,vs,am,gear,carb\r\n21,6,160,110,3.9,2.62,16.46,0,1,4,4\r\n")) << mtcars;
    EXPECT_TRUE(Holds(exported.out, "exported " + book.string() + " into " + out.string() + ":\n  book-Ümsatz €.csv\n  book-Data.csv\n"));
    EXPECT_TRUE(Holds(exported.out, "exported " + damaged.string() + " into " + out.string() +
                                        "; read with a rebuilt header:\n  damaged-head(mtcars).csv\n"));
    EXPECT_EQ(Listing(folder_), (std::set<std::string>{"book.xls", "damaged.xls", "out"})) << "nothing beside the workbooks";
    EXPECT_EQ(test::ReadWholeFile(book), bookBytes);
    EXPECT_EQ(test::ReadWholeFile(damaged), damagedBytes);

    // A workbook exports all of its files or none.
    test::WriteWholeFile(out / "book-Ümsatz €.csv", {'m', 'i', 'n', 'e'});
    fs::remove(out / "book-Data.csv");
    const RunResult refused = Expect(1, {"--export-csv", out.string(), book.string()});
    EXPECT_EQ(refused.err, "tabulon-repair: " + book.string() + ": " + (out / "book-Ümsatz €.csv").string() +
                               " already exists; use --overwrite to replace it; nothing was written\n");
    EXPECT_EQ(ReadText(out / "book-Ümsatz €.csv"), "mine");
    EXPECT_FALSE(fs::exists(out / "book-Data.csv"));

    // Replaced when asked; --json lists the files.
    const RunResult json =
        Expect(1, {"--json", "--export-csv", out.string(), "--overwrite", book.string(), (folder_ / "missing.xls").string()});
    EXPECT_EQ(json.out, "{\"path\":\"" + book.string() + "\",\"outcome\":\"exported\",\"error\":null,\"read\":\"workbook\"," +
                            "\"salvage\":null,\"files\":[\"" + (out / "book-Ümsatz €.csv").string() + "\",\"" +
                            (out / "book-Data.csv").string() + "\"]}\n" + "{\"path\":\"" + (folder_ / "missing.xls").string() +
                            "\",\"outcome\":\"failed\",\"error\":\"cannot open: No such file or directory; nothing was written\"," +
                            "\"read\":null,\"salvage\":null,\"files\":null}\n");
    EXPECT_EQ(ReadText(out / "book-Ümsatz €.csv"), "1.5,\"a\"\"b,\"\r\n");
    EXPECT_TRUE(fs::exists(out / "book-Data.csv"));

    // Two workbooks of one name: the second never replaces what the first wrote in this run.
    fs::copy_file(book, Folder("other") / "book.xls");
    Expect(1, {"--export-csv", out.string(), "--overwrite", book.string(), (folder_ / "other" / "book.xls").string()},
           "was written from " + book.string() + " earlier in this run; not replaced; nothing was written");
    EXPECT_FALSE(HoldsATemporaryFile(Listing(out)));
}

// A text file named .xls is called not a workbook in the line, in the JSON finding on the file
// and in what the salvage came to; the CSV files of a workbook of 300 sheets are named one a line.
TEST_F(RepairCommand, WhatItSaysReadsEasily)
{
    const std::string note = "Dear all,\nthe figures follow next week.\n";
    const fs::path text = Put("notes.xls", Bytes(note.begin(), note.end()));
    EXPECT_TRUE(Holds(Expect(1, {text}).err, text.string() + ": This file is not a workbook: "));
    const RunResult json = Expect(1, {"--json", text});
    EXPECT_TRUE(Holds(json.out, "\"text\":\"not a workbook: the file is too short to be one\"")) << json.out;
    EXPECT_TRUE(Holds(json.out, "\"text\":\"Nothing could be salvaged: this file is not a workbook\"")) << json.out;
    EXPECT_TRUE(Holds(json.out, "\"error\":\"This file is not a workbook: ")) << json.out;
    EXPECT_TRUE(Holds(Expect(1, {"--check", text}).out, "does not open: " + text.string() + ": not a workbook: "));

    const fs::path many = test::TestWorkbookPath("lotest__300-worksheets.xls");
    const RunResult listed = Expect(0, {"-n", "--export-csv", Folder("out").string(), many.string()});
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = listed.out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(listed.out.substr(at, end - at));
    ASSERT_EQ(lines.size(), 301u) << listed.out.substr(0, 400);
    EXPECT_EQ(lines[0], "would export " + many.string() + " into " + (folder_ / "out").string() + ":");
    EXPECT_EQ(lines[1], "  lotest__300-worksheets- 1.csv");
    EXPECT_EQ(lines[300], "  lotest__300-worksheets- 300.csv");
}

TEST_F(RepairCommand, AnUnrecoverableFileExportsNothingAndSaysSo)
{
    const fs::path zip = Put("zip.xls", test::ZipArchive());
    Bytes random(20000);
    std::uint32_t state = 1;
    for (std::uint8_t& byte : random)
        byte = static_cast<std::uint8_t>((state = state * 1103515245u + 12345u) >> 24);
    const fs::path noise = Put("noise.xls", random);
    const fs::path locked =
        Put("locked.xls", test::WorkbookFile(test::Workbook(8, test::Record(biff::kFilePass, Bytes(6, 0)), {{"One", {}}})));
    MemorySectorFile otherFile;  // a compound file of another program
    WriteCompoundFile(otherFile, {}, {{u"Contents", kObjectTypeStream, -1, Bytes(5000, 0x41)}});
    const fs::path other = Put("other.xls", otherFile.Bytes());
    const fs::path good = DamagedWorkbook("good.xls");
    const fs::path out = Folder("out");

    const RunResult run = Expect(1, {"--export-csv", out.string(), zip.string(), noise.string(), other.string(), locked.string(),
                                     good.string(), (folder_ / "missing.xls").string(), out.string()});
    EXPECT_EQ(Listing(out), std::set<std::string>{"good-head(mtcars).csv"}) << "the others write nothing";
    const std::string expected[] = {
        zip.string() + ": This is a zip archive (perhaps a newer .xlsx workbook), not a legacy .xls workbook; nothing was written\n",
        noise.string() + ": This file is not a workbook: it holds no allocation table or directory of one anywhere; nothing was written\n",
        other.string() + ": no workbook can be found in it, nor any of its cells; nothing was written\n",
        locked.string() + ": is encrypted: its cells cannot be read without the password; nothing was written\n",
        (folder_ / "missing.xls").string() + ": cannot open: No such file or directory; nothing was written\n",
        out.string() + ": is a folder, not a workbook; nothing was written\n",
    };
    for (const std::string& line : expected)
        EXPECT_TRUE(Holds(run.err, "tabulon-repair: " + line));
    EXPECT_TRUE(Holds(run.out, "exported " + good.string()));
}

}  // namespace
}  // namespace tabulon
