// The repair and save jobs without a window: what they report, in which order, and what
// they do to the files, on real files in a scratch folder.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <deque>
#include <thread>

#include "engine/repair.h"
#include "engine/os_file.h"
#include "jobs/job.h"
#include "tests/support/sector_builder.h"

namespace tabulon::jobs {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

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
    void SetUp() override
    {
        root_ = CreatePrivateFolder(fs::temp_directory_path());
        jobFolder_ = CreatePrivateFolder(root_);
        out_ = root_ / "out";
        fs::create_directory(out_);
    }
    void TearDown() override
    {
        if (!mounted_.empty())
            ::umount(mounted_.c_str());
        std::error_code ignored;
        fs::permissions(root_, fs::perms::owner_all, ignored);
        fs::remove_all(root_, ignored);
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
    fs::path Damaged(const fs::path& path)
    {
        Bytes bytes = test::ReadWholeFile(fs::path(TABULON_TEST_DATA) / "readxl__mtcars.xls");
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

    fs::path root_;
    fs::path jobFolder_;
    fs::path out_;
    fs::path mounted_;
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

    // The copy: in the job's private folder, under the workbook's own name, repaired, and
    // equal to the source after its header.
    const fs::path copy = log_.paths.at(1);
    EXPECT_EQ(copy.filename(), "good.xls");
    EXPECT_EQ(copy.parent_path().parent_path(), jobFolder_);
    EXPECT_EQ(fs::status(jobFolder_).permissions() & fs::perms::all, fs::perms::owner_all);
    const Bytes source = test::ReadWholeFile(good);
    const Bytes repaired = test::ReadWholeFile(copy);
    ASSERT_EQ(repaired.size(), source.size());
    EXPECT_TRUE(std::equal(source.begin() + 512, source.end(), repaired.begin() + 512));
    MemorySectorFile expected(source);
    RepairHeader(expected, RebuildMode::Auto);
    EXPECT_EQ(repaired, expected.Bytes());
    ASSERT_EQ(log_.reports.count(1), 1u);
    EXPECT_TRUE(log_.reports.at(1).check.Opens());
    EXPECT_EQ(std::count(source.begin(), source.begin() + 512, 0), 512) << "the source is never written";
}

TEST_F(Jobs, RepairKeepsSameNamedWorkbooksApartAndReadsReadOnlySources)
{
    const fs::path first = Damaged(root_ / "a" / "book.xls");
    fs::path second = root_ / "b" / "book.xls";
    fs::create_directories(second.parent_path());
    Bytes other = test::ReadWholeFile(fs::path(TABULON_TEST_DATA) / "xlrd__issue20.xls");
    std::fill(other.begin(), other.begin() + 76, std::uint8_t{0});
    test::WriteWholeFile(second, other);
    fs::permissions(first, fs::perms::owner_read | fs::perms::group_read);

    Repair({first.string(), second.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {4, 0}, {1, 1}, {4, 1}, {0, 0}}));
    EXPECT_TRUE(log_.messages.empty());
    ASSERT_NE(log_.paths.at(0), log_.paths.at(1));
    EXPECT_EQ(fs::file_size(log_.paths.at(0)), fs::file_size(first));
    EXPECT_EQ(fs::file_size(log_.paths.at(1)), other.size());
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
    Bytes zipBytes(4096, 0);
    zipBytes[0] = 'P', zipBytes[1] = 'K', zipBytes[2] = 3, zipBytes[3] = 4;
    test::WriteWholeFile(zip, zipBytes);
    Repair({(root_ / "folder.xls").string(), zip.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {3, 0}, {1, 1}, {3, 1}, {0, 0}}));
    ASSERT_EQ(log_.messages.size(), 2u);
    EXPECT_EQ(log_.messages[0], "Uable to Open File ");
    EXPECT_EQ(log_.messages[1], zip.string() + "\n" + DescribeNotAWorkbook(NotAWorkbook::ZipArchive))
        << "the refusal names the file";
    EXPECT_EQ(log_.paths.at(1), "FAIL");
    EXPECT_TRUE(log_.reports.at(1).refused);
    EXPECT_FALSE(fs::exists(jobFolder_ / "1"));
    EXPECT_EQ(test::ReadWholeFile(zip), zipBytes);
}

TEST_F(Jobs, RepairCopiesAWorkbookThatOpensAsItIs)
{
    const fs::path intact = root_ / "intact.xls";
    fs::copy_file(fs::path(TABULON_TEST_DATA) / "readxl__mtcars.xls", intact);
    Repair({intact.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {4, 0}, {0, 0}}));
    EXPECT_TRUE(log_.messages.empty());
    EXPECT_EQ(test::ReadWholeFile(log_.paths.at(0)), test::ReadWholeFile(intact));
    ASSERT_EQ(log_.reports.count(0), 1u);
    EXPECT_EQ(log_.reports.at(0).used, RebuildUsed::Kept);
    EXPECT_TRUE(log_.reports.at(0).check.Opens());
}

TEST_F(Jobs, RepairRefusesA2GiBFileBeforeCopyingIt)
{
    const fs::path large = root_ / "large.xls";
    { std::ofstream create(large); }
    fs::resize_file(large, kMaxWorkbookLength + 1);  // sparse: no disk is used
    Repair({large.string(), Damaged(root_ / "good.xls").string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {3, 0}, {1, 1}, {4, 1}, {0, 0}}));
    EXPECT_EQ(log_.messages, std::vector<std::string>{large.string() + "\n" + kTooLargeForAWorkbook});
    EXPECT_EQ(log_.paths.at(0), kFailedPath);
    EXPECT_FALSE(fs::exists(jobFolder_ / "0")) << "no copy was made";
    EXPECT_EQ(fs::file_size(large), kMaxWorkbookLength + 1);
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
    EXPECT_EQ(fs::file_size(out_ / "a_rep.xls"), fs::file_size(root_ / "a.xls"));
    EXPECT_EQ(test::ReadWholeFile(out_ / "b_rep.xls"), (Bytes{'o', 'l', 'd'}));
    EXPECT_TRUE(fs::exists(out_ / "b_elsewhere.xls"));
    EXPECT_EQ(test::ReadWholeFile(out_ / "c_rep.xls"), (Bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(fs::exists(copies[0]));
    EXPECT_FALSE(fs::exists(copies[1]));
    EXPECT_TRUE(fs::exists(copies[2])) << "kept after Save As was cancelled";
    EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 4) << "no stray files";
}

TEST_F(Jobs, SaveNeverReplacesWhatItCannotRead)
{
    // Run as an ordinary user, for whom permissions apply (root reads everything).
    const auto copies = Repaired({Damaged(root_ / "a.xls").string()});
    const fs::path shared = root_ / "shared";
    fs::create_directory(shared);
    fs::copy_file(copies[0], shared / "a.xls");
    for (const fs::path& folder : {root_, shared, out_})
        fs::permissions(folder, fs::perms::all);
    fs::permissions(shared / "a.xls", fs::perms::all);
    test::WriteWholeFile(out_ / "a_rep.xls", Bytes{'k', 'e', 'e', 'p'});
    fs::permissions(out_ / "a_rep.xls", fs::perms::none);

    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(100);
        Save({(shared / "a.xls").string()});
        const bool failedAlone = log_.events == std::vector<Event>{{2, 0}, {3, 0}, {0, 0}} && log_.questions.empty();
        ::_exit(failedAlone ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save did not fail alone, status " << status;
    fs::permissions(out_ / "a_rep.xls", fs::perms::owner_read);
    EXPECT_EQ(test::ReadWholeFile(out_ / "a_rep.xls"), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_TRUE(fs::exists(shared / "a.xls")) << "kept for another try";
}

TEST_F(Jobs, SaveNeverReplacesAWorkbookOfTheRepair)
{
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
    fs::path b = root_ / "b" / "book.xls";
    fs::create_directories(b.parent_path());
    Bytes other = test::ReadWholeFile(fs::path(TABULON_TEST_DATA) / "xlrd__issue20.xls");
    std::fill(other.begin(), other.begin() + 512, std::uint8_t{0});
    test::WriteWholeFile(b, other);
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
        EXPECT_EQ(fs::file_size(out_ / name), fs::file_size(root_ / "a.xls")) << name;
    }
}

TEST_F(Jobs, SaveFailuresKeepTheRepairedCopy)
{
    const auto copies = Repaired({Damaged(root_ / "a.xls").string(), Damaged(root_ / "b.xls").string()});
    // No such destination folder.
    Run(SaveWorker, {copies[0]}, (root_ / "no-such-folder").string() + "/", "_rep");
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {0, 0}}));
    EXPECT_TRUE(fs::exists(copies[0]));

    // A full disk while replacing: the old file stays whole and the copy stays for another try.
    const fs::path small = root_ / "small";
    fs::create_directory(small);
    if (::mount("tabulon-test", small.c_str(), "tmpfs", 0, "size=8k") != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    mounted_ = small;
    test::WriteWholeFile(small / "b_rep.xls", Bytes(3000, 'o'));
    log_ = {};
    log_.yesAnswers = {true};
    Run(SaveWorker, {copies[1]}, small.string() + "/", "_rep");
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {0, 0}}));
    EXPECT_EQ(test::ReadWholeFile(small / "b_rep.xls"), Bytes(3000, 'o'));
    EXPECT_TRUE(fs::exists(copies[1]));
    EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()), 1) << "no partial file";

    // Across file systems a move is a copy that takes its name when complete.
    ::umount(small.c_str());
    ASSERT_EQ(::mount("tabulon-test", small.c_str(), "tmpfs", 0, "size=1m"), 0);
    log_ = {};
    Run(SaveWorker, {copies[1]}, small.string() + "/", "_rep");
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {0, 0}}));
    EXPECT_EQ(fs::file_size(small / "b_rep.xls"), fs::file_size(root_ / "b.xls"));
    EXPECT_FALSE(fs::exists(copies[1]));
}

}  // namespace
}  // namespace tabulon::jobs
