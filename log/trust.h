// Whether a temporary folder, or a file found in it, could have been
// planted or changed by another user. Where files have numeric owners and
// mode bits (POSIX) those are judged against `user` and `group`; where they
// carry access control lists instead (Windows) the file system reads the
// list of the file or folder itself (FileStat::listed_access), against this
// process's user and the administrators. Where a file has neither (a file
// held in memory) only the checks that hold everywhere remain (regular files
// only, archives beside their log).
//
// Distrust is reported as error 70 with one of these descriptions:
//   "Not trusted: owned by another user"
//   "Not trusted: writable by group or others"
//   "Not trusted: in a folder another user can write"
// "Another user" is anyone but `user` and root (user id 0); on Windows
// anyone but this process's user, SYSTEM and Administrators.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "component/error.h"
#include "component/fs/file_system.h"

namespace bk {

// A folder is distrusted when another user owns it, or when others may write
// it, or its group may and that group is not the caller's own (primary)
// group, unless the sticky bit keeps them from replacing files they do not
// own. (A folder made under a umask of 002 belongs to the user's own group.)
// A POSIX access ACL counts the same way: a named user other than the caller
// and root, a named group other than the caller's, or the owning group when
// it is not the caller's, granted write after the mask. On Windows: when its
// access list lets another user add to it, delete from it, delete it or
// change its permissions or owner (Windows has no sticky bit).
std::optional<Error> FolderDistrust(FileSystem& fs, const std::string& folder, int64_t user, int64_t group);

// A file is distrusted when another user owns it or group or others (on
// Windows: other users) may write it, delete it or change its permissions;
// `st` comes from the open file (fstat), never from a second look-up.
std::optional<Error> FileDistrust(const FileStat& st, const std::string& path, int64_t user);

}  // namespace bk
