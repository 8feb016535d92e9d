// What the Windows side of os_file must get right: moves that never replace unless asked,
// sharing with other programs, which file a name stands for, write protection, the private
// folder's access list, and UTF-16 names.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <chrono>
#include <cstdlib>

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

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

// The Windows error behind a failure, or 0 when there was none.
template <typename Call>
int WindowsErrorOf(Call call)
{
    try {
        call();
    } catch (const std::system_error& error) {
        return error.code().category() == std::system_category() ? error.code().value() : -1;
    }
    return 0;
}

TEST_F(WindowsFiles, RenameNeverReplacesUnlessAsked)
{
    const fs::path from = Made("from", {1});
    const fs::path to = Made("to", {2});
    {
        // Held by another program that shares nothing: still a name that is taken.
        const HeldFile held(to, GENERIC_READ, 0);
        ASSERT_TRUE(held.Held());
        try {
            RenameNoReplace(from, to);
            ADD_FAILURE() << "an existing file was replaced";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::errc::file_exists) << error.what();
        }
    }
    EXPECT_EQ(ReadWholeFile(to), Bytes{2});
    ASSERT_TRUE(fs::exists(from));

    RenameReplace(from, to);
    EXPECT_EQ(ReadWholeFile(to), Bytes{1});
    EXPECT_FALSE(fs::exists(from));
    RenameNoReplace(to, from);
    EXPECT_EQ(ReadWholeFile(from), Bytes{1});
    EXPECT_FALSE(fs::exists(to));

    // A name held open without leave to delete it cannot be replaced either, and says so.
    const fs::path busy = Made("busy", {3});
    const HeldFile held(busy, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(WindowsErrorOf([&] { RenameReplace(from, busy); }), 0);
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
    std::error_code error;
    if (!fs::is_directory(volume, error))
        GTEST_SKIP() << "no folder on another volume: " << volume.string() << " is none; set TABULON_TEST_OTHER_VOLUME";
    const test::ScratchFolder other(volume);
    // A rename keeps the file itself; a copy is another file.
    const fs::path trial = Made("trial", {0});
    const std::optional<FileId> before = IdentifyFile(trial, false);
    try {
        RenameNoReplace(trial, other.Path() / "trial");
        ASSERT_EQ(IdentifyFile(other.Path() / "trial", false), before) << "copied to another volume by the rename";
        GTEST_SKIP() << volume.string() << " is on the same volume as " << scratch_.Path().string();
    } catch (const std::system_error& failure) {
        ASSERT_EQ(failure.code(), std::errc::cross_device_link) << failure.what();
    }
    EXPECT_FALSE(fs::exists(other.Path() / "trial"));

    const Bytes workbook = test::TestWorkbook();
    const fs::path from = Made("book.xls", workbook);
    WriteWholeFile(other.Path() / "taken.xls", {7});
    try {
        MoveNoReplace(from, other.Path() / "taken.xls");
        ADD_FAILURE() << "an existing file on the other volume was replaced";
    } catch (const std::system_error& failure) {
        EXPECT_EQ(failure.code(), std::errc::file_exists) << failure.what();
    }
    EXPECT_EQ(ReadWholeFile(other.Path() / "taken.xls"), Bytes{7});
    MoveNoReplace(from, other.Path() / "book.xls");
    EXPECT_EQ(ReadWholeFile(other.Path() / "book.xls"), workbook);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(std::distance(fs::directory_iterator(other.Path()), fs::directory_iterator()), 2) << "no stray copy";
}

// Reading lets a program that edits the workbook go on holding it; writing in place, or a
// program that shares nothing, fails at once with a sharing violation rather than waiting.
TEST_F(WindowsFiles, OpeningSharesAsOtherProgramsAllow)
{
    const fs::path workbook = Made("book.xls", {1, 2, 3});
    const auto started = std::chrono::steady_clock::now();
    {
        const HeldFile editor(workbook, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
        ASSERT_TRUE(editor.Held());
        OsFile file = OsFile::Open(workbook, OsFile::Access::Read);
        EXPECT_EQ(file.Length(), 3u);
        EXPECT_EQ(WindowsErrorOf([&] { OsFile::Open(workbook, OsFile::Access::ReadWrite); }),
                  ERROR_SHARING_VIOLATION);
    }
    {
        const HeldFile locked(workbook, GENERIC_READ, 0);
        ASSERT_TRUE(locked.Held());
        EXPECT_EQ(WindowsErrorOf([&] { OsFile::Open(workbook, OsFile::Access::Read); }), ERROR_SHARING_VIOLATION);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    try {
        OsFile::Open(scratch_.Path(), OsFile::Access::Read);
        ADD_FAILURE() << "a folder was opened as a file";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::is_a_directory) << error.what();
    }
}

TEST_F(WindowsFiles, IdentifyFileKnowsOneFileByEveryName)
{
    fs::create_directory(scratch_.Path() / "sub");
    const fs::path book = scratch_.Path() / "sub" / "Book.xls";
    WriteWholeFile(book, {1});
    const fs::path other = Made("other.xls", {1});
    fs::create_hard_link(book, scratch_.Path() / "hard.xls");

    const std::optional<FileId> id = IdentifyFile(book, true);
    ASSERT_TRUE(id);
    const fs::path spellings[] = {
        PathFromUtf8(PathToUtf8(scratch_.Path()) + "/sub/Book.xls"),  // forward slashes
        scratch_.Path() / "SUB" / "BOOK.XLS",                          // names ignore case
        scratch_.Path() / "sub" / ".." / "sub" / "Book.xls",
        scratch_.Path() / "hard.xls",
    };
    for (const fs::path& spelling : spellings)
        EXPECT_EQ(IdentifyFile(spelling, false), id) << spelling.string();
    EXPECT_NE(IdentifyFile(other, true), id);
    EXPECT_TRUE(IdentifyFile(scratch_.Path() / "sub", true)) << "a folder has an identity too";
    EXPECT_EQ(IdentifyFile(scratch_.Path() / "missing.xls", true), std::nullopt);
}

TEST_F(WindowsFiles, WriteProtectionIsTheReadOnlyAttributeOrTheAccessList)
{
    const fs::path plain = Made("plain.xls", {1});
    EXPECT_FALSE(IsWriteProtected(plain));
    EXPECT_FALSE(IsWriteProtected(scratch_.Path() / "missing.xls")) << "nothing there to protect";
    {
        const HeldFile busy(plain, GENERIC_READ, 0);
        ASSERT_TRUE(busy.Held());
        EXPECT_FALSE(IsWriteProtected(plain)) << "a file another program holds is busy, not protected";
    }
    const fs::path readOnly = Made("read-only.xls", {1});
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(IsWriteProtected(readOnly));
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(IsWriteProtected(readOnly));
}

// Wine keeps no access lists: it turns them into Unix permission bits and makes them up again
// from those bits when asked.
bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::vector<std::uint8_t> CurrentUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> user(size);
    const bool got = GetTokenInformation(token, TokenUser, user.data(), size, &size) != 0;
    CloseHandle(token);
    if (!got)
        return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return std::vector<std::uint8_t>(bytes, bytes + GetLengthSid(sid));
}

struct AccessEntry {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::vector<std::uint8_t> sid;
};

struct Access {
    bool known = false;
    bool protectedFromParent = false;
    std::vector<AccessEntry> entries;
};

Access AccessOf(const fs::path& path)
{
    Access access;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return access;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    access.known = dacl != nullptr && GetSecurityDescriptorControl(descriptor, &control, &revision);
    access.protectedFromParent = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; access.known && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            break;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);  // denied ones look the same
        const auto* sid = reinterpret_cast<const std::uint8_t*>(&allowed->SidStart);
        access.entries.push_back({allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask,
                                  std::vector<std::uint8_t>(sid, sid + GetLengthSid(const_cast<std::uint8_t*>(sid)))});
    }
    LocalFree(descriptor);
    return access;
}

// The private folder's access list as the system gives it back: it grants the user running
// this everything and nobody else anything (the system account aside, which Wine names in
// every list it makes up). Where the list is kept as given, it is that one entry alone, passed
// on to what is made in the folder and protected from the parent's entries.
TEST_F(WindowsFiles, APrivateFolderLetsInItsUserOnly)
{
    const fs::path folder = CreatePrivateFolder(scratch_.Path());
    EXPECT_NE(folder, CreatePrivateFolder(scratch_.Path())) << "names are fresh each time";
    const std::vector<std::uint8_t> user = CurrentUserSid();
    ASSERT_FALSE(user.empty());
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID systemSid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &systemSid));
    const auto* systemBytes = static_cast<const std::uint8_t*>(systemSid);
    const std::vector<std::uint8_t> system(systemBytes, systemBytes + GetLengthSid(systemSid));
    FreeSid(systemSid);

    const auto expectUserOnly = [&](const fs::path& path, bool strict) {
        const Access access = AccessOf(path);
        ASSERT_TRUE(access.known) << path.string() << ": no access list, which would let everyone in";
        bool userHasAll = false;
        for (const AccessEntry& entry : access.entries) {
            if (entry.type != ACCESS_ALLOWED_ACE_TYPE)
                continue;
            EXPECT_TRUE(entry.sid == user || (!strict && entry.sid == system))
                << path.string() << ": someone else is let in (access mask " << entry.mask << ")";
            userHasAll |= entry.sid == user && (entry.mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
        }
        EXPECT_TRUE(userHasAll) << path.string() << ": the user may not do everything";
        if (strict) {
            EXPECT_TRUE(access.protectedFromParent) << path.string();
            EXPECT_EQ(access.entries.size(), 1u) << path.string();
        }
    };
    expectUserOnly(folder, !UnderWine());
    if (UnderWine())
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
    std::vector<std::wstring> listed;
    for (const fs::directory_entry& entry : fs::directory_iterator(scratch_.Path()))
        listed.push_back(entry.path().filename().wstring());
    EXPECT_EQ(listed, std::vector<std::wstring>{path.filename().wstring()});
    EXPECT_EQ(OsFile::Open(path, OsFile::Access::Read).Length(), 0u);

    // Text that is no valid UTF-16 or UTF-8 becomes U+FFFD instead of throwing.
    EXPECT_EQ(PathToUtf8(fs::path(std::wstring{L'a', wchar_t(0xD800), L'b'})), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(PathFromUtf8("a\xFF" "b").wstring(), (std::wstring{L'a', wchar_t(0xFFFD), L'b'}));
    EXPECT_EQ(Utf8FromUtf16(std::wstring_view(L"\U0001F4CA")), "\xF0\x9F\x93\x8A");
}

}  // namespace
}  // namespace tabulon
