// The entries of an open folder: listing them, making and removing links and
// folders, their metadata and extended attributes, never following a link at
// the entry. The folder's descriptor is O_PATH, which the f* calls refuse, so
// a few operations go through the folder's (or entry's) /proc/self/fd path.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "component/error.h"
#include "component/fs/fs_internal.h"
#include "component/fs/posix_internal.h"

namespace bk::posix_internal {
namespace {

std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// A name handed to a call taking a C string: one with a NUL would name
// something else.
std::string CString(std::string_view s, const std::string& path) {
  if (s.find('\0') != std::string_view::npos) throw Error::Standard(errnum::kBadFileNameOrNumber, path);
  return std::string(s);
}

// The entry (or the folder itself) as a path the kernel resolves through the
// folder's descriptor, and whether a call on it must follow the last
// component: the folder's own /proc link must be followed, an entry never.
struct EntryPath {
  std::string path;
  bool follow;
};
EntryPath Resolve(int folder, const std::string& name) {
  if (name.empty()) return {ProcPath(folder), true};
  return {ProcPath(folder) + "/" + name, false};
}

// One family of extended-attribute calls bound to its file.
struct AttributeCalls {
  std::function<ssize_t(char*, size_t)> list;
  std::function<ssize_t(const char*, char*, size_t)> get;
  std::function<int(const char*, const char*, size_t)> set;
  std::function<int(const char*)> remove;
};

AttributeCalls OnDescriptor(int fd) {
  return {[fd](char* b, size_t n) { return ::flistxattr(fd, b, n); },
          [fd](const char* a, char* b, size_t n) { return ::fgetxattr(fd, a, b, n); },
          [fd](const char* a, const char* v, size_t n) { return ::fsetxattr(fd, a, v, n, 0); },
          [fd](const char* a) { return ::fremovexattr(fd, a); }};
}

AttributeCalls OnPath(const EntryPath& p) {
  const char* s = p.path.c_str();
  if (p.follow) {
    return {[s](char* b, size_t n) { return ::listxattr(s, b, n); },
            [s](const char* a, char* b, size_t n) { return ::getxattr(s, a, b, n); },
            [s](const char* a, const char* v, size_t n) { return ::setxattr(s, a, v, n, 0); },
            [s](const char* a) { return ::removexattr(s, a); }};
  }
  return {[s](char* b, size_t n) { return ::llistxattr(s, b, n); },
          [s](const char* a, char* b, size_t n) { return ::lgetxattr(s, a, b, n); },
          [s](const char* a, const char* v, size_t n) { return ::lsetxattr(s, a, v, n, 0); },
          [s](const char* a) { return ::lremovexattr(s, a); }};
}

// Reads into a buffer sized by a first call, again when it grew meanwhile
// (ERANGE). False with errno set on any other failure.
bool ReadSized(const std::function<ssize_t(char*, size_t)>& call, std::string* out) {
  // Most lists and values are short (most often empty): one call reads
  // them; a longer one is asked its size first.
  constexpr size_t kFirstTry = 256;
  out->assign(kFirstTry, '\0');
  for (;;) {
    const ssize_t got = call(out->data(), out->size());
    if (got >= 0) {
      out->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
    const ssize_t size = call(nullptr, 0);
    if (size < 0) return false;
    out->assign(static_cast<size_t>(size) + 1, '\0');
  }
}

std::vector<ExtendedAttribute> ListAttributes(const AttributeCalls& calls, std::string_view path) {
  std::string names;
  if (!ReadSized(calls.list, &names)) {
    if (errno == ENOTSUP) return {};
    ThrowErrno(path);
  }
  std::vector<ExtendedAttribute> out;
  for (size_t at = 0; at < names.size();) {
    const size_t end = names.find('\0', at);
    const std::string name = names.substr(at, end - at);
    at = end == std::string::npos ? names.size() : end + 1;
    std::string value;
    if (ReadSized([&](char* b, size_t n) { return calls.get(name.c_str(), b, n); }, &value)) {
      out.push_back(ExtendedAttribute{name, std::move(value)});
    } else if (errno != ENODATA && errno != EPERM && errno != EACCES && errno != ENOTSUP) {
      ThrowErrno(path);
    }
  }
  return out;
}

void SetAttributeBy(const AttributeCalls& calls, std::string_view attribute, std::string_view value,
                    const std::string& path) {
  if (calls.set(CString(attribute, path).c_str(), value.data(), value.size()) != 0) ThrowErrno(path);
}

void RemoveAttributeBy(const AttributeCalls& calls, std::string_view attribute, const std::string& path) {
  if (calls.remove(CString(attribute, path).c_str()) != 0 && errno != ENODATA) ThrowErrno(path);
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::vector<ExtendedAttribute> PosixFile::ExtendedAttributes() { return ListAttributes(OnDescriptor(Fd()), path_); }

void PosixFile::SetExtendedAttribute(std::string_view name, std::string_view value) {
  SetAttributeBy(OnDescriptor(Fd()), name, value, path_);
}

void PosixFile::RemoveExtendedAttribute(std::string_view name) { RemoveAttributeBy(OnDescriptor(Fd()), name, path_); }

namespace entries {

namespace {

// Calls `each` with the name of every entry but "." and "..".
void ForEachName(int folder, const std::string& path, const std::function<void(std::string)>& each) {
  Descriptor readable(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable.get() < 0) ThrowErrno(path, /*path_is_folder=*/true);
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(readable.get()));
  if (!dir) ThrowErrno(path, /*path_is_folder=*/true);
  readable.release();
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) break;
    std::string name = entry->d_name;
    if (name != "." && name != "..") each(std::move(name));
  }
  if (errno != 0) ThrowErrno(path, /*path_is_folder=*/true);
}

}  // namespace

std::vector<FolderItem> List(int folder, const std::string& path) {
  std::vector<FolderItem> out;
  ForEachName(folder, path, [&](std::string name) {
    FolderItem item{std::move(name), {}};
    if (TryStatAt(folder, item.name.c_str(), AT_SYMLINK_NOFOLLOW, &item.stat)) {
      out.push_back(std::move(item));
    } else if (errno != ENOENT) {  // gone since it was listed
      ThrowErrno(PosixPathRules().BuildPath(path, item.name));
    }
  });
  return out;
}

std::vector<std::string> ListNames(int folder, const std::string& path) {
  std::vector<std::string> out;
  ForEachName(folder, path, [&](std::string name) { out.push_back(std::move(name)); });
  return out;
}

void MakeLink(int folder, const std::string& name, std::string_view target, const std::string& path) {
  if (target.empty()) throw Error::Standard(errnum::kBadFileNameOrNumber, path);
  if (::symlinkat(CString(target, path).c_str(), folder, name.c_str()) != 0) ThrowErrno(path);
}

void RemoveSubfolder(int folder, const std::string& name, const std::string& path) {
  if (!StatAt(folder, name.c_str(), AT_SYMLINK_NOFOLLOW, path).is_folder) throw fs_internal::NotAFolder(path);
  if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0) return;
  const int err = errno;
  if (err == ENOTEMPTY || err == EEXIST) throw Error::Standard(errnum::kPermissionDenied, path, err);
  if (err == ENOTDIR) throw fs_internal::NotAFolder(path, err);  // replaced meanwhile
  throw ErrorFromErrno(err, path);
}

void SetOwner(int folder, const std::string& name, uint32_t owner, uint32_t group, const std::string& path) {
  const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
  if (::fchownat(folder, name.c_str(), static_cast<uid_t>(owner), static_cast<gid_t>(group), flags) != 0) {
    ThrowErrno(path);
  }
}

// chmod has no form that refuses a link on every kernel, and fchmod refuses
// O_PATH descriptors: the entry is opened without following a link, judged,
// and changed through its descriptor's /proc path.
void SetMode(int folder, const std::string& name, uint32_t mode, const std::string& path) {
  Descriptor entry;
  int fd = folder;
  if (!name.empty()) {
    entry = Descriptor(::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (entry.get() < 0) ThrowErrno(path);
    if (StatAt(entry.get(), "", AT_EMPTY_PATH, path).is_symlink) {
      throw Error::Standard(errnum::kPathFileAccessError, path, ELOOP);
    }
    fd = entry.get();
  }
  if (::chmod(ProcPath(fd).c_str(), static_cast<mode_t>(mode & 07777)) != 0) ThrowErrno(path);
}

void SetModifiedTime(int folder, const std::string& name, int64_t modified_ns, const std::string& path) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = FromNs(modified_ns);
  const int r = name.empty() ? ::utimensat(AT_FDCWD, ProcPath(folder).c_str(), times, 0)
                             : ::utimensat(folder, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
  if (r != 0) ThrowErrno(path);
}

std::vector<ExtendedAttribute> Attributes(int folder, const std::string& name, const std::string& path) {
  const EntryPath entry = Resolve(folder, name);
  return ListAttributes(OnPath(entry), path);
}

void SetAttribute(int folder, const std::string& name, std::string_view attribute, std::string_view value,
                  const std::string& path) {
  const EntryPath entry = Resolve(folder, name);
  SetAttributeBy(OnPath(entry), attribute, value, path);
}

void RemoveAttribute(int folder, const std::string& name, std::string_view attribute, const std::string& path) {
  const EntryPath entry = Resolve(folder, name);
  RemoveAttributeBy(OnPath(entry), attribute, path);
}

}  // namespace entries
}  // namespace bk::posix_internal
