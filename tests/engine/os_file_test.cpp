// Files on disk: what the engine and the command line rely on from the operating system.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/os_file.h"
#include "tests/support/sector_builder.h"

namespace tabulon {
namespace {

namespace fs = std::filesystem;

class OsFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tabulon-os-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

TEST_F(OsFileTest, RefusesWhatIsNotARegularFile)
{
    try {
        OsFile::Open(folder_, OsFile::Access::Read);
        ADD_FAILURE() << "a folder was opened";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::is_a_directory);
    }
    // A named pipe with no writer would block a plain open forever.
    const fs::path pipe = folder_ / "pipe.xls";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    try {
        OsFile::Open(pipe, OsFile::Access::Read);
        ADD_FAILURE() << "a pipe was opened";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::invalid_argument);
    }
    EXPECT_THROW(OsFile::Open(folder_ / "missing", OsFile::Access::Read), std::system_error);
}

TEST_F(OsFileTest, ReadsStopAtTheEndAndWritesExtend)
{
    const fs::path path = folder_ / "file";
    test::WriteWholeFile(path, std::vector<std::uint8_t>(700, 7));
    OsFile file = OsFile::Open(path, OsFile::Access::ReadWrite);
    EXPECT_EQ(file.Length(), 700u);
    std::array<std::uint8_t, 512> buffer{};
    file.Seek(512);
    EXPECT_EQ(file.Read(buffer), 188u);
    EXPECT_EQ(file.Read(buffer), 0u);
    file.Seek(5000);
    EXPECT_EQ(file.Read(buffer), 0u);
    file.Seek(1024);
    file.Write(buffer);
    file.Close();
    EXPECT_EQ(fs::file_size(path), 1536u);
}

TEST_F(OsFileTest, UniqueFilesAreNewAndPrivate)
{
    fs::path first;
    fs::path second;
    OsFile a = OsFile::CreateUnique(folder_, first);
    OsFile b = OsFile::CreateUnique(folder_, second);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.parent_path(), folder_);
    EXPECT_EQ(fs::status(first).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(OsFileTest, RenameNeverReplacesUnlessAsked)
{
    const fs::path from = folder_ / "from";
    const fs::path to = folder_ / "to";
    test::WriteWholeFile(from, {1});
    test::WriteWholeFile(to, {2});
    fs::permissions(to, fs::perms::none);
    try {
        RenameNoReplace(from, to);
        ADD_FAILURE() << "an existing file was replaced";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_exists);
    }
    fs::permissions(to, fs::perms::owner_read);
    EXPECT_EQ(test::ReadWholeFile(to), std::vector<std::uint8_t>{2});
    EXPECT_TRUE(fs::exists(from));

    RenameReplace(from, to);
    EXPECT_EQ(test::ReadWholeFile(to), std::vector<std::uint8_t>{1});
    EXPECT_FALSE(fs::exists(from));

    RenameNoReplace(to, from);
    EXPECT_TRUE(fs::exists(from));
    EXPECT_FALSE(fs::exists(to));
}

}  // namespace
}  // namespace tabulon
