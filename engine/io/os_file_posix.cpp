// The file operations on Linux and other POSIX systems.
#include "engine/io/os_file.h"

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

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tabulon {
namespace {

[[noreturn]] void ThrowLastError(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

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
        const std::filesystem::path candidate = folder / UniqueTemporaryName();
        const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            createdPath = candidate;
            return OsFile(fd, true);
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
    return OsFile(fd, true);
}

std::filesystem::path CreatePrivateFolder(const std::filesystem::path& parent)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = parent / UniqueTemporaryName();
        if (::mkdir(candidate.c_str(), 0700) == 0)
            return candidate;
        if (errno != EEXIST)
            ThrowLastError("create folder");
    }
    throw std::system_error(std::make_error_code(std::errc::file_exists), "create folder");
}

OsFile::~OsFile()
{
    Unmap();
    if (handle_ != kNoHandle)
        ::close(handle_);
}

bool OsFile::Map()
{
    const std::uint64_t length = Length();
    if (length == 0 || length > std::numeric_limits<std::size_t>::max())
        return false;
    void* view = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_SHARED, handle_, 0);
    if (view == MAP_FAILED)
        return false;  // (read as any other file then)
    mapped_ = static_cast<const std::uint8_t*>(view);
    mappedLength_ = static_cast<std::size_t>(length);
    mappedZeros_ = true;  // the rest of a mapping's last page past the file's end is zeros
    return true;
}

void OsFile::Unmap() noexcept
{
    if (mapped_ != nullptr)
        ::munmap(const_cast<std::uint8_t*>(mapped_), mappedLength_);
    mapped_ = nullptr;
    mappedLength_ = 0;
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
    Unmap();
    // A MiB at a time: on Linux 6.18 one write of tens of MiB into a new file now and then
    // took up to ten times as long as the same bytes written a MiB at a time, which never did.
    constexpr std::size_t kMostAtOnce = std::size_t{1} << 20;
    std::size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t written = ::write(handle_, bytes.data() + total, std::min(bytes.size() - total, kMostAtOnce));
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
    Unmap();
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

}  // namespace tabulon
