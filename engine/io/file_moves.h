// Putting a finished file in its place without ever leaving half a file under a name.
#pragma once

#include <filesystem>

#include "engine/io/os_file.h"

namespace tabulon {

// A file written under a private, unpredictable name beside `to`, which takes the name `to`
// only once complete. Until then, and whenever that fails, it is removed.
class FileBeside {
public:
    // Creates the file, readable and writable by its owner only. Throws std::system_error.
    explicit FileBeside(const std::filesystem::path& to);
    FileBeside(const FileBeside&) = delete;
    FileBeside& operator=(const FileBeside&) = delete;
    ~FileBeside();

    OsFile& File() { return file_; }
    // Flushes and closes the file and gives it its name, never over an existing file unless
    // `replace`. Throws std::system_error (std::errc::file_exists when the name is taken).
    void Name(bool replace);

private:
    std::filesystem::path to_;
    std::filesystem::path temporary_;
    OsFile file_;
};

// Moves `from` to `to` unless `to` exists (even unreadable); across file systems by a copy
// beside `to` that takes its name only when complete. Throws std::system_error.
void MoveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// Copies `from` over `to`: written beside `to`, then renamed over it, so `to` is either the
// old file or the whole new one. Throws std::system_error.
void CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace tabulon
