#include "log/trust.h"

#include <set>
#include <vector>

namespace bk {
namespace {

// POSIX permission bits, the same on every POSIX system.
constexpr uint32_t kGroupOrOthersWrite = 0022;
constexpr uint32_t kGroupWrite = 0020;
constexpr uint32_t kOthersWrite = 0002;
constexpr uint32_t kSticky = 01000;

// Which facts judge the file: its access list (Windows), or its owner id
// and mode bits (POSIX); a file with neither (held in memory) passes.
bool Listed(const FileStat& st) { return st.listed_access != ListedAccess::kNotRead; }
bool HasOwnerId(const FileStat& st, int64_t user) { return user >= 0 && st.owner >= 0; }

bool OwnedByAnother(const FileStat& st, int64_t user) {
  if (Listed(st)) return st.listed_access == ListedAccess::kOtherOwner;
  return HasOwnerId(st, user) && st.owner != user && st.owner != 0;
}

// Whether an access ACL lets anyone but `user`, root and the members of
// `group` write: a named user, a named group, or the owning group, each as
// far as the mask lets it.
bool AclLetsOthersWrite(const std::vector<AclEntry>& acl, const FileStat& st, int64_t user, int64_t group) {
  constexpr uint16_t kWrite = 2;
  uint16_t mask = 07;
  for (const AclEntry& e : acl) {
    if (e.tag == AclEntry::kMask) mask = e.perm;
  }
  for (const AclEntry& e : acl) {
    if ((e.perm & mask & kWrite) == 0) continue;
    if (e.tag == AclEntry::kUser && e.id != user && e.id != 0) return true;
    if (e.tag == AclEntry::kGroup && e.id != group) return true;
    if (e.tag == AclEntry::kGroupObj && st.group != group) return true;
  }
  return false;
}

// Others may write the folder by its mode or its ACL.
bool OthersMayWrite(const FileStat& st, const std::vector<AclEntry>& acl, int64_t user, int64_t group) {
  return (st.attributes & kOthersWrite) != 0 || ((st.attributes & kGroupWrite) != 0 && st.group != group) ||
         AclLetsOthersWrite(acl, st, user, group);
}

Error Distrust(const char* why, const std::string& path) {
  return Error(errnum::kPermissionDenied, kLibrarySource, std::string("Not trusted: ") + why, path);
}

// Whether anyone but `user`, root and the members of `group` may replace
// the folder's entries: write it without a sticky bit to stop them.
bool SharedFolder(FileSystem& fs, const std::string& self, const FileStat& st, int64_t user, int64_t group) {
  if (Listed(st)) return st.listed_access == ListedAccess::kOtherWriter;
  if (!HasOwnerId(st, user)) return false;
  return OthersMayWrite(st, fs.AccessAcl(self), user, group) && (st.attributes & kSticky) == 0;
}

bool WritableByOthers(const FileStat& st, int64_t user) {
  if (Listed(st)) return st.listed_access == ListedAccess::kOtherWriter;
  return HasOwnerId(st, user) && (st.attributes & kGroupOrOthersWrite) != 0;
}

bool AnotherMayWrite(const FileStat& st, const std::vector<AclEntry>& acl, int64_t user, int64_t group) {
  return Listed(st) ? st.listed_access == ListedAccess::kOtherWriter
                    : HasOwnerId(st, user) && OthersMayWrite(st, acl, user, group);
}

}  // namespace

std::optional<Error> FolderDistrust(FileSystem& fs, const std::string& folder, int64_t user, int64_t group) {
  // "." inside the folder: the folder itself, also when its path is a link.
  const std::string self = fs.BuildPath(folder, ".");
  const FileStat st = fs.Stat(self);
  if (OwnedByAnother(st, user) || SharedFolder(fs, self, st, user, group)) {
    return Distrust("in a folder another user can write", folder);
  }
  return std::nullopt;
}

std::optional<Error> PathDistrust(FileSystem& fs, const std::string& folder, int64_t user, int64_t group) {
  // The folders the path really runs through, each with every folder above
  // it (one above a link's target can move it as well as one above the
  // link); then those that name it, whose links could be replaced.
  // Each folder is judged once, the topmost of each chain first.
  std::set<std::string> judged;
  for (const std::string& start : {fs.ResolveLinks(folder), fs.GetParentFolderName(folder)}) {
    std::vector<std::string> chain;
    for (std::string at = start; !at.empty() && !judged.contains(at); at = fs.GetParentFolderName(at)) {
      chain.push_back(at);
      judged.insert(at);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      if (std::optional<Error> why = FolderDistrust(fs, *it, user, group)) return why;
    }
  }
  return std::nullopt;
}

std::optional<Error> TreeFolderDistrust(const FileStat& st, const std::vector<AclEntry>& acl, const std::string& path,
                                        int64_t user, int64_t group) {
  if (OwnedByAnother(st, user) || AnotherMayWrite(st, acl, user, group)) {
    return Distrust("a folder inside the tree that another user can write", path);
  }
  return std::nullopt;
}

std::optional<Error> PrivateFolderDistrust(const FileStat& st, const std::vector<AclEntry>& acl,
                                           const std::string& path, int64_t user, int64_t group) {
  if (OwnedByAnother(st, user)) return Distrust("owned by another user", path);
  if (AnotherMayWrite(st, acl, user, group)) return Distrust("writable by group or others", path);
  return std::nullopt;
}

Error TooLarge(int32_t number, std::string_view what, uint64_t size, uint64_t bound, const std::string& path) {
  return Error(number, kLibrarySource,
               std::string(what) + " too large: " + std::to_string(size) + " bytes, more than the bound of " +
                   std::to_string(bound) + " bytes",
               path);
}

bool IsSpecialEntry(FileSystem& fs, const std::string& path) {
  constexpr uint32_t kTypeBits = 0170000, kRegular = 0100000;
  try {
    const FileStat st = fs.Stat(path);
    return st.owner >= 0 && !st.is_folder && !st.is_symlink && (st.attributes & kTypeBits) != kRegular;
  } catch (const Error&) {
    return false;
  }
}

std::optional<Error> FileDistrust(const FileStat& st, const std::string& path, int64_t user) {
  if (OwnedByAnother(st, user)) return Distrust("owned by another user", path);
  if (WritableByOthers(st, user)) return Distrust("writable by group or others", path);
  return std::nullopt;
}

}  // namespace bk
