// Scratch space for tests that work on real files: a private folder and a large sparse file,
// both removed when they go, however the test ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#else
#include <sys/stat.h>
#endif

#include "engine/io/os_file.h"

namespace tabulon::test {

// A fresh folder in the temporary directory (or in `parent`), open to its owner only.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::filesystem::path& parent = std::filesystem::temp_directory_path())
        : path_(CreatePrivateFolder(parent))
    {
    }
    ~ScratchFolder()
    {
        namespace fs = std::filesystem;
        std::error_code ignored;
        // Folders a test made read-only are opened again, so that they can be emptied.
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        std::error_code walking;
        for (fs::recursive_directory_iterator it(path_, walking), end; !walking && it != end; it.increment(walking)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A file of `length` zero bytes that takes next to no room on disk. Where the file system does
// not keep such a file sparse, nothing is left and WhyNot() says so.
class SparseFile {
public:
    SparseFile(std::filesystem::path path, std::uint64_t length) : path_(std::move(path))
    {
        std::error_code error;
        { std::ofstream create(path_, std::ios::binary); }
        MarkSparse();
        // A small hole first, so that a file system that fills holes in writes 1 MiB, not 2 GiB.
        for (const std::uint64_t size : {std::uint64_t{1} << 20, length}) {
            std::filesystem::resize_file(path_, size, error);
            if (error) {
                whyNot_ = "cannot make a file of " + std::to_string(size) + " bytes in " +
                          path_.parent_path().string() + ": " + error.message();
                break;
            }
            const std::uint64_t used = BytesOnDisk();
            if (used > size / 4) {
                whyNot_ = "the file system of " + path_.parent_path().string() + " keeps no sparse files (" +
                          std::to_string(size) + " zero bytes take " + std::to_string(used) + " on disk)";
                break;
            }
        }
        if (!whyNot_.empty())
            std::filesystem::remove(path_, error);
    }
    ~SparseFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    SparseFile(const SparseFile&) = delete;
    SparseFile& operator=(const SparseFile&) = delete;

    bool Made() const { return whyNot_.empty(); }
    const std::string& WhyNot() const { return whyNot_; }
    const std::filesystem::path& Path() const { return path_; }

private:
#ifdef _WIN32
    // NTFS keeps the zeros of a file sparse only once the file is marked so; a file system
    // that cannot is found out by the measure below.
    void MarkSparse() const
    {
        HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return;
        DWORD returned = 0;
        DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
        CloseHandle(file);
    }
#else
    void MarkSparse() const {}
#endif

    std::uint64_t BytesOnDisk() const
    {
#ifdef _WIN32
        HANDLE file = CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return UINT64_MAX;
        FILE_STANDARD_INFO information{};
        const bool known = GetFileInformationByHandleEx(file, FileStandardInfo, &information, sizeof information) != 0;
        CloseHandle(file);
        return known ? static_cast<std::uint64_t>(information.AllocationSize.QuadPart) : UINT64_MAX;
#else
        struct stat status {};
        return ::stat(path_.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_blocks) * 512 : UINT64_MAX;
#endif
    }

    std::filesystem::path path_;
    std::string whyNot_;
};

// Why no symbolic link can be made in `folder` (Windows lets only some users make them, and
// Wine nobody), or nothing.
inline std::optional<std::string> WhyNoSymbolicLinks(const std::filesystem::path& folder)
{
    const std::filesystem::path link = folder / "symbolic-link-trial";
    std::error_code error;
    std::filesystem::create_symlink(folder / "nowhere", link, error);
    if (error)
        return "no symbolic link can be made in " + folder.string() + ": " + error.message();
    std::filesystem::remove(link, error);
    return std::nullopt;
}

}  // namespace tabulon::test
