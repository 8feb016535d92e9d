// The no-replace move that keeps a repaired copy from ever overwriting a file.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tabulon
