// The file operations on Windows.
#include "engine/io/os_file.h"

#include "engine/base/text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <random>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace tabulon {
namespace {

[[noreturn]] void ThrowLastError(const std::string& what)
{
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

std::wstring Utf8ToWide(std::string_view text)
{
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
    return wide;
}

// The security identifier of the user this process runs as.
std::vector<std::uint8_t> CurrentUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        ThrowLastError("open process token");
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> information(size);
    const bool got = GetTokenInformation(token, TokenUser, information.data(), size, &size) != 0;
    const DWORD error = GetLastError();
    CloseHandle(token);
    if (!got)
        throw std::system_error(static_cast<int>(error), std::system_category(), "token user");
    const auto* sid = static_cast<const std::uint8_t*>(reinterpret_cast<const TOKEN_USER*>(information.data())->User.Sid);
    return std::vector<std::uint8_t>(sid, sid + GetLengthSid(const_cast<std::uint8_t*>(sid)));
}

// Security for a private folder: one entry, full access for the current user, passed on to
// every file and folder made in it; nothing taken over from the parent, so no group, no
// administrators and nobody else is let in by the folder it sits in.
class OwnerOnlySecurity {
public:
    OwnerOnlySecurity() : sid_(CurrentUserSid())
    {
        const DWORD aclSize =
            static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sid_.size());
        acl_.resize((aclSize + sizeof(DWORD) - 1) / sizeof(DWORD));
        auto* acl = reinterpret_cast<ACL*>(acl_.data());
        if (!InitializeAcl(acl, static_cast<DWORD>(acl_.size() * sizeof(DWORD)), ACL_REVISION) ||
            !AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                                   sid_.data()) ||
            !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
            !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            ThrowLastError("private folder security");
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = &descriptor_;
        attributes_.bInheritHandle = FALSE;
    }
    OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
    OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

    SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

private:
    std::vector<std::uint8_t> sid_;
    std::vector<DWORD> acl_;  // an ACL must be DWORD-aligned
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace

OsFile OsFile::Open(const std::filesystem::path& path, Access access)
{
    // Reading lets other programs go on reading, writing and renaming the file, as POSIX does
    // (what was read is checked, never trusted to stay): a workbook open in a spreadsheet
    // program can still be read. Writing in place lets them only read. Where another program
    // shares less, this fails at once with a sharing violation; it never waits.
    const DWORD rights = access == Access::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD share =
        access == Access::Read ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ;
    HANDLE handle = CreateFileW(path.c_str(), rights, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        std::error_code ignored;
        if (error == ERROR_ACCESS_DENIED && std::filesystem::is_directory(path, ignored))
            throw std::system_error(std::make_error_code(std::errc::is_a_directory), "open");
        throw std::system_error(static_cast<int>(error), std::system_category(), "open");
    }
    OsFile file(handle);
    if (GetFileType(handle) != FILE_TYPE_DISK)
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "not a regular file");
    return file;
}

OsFile OsFile::CreateUnique(const std::filesystem::path& folder, std::filesystem::path& createdPath)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = folder / UniqueTemporaryName();
        HANDLE handle = CreateFileW(candidate.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            createdPath = candidate;
            return OsFile(handle, true);
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            ThrowLastError("create");
    }
    throw std::system_error(std::make_error_code(std::errc::file_exists), "create");
}

OsFile OsFile::CreateNew(const std::filesystem::path& path)
{
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_EXISTS)
            throw std::system_error(std::make_error_code(std::errc::file_exists), "create");
        ThrowLastError("create");
    }
    return OsFile(handle, true);
}

std::filesystem::path CreatePrivateFolder(const std::filesystem::path& parent)
{
    OwnerOnlySecurity security;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = parent / UniqueTemporaryName();
        if (CreateDirectoryW(candidate.c_str(), security.Attributes()))
            return candidate;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            ThrowLastError("create folder");
    }
    throw std::system_error(std::make_error_code(std::errc::file_exists), "create folder");
}

OsFile::~OsFile()
{
    Unmap();
    if (handle_ != kNoHandle)
        CloseHandle(handle_);
}

bool OsFile::Map()
{
    const std::uint64_t length = Length();
    if (length == 0 || length > std::numeric_limits<std::size_t>::max())
        return false;
    HANDLE mapping = CreateFileMappingW(handle_, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr)
        return false;  // (read as any other file then)
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);  // (the view keeps it)
    if (view == nullptr)
        return false;
    mapped_ = static_cast<const std::uint8_t*>(view);
    mappedLength_ = static_cast<std::size_t>(length);
    // Views come in whole pages; what lies past the end is not promised to us as zeros.
    mappedZeros_ = false;
    return true;
}

void OsFile::Unmap() noexcept
{
    if (mapped_ != nullptr)
        UnmapViewOfFile(mapped_);
    mapped_ = nullptr;
    mappedLength_ = 0;
}

std::uint64_t OsFile::Length()
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_, &size))
        ThrowLastError("size");
    return static_cast<std::uint64_t>(size.QuadPart);
}

OsFile::FileStamp OsFile::Stamp()
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle_, &information))
        ThrowLastError("stat");
    const auto join = [](DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; };
    return {join(information.nFileSizeHigh, information.nFileSizeLow),
            static_cast<std::int64_t>(join(information.ftLastWriteTime.dwHighDateTime,
                                           information.ftLastWriteTime.dwLowDateTime))};
}

void OsFile::Seek(std::uint64_t offset)
{
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN))
        ThrowLastError("seek");
}

std::size_t OsFile::Read(std::span<std::uint8_t> buffer)
{
    std::size_t total = 0;
    while (total < buffer.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size() - total, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(handle_, buffer.data() + total, want, &got, nullptr))
            ThrowLastError("read");
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

void OsFile::WriteAll(std::span<const std::uint8_t> bytes)
{
    Unmap();
    std::size_t total = 0;
    while (total < bytes.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - total, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle_, bytes.data() + total, want, &written, nullptr))
            ThrowLastError("write");
        total += written;
    }
}

// A file takes its access from the folder it is made in; a read-only attribute is not carried
// over, since a read-only copy could not be replaced or removed afterwards.
void OsFile::CopyPermissionsFrom(OsFile&) {}

void OsFile::Close()
{
    Unmap();
    const Handle handle = std::exchange(handle_, kNoHandle);
    const bool flushed = FlushFileBuffers(handle) != 0;
    const DWORD flushError = GetLastError();
    if (!CloseHandle(handle))
        ThrowLastError("close");
    if (!flushed)
        throw std::system_error(static_cast<int>(flushError), std::system_category(), "flush");
}

// Without MOVEFILE_REPLACE_EXISTING the rename fails when the name exists, atomically, whatever
// the existing file's access list says. Without MOVEFILE_COPY_ALLOWED a move to another volume
// fails too (as a cross-device link) instead of copying under the final name, so that the
// caller can copy beside the target first.
void RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
        if (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS)
            throw std::system_error(std::make_error_code(std::errc::file_exists), "rename");
        ThrowLastError("rename");
    }
}

void RenameReplace(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ThrowLastError("rename");
}

std::optional<FileId> IdentifyFile(const std::filesystem::path& path, bool followLinks)
{
    // No access asked for, only the file's information; folders need backup semantics to open.
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? DWORD{0} : DWORD{FILE_FLAG_OPEN_REPARSE_POINT});
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(handle, &information) != 0;
    CloseHandle(handle);
    if (!known)
        return std::nullopt;
    return FileId{information.dwVolumeSerialNumber,
                  (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

bool IsWriteProtected(const std::filesystem::path& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;  // nothing there to protect
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return true;
    // The access list decides for this user: opening for writing (nothing is written, and
    // nothing is truncated) tells. A file another program holds is busy, not protected.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(handle);
    return false;
}

bool StandardErrorIsTerminal()
{
    // A console, not a file, a pipe or the NUL device (which _isatty takes for a terminal), and
    // one that takes a terminal's control sequences: turned on here where they are off
    // (Windows 10 and later have them).
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::string PathToUtf8(const std::filesystem::path& path)
{
    std::wstring native = path.native();
    std::replace(native.begin(), native.end(), L'/', L'\\');
    return Utf8FromUtf16(std::wstring_view(native));
}

std::filesystem::path PathFromUtf8(const std::string& text)
{
    return std::filesystem::path(Utf8ToWide(text));
}


}  // namespace tabulon
