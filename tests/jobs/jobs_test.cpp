// The repair and save jobs without a window: what they report, in which order, and what
// they do to the files, on real files in a scratch folder.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <thread>

#include "engine/base/byte_order.h"
#include "engine/cfb/compound_reader.h"
#include "engine/repair/workbook/workbook.h"
#include "jobs/job.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch.h"
#include "tests/support/workbooks.h"

namespace tabulon::jobs {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::FirstDifference;

// Where the file at `path` first differs from workbook `source` past the header's first 44
// bytes, or nothing: a repaired copy is its workbook again.
std::optional<std::size_t> Mismatch(const fs::path& path, const char* source = "readxl__mtcars.xls")
{
    return FirstDifference(test::ReadWholeFile(path), test::TestWorkbook(source), 44);
}

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
        std::map<int, std::string> saved;
        std::deque<bool> yesAnswers;
        std::deque<std::optional<fs::path>> saveAsAnswers;
    };
    explicit RecordingHost(Log& log) : log_(log) {}
    void Progress(int, int code, int index) override { log_.events.push_back({code, index}); }
    void SetPath(int index, const std::string& path) override { log_.paths[index] = path; }
    void SetReport(int index, const RepairReport& report) override { log_.reports[index] = report; }
    void SetSaved(int index, const std::string& saved) override { log_.saved[index] = saved; }
    void ShowMessage(const std::string& text) override { log_.messages.push_back(text); }
    bool AskYesNo(const std::string& text) override
    {
        log_.questions.push_back(text);
        return Next(log_.yesAnswers).value_or(false);
    }
    std::optional<fs::path> AskSaveAs(const fs::path& proposed) override
    {
        log_.saveAsProposed.push_back(proposed);
        return Next(log_.saveAsAnswers).value_or(std::nullopt);
    }

private:
    // The next answer in the queue, or nothing once it is empty.
    template <typename T>
    static std::optional<T> Next(std::deque<T>& answers)
    {
        if (answers.empty())
            return std::nullopt;
        T answer = answers.front();
        answers.pop_front();
        return answer;
    }

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
             const std::vector<std::string>& originals = {}, const std::vector<std::string>& savedAs = {})
    {
        auto job = std::make_unique<JobRecord>(JobRecord{.host = std::make_unique<RecordingHost>(log_), .paths = paths,
                                                         .sources = originals, .originals = originals, .savedAs = savedAs,
                                                         .suffix = suffix, .folder = folder,
                                                         .pause = std::chrono::milliseconds(0)});
        std::thread(worker, std::move(job)).join();
    }

    void Repair(const std::vector<std::string>& paths) { Run(RepairWorker, paths, jobFolder_.string()); }
    void Save(const std::vector<std::string>& paths, const std::string& suffix = "_rep",
              const std::vector<std::string>& originals = {}, const std::vector<std::string>& savedAs = {})
    {
        Run(SaveWorker, paths, out_.string() + "/", suffix, originals, savedAs);
    }

    // A saved file's name as the job spells it: the folder text, then the name, as a path.
    std::string SavedName(const std::string& name) const { return PathToUtf8(PathFromUtf8(out_.string() + "/" + name)); }

    // The failure messages shown: each kUnableToSave first, a paragraph below it why; the whys.
    std::vector<std::string> Reasons() const
    {
        std::vector<std::string> reasons;
        const std::string head = kUnableToSave + "\n\n";
        for (const std::string& message : log_.messages)
            reasons.push_back(message.starts_with(head) ? message.substr(head.size()) : "not the failure message: " + message);
        return reasons;
    }

    static fs::path Write(const fs::path& path, const Bytes& bytes)
    {
        fs::create_directories(path.parent_path());
        test::WriteWholeFile(path, bytes);
        return path;
    }

    // A real workbook with its header wiped.
    static fs::path Damaged(const fs::path& path, const char* source = "readxl__mtcars.xls")
    {
        Bytes bytes = test::TestWorkbook(source);
        std::fill(bytes.begin(), bytes.begin() + 512, std::uint8_t{0});
        return Write(path, bytes);
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

    // What cannot be opened (missing, a folder), a file that is no workbook, two workbooks of
    // one name from two folders, and one that opens as it is.
    log_ = {};
    fs::create_directory(root_ / "folder.xls");
    const fs::path zip = Write(root_ / "new.xls", test::ZipArchive());
    const fs::path good = Damaged(root_ / "in" / "good.xls");
    const fs::path other = Damaged(root_ / "other" / "good.xls", "poi__47847.xls");
    const fs::path intact = Write(root_ / "intact.xls", test::TestWorkbook());
    Repair({(root_ / "missing.xls").string(), (root_ / "folder.xls").string(), zip.string(), good.string(),
            other.string(), intact.string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {3, 0}, {1, 1}, {3, 1}, {1, 2}, {3, 2}, {1, 3}, {4, 3}, {1, 4},
                                               {4, 4}, {1, 5}, {4, 5}, {0, 0}}));
    ASSERT_EQ(log_.messages.size(), 3u);
    EXPECT_EQ(log_.messages[0], "Uable to Open File ");
    EXPECT_EQ(log_.messages[1], "Uable to Open File ");
    EXPECT_TRUE(log_.messages[2].starts_with(zip.string() + "\nThis is a zip archive"))
        << "the refusal names the file and what it is: " << log_.messages[2];
    for (const int failed : {0, 1, 2})
        EXPECT_EQ(log_.paths.at(failed), "FAIL");
    EXPECT_TRUE(log_.reports.at(2).refused);
    EXPECT_FALSE(fs::exists(jobFolder_ / "2")) << "no copy is left behind";
    EXPECT_EQ(test::ReadWholeFile(zip), test::ZipArchive());

    // The copies: in the job's private folder, each in a place of its own under the workbook's
    // own name, and the workbook again.
    const fs::path copy = log_.paths.at(3);
    EXPECT_EQ(copy.filename(), "good.xls");
    EXPECT_EQ(copy.parent_path().parent_path(), jobFolder_);
#ifndef _WIN32  // there the folder's access list is what keeps others out: tests/windows
    EXPECT_EQ(fs::status(jobFolder_).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
    EXPECT_EQ(Mismatch(copy), std::nullopt);
    ASSERT_NE(log_.paths.at(4), log_.paths.at(3));
    EXPECT_EQ(Mismatch(log_.paths.at(4), "poi__47847.xls"), std::nullopt);
    ASSERT_EQ(log_.reports.count(3), 1u);
    EXPECT_TRUE(log_.reports.at(3).check.Opens());
    EXPECT_EQ(test::ReadFirstBytes(good, 512), Bytes(512, 0)) << "the source is never written";
    // A workbook that opens is copied as it is.
    EXPECT_EQ(test::ReadWholeFile(log_.paths.at(5)), test::ReadWholeFile(intact));
    ASSERT_EQ(log_.reports.count(5), 1u);
    EXPECT_EQ(log_.reports.at(5).used, RebuildUsed::Kept);
    EXPECT_TRUE(log_.reports.at(5).check.Opens());
}

TEST_F(Jobs, RepairWithoutItsFolderCopiesNothing)
{
    Run(RepairWorker, {Damaged(root_ / "good.xls").string()}, (root_ / "vanished").string());
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {3, 0}, {0, 0}}));
    EXPECT_EQ(log_.messages, std::vector<std::string>{"Uable to Load File in memory"});
    EXPECT_EQ(log_.paths.at(0), "FAIL");
}

// A lost allocation-table sector: no header opens the copy, so its streams are salvaged into
// a new file under the copy's name; the workbook itself is only read.
TEST_F(Jobs, RepairSalvagesTheCopyWhenNoHeaderOpensIt)
{
    const Bytes original = test::TestWorkbook("phpss__biff8cover.xls");
    Bytes damaged = original;
    const std::size_t table = LoadLe32(original.data() + kHeaderDifatOffset);
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(512 * (table + 1)), 512, std::uint8_t{0});
    const fs::path book = Write(root_ / "book.xls", damaged);
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
    const test::SparseFile large(root_ / "large.xls", kMaxFileLength + 1);
    if (!large.Made())
        GTEST_SKIP() << large.WhyNot();
    Repair({large.Path().string(), Damaged(root_ / "good.xls").string()});
    EXPECT_EQ(log_.events, (std::vector<Event>{{1, 0}, {3, 0}, {1, 1}, {4, 1}, {0, 0}}));
    EXPECT_EQ(log_.messages, std::vector<std::string>{large.Path().string() + "\n" + kTooLargeForAWorkbook});
    EXPECT_EQ(log_.paths.at(0), kFailedPath);
    EXPECT_FALSE(fs::exists(jobFolder_ / "0")) << "no copy was made";
    EXPECT_EQ(fs::file_size(large.Path()), kMaxFileLength + 1);
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

// A saved name goes into the folder with one separator before it, however many the folder text
// ends with; the folder a save is said to go into is that same folder.
TEST_F(Jobs, SavePathsJoinFolderAndNameOnce)
{
    const std::string sep(1, static_cast<char>(fs::path::preferred_separator));
    for (const std::string& folder : std::vector<std::string>{"/srv/out", "/srv/out/", "/srv/out//", "/srv/out" + sep})
        EXPECT_EQ(SavePath(folder, "a.xls"), "/srv/out" + sep + "a.xls") << folder;
    EXPECT_EQ(SavePath("/", "a.xls"), sep + "a.xls");
    EXPECT_EQ(SavePath("", "a.xls"), "a.xls") << "the current folder";
#ifdef _WIN32
    EXPECT_EQ(SavePath("C:\\Out", "a.xls"), "C:\\Out\\a.xls");
    EXPECT_EQ(SavePath("C:\\", "a.xls"), "C:\\a.xls");
#else
    EXPECT_EQ(SavePath("/srv/out\\", "a.xls"), "/srv/out\\/a.xls") << "a backslash is part of a name here";
#endif
    EXPECT_EQ(SavedFolder("/srv/out"), "/srv/out" + sep);
    EXPECT_EQ(SavedFolder("/srv/out//"), "/srv/out" + sep);
    EXPECT_EQ(SavedFolder(""), SavePath(PathToUtf8(fs::current_path()), ""));

    // A real save into a folder written without its separator lands inside it, not beside it.
    const auto copies = Repaired({Damaged(root_ / "one.xls").string()});
    Run(SaveWorker, copies, out_.string());
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {0, 0}}));
    EXPECT_TRUE(fs::exists(out_ / "one_rep.xls"));
    EXPECT_FALSE(fs::exists(root_ / "outone_rep.xls"));
    EXPECT_EQ(log_.saved.at(0), PathToUtf8(out_ / "one_rep.xls"));
}

TEST_F(Jobs, SaveMovesEachCopyAndReportsInOrder)
{
    const auto repaired = Repaired({Damaged(root_ / "one.xls").string(), (root_ / "missing.xls").string(),
                                    Damaged(root_ / "three.xls").string(),
                                    Damaged(root_ / "again" / "one.xls", "poi__47847.xls").string()});
    const std::vector<std::string> copies(repaired.begin(), repaired.begin() + 3);
    const Bytes expected = test::ReadWholeFile(copies[0]);
    // Into a folder that is not there: every save fails, and the copies are kept for another try.
    Run(SaveWorker, copies, (root_ / "no-such-folder").string() + "/");
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {2, 1}, {3, 1}, {2, 2}, {3, 2}, {0, 0}}));
    ASSERT_EQ(Reasons().size(), 3u);
    EXPECT_NE(Reasons()[0].find("no-such-folder"), std::string::npos) << Reasons()[0];
    EXPECT_EQ(Reasons()[1], "The repair of this workbook failed, so there is no repaired copy to save.");
    EXPECT_TRUE(fs::exists(copies[0]));
    EXPECT_TRUE(fs::exists(copies[2]));

    log_ = {};
    Save(copies);
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {2, 1}, {3, 1}, {2, 2}, {4, 2}, {0, 0}}));
    EXPECT_EQ(log_.messages, std::vector<std::string>{
                                 SaveFailureMessage("The repair of this workbook failed, so there is no repaired copy to save.")});
    EXPECT_TRUE(log_.questions.empty()) << "a FAIL entry is not asked about";
    EXPECT_EQ(log_.saved, (std::map<int, std::string>{{0, SavedName("one_rep.xls")}, {2, SavedName("three_rep.xls")}}));
    EXPECT_EQ(test::ReadWholeFile(out_ / "one_rep.xls"), expected);
    EXPECT_TRUE(fs::exists(out_ / "three_rep.xls"));
    EXPECT_FALSE(fs::exists(copies[0])) << "moved";

    // Saving the same files again as if for the first time: their copies are gone, so each fails
    // without a question, and says so.
    log_ = {};
    Save(copies);
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {2, 1}, {3, 1}, {2, 2}, {3, 2}, {0, 0}}));
    ASSERT_EQ(Reasons().size(), 3u);
    EXPECT_NE(Reasons()[0].find("no longer there"), std::string::npos) << Reasons()[0];
    EXPECT_TRUE(log_.questions.empty());

    // Told where the earlier save put them, the same files count as saved and nothing is
    // touched; another workbook's copy of the same name never replaces one of them.
    log_ = {};
    const std::vector<std::string> entries = {copies[0], copies[1], copies[2], repaired[3]};
    Save(entries, "_rep", {"one.xls", "missing.xls", "three.xls", "again/one.xls"},
         {(out_ / "one_rep.xls").string(), "", (out_ / "three_rep.xls").string(), ""});
    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {2, 1}, {3, 1}, {2, 2}, {4, 2}, {2, 3}, {3, 3}, {0, 0}}));
    EXPECT_TRUE(log_.saved.empty()) << "nothing saved anew";
    ASSERT_EQ(Reasons().size(), 2u);
    EXPECT_NE(Reasons()[1].find("saved a moment ago"), std::string::npos) << Reasons()[1];
    EXPECT_TRUE(log_.questions.empty());
    EXPECT_EQ(test::ReadWholeFile(out_ / "one_rep.xls"), expected);
    EXPECT_TRUE(fs::exists(repaired[3])) << "kept for another try";
}

// Names in the way: a replaced on Yes; b saved elsewhere after No; c kept after No and a
// cancelled Save As; of two workbooks named book from two folders, the second never replaces
// the copy of the first saved a moment ago, nor is it asked about; e write-protected, kept
// even on Yes.
TEST_F(Jobs, SaveAsksBeforeReplacing)
{
    const std::vector<std::string> sources = {Damaged(root_ / "a.xls").string(), Damaged(root_ / "b.xls").string(),
                                              Damaged(root_ / "c.xls").string(), Damaged(root_ / "1" / "book.xls").string(),
                                              Damaged(root_ / "2" / "book.xls", "poi__47847.xls").string(),
                                              Damaged(root_ / "e.xls").string()};
    const auto copies = Repaired(sources);
    const Bytes firstBook = test::ReadWholeFile(copies[3]);
    for (const char* name : {"a_rep.xls", "b_rep.xls", "c_rep.xls"})
        test::WriteWholeFile(out_ / name, Bytes{'o', 'l', 'd'});
    test::WriteWholeFile(out_ / "e_rep.xls", Bytes{'k', 'e', 'e', 'p'});
    fs::permissions(out_ / "e_rep.xls", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    log_.yesAnswers = {true, false, false, true};
    log_.saveAsAnswers = {out_ / "b_elsewhere.xls", std::nullopt};
    Save(copies, "_rep", sources);

    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {4, 0}, {2, 1}, {4, 1}, {2, 2}, {3, 2}, {2, 3}, {4, 3}, {2, 4},
                                               {3, 4}, {2, 5}, {3, 5}, {0, 0}}));
    EXPECT_EQ(log_.questions, std::vector<std::string>(4, kOverwriteQuestion)) << "none about the file saved a moment ago";
    EXPECT_EQ(log_.saveAsProposed, (std::vector<fs::path>{out_ / "b_rep.xls", out_ / "c_rep.xls"}));
    ASSERT_EQ(Reasons().size(), 3u);
    EXPECT_EQ(Reasons()[0], "Save As was cancelled; the repaired copy is kept for another try.");
    EXPECT_NE(Reasons()[1].find(sources[3]), std::string::npos) << Reasons()[1];
    EXPECT_NE(Reasons()[1].find(sources[4]), std::string::npos) << Reasons()[1];
    EXPECT_EQ(Reasons()[2], SavedName("e_rep.xls") + " is write-protected, so it was not replaced.");
    EXPECT_EQ(Mismatch(out_ / "a_rep.xls"), std::nullopt);
    EXPECT_EQ(test::ReadWholeFile(out_ / "b_rep.xls"), (Bytes{'o', 'l', 'd'}));
    EXPECT_TRUE(fs::exists(out_ / "b_elsewhere.xls"));
    EXPECT_EQ(test::ReadWholeFile(out_ / "c_rep.xls"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(test::ReadWholeFile(out_ / "book_rep.xls"), firstBook);
    EXPECT_EQ(test::ReadWholeFile(out_ / "e_rep.xls"), (Bytes{'k', 'e', 'e', 'p'}));
    for (const std::size_t saved : {0u, 1u, 3u})
        EXPECT_FALSE(fs::exists(copies[saved])) << saved;
    for (const std::size_t kept : {2u, 4u, 5u})
        EXPECT_TRUE(fs::exists(copies[kept])) << kept << " kept for another try";
    EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 6) << "no stray files";
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
        EXPECT_EQ(Mismatch(copies[0]), std::nullopt);

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

// A folder the user may not write into is found before anything is saved, as a missing one is;
// saved into all the same, each copy fails and says why. Root writes everywhere, so this runs as
// an ordinary user.
TEST_F(Jobs, AFolderThatCannotBeWrittenIntoIsFoundAndNamed)
{
    const fs::path notAFolder = Write(root_ / "file", Bytes{'x'});
    const auto gone = CheckSaveFolder((root_ / "gone").string() + "/");
    EXPECT_TRUE(gone && *gone == std::errc::no_such_file_or_directory);
    const auto file = CheckSaveFolder(notAFolder.string());
    EXPECT_TRUE(file && *file == std::errc::not_a_directory);
    EXPECT_EQ(CheckSaveFolder(out_.string() + "/"), std::nullopt);
    EXPECT_TRUE(fs::is_empty(out_)) << "the trial leaves nothing behind";
    if (const auto why = test::WhyNoOrdinaryUser())
        GTEST_SKIP() << *why;
    EXPECT_TRUE(test::RunAsOrdinaryUser([&] {
        const test::ScratchFolder own;
        UseFolder(own.Path());
        const auto copies = Repaired({Damaged(root_ / "a.xls").string()});
        fs::permissions(out_, fs::perms::owner_read | fs::perms::owner_exec);
        const auto locked = CheckSaveFolder(out_.string() + "/");
        EXPECT_TRUE(locked && *locked == std::errc::permission_denied);
        Save(copies);
        EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {0, 0}}));
        EXPECT_EQ(Reasons(), std::vector<std::string>{"The folder " + out_.string() +
                                                      " cannot be written into (Permission denied)."});
        EXPECT_TRUE(fs::exists(copies[0])) << "kept for another try";
        fs::permissions(out_, fs::perms::owner_all);
    }));
}

TEST_F(Jobs, SaveNeverReplacesAWorkbookOfTheRepairNorWritesThroughALink)
{
    if (const auto why = test::WhyNoSymbolicLinks(root_))
        GTEST_SKIP() << *why;
    // An empty suffix into the workbook's own folder names the workbook itself; a link there
    // leads to another workbook of the same repair; Save As is pointed at the first workbook.
    // Links to a file outside the repair and to nothing are replaced themselves on Yes.
    const fs::path first = Damaged(out_ / "first.xls");
    const fs::path second = Damaged(root_ / "second.xls");
    const fs::path third = Damaged(root_ / "third.xls");
    fs::create_symlink(second, out_ / "linked.xls");
    const fs::path target = Write(root_ / "target.xls", Bytes{'t'});
    fs::create_symlink(target, out_ / "a.xls");
    fs::create_symlink(root_ / "nowhere.xls", out_ / "b.xls");
    const Bytes original = test::ReadWholeFile(first);
    const std::vector<std::string> sources = {first.string(), second.string(), third.string(),
                                              Damaged(root_ / "a.xls").string(), Damaged(root_ / "b.xls").string()};
    auto copies = Repaired(sources);
    const fs::path renamed = fs::path(copies[1]).replace_filename("linked.xls");
    fs::rename(copies[1], renamed);
    copies[1] = renamed.string();
    test::WriteWholeFile(out_ / "third.xls", Bytes{'o', 'l', 'd'});
    log_.yesAnswers = {false, true, true};
    log_.saveAsAnswers = {first};
    Save(copies, "", sources);

    EXPECT_EQ(log_.events, (std::vector<Event>{{2, 0}, {3, 0}, {2, 1}, {3, 1}, {2, 2}, {3, 2}, {2, 3}, {4, 3}, {2, 4},
                                               {4, 4}, {0, 0}}));
    EXPECT_EQ(Reasons(), (std::vector<std::string>{
                             "Saving it as " + SavedName("first.xls") +
                                 " would replace the workbook itself, which is never written. Choose another suffix or folder in Settings.",
                             "Saving it as " + SavedName("linked.xls") +
                                 " would replace the workbook itself, which is never written. Choose another suffix or folder in Settings.",
                             "Saving it as " + first.string() + " would replace another workbook of this repair, which is never written."}));
    EXPECT_EQ(log_.questions.size(), 3u) << "not about a workbook of the repair; a dangling link is a name in the way";
    EXPECT_EQ(test::ReadWholeFile(first), original);
    EXPECT_EQ(test::ReadWholeFile(second), original);
    EXPECT_TRUE(fs::is_symlink(out_ / "linked.xls"));
    EXPECT_EQ(test::ReadWholeFile(out_ / "third.xls"), (Bytes{'o', 'l', 'd'}));
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(fs::exists(copies[i])) << copies[i] << " kept for another try";
    EXPECT_EQ(test::ReadWholeFile(target), Bytes{'t'});
    EXPECT_FALSE(fs::exists(root_ / "nowhere.xls"));
    for (const char* name : {"a.xls", "b.xls"}) {
        EXPECT_FALSE(fs::is_symlink(out_ / name)) << name;
        EXPECT_EQ(Mismatch(out_ / name), std::nullopt) << name;
    }
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
        EXPECT_EQ(Mismatch(other / "b_rep.xls"), std::nullopt);
        EXPECT_FALSE(fs::exists(copies[0]));
    }));
}

}  // namespace
}  // namespace tabulon::jobs
