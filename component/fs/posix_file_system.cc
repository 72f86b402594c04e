#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/fs/fs_internal.h"
#include "component/fs/posix_internal.h"

namespace bk {
namespace {

std::string Str(std::string_view s) { return std::string(s); }

using namespace posix_internal;

class PosixFileSystem final : public FileSystem {
 public:
  const PathRules& paths() const override { return PosixPathRules(); }

  std::string GetAbsolutePathName(std::string_view path) override {
    if (paths().IsAbsolute(path)) return paths().Absolute(path, "/");
    std::string cwd(PATH_MAX, '\0');
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE) ThrowErrno(".");
      cwd.resize(cwd.size() * 2);
    }
    cwd.resize(cwd.find('\0'));
    return paths().Absolute(path, cwd);
  }

  std::string GetTempName() override { return fs_internal::RandomTempName(); }

  bool FileExists(std::string_view path) override {
    struct stat st;
    return ::stat(Str(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }

  bool FolderExists(std::string_view path) override { return !path.empty() && IsFolder(Str(path)); }

  FileStat Stat(std::string_view path) override {
    return StatAt(AT_FDCWD, Str(path).c_str(), AT_SYMLINK_NOFOLLOW, path);
  }

  std::vector<FolderEntry> ListFiles(std::string_view folder) override;

  void CreateFolder(std::string_view path) override {
    if (::mkdir(Str(path).c_str(), 0777) != 0) ThrowErrno(path, /*path_is_folder=*/errno != EEXIST);
  }

  void RemoveFile(std::string_view path, bool force) override {
    const std::string p = Str(path);
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) ThrowErrno(path);
    if (S_ISDIR(st.st_mode)) throw Error::Standard(errnum::kFileNotFound, p, EISDIR);
    if (!force && !S_ISLNK(st.st_mode) && IsReadOnlyMode(st.st_mode)) {
      throw Error::Standard(errnum::kPermissionDenied, p, EACCES);
    }
    if (::unlink(p.c_str()) != 0) ThrowErrno(path);
  }

  void RemoveFolder(std::string_view path) override {
    if (::rmdir(Str(path).c_str()) != 0) ThrowErrno(path, /*path_is_folder=*/true);
  }

  void CopyFileTo(std::string_view from, std::string_view to, bool overwrite) override;

  void RenameFile(std::string_view from, std::string_view to) override {
    if (::rename(Str(from).c_str(), Str(to).c_str()) == 0) return;
    const int err = errno;
    struct stat st;
    const bool source_exists = ::lstat(Str(from).c_str(), &st) == 0;
    throw ErrorFromErrno(err, err == ENOENT && source_exists ? to : from);
  }

  void RenameNoReplace(std::string_view from, std::string_view to) override {
    const std::string a = Str(from), b = Str(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return;
    if (errno != EINVAL && errno != ENOSYS) ThrowErrno(errno == EEXIST ? to : from);
#endif
    // Where the file system cannot rename without replacing, a hard link
    // claims the new name just as exclusively.
    if (::link(a.c_str(), b.c_str()) != 0) ThrowErrno(errno == EEXIST ? to : from);
    if (::unlink(a.c_str()) != 0) ThrowErrno(from);
  }

  void SyncFolder(std::string_view folder) override {
    const int fd = ::open(Str(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) ThrowErrno(folder, /*path_is_folder=*/true);
    const int r = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    // Some file systems cannot sync a folder and say so; their entries are
    // as durable as they get.
    if (r != 0 && err != EINVAL && err != ENOTSUP) throw ErrorFromErrno(err, folder);
  }

  void SyncFiles(const std::vector<File*>& files) override;

  std::unique_ptr<File> Open(std::string_view path, OpenMode mode) override;

  void SetModifiedTime(std::string_view path, int64_t modified_ns) override {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = FromNs(modified_ns);
    if (::utimensat(AT_FDCWD, Str(path).c_str(), times, 0) != 0) ThrowErrno(path);
  }

  void SetAttributes(std::string_view path, uint32_t attributes) override {
    if (::chmod(Str(path).c_str(), static_cast<mode_t>(attributes & 07777)) != 0) ThrowErrno(path);
  }

  std::unique_ptr<Folder> OpenFolder(std::string_view path, std::vector<std::string>* created) override {
    return OpenFolderSafely(GetAbsolutePathName(path), created);
  }

  void SetOwner(std::string_view path, uint32_t owner, uint32_t group) override {
    if (::lchown(Str(path).c_str(), static_cast<uid_t>(owner), static_cast<gid_t>(group)) != 0) ThrowErrno(path);
  }

  std::string ResolveLinks(std::string_view path) override { return ResolveLinksSafely(GetAbsolutePathName(path)); }

  std::vector<AclEntry> AccessAcl(std::string_view path) override;

};

std::vector<FolderEntry> PosixFileSystem::ListFiles(std::string_view folder) {
  const std::string f = Str(folder);
  DIR* dir = ::opendir(f.c_str());
  if (dir == nullptr) ThrowErrno(folder, /*path_is_folder=*/true);
  std::vector<FolderEntry> out;
  errno = 0;
  while (const struct dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = paths().BuildPath(f, name);
    const bool folder_entry = entry->d_type == DT_DIR ||
                              ((entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) && IsFolder(path));
    if (!folder_entry) out.push_back(FolderEntry{name, std::move(path)});
    errno = 0;
  }
  const int err = errno;
  ::closedir(dir);
  if (err != 0) throw ErrorFromErrno(err, folder, /*path_is_folder=*/true);
  return out;
}

void PosixFileSystem::CopyFileTo(std::string_view from, std::string_view to, bool overwrite) {
  const int source_fd = ::open(Str(from).c_str(), O_RDONLY | O_CLOEXEC);
  if (source_fd < 0) ThrowErrno(from);
  PosixFile source(source_fd, Str(from));
  struct stat st;
  if (::fstat(source_fd, &st) != 0) ThrowErrno(from);
  if (S_ISDIR(st.st_mode)) throw Error::Standard(errnum::kFileNotFound, Str(from), EISDIR);
  const std::string target_path = Str(to);
  struct stat existing;
  if (::stat(target_path.c_str(), &existing) == 0) {
    if (!overwrite) throw Error::Standard(errnum::kFileAlreadyExists, target_path, EEXIST);
    if (existing.st_dev == st.st_dev && existing.st_ino == st.st_ino) {
      // Copying a file onto itself would truncate it first.
      throw Error::Standard(errnum::kPermissionDenied, target_path, EBUSY);
    }
    if (S_ISDIR(existing.st_mode)) throw Error::Standard(errnum::kPermissionDenied, target_path, EISDIR);
    CheckWritable(AT_FDCWD, target_path, target_path, 0);
  }
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
  const int fd = ::open(target_path.c_str(), flags, 0666);
  if (fd < 0) ThrowErrno(to);
  PosixFile target(fd, target_path);
  char buffer[1 << 16];
  uint64_t offset = 0;
  for (;;) {
    const size_t n = source.ReadAt(offset, buffer, sizeof buffer);
    if (n == 0) break;
    target.WriteAt(offset, buffer, n);
    offset += n;
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(fd, times) != 0 || ::fchmod(fd, st.st_mode & 07777) != 0) ThrowErrno(to);
  target.Close();
}

void PosixFileSystem::SyncFiles(const std::vector<File*>& files) {
#ifdef SYNC_FILE_RANGE_WRITE
  // Starts writing every file's pages at once, so that the disk takes them
  // together; each fsync then mostly waits for writes already under way.
  for (File* file : files) {
    if (const auto* posix = dynamic_cast<const PosixFile*>(file)) {
      ::sync_file_range(posix->Fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
  }
#endif
  for (File* file : files) file->Sync();
}

std::unique_ptr<File> PosixFileSystem::Open(std::string_view path, OpenMode mode) {
  return OpenAt(AT_FDCWD, Str(path), Str(path), mode, /*entry=*/false);
}

std::vector<AclEntry> PosixFileSystem::AccessAcl(std::string_view path) {
  const std::string p = Str(path);
  constexpr const char* kName = "system.posix_acl_access";
  for (;;) {
    const ssize_t size = ::lgetxattr(p.c_str(), kName, nullptr, 0);
    if (size < 0 && (errno == ENODATA || errno == ENOTSUP)) return {};
    if (size < 0) ThrowErrno(path);
    std::string value(static_cast<size_t>(size), '\0');
    const ssize_t got = ::lgetxattr(p.c_str(), kName, value.data(), value.size());
    if (got < 0 && errno == ERANGE) continue;  // it grew meanwhile
    if (got < 0) ThrowErrno(path);
    value.resize(static_cast<size_t>(got));
    return ParsePosixAcl(value);
  }
}

}  // namespace

const PathRules& NativePathRules() { return PosixPathRules(); }

std::shared_ptr<FileSystem> DefaultFileSystem() {
  static const std::shared_ptr<FileSystem> instance = std::make_shared<PosixFileSystem>();
  return instance;
}

}  // namespace bk
