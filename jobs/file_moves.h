// Putting a finished file in its place without ever leaving half a file under a name.
#pragma once

#include <filesystem>

namespace tabulon::jobs {

// Moves `from` to `to` unless `to` exists (even unreadable); across file systems by a copy
// beside `to` that takes its name only when complete. Throws std::system_error.
void MoveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// Copies `from` over `to`: written beside `to`, then renamed over it, so `to` is either the
// old file or the whole new one. Throws std::system_error.
void CopyReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace tabulon::jobs
