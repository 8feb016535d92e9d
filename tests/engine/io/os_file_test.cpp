// The no-replace move that keeps a repaired copy from ever overwriting a file, and the
// mapping of a private copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "engine/io/os_file.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

namespace fs = std::filesystem;

// Root reads everything, so this runs as an ordinary user, for whom a name that cannot be
// read is still taken.
TEST(OsFile, RenameNeverReplacesUnlessAsked)
{
    if (const auto why = test::WhyNoOrdinaryUser())
        GTEST_SKIP() << *why;
    EXPECT_TRUE(test::RunAsOrdinaryUser([] {
        const test::ScratchFolder folder;
        const fs::path from = folder.Path() / "from";
        const fs::path to = folder.Path() / "to";
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
        ASSERT_TRUE(fs::exists(from));

        RenameReplace(from, to);
        EXPECT_EQ(test::ReadWholeFile(to), std::vector<std::uint8_t>{1});
        RenameNoReplace(to, from);
        EXPECT_TRUE(fs::exists(from));
        EXPECT_FALSE(fs::exists(to));
    }));
}

// The salvage reads a private copy where it is mapped, and a cut sector past the file's end as
// zeros; a file someone else may shorten meanwhile is read, never mapped.
TEST(OsFile, OnlyAFileOfOursLendsItsBytesAndAWriteEndsTheLoan)
{
    const test::ScratchFolder folder;
    fs::path path;
    OsFile file = OsFile::CreateUnique(folder.Path(), path);
    EXPECT_FALSE(file.Lend()) << "an empty file has nothing to lend";
    std::vector<std::uint8_t> bytes(1000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(0xA5 ^ i);
    file.WriteAll(bytes);
    std::optional<LentBytes> lent = file.Lend();
    ASSERT_TRUE(lent);
    EXPECT_TRUE(std::equal(lent->bytes.begin(), lent->bytes.end(), bytes.begin(), bytes.end()));
    if (lent->zerosToBlockEnd) {
        for (std::size_t i = bytes.size(); i < 1024; ++i)
            ASSERT_EQ(lent->bytes.data()[i], 0) << "past the end, at " << i;
    }

    // A block written past the end: what is lent next is the longer file.
    std::array<std::uint8_t, kBlockSize> block;
    block.fill(0x3C);
    file.Seek(1024);
    file.Write(block);
    OsFile moved = std::move(file);
    lent = moved.Lend();
    ASSERT_TRUE(lent);
    ASSERT_EQ(lent->bytes.size(), 1536u);
    EXPECT_EQ(lent->bytes[999], bytes[999]);
    EXPECT_EQ(lent->bytes[1000], 0);
    EXPECT_EQ(lent->bytes[1024], 0x3C);
    EXPECT_EQ(lent->bytes[1535], 0x3C);

    moved.Close();
    OsFile opened = OsFile::Open(path, OsFile::Access::Read);
    EXPECT_EQ(opened.Length(), 1536u);
    EXPECT_FALSE(opened.Lend());
}

}  // namespace
}  // namespace tabulon
