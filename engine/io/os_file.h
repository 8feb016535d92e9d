// Files on disk. Everything that differs between operating systems lives here and in
// os_file.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/io/sector_file.h"

namespace tabulon {

// A regular file opened by path. Errors throw std::system_error naming the failing call.
class OsFile final : public SectorFile {
public:
    enum class Access { Read, ReadWrite };

    // What tells whether someone else wrote the file: its length and last-write time.
    struct FileStamp {
        std::uint64_t length = 0;
        std::int64_t modified = 0;  // in the system's own units
        bool operator==(const FileStamp&) const = default;
    };

    // Opens an existing regular file. Folders, devices and pipes are refused (without
    // blocking on a pipe) with std::errc::is_a_directory or std::errc::invalid_argument.
    static OsFile Open(const std::filesystem::path& path, Access access);
    // Creates a file under a fresh, unpredictable name in `folder`, readable and writable by
    // the owner only (on Windows: with the access the folder passes on). Never follows or
    // replaces an existing name.
    static OsFile CreateUnique(const std::filesystem::path& folder, std::filesystem::path& createdPath);
    // Creates a file under exactly this name, readable and writable by the owner only (on
    // Windows: with the access its folder passes on); fails with std::errc::file_exists when
    // the name exists, and never follows a link.
    static OsFile CreateNew(const std::filesystem::path& path);

    OsFile(OsFile&& other) noexcept;
    OsFile& operator=(OsFile&& other) noexcept;
    OsFile(const OsFile&) = delete;
    OsFile& operator=(const OsFile&) = delete;
    ~OsFile() override;

    std::uint64_t Length() override;
    FileStamp Stamp();
    void Seek(std::uint64_t offset) override;
    std::size_t Read(std::span<std::uint8_t> buffer) override;
    void Write(std::span<const std::uint8_t, kBlockSize> block) override;
    void WriteBlocks(std::span<const std::uint8_t> bytes) override;
    // A file this program made (CreateUnique, CreateNew) is mapped into memory, read-only, on
    // the first call: nobody else writes it, so it cannot shrink under the mapping (reading a
    // mapped page past a file's new end stops the process). A file opened by path lends
    // nothing. The mapping goes with the next write, move or close.
    std::optional<LentBytes> Lend() override;

    // Writes all of `bytes` at the position.
    void WriteAll(std::span<const std::uint8_t> bytes);
    // Gives this file the permission bits of `other` (read and write bits only; nothing on
    // Windows, where access comes from the folder).
    void CopyPermissionsFrom(OsFile& other);
    // Flushes to the device and closes, reporting what the flush or close found.
    void Close();

private:
#ifdef _WIN32
    using Handle = void*;  // a HANDLE; CreateFileW gives no null handle for a file it opened
    static constexpr Handle kNoHandle = nullptr;
#else
    using Handle = int;
    static constexpr Handle kNoHandle = -1;
#endif
    explicit OsFile(Handle handle, bool ours = false) : handle_(handle), ours_(ours) {}
    // Maps the whole file (mapped_, mappedLength_, mappedZeros_); false where it cannot.
    bool Map();
    void Unmap() noexcept;
    Handle handle_ = kNoHandle;
    bool ours_ = false;  // made by this program: it alone writes it
    const std::uint8_t* mapped_ = nullptr;
    std::size_t mappedLength_ = 0;
    bool mappedZeros_ = false;  // the mapping's last page reads as zeros past the end
};

// Copies `source` into `destination` (an open, empty file) with large reads and writes.
void CopyFileContents(OsFile& source, OsFile& destination);

// Moves `from` to `to` only if `to` does not exist; fails with std::errc::file_exists
// otherwise, even for a name that exists but cannot be read. Both are in one folder.
void RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);
// Moves `from` to `to`, replacing what `to` names.
void RenameReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// Which file a name stands for: equal for two names of one file (hard links, links followed,
// other spellings of one path).
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    auto operator<=>(const FileId&) const = default;
};

// The identity of the file `path` names, or of a symbolic link itself unless `followLinks`;
// nothing when there is no such file (a dangling link followed included) or it cannot be
// looked at.
std::optional<FileId> IdentifyFile(const std::filesystem::path& path, bool followLinks);

// Whether the file `path` names (links followed) is write-protected: nobody may write it (no
// write permission at all, or the read-only attribute), or this user may not.
bool IsWriteProtected(const std::filesystem::path& path);

// Creates a fresh folder with an unpredictable name in `parent`, open to its owner only (on
// Windows: an access list of one entry, for the current user, passed on to what is made in it
// and nothing taken over from `parent`).
std::filesystem::path CreatePrivateFolder(const std::filesystem::path& parent);

// A new file name no one can guess (".tabulon-" and 16 random hexadecimal digits), for files
// and folders that are made under it and then renamed or removed.
std::string UniqueTemporaryName();

// Whether standard error is a terminal (on Windows: a console, made to take a terminal's
// control sequences; not where it cannot).
bool StandardErrorIsTerminal();

// A path as UTF-8 text for messages and JSON, with the system's own separators.
std::string PathToUtf8(const std::filesystem::path& path);
// A UTF-8 argument as a path.
std::filesystem::path PathFromUtf8(const std::string& text);

}  // namespace tabulon
