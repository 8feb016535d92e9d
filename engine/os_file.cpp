#include "os_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>
#include <utility>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tabulon {
namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

[[noreturn]] void ThrowLastError(const std::string& what)
{
#ifdef _WIN32
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
#else
    throw std::system_error(errno, std::generic_category(), what);
#endif
}

std::string UniqueName()
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::random_device random;
    std::string name = ".tabulon-";
    for (int i = 0; i < 16; ++i)
        name += kDigits[random() % 16];
    return name + ".tmp";
}

}  // namespace

OsFile::OsFile(OsFile&& other) noexcept : handle_(other.handle_)
{
    other.handle_ = kNoHandle;
}

OsFile& OsFile::operator=(OsFile&& other) noexcept
{
    std::swap(handle_, other.handle_);
    return *this;
}

void CopyFileContents(OsFile& source, OsFile& destination)
{
    std::vector<std::uint8_t> chunk(kCopyChunk);
    source.Seek(0);
    destination.Seek(0);
    for (;;) {
        const std::size_t got = source.Read(chunk);
        if (got == 0)
            break;
        destination.WriteAll(std::span(chunk.data(), got));
    }
}

#ifdef _WIN32

OsFile OsFile::Open(const std::filesystem::path& path, Access access)
{
    const DWORD rights = access == Access::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    HANDLE handle = CreateFileW(path.c_str(), rights, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_ACCESS_DENIED && std::filesystem::is_directory(path))
            throw std::system_error(std::make_error_code(std::errc::is_a_directory), "open");
        ThrowLastError("open");
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "not a regular file");
    }
    return OsFile(handle);
}

OsFile OsFile::CreateUnique(const std::filesystem::path& folder, std::filesystem::path& createdPath)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = folder / UniqueName();
        HANDLE handle = CreateFileW(candidate.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            createdPath = candidate;
            return OsFile(handle);
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
    return OsFile(handle);
}

std::filesystem::path CreatePrivateFolder(const std::filesystem::path& parent)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = parent / UniqueName();
        if (CreateDirectoryW(candidate.c_str(), nullptr))
            return candidate;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            ThrowLastError("create folder");
    }
    throw std::system_error(std::make_error_code(std::errc::file_exists), "create folder");
}

OsFile::~OsFile()
{
    if (handle_ != kNoHandle)
        CloseHandle(handle_);
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
    std::size_t total = 0;
    while (total < bytes.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - total, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle_, bytes.data() + total, want, &written, nullptr))
            ThrowLastError("write");
        total += written;
    }
}

void OsFile::CopyPermissionsFrom(OsFile&) {}

void OsFile::Close()
{
    const Handle handle = std::exchange(handle_, kNoHandle);
    const bool flushed = FlushFileBuffers(handle) != 0;
    const DWORD flushError = GetLastError();
    if (!CloseHandle(handle))
        ThrowLastError("close");
    if (!flushed)
        throw std::system_error(static_cast<int>(flushError), std::system_category(), "flush");
}

void RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
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
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
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
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return true;
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(handle);
    return false;
}

bool StandardErrorIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

std::string PathToUtf8(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path PathFromUtf8(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

#else  // POSIX

OsFile OsFile::Open(const std::filesystem::path& path, Access access)
{
    // Non-blocking while opening, so that a named pipe given by mistake cannot hang us.
    const int mode = access == Access::Read ? O_RDONLY : O_RDWR;
    const int fd = ::open(path.c_str(), mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        ThrowLastError("open");
    OsFile file(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        ThrowLastError("stat");
    if (S_ISDIR(status.st_mode))
        throw std::system_error(std::make_error_code(std::errc::is_a_directory), "open");
    if (!S_ISREG(status.st_mode))
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "not a regular file");
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        ThrowLastError("fcntl");
    return file;
}

OsFile OsFile::CreateUnique(const std::filesystem::path& folder, std::filesystem::path& createdPath)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = folder / UniqueName();
        const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            createdPath = candidate;
            return OsFile(fd);
        }
        if (errno != EEXIST)
            ThrowLastError("create");
    }
    throw std::system_error(std::make_error_code(std::errc::file_exists), "create");
}

OsFile OsFile::CreateNew(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        ThrowLastError("create");
    return OsFile(fd);
}

std::filesystem::path CreatePrivateFolder(const std::filesystem::path& parent)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = parent / UniqueName();
        if (::mkdir(candidate.c_str(), 0700) == 0)
            return candidate;
        if (errno != EEXIST)
            ThrowLastError("create folder");
    }
    throw std::system_error(std::make_error_code(std::errc::file_exists), "create folder");
}

OsFile::~OsFile()
{
    if (handle_ != kNoHandle)
        ::close(handle_);
}

std::uint64_t OsFile::Length()
{
    struct stat status {};
    if (::fstat(handle_, &status) != 0)
        ThrowLastError("stat");
    return static_cast<std::uint64_t>(status.st_size);
}

OsFile::FileStamp OsFile::Stamp()
{
    struct stat status {};
    if (::fstat(handle_, &status) != 0)
        ThrowLastError("stat");
    return {static_cast<std::uint64_t>(status.st_size),
            static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

void OsFile::Seek(std::uint64_t offset)
{
    if (::lseek(handle_, static_cast<off_t>(offset), SEEK_SET) < 0)
        ThrowLastError("seek");
}

std::size_t OsFile::Read(std::span<std::uint8_t> buffer)
{
    std::size_t total = 0;
    while (total < buffer.size()) {
        const ssize_t got = ::read(handle_, buffer.data() + total, buffer.size() - total);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastError("read");
        }
        if (got == 0)
            break;
        total += static_cast<std::size_t>(got);
    }
    return total;
}

void OsFile::WriteAll(std::span<const std::uint8_t> bytes)
{
    std::size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t written = ::write(handle_, bytes.data() + total, bytes.size() - total);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastError("write");
        }
        total += static_cast<std::size_t>(written);
    }
}

void OsFile::CopyPermissionsFrom(OsFile& other)
{
    struct stat status {};
    if (::fstat(other.handle_, &status) != 0)
        ThrowLastError("stat");
    if (::fchmod(handle_, status.st_mode & 0666) != 0)
        ThrowLastError("chmod");
}

void OsFile::Close()
{
    const Handle fd = std::exchange(handle_, kNoHandle);
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    const int syncError = errno;
    if (::close(fd) != 0)
        ThrowLastError("close");
    if (!synced)
        throw std::system_error(syncError, std::generic_category(), "sync");
}

void RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to)
{
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        ThrowLastError("rename");
#endif
    // File systems without an atomic no-replace rename: a hard link fails when the name
    // exists, whatever its permissions.
    if (::link(from.c_str(), to.c_str()) != 0)
        ThrowLastError("rename");
    if (::unlink(from.c_str()) != 0)
        ThrowLastError("remove");
}

void RenameReplace(const std::filesystem::path& from, const std::filesystem::path& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0)
        ThrowLastError("rename");
}

std::optional<FileId> IdentifyFile(const std::filesystem::path& path, bool followLinks)
{
    struct stat status {};
    if ((followLinks ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0)
        return std::nullopt;
    return FileId{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool IsWriteProtected(const std::filesystem::path& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return false;  // nothing there to protect
    // No write bit at all protects the file from everyone, as the read-only attribute does
    // elsewhere; otherwise the user's own access decides.
    if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return true;
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EROFS);
}

bool StandardErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO) != 0;
}

std::string PathToUtf8(const std::filesystem::path& path)
{
    return path.string();
}

std::filesystem::path PathFromUtf8(const std::string& text)
{
    return std::filesystem::path(text);
}

#endif

void OsFile::Write(std::span<const std::uint8_t, kSectorSize> block)
{
    WriteAll(block);
}

}  // namespace tabulon
