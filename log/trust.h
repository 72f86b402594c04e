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
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"

namespace bk {

// The largest rollback log that is read, from a file or out of a backup
// (docs/reliability.md): a log takes about 75 bytes a file plus twice its
// path's length, so a period of a million files whose paths average 160
// characters fits; a larger one is refused before it is read, since it is
// parsed whole in memory (about 2.5 times its size).
inline constexpr uint64_t kMaxLogSize = 384ull << 20;

// The error for input refused by its size: "<what> too large: N bytes, more
// than the bound of M bytes", with `number` and `path`.
Error TooLarge(int32_t number, std::string_view what, uint64_t size, uint64_t bound, const std::string& path);

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

// A folder whose path another user could redirect: the folder, or one above
// it, is distrusted as FolderDistrust says (another user owns it, or can
// replace its entries), so that a name made there later could land in a
// folder of that user's choosing. The topmost such folder is reported.
std::optional<Error> PathDistrust(FileSystem& fs, const std::string& folder, int64_t user, int64_t group);

// A folder inside a tree made safe whole is distrusted when a user other
// than `user` and root can write it: its owner, or others by its mode
// (group write counting as for FolderDistrust) or its access ACL. The
// sticky bit does not help here: whoever can add entries to a folder of the
// tree can move a folder of someone else's into it, which the rollback
// would then remove as an entry the period did not have. `st` and `acl` are
// the folder's, read on the walk's handle. 70 "Not trusted: a folder inside
// the tree that another user can write".
std::optional<Error> TreeFolderDistrust(const FileStat& st, const std::vector<AclEntry>& acl, const std::string& path,
                                        int64_t user, int64_t group);

// A folder that only its owner may change (a period's hidden files folder) is
// distrusted when another user owns it ("owned by another user") or another
// user can write it by its mode (group write counting as for FolderDistrust)
// or its access ACL ("writable by group or others"); no sticky bit helps.
// `st` and `acl` are the folder's, read without following a link.
std::optional<Error> PrivateFolderDistrust(const FileStat& st, const std::vector<AclEntry>& acl,
                                           const std::string& path, int64_t user, int64_t group);

// True when the entry at `path` (not following a link) is a pipe, socket or
// device (POSIX): never a period's file, so never opened (a pipe would block
// its reader) nor removed, only noted. False when it is gone, and where files
// carry no POSIX mode (Windows). For leaving an entry alone only: what is
// opened is judged again on the open file.
bool IsSpecialEntry(FileSystem& fs, const std::string& path);

// A file is distrusted when another user owns it or group or others (on
// Windows: other users) may write it, delete it or change its permissions;
// `st` comes from the open file (fstat), never from a second look-up.
std::optional<Error> FileDistrust(const FileStat& st, const std::string& path, int64_t user);

}  // namespace bk
