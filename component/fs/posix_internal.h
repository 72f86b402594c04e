// Pieces shared by the POSIX file system and its safe folder walk; not part
// of the component's interface.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"

namespace bk::posix_internal {

// The one translation of errno into the component's error numbers.
Error ErrorFromErrno(int err, std::string_view path, bool path_is_folder = false);
[[noreturn]] void ThrowErrno(std::string_view path, bool path_is_folder = false);
FileStat FromStat(const struct stat& st);

// Opens `name` relative to the folder `dirfd` (or AT_FDCWD) as
// FileSystem::Open opens a path; `path` names it in errors and as the file's
// path. With `entry`, never through a link at `name` (Folder::OpenEntry).
std::unique_ptr<File> OpenAt(int dirfd, const std::string& name, const std::string& path, OpenMode mode, bool entry);
// Folder::OpenForRewrite on `name` in the folder `dirfd`.
std::unique_ptr<File> OpenForRewriteAt(int dirfd, const std::string& name, const std::string& path);

// FileSystem::OpenFolder and FileSystem::ResolveLinks of an absolute path.
std::unique_ptr<Folder> OpenFolderSafely(const std::string& path, std::vector<std::string>* created);
std::string ResolveLinksSafely(const std::string& path);

}  // namespace bk::posix_internal
