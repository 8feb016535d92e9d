// The repair and save jobs without a window: what they report, in which order, and what
// they do to the files, on real files in a scratch folder.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <thread>

#include "engine/base/byte_order.h"
#include "engine/cfb/compound_reader.h"
#include "engine/repair/workbook_file.h"
#include "jobs/job.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch.h"
#include "tests/support/workbooks.h"

namespace tabulon::jobs {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::FirstDifference;

struct Event {
    int code;
    int index;
    bool operator==(const Event&) const = default;
};

// Records every call; answers questions from queues. Called from the worker's thread only,
// and read by the test after the worker has been joined.
class RecordingHost final : public JobHost {
public:
    struct Log {
        std::vector<Event> events;
        std::vector<std::string> messages;
        std::vector<std::string> questions;
        std::vector<fs::path> saveAsProposed;
        std::map<int, std::string> paths;
        std::map<int, RepairReport> reports;
        std::deque<bool> yesAnswers;
        std::deque<std::optional<fs::path>> saveAsAnswers;
    };
    explicit RecordingHost(Log& log) : log_(log) {}
    void Progress(int, int code, int index) override { log_.events.push_back({code, index}); }
    void SetPath(int index, const std::string& path) override { log_.paths[index] = path; }
    void SetReport(int index, const RepairReport& report) override { log_.reports[index] = report; }
    void ShowMessage(const std::string& text) override { log_.messages.push_back(text); }
    bool AskYesNo(const std::string& text) override
    {
        log_.questions.push_back(text);
        const bool yes = !log_.yesAnswers.empty() && log_.yesAnswers.front();
        if (!log_.yesAnswers.empty())
            log_.yesAnswers.pop_front();
        return yes;
    }
    std::optional<fs::path> AskSaveAs(const fs::path& proposed) override
    {
        log_.saveAsProposed.push_back(proposed);
        if (log_.saveAsAnswers.empty())
            return std::nullopt;
        auto answer = log_.saveAsAnswers.front();
        log_.saveAsAnswers.pop_front();
        return answer;
    }

private:
    Log& log_;
};

class Jobs : public ::testing::Test {
protected:
    void SetUp() override { UseFolder(scratch_.Path()); }

    // Everything the test makes goes into `root`: the job's private folder, "out", workbooks.
    void UseFolder(const fs::path& root)
    {
        root_ = root;
        jobFolder_ = CreatePrivateFolder(root_);
        out_ = root_ / "out";
        fs::create_directory(out_);
    }

    // Runs a worker on a thread of its own, as the window does, and waits for it.
    void Run(void (*worker)(std::unique_ptr<JobRecord>), const std::vector<std::string>& paths,
             const std::string& folder, const std::string& suffix = "_rep",
             const std::vector<std::string>& originals = {})
    {
        auto job = std::make_unique<JobRecord>();
        job->host = std::make_unique<RecordingHost>(log_);
        job->paths = paths;
        job->sources = originals;
        job->originals = originals;
        job->folder = folder;
        job->suffix = suffix;
        job->pause = std::chrono::milliseconds(0);
        std::thread(worker, std::move(job)).join();
    }

    void Repair(const std::vector<std::string>& paths) { Run(RepairWorker, paths, jobFolder_.string()); }
    void Save(const std::vector<std::string>& paths, const std::string& suffix = "_rep",
              const std::vector<std::string>& originals = {})
    {
        Run(SaveWorker, paths, out_.string() + "/", suffix, originals);
    }

    // A real workbook with its header wiped.
    fs::path Damaged(const fs::path& path, const char* source = "readxl__mtcars.xls")
    {
        Bytes bytes = test::TestWorkbook(source);
        std::fill(bytes.begin(), bytes.begin() + 512, std::uint8_t{0});
        fs::create_directories(path.parent_path());
        test::WriteWholeFile(path, bytes);
        return path;
    }

    // Repairs the given workbooks and gives the copies' paths (or "FAIL").
    std::vector<std::string> Repaired(const std::vector<std::string>& sources)
    {
        Repair(sources);
        std::vector<std::string> copies;
        for (int i = 0; i < static_cast<int>(sources.size()); ++i)
            copies.push_back(log_.paths.at(i));
        log_ = {};
        return copies;
    }

    test::ScratchFolder scratch_;
    fs::path root_;
    fs::path jobFolder_;
    fs::path out_;
    RecordingHost::Log log_;
};

TEST_F(Jobs, RepairReportsEveryFileInOrder)
{
    Repair({});
    EXPECT_EQ(log_.events, (std::vector<Event>{{0, 0}}));

    log_ = {};
    const fs::path good = Damaged(root_ / "in" / "good.xls");
    Repair({(root_ / "missing.xls").string(), good.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {3, 0}, {1, 1}, {4, 1}, {0, 0}}));
    EXPECT_EQ(log_.messages, std::vector<std::string>{"Uable to Open File "});
    EXPECT_EQ(log_.paths.at(0), "FAIL");

    // The copy: in the job's private folder, under the workbook's own name, and the workbook
    // again.
    const fs::path copy = log_.paths.at(1);
    EXPECT_EQ(copy.filename(), "good.xls");
    EXPECT_EQ(copy.parent_path().parent_path(), jobFolder_);
#ifndef _WIN32  // there the folder's access list is what keeps others out: tests/windows
    EXPECT_EQ(fs::status(jobFolder_).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
    EXPECT_EQ(FirstDifference(test::ReadWholeFile(copy), test::TestWorkbook(), 44), std::nullopt);
    ASSERT_EQ(log_.reports.count(1), 1u);
    EXPECT_TRUE(log_.reports.at(1).check.Opens());
    EXPECT_EQ(test::ReadFirstBytes(good, 512), Bytes(512, 0)) << "the source is never written";
}

TEST_F(Jobs, RepairKeepsSameNamedWorkbooksApart)
{
    const fs::path first = Damaged(root_ / "a" / "book.xls");
    const fs::path second = Damaged(root_ / "b" / "book.xls", "poi__47847.xls");
    Repair({first.string(), second.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {4, 0}, {1, 1}, {4, 1}, {0, 0}}));
    EXPECT_TRUE(log_.messages.empty());
    ASSERT_NE(log_.paths.at(0), log_.paths.at(1));
    EXPECT_EQ(FirstDifference(test::ReadWholeFile(log_.paths.at(0)), test::TestWorkbook(), 44), std::nullopt);
    EXPECT_EQ(FirstDifference(test::ReadWholeFile(log_.paths.at(1)), test::TestWorkbook("poi__47847.xls"), 44),
              std::nullopt);
}

TEST_F(Jobs, RepairFailuresGoOnWithTheNextFile)
{
    const fs::path good = Damaged(root_ / "good.xls");
    // The copy cannot be made: the job's folder is gone.
    Run(RepairWorker, {good.string()}, (root_ / "vanished").string());
    EXPECT_EQ(log_.messages, std::vector<std::string>{"Uable to Load File in memory"});
    EXPECT_EQ(log_.paths.at(0), "FAIL");

    // A folder given as a workbook cannot be opened; a file that is no workbook is refused,
    // says what it is, and leaves no copy behind.
    log_ = {};
    fs::create_directory(root_ / "folder.xls");
    const fs::path zip = root_ / "new.xls";
    test::WriteWholeFile(zip, test::ZipArchive());
    Repair({(root_ / "folder.xls").string(), zip.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {3, 0}, {1, 1}, {3, 1}, {0, 0}}));
    ASSERT_EQ(log_.messages.size(), 2u);
    EXPECT_EQ(log_.messages[0], "Uable to Open File ");
    EXPECT_EQ(log_.messages[1].rfind(zip.string() + "\nThis is a zip archive", 0), 0u)
        << "the refusal names the file and what it is: " << log_.messages[1];
    EXPECT_EQ(log_.paths.at(1), "FAIL");
    EXPECT_TRUE(log_.reports.at(1).refused);
    EXPECT_FALSE(fs::exists(jobFolder_ / "1"));
    EXPECT_EQ(test::ReadWholeFile(zip), test::ZipArchive());
}

TEST_F(Jobs, RepairCopiesAWorkbookThatOpensAsItIs)
{
    const fs::path intact = root_ / "intact.xls";
    test::WriteWholeFile(intact, test::TestWorkbook());
    Repair({intact.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {4, 0}, {0, 0}}));
    EXPECT_TRUE(log_.messages.empty());
    EXPECT_EQ(test::ReadWholeFile(log_.paths.at(0)), test::ReadWholeFile(intact));
    ASSERT_EQ(log_.reports.count(0), 1u);
    EXPECT_EQ(log_.reports.at(0).used, RebuildUsed::Kept);
    EXPECT_TRUE(log_.reports.at(0).check.Opens());
}

// A lost allocation-table sector: no header opens the copy, so its streams are salvaged into
// a new file under the copy's name; the workbook itself is only read.
TEST_F(Jobs, RepairSalvagesTheCopyWhenNoHeaderOpensIt)
{
    const Bytes original = test::TestWorkbook("phpss__biff8cover.xls");
    Bytes damaged = original;
    const std::size_t table = LoadLe32(original.data() + kHeaderDifatOffset);
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(512 * (table + 1)), 512, std::uint8_t{0});
    const fs::path book = root_ / "book.xls";
    test::WriteWholeFile(book, damaged);
    Repair({book.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {4, 0}, {0, 0}}));
    ASSERT_EQ(log_.reports.count(0), 1u);
    EXPECT_EQ(log_.reports.at(0).used, RebuildUsed::Salvaged);
    const fs::path copy = log_.paths.at(0);
    EXPECT_EQ(copy.filename(), "book.xls");
    EXPECT_EQ(std::distance(fs::directory_iterator(copy.parent_path()), fs::directory_iterator()), 1) << "no stray file";
    MemorySectorFile salvaged(test::ReadWholeFile(copy));
    MemorySectorFile intact(original);
    EXPECT_TRUE(VerifyWorkbook(salvaged).Opens());
    EXPECT_EQ(ReadWorkbookStream(salvaged), ReadWorkbookStream(intact));
    EXPECT_EQ(test::ReadWholeFile(book), damaged);
}

TEST_F(Jobs, RepairRefusesA2GiBFileBeforeCopyingIt)
{
    const test::SparseFile large(root_ / "large.xls", kMaxWorkbookLength + 1);
    if (!large.Made())
        GTEST_SKIP() << large.WhyNot();
    Repair({large.Path().string(), Damaged(root_ / "good.xls").string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {3, 0}, {1, 1}, {4, 1}, {0, 0}}));
    EXPECT_EQ(log_.messages, std::vector<std::string>{large.Path().string() + "\n" + kTooLargeForAWorkbook});
    EXPECT_EQ(log_.paths.at(0), kFailedPath);
    EXPECT_FALSE(fs::exists(jobFolder_ / "0")) << "no copy was made";
    EXPECT_EQ(fs::file_size(large.Path()), kMaxWorkbookLength + 1);
}

TEST_F(Jobs, SaveNamesTheCopies)
{
    const struct {
        const char* name;
        const char* suffix;
        const char* saved;
    } cases[] = {
        {"Book1.xls", "_rep", "Book1_rep.xls"},     {"Budget.2008.XLS", "_rep", "Budget.2008_rep.xls"},
        {"Sales.xlt", "", "Sales.xls"},             {"Book1.xls", "", "Book1.xls"},
        {"Readme", "_rep", "_rep.xls"},             {"Résumé.xls", "_ü", "Résumé_ü.xls"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeSaveName(c.name, c.suffix), c.saved) << c.name;
}

TEST_F(Jobs, SaveMovesEachCopyAndReportsInOrder)
{
    const auto copies = Repaired({Damaged(root_ / "one.xls").string(), (root_ / "missing.xls").string(),
                                  Damaged(root_ / "three.xls").string()});
    const Bytes expected = test::ReadWholeFile(copies[0]);
    Save(copies);
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {2, 1}, {3, 1}, {2, 2}, {4, 2}, {0, 0}}));
    EXPECT_EQ(log_.messages, std::vector<std::string>{kUnableToSave});
    EXPECT_TRUE(log_.questions.empty()) << "a FAIL entry is not asked about";
    EXPECT_EQ(test::ReadWholeFile(out_ / "one_rep.xls"), expected);
    EXPECT_TRUE(fs::exists(out_ / "three_rep.xls"));
    EXPECT_FALSE(fs::exists(copies[0])) << "moved";

    // Saving the same files again: their copies are gone, so each fails without a question.
    log_ = {};
    Save(copies);
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {2, 1}, {3, 1}, {2, 2}, {3, 2}, {0, 0}}));
    EXPECT_EQ(log_.messages.size(), 3u);
    EXPECT_TRUE(log_.questions.empty());
}

TEST_F(Jobs, SaveAsksBeforeReplacing)
{
    const auto copies = Repaired({Damaged(root_ / "a.xls").string(), Damaged(root_ / "b.xls").string(),
                                  Damaged(root_ / "c.xls").string()});
    for (const char* name : {"a_rep.xls", "b_rep.xls", "c_rep.xls"})
        test::WriteWholeFile(out_ / name, Bytes{'o', 'l', 'd'});
    // a: Yes, replaced. b: No, then Save As elsewhere. c: No, then Save As cancelled.
    log_.yesAnswers = {true, false, false};
    log_.saveAsAnswers = {out_ / "b_elsewhere.xls", std::nullopt};
    Save(copies);
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {2, 1}, {4, 1}, {2, 2}, {3, 2}, {0, 0}}));
    EXPECT_EQ(log_.questions, std::vector<std::string>(3, kOverwriteQuestion));
    EXPECT_EQ(log_.saveAsProposed, (std::vector<fs::path>{out_ / "b_rep.xls", out_ / "c_rep.xls"}));
    EXPECT_EQ(FirstDifference(test::ReadWholeFile(out_ / "a_rep.xls"), test::TestWorkbook(), 44), std::nullopt);
    EXPECT_EQ(test::ReadWholeFile(out_ / "b_rep.xls"), (Bytes{'o', 'l', 'd'}));
    EXPECT_TRUE(fs::exists(out_ / "b_elsewhere.xls"));
    EXPECT_EQ(test::ReadWholeFile(out_ / "c_rep.xls"), (Bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(fs::exists(copies[0]));
    EXPECT_FALSE(fs::exists(copies[1]));
    EXPECT_TRUE(fs::exists(copies[2])) << "kept after Save As was cancelled";
    EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 4) << "no stray files";
}

// Root reads and writes everything, so this runs as an ordinary user.
TEST_F(Jobs, WhatTheUserMayNotWriteOrReadIsLeftAlone)
{
    if (const auto why = test::WhyNoOrdinaryUser())
        GTEST_SKIP() << *why;
    EXPECT_TRUE(test::RunAsOrdinaryUser([&] {
        const test::ScratchFolder own;
        UseFolder(own.Path());
        // A workbook the user may only read is repaired all the same.
        const fs::path readOnly = Damaged(root_ / "read-only.xls");
        fs::permissions(readOnly, fs::perms::owner_read);
        const auto copies = Repaired({readOnly.string()});
        ASSERT_NE(copies[0], kFailedPath);
        EXPECT_EQ(FirstDifference(test::ReadWholeFile(copies[0]), test::TestWorkbook(), 44), std::nullopt);

        // A file in the way that cannot even be read is never replaced, and nothing is asked.
        test::WriteWholeFile(out_ / "read-only_rep.xls", Bytes{'k', 'e', 'e', 'p'});
        fs::permissions(out_ / "read-only_rep.xls", fs::perms::none);
        Save(copies);
        EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {0, 0}}));
        EXPECT_TRUE(log_.questions.empty());
        fs::permissions(out_ / "read-only_rep.xls", fs::perms::owner_read);
        EXPECT_EQ(test::ReadWholeFile(out_ / "read-only_rep.xls"), (Bytes{'k', 'e', 'e', 'p'}));
        EXPECT_TRUE(fs::exists(copies[0])) << "kept for another try";
    }));
}

TEST_F(Jobs, SaveNeverReplacesAWorkbookOfTheRepair)
{
    if (const auto why = test::WhyNoSymbolicLinks(root_))
        GTEST_SKIP() << *why;
    // An empty suffix into the workbook's own folder names the workbook itself; a link there
    // leads to another workbook of the same repair; Save As is pointed at the first workbook.
    const fs::path first = Damaged(out_ / "first.xls");
    const fs::path second = Damaged(root_ / "second.xls");
    const fs::path third = Damaged(root_ / "third.xls");
    fs::create_symlink(second, out_ / "linked.xls");
    const Bytes original = test::ReadWholeFile(first);
    auto copies = Repaired({first.string(), second.string(), third.string()});
    const fs::path renamed = fs::path(copies[1]).replace_filename("linked.xls");
    fs::rename(copies[1], renamed);
    copies[1] = renamed.string();
    test::WriteWholeFile(out_ / "third.xls", Bytes{'o', 'l', 'd'});
    log_.yesAnswers = {false};
    log_.saveAsAnswers = {first};
    Save(copies, "", {first.string(), second.string(), third.string()});

    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {2, 1}, {3, 1}, {2, 2}, {3, 2}, {0, 0}}));
    EXPECT_EQ(log_.messages, std::vector<std::string>(3, kUnableToSave));
    EXPECT_EQ(log_.questions.size(), 1u) << "asked about the third file only";
    EXPECT_EQ(test::ReadWholeFile(first), original);
    EXPECT_EQ(test::ReadWholeFile(second), original);
    EXPECT_TRUE(fs::is_symlink(out_ / "linked.xls"));
    EXPECT_EQ(test::ReadWholeFile(out_ / "third.xls"), (Bytes{'o', 'l', 'd'}));
    for (const std::string& copy : copies)
        EXPECT_TRUE(fs::exists(copy)) << copy << " kept for another try";
}

TEST_F(Jobs, SaveReplacesNoWriteProtectedFileNorOneItSavedItself)
{
    // Two workbooks of one name from two folders, and a write-protected file in the way of a
    // third. Yes to every question.
    const fs::path a = Damaged(root_ / "a" / "book.xls");
    const fs::path b = Damaged(root_ / "b" / "book.xls", "poi__47847.xls");
    const fs::path c = Damaged(root_ / "c.xls");
    const auto copies = Repaired({a.string(), b.string(), c.string()});
    const Bytes firstRepair = test::ReadWholeFile(copies[0]);
    test::WriteWholeFile(out_ / "c_rep.xls", Bytes{'k', 'e', 'e', 'p'});
    fs::permissions(out_ / "c_rep.xls", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    log_.yesAnswers = {true, true, true};
    Save(copies, "_rep", {a.string(), b.string(), c.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {2, 1}, {3, 1}, {2, 2}, {3, 2}, {0, 0}}));
    ASSERT_EQ(log_.messages.size(), 2u);
    EXPECT_NE(log_.messages[0].find(a.string()), std::string::npos) << log_.messages[0];
    EXPECT_NE(log_.messages[0].find(b.string()), std::string::npos) << log_.messages[0];
    EXPECT_EQ(log_.messages[1], kUnableToSave);
    EXPECT_EQ(log_.questions.size(), 1u) << "no question about the file saved a moment ago";
    EXPECT_EQ(test::ReadWholeFile(out_ / "book_rep.xls"), firstRepair);
    EXPECT_EQ(test::ReadWholeFile(out_ / "c_rep.xls"), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_TRUE(fs::exists(copies[1]));
    EXPECT_TRUE(fs::exists(copies[2]));
}

TEST_F(Jobs, SaveReplacesALinkItselfNeverWhatItPointsTo)
{
    if (const auto why = test::WhyNoSymbolicLinks(root_))
        GTEST_SKIP() << *why;
    const auto copies = Repaired({Damaged(root_ / "a.xls").string(), Damaged(root_ / "b.xls").string()});
    const fs::path target = root_ / "target.xls";
    test::WriteWholeFile(target, Bytes{'t'});
    fs::create_symlink(target, out_ / "a_rep.xls");
    fs::create_symlink(root_ / "nowhere.xls", out_ / "b_rep.xls");
    log_.yesAnswers = {true, true};
    Save(copies);
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {2, 1}, {4, 1}, {0, 0}}));
    EXPECT_EQ(log_.questions.size(), 2u) << "a dangling link is a name in the way too";
    EXPECT_EQ(test::ReadWholeFile(target), Bytes{'t'});
    EXPECT_FALSE(fs::exists(root_ / "nowhere.xls"));
    for (const char* name : {"a_rep.xls", "b_rep.xls"}) {
        EXPECT_FALSE(fs::is_symlink(out_ / name)) << name;
        EXPECT_EQ(FirstDifference(test::ReadWholeFile(out_ / name), test::TestWorkbook(), 44), std::nullopt) << name;
    }
}

TEST_F(Jobs, SaveToAMissingFolderKeepsTheRepairedCopy)
{
    const auto copies = Repaired({Damaged(root_ / "a.xls").string()});
    Run(SaveWorker, {copies[0]}, (root_ / "no-such-folder").string() + "/", "_rep");
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {0, 0}}));
    EXPECT_TRUE(fs::exists(copies[0]));
}

TEST_F(Jobs, SaveOntoAFullOrAnotherFileSystem)
{
    if (const auto why = test::WhyNoSmallFileSystems())
        GTEST_SKIP() << *why;
    const auto copies = Repaired({Damaged(root_ / "b.xls").string()});
    const fs::path full = root_ / "full";
    const fs::path other = root_ / "other";
    fs::create_directory(full);
    fs::create_directory(other);
    EXPECT_TRUE(test::RunChecksInChild({.smallFileSystems = {{full, 8 << 10}, {other, 1 << 20}}}, [&] {
        // No room while replacing: the old file stays whole and the copy stays for another try.
        test::WriteWholeFile(full / "b_rep.xls", Bytes(3000, 'o'));
        log_.yesAnswers = {true};
        Run(SaveWorker, {copies[0]}, full.string() + "/", "_rep");
        EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {0, 0}}));
        EXPECT_EQ(test::ReadWholeFile(full / "b_rep.xls"), Bytes(3000, 'o'));
        EXPECT_TRUE(fs::exists(copies[0]));
        EXPECT_EQ(std::distance(fs::directory_iterator(full), fs::directory_iterator()), 1) << "no partial file";

        // Across file systems a move is a copy that takes its name when complete.
        log_ = {};
        Run(SaveWorker, {copies[0]}, other.string() + "/", "_rep");
        EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {0, 0}}));
        EXPECT_EQ(FirstDifference(test::ReadWholeFile(other / "b_rep.xls"), test::TestWorkbook(), 44), std::nullopt);
        EXPECT_FALSE(fs::exists(copies[0]));
    }));
}

}  // namespace
}  // namespace tabulon::jobs
