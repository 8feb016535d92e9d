// The no-replace move that keeps a repaired copy from ever overwriting a file.
#include <gtest/gtest.h>

#include <unistd.h>

#include "engine/os_file.h"
#include "tests/support/sector_builder.h"

namespace tabulon {
namespace {

namespace fs = std::filesystem;

TEST(OsFile, RenameNeverReplacesUnlessAsked)
{
    const fs::path folder = CreatePrivateFolder(fs::temp_directory_path());
    const fs::path from = folder / "from";
    const fs::path to = folder / "to";
    test::WriteWholeFile(from, {1});
    test::WriteWholeFile(to, {2});
    fs::permissions(to, fs::perms::none);  // exists, but cannot even be read
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
    fs::remove_all(folder);
}

}  // namespace
}  // namespace tabulon
