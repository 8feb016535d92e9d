#include "file_moves.h"

#include <system_error>

#include "engine/os_file.h"

namespace tabulon::jobs {
namespace {

namespace fs = std::filesystem;

fs::path FolderOf(const fs::path& path)
{
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// A complete copy of `from` under a fresh name beside `to`; the caller names it.
fs::path CopyBeside(const fs::path& from, const fs::path& to)
{
    OsFile source = OsFile::Open(from, OsFile::Access::Read);
    fs::path temporary;
    OsFile copy = OsFile::CreateUnique(FolderOf(to), temporary);
    try {
        copy.CopyPermissionsFrom(source);
        CopyFileContents(source, copy);
        copy.Close();
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
    return temporary;
}

template <typename Rename>
void NameCopy(const fs::path& temporary, const fs::path& to, Rename rename)
{
    try {
        rename(temporary, to);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
}

}  // namespace

void MoveNoReplace(const fs::path& from, const fs::path& to)
{
    try {
        RenameNoReplace(from, to);
        return;
    } catch (const std::system_error& error) {
        if (error.code() != std::errc::cross_device_link)
            throw;
    }
    NameCopy(CopyBeside(from, to), to, RenameNoReplace);
    fs::remove(from);
}

void CopyReplacing(const fs::path& from, const fs::path& to)
{
    NameCopy(CopyBeside(from, to), to, RenameReplace);
}

}  // namespace tabulon::jobs
