// What the Windows side of os_file must get right: moves that never replace unless asked,
// sharing with other programs, which file a name stands for, write protection, the private
// folder's access list, and UTF-16 names.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "engine/base/text.h"
#include "engine/io/file_moves.h"
#include "tests/windows/windows_process.h"

namespace tabulon {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::HeldFile;
using test::ReadWholeFile;
using test::WriteWholeFile;

const std::error_code kSharingViolation(ERROR_SHARING_VIOLATION, std::system_category());

class WindowsFiles : public ::testing::Test {
protected:
    fs::path Made(const char* name, Bytes bytes)
    {
        const fs::path path = scratch_.Path() / name;
        WriteWholeFile(path, bytes);
        return path;
    }

    test::ScratchFolder scratch_;
};

// The error a call fails with; none when it does not fail.
template <typename Call>
std::error_code ErrorOf(Call call)
{
    try {
        call();
    } catch (const std::system_error& error) {
        return error.code();
    }
    return {};
}

TEST_F(WindowsFiles, RenameNeverReplacesUnlessAsked)
{
    const fs::path from = Made("from", {1});
    const fs::path to = Made("to", {2});
    {
        // Held by another program that shares nothing: still a name that is taken.
        const HeldFile held(to, GENERIC_READ, 0);
        EXPECT_EQ(ErrorOf([&] { RenameNoReplace(from, to); }), std::errc::file_exists);
    }
    EXPECT_EQ(ReadWholeFile(to), Bytes{2});

    RenameReplace(from, to);
    EXPECT_EQ(ReadWholeFile(to), Bytes{1});
    RenameNoReplace(to, from);  // fails if the replacing rename left `from` behind
    EXPECT_EQ(ReadWholeFile(from), Bytes{1});
    EXPECT_FALSE(fs::exists(to));

    // A name held open without leave to delete it cannot be replaced either, and says so.
    const fs::path busy = Made("busy", {3});
    const HeldFile held(busy, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_TRUE(ErrorOf([&] { RenameReplace(from, busy); }));
    EXPECT_EQ(ReadWholeFile(busy), Bytes{3});
}

// To another volume a rename fails as a cross-device link instead of copying under the final
// name; the move then copies beside the target, and still never replaces. Wine shows the
// machine's own folders as drive Z:, where /dev/shm is another file system; elsewhere name
// a folder on another volume in TABULON_TEST_OTHER_VOLUME.
TEST_F(WindowsFiles, AMoveToAnotherVolumeCopiesBesideTheTarget)
{
    const char* named = std::getenv("TABULON_TEST_OTHER_VOLUME");
    const fs::path volume = named ? fs::path(named) : fs::path(L"Z:\\dev\\shm");
    if (std::error_code error; !fs::is_directory(volume, error))
        GTEST_SKIP() << "no folder on another volume: " << volume.string() << " is none; set TABULON_TEST_OTHER_VOLUME";
    const test::ScratchFolder other(volume);
    // A rename keeps the file itself; a copy is another file.
    const fs::path trial = Made("trial", {0});
    const std::optional<FileId> before = IdentifyFile(trial, false);
    const std::error_code renamed = ErrorOf([&] { RenameNoReplace(trial, other.Path() / "trial"); });
    if (!renamed) {
        ASSERT_EQ(IdentifyFile(other.Path() / "trial", false), before) << "copied to another volume by the rename";
        GTEST_SKIP() << volume.string() << " is on the same volume as " << scratch_.Path().string();
    }
    ASSERT_EQ(renamed, std::errc::cross_device_link) << renamed.message();

    const Bytes workbook = test::TestWorkbook();
    const fs::path from = Made("book.xls", workbook);
    WriteWholeFile(other.Path() / "taken.xls", {7});
    EXPECT_EQ(ErrorOf([&] { MoveNoReplace(from, other.Path() / "taken.xls"); }), std::errc::file_exists);
    EXPECT_EQ(ReadWholeFile(other.Path() / "taken.xls"), Bytes{7});
    MoveNoReplace(from, other.Path() / "book.xls");
    EXPECT_EQ(ReadWholeFile(other.Path() / "book.xls"), workbook);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(std::distance(fs::directory_iterator(other.Path()), fs::directory_iterator()), 2)
        << "no stray copy, nor the trial file";
}

// Reading lets a program that edits the workbook go on holding it; writing in place, or a
// program that shares nothing, fails at once with a sharing violation rather than waiting.
TEST_F(WindowsFiles, OpeningSharesAsOtherProgramsAllow)
{
    const fs::path workbook = Made("book.xls", {1, 2, 3});
    const auto started = std::chrono::steady_clock::now();
    {
        const HeldFile editor(workbook, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
        EXPECT_EQ(OsFile::Open(workbook, OsFile::Access::Read).Length(), 3u);
        EXPECT_EQ(ErrorOf([&] { OsFile::Open(workbook, OsFile::Access::ReadWrite); }), kSharingViolation);
    }
    {
        const HeldFile locked(workbook, GENERIC_READ, 0);
        EXPECT_EQ(ErrorOf([&] { OsFile::Open(workbook, OsFile::Access::Read); }), kSharingViolation);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(ErrorOf([&] { OsFile::Open(scratch_.Path(), OsFile::Access::Read); }), std::errc::is_a_directory);
}

TEST_F(WindowsFiles, IdentifyFileKnowsOneFileByEveryName)
{
    fs::create_directory(scratch_.Path() / "sub");
    const fs::path book = scratch_.Path() / "sub" / "Book.xls";
    WriteWholeFile(book, {1});
    fs::create_hard_link(book, scratch_.Path() / "hard.xls");
    const std::optional<FileId> id = IdentifyFile(book, true);
    ASSERT_TRUE(id);
    for (const fs::path& spelling : {PathFromUtf8(PathToUtf8(scratch_.Path()) + "/sub/Book.xls"),  // forward slashes
                                     scratch_.Path() / "SUB" / "BOOK.XLS",  // names ignore case
                                     scratch_.Path() / "sub" / ".." / "sub" / "Book.xls", scratch_.Path() / "hard.xls"})
        EXPECT_EQ(IdentifyFile(spelling, false), id) << spelling.string();
    EXPECT_NE(IdentifyFile(Made("other.xls", {1}), true), id);
    EXPECT_TRUE(IdentifyFile(scratch_.Path() / "sub", true)) << "a folder has an identity too";
    EXPECT_EQ(IdentifyFile(scratch_.Path() / "missing.xls", true), std::nullopt);
}

TEST_F(WindowsFiles, WriteProtectionIsTheReadOnlyAttributeOrTheAccessList)
{
    EXPECT_FALSE(IsWriteProtected(scratch_.Path() / "missing.xls")) << "nothing there to protect";
    const fs::path book = Made("book.xls", {1});
    {
        const HeldFile busy(book, GENERIC_READ, 0);
        EXPECT_FALSE(IsWriteProtected(book)) << "a file another program holds is busy, not protected";
    }
    ASSERT_TRUE(SetFileAttributesW(book.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(IsWriteProtected(book));
    ASSERT_TRUE(SetFileAttributesW(book.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(IsWriteProtected(book)) << "a plain file";
}

// The private folder's access list as the system gives it back: it grants the user running
// this everything and nobody else anything (the system account aside, which Wine names in
// every list it makes up). Where the list is kept as given, it is that one entry alone, passed
// on to what is made in the folder and protected from the parent's entries. Wine keeps no
// access lists: it turns them into Unix permission bits and makes them up again from those
// bits when asked.
TEST_F(WindowsFiles, APrivateFolderLetsInItsUserOnly)
{
    const fs::path folder = CreatePrivateFolder(scratch_.Path());
    EXPECT_NE(folder, CreatePrivateFolder(scratch_.Path())) << "names are fresh each time";
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    alignas(TOKEN_USER) BYTE userToken[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof userToken;
    const bool gotUser = GetTokenInformation(token, TokenUser, userToken, size, &size) != 0;
    CloseHandle(token);
    ASSERT_TRUE(gotUser);
    const PSID user = reinterpret_cast<TOKEN_USER*>(userToken)->User.Sid;
    BYTE system[SECURITY_MAX_SID_SIZE];
    size = sizeof system;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));

    const auto expectUserOnly = [&](const fs::path& path, bool strict) {
        PACL list = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                                        nullptr, &descriptor), DWORD{ERROR_SUCCESS}) << path.string();
        const std::unique_ptr<void, decltype(&LocalFree)> freed(descriptor, &LocalFree);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(list && GetSecurityDescriptorControl(descriptor, &control, &revision))
            << path.string() << ": no access list, which would let everyone in";
        bool userHasAll = false;
        for (DWORD i = 0; i < list->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* allowed = nullptr;  // a denying entry looks the same
            ASSERT_TRUE(GetAce(list, i, reinterpret_cast<void**>(&allowed)));
            if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
                continue;
            const PSID sid = &allowed->SidStart;
            EXPECT_TRUE(EqualSid(sid, user) || (!strict && EqualSid(sid, system)))
                << path.string() << ": someone else is let in (access mask " << allowed->Mask << ")";
            userHasAll |= EqualSid(sid, user) && (allowed->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
        }
        EXPECT_TRUE(userHasAll) << path.string() << ": the user may not do everything";
        EXPECT_TRUE(!strict || ((control & SE_DACL_PROTECTED) && list->AceCount == 1))
            << path.string() << ": not the user's entry alone, protected from the parent's";
    };
    expectUserOnly(folder, !wine);
    if (wine)
        return;  // Wine passes nothing on to a new file
    fs::create_directory(folder / "sub");
    test::WriteWholeFile(folder / "sub" / "file", {1});
    expectUserOnly(folder / "sub", false);
    expectUserOnly(folder / "sub" / "file", false);
}

TEST_F(WindowsFiles, NamesAreUtf16OnDiskAndUtf8InText)
{
    // U+00DC, Cyrillic, and U+1F4CA outside the Basic Multilingual Plane (a surrogate pair).
    const std::string name = "\xC3\x9C" "bersicht \xD0\xBA\xD0\xBD\xD0\xB8\xD0\xB3\xD0\xB0 \xF0\x9F\x93\x8A.xls";
    const fs::path path = PathFromUtf8(PathToUtf8(scratch_.Path()) + "/" + name);
    EXPECT_EQ(path.filename().wstring(), L"\u00DCbersicht \u043A\u043D\u0438\u0433\u0430 \U0001F4CA.xls");
    EXPECT_EQ(PathToUtf8(path), PathToUtf8(scratch_.Path()) + "\\" + name) << "shown with backslashes";
    OsFile::CreateNew(path).Close();
    ASSERT_EQ(std::distance(fs::directory_iterator(scratch_.Path()), fs::directory_iterator()), 1);
    EXPECT_EQ(fs::directory_iterator(scratch_.Path())->path().filename().wstring(), path.filename().wstring());
    EXPECT_EQ(OsFile::Open(path, OsFile::Access::Read).Length(), 0u);

    // Text that is no valid UTF-16 or UTF-8 becomes U+FFFD instead of throwing.
    EXPECT_EQ(PathToUtf8(fs::path(std::wstring{L'a', wchar_t(0xD800), L'b'})), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(PathFromUtf8("a\xFF" "b").wstring(), (std::wstring{L'a', wchar_t(0xFFFD), L'b'}));
    EXPECT_EQ(Utf8FromUtf16(std::wstring_view(L"\U0001F4CA")), "\xF0\x9F\x93\x8A");
}

}  // namespace
}  // namespace tabulon
