#include "engine/io/file_moves.h"

#include <system_error>
#include <utility>

namespace tabulon {
namespace {

namespace fs = std::filesystem;

fs::path FolderOf(const fs::path& path)
{
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

void CopyTo(const fs::path& from, const fs::path& to, bool replace)
{
    OsFile source = OsFile::Open(from, OsFile::Access::Read);
    FileBeside copy(to);
    copy.File().CopyPermissionsFrom(source);
    CopyFileContents(source, copy.File());
    copy.Name(replace);
}

}  // namespace

FileBeside::FileBeside(const fs::path& to) : to_(to), file_(OsFile::CreateUnique(FolderOf(to), temporary_)) {}

FileBeside::~FileBeside()
{
    if (temporary_.empty())
        return;
    { OsFile closed = std::move(file_); }  // closed first: an open file cannot be removed everywhere
    std::error_code ignored;
    fs::remove(temporary_, ignored);
}

void FileBeside::Name(bool replace)
{
    file_.Close();
    if (replace)
        RenameReplace(temporary_, to_);
    else
        RenameNoReplace(temporary_, to_);
    temporary_.clear();
}

void MoveNoReplace(const fs::path& from, const fs::path& to)
{
    try {
        RenameNoReplace(from, to);
        return;
    } catch (const std::system_error& error) {
        if (error.code() != std::errc::cross_device_link)
            throw;
    }
    CopyTo(from, to, false);
    fs::remove(from);
}

void CopyReplacing(const fs::path& from, const fs::path& to)
{
    CopyTo(from, to, true);
}

}  // namespace tabulon
