#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/fs/fs_internal.h"
#include "component/fs/posix_internal.h"

namespace bk::posix_internal {

std::string Str(std::string_view s) { return std::string(s); }

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The one translation of errno into the component's error numbers. A missing
// entry is "file not found" when its folder exists and "path not found" when
// the folder itself is missing (or when the missing entry is a folder).
Error ErrorFromErrno(int err, std::string_view path, bool path_is_folder) {
  int32_t number = errnum::kPathFileAccessError;
  switch (err) {
    case ENOENT: {
      const std::string parent = PosixPathRules().GetParentFolderName(path);
      const bool parent_exists = IsFolder(parent.empty() ? std::string(".") : parent);
      number = parent_exists && !path_is_folder ? errnum::kFileNotFound : errnum::kPathNotFound;
      break;
    }
    case ENOTDIR: number = errnum::kPathNotFound; break;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:  // a folder opened as a file, as on Windows
    case ETXTBSY: number = errnum::kPermissionDenied; break;
    case EEXIST: number = errnum::kFileAlreadyExists; break;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: number = errnum::kDiskFull; break;
    default: break;
  }
  return Error::Standard(number, Str(path), err);
}

void ThrowErrno(std::string_view path, bool path_is_folder) {
  throw ErrorFromErrno(errno, path, path_is_folder);
}

// A file without any write permission bit plays the part of a file with the
// read-only attribute: it refuses deletion without force and overwriting,
// whatever the privileges of the process.
bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

int64_t ToNs(const struct timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

FileStat FromStat(const struct stat& st) {
  FileStat out;
  out.size = static_cast<uint64_t>(st.st_size);
  out.modified_ns = ToNs(st.st_mtim);
  out.attributes = st.st_mode;
  out.is_folder = S_ISDIR(st.st_mode);
  out.is_symlink = S_ISLNK(st.st_mode);
  out.read_only = !out.is_folder && !out.is_symlink && IsReadOnlyMode(st.st_mode);
  out.owner = st.st_uid;
  out.group = st.st_gid;
  out.device = static_cast<uint64_t>(st.st_dev);
  out.file_id = static_cast<uint64_t>(st.st_ino);
  return out;
}

struct timespec FromNs(int64_t ns) {
  struct timespec t;
  t.tv_sec = static_cast<time_t>(ns / 1000000000);
  t.tv_nsec = static_cast<long>(ns % 1000000000);
  if (t.tv_nsec < 0) {
    t.tv_nsec += 1000000000;
    --t.tv_sec;
  }
  return t;
}

// True when another open file description holds a write lock on the file.
bool HasForeignWriteLock(int fd) {
  struct flock lock = {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
#ifdef F_OFD_GETLK
  if (::fcntl(fd, F_OFD_GETLK, &lock) == 0) return lock.l_type != F_UNLCK;
  lock = {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
#endif
  return ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Writers announce themselves with a write lock on the whole file so that
// readers opening with kReadDenyWriters see them. The lock is advisory and
// taken only when free; a second writer proceeds without it.
void AnnounceWriter(int fd) {
#ifdef F_OFD_SETLK
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ::fcntl(fd, F_OFD_SETLK, &lock);
#else
  (void)fd;
#endif
}

// What the regular-only modes refuse, judged on the open descriptor.
void CheckRegularOnly(const struct stat& st, const std::string& path, bool writable) {
  if (!S_ISREG(st.st_mode)) throw NotARegularFile(path, S_ISDIR(st.st_mode) ? EISDIR : 0);
  if (writable && IsReadOnlyMode(st.st_mode)) throw Error::Standard(errnum::kPermissionDenied, path, EACCES);
}

class PosixFile final : public File {
 public:
  PosixFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const ssize_t r = ::pread(Fd(), static_cast<char*>(buffer) + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) ThrowErrno(path_);
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    return done;
  }

  void WriteAt(uint64_t offset, const void* data, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const ssize_t r = ::pwrite(Fd(), static_cast<const char*>(data) + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) ThrowErrno(path_);
      done += static_cast<size_t>(r);
    }
  }

  uint64_t Size() override { return Stat().size; }

  void Truncate(uint64_t size) override {
    if (::ftruncate(Fd(), static_cast<off_t>(size)) != 0) ThrowErrno(path_);
  }

  void Sync() override {
    if (::fsync(Fd()) != 0) ThrowErrno(path_);
  }

  FileStat Stat() override {
    struct stat st;
    if (::fstat(Fd(), &st) != 0) ThrowErrno(path_);
    return FromStat(st);
  }

  void Close() override {
    const int fd = Fd();
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) ThrowErrno(path_);
  }

  const std::string& path() const override { return path_; }

  bool TryLock(LockKind kind) override { return LockWhole(kind, F_OFD_SETLK); }
  void Lock(LockKind kind) override { LockWhole(kind, F_OFD_SETLKW); }
  intptr_t NativeHandle() const override { return fd_; }
  void SetOwner(uint32_t owner, uint32_t group) override {
    if (::fchown(Fd(), static_cast<uid_t>(owner), static_cast<gid_t>(group)) != 0) ThrowErrno(path_);
  }

  void SetAttributes(uint32_t attributes) override {
    if (::fchmod(Fd(), static_cast<mode_t>(attributes & 07777)) != 0) ThrowErrno(path_);
  }

  void SetModifiedTime(int64_t modified_ns) override {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = FromNs(modified_ns);
    if (::futimens(Fd(), times) != 0) ThrowErrno(path_);
  }

  int Fd() const {
    if (fd_ < 0) throw Error::Standard(errnum::kBadFileNameOrNumber, path_);
    return fd_;
  }

 private:
  // Locks of the open file description (OFD locks): inherited with the
  // descriptor, dropped when its last descriptor closes, and changed from
  // shared to exclusive atomically (the shared lock stays while it waits).
  bool LockWhole(LockKind kind, int command) {
    struct flock lock = {};
    lock.l_type = kind == LockKind::kShared ? F_RDLCK : F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (::fcntl(Fd(), command, &lock) != 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EACCES) return false;
      ThrowErrno(path_);
    }
    return true;
  }

  int fd_;
  std::string path_;
};

// Refuses to open a read-only file for writing, as the read-only attribute
// does on Windows.
void CheckWritable(int dirfd, const std::string& name, const std::string& path, int stat_flags) {
  struct stat st;
  if (::fstatat(dirfd, name.c_str(), &st, stat_flags) == 0 && S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode)) {
    throw Error::Standard(errnum::kPermissionDenied, path, EACCES);
  }
}

// Every open is made without waiting, so that a pipe or device never blocks
// it, and the descriptor is switched back to blocking I/O afterwards.
std::unique_ptr<File> OpenAt(int dirfd, const std::string& name, const std::string& path, OpenMode mode,
                             bool entry) {
  int flags = O_CLOEXEC | O_NONBLOCK | (entry ? O_NOFOLLOW : 0);
  const bool regular_only = entry || mode == OpenMode::kReadRegular || mode == OpenMode::kReadWriteRegular;
  switch (mode) {
    case OpenMode::kRead:
    case OpenMode::kReadDenyWriters: flags |= O_RDONLY; break;
    case OpenMode::kReadWrite: flags |= O_RDWR; break;
    case OpenMode::kCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case OpenMode::kCreateNew:
    case OpenMode::kCreatePrivate: flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case OpenMode::kReadRegular: flags |= O_RDONLY | O_NOFOLLOW; break;
    case OpenMode::kReadWriteRegular: flags |= O_RDWR | O_NOFOLLOW; break;
  }
  const bool writable = (flags & O_RDWR) != 0;
  const bool creating = (flags & O_CREAT) != 0;
  const bool checked_on_open = mode == OpenMode::kReadRegular || mode == OpenMode::kReadWriteRegular;
  if (writable && !(flags & O_EXCL) && !checked_on_open) {
    CheckWritable(dirfd, name, path, entry ? AT_SYMLINK_NOFOLLOW : 0);
  }
  const int fd = ::openat(dirfd, name.c_str(), flags, mode == OpenMode::kCreatePrivate ? 0600 : 0666);
  if (fd < 0) {
    const int err = errno;
    if (regular_only && !(flags & O_EXCL) && (err == ELOOP || err == EISDIR || err == ENXIO)) {
      throw NotARegularFile(path, err);
    }
    ThrowErrno(path);
  }
  auto file = std::make_unique<PosixFile>(fd, path);
  struct stat st;
  if (::fstat(fd, &st) != 0) ThrowErrno(path);
  if (checked_on_open || (entry && !creating)) {
    CheckRegularOnly(st, path, writable && checked_on_open);
  } else if (S_ISDIR(st.st_mode)) {
    throw Error::Standard(errnum::kPermissionDenied, path, EISDIR);
  }
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) ThrowErrno(path);
  if (writable) AnnounceWriter(fd);
  if (mode == OpenMode::kReadDenyWriters && HasForeignWriteLock(fd)) {
    throw Error::Standard(errnum::kPermissionDenied, path, EAGAIN);
  }
  return file;
}

std::unique_ptr<File> OpenForRewriteAt(int dirfd, const std::string& name, const std::string& path) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = ::openat(dirfd, name.c_str(), O_RDWR | kFlags);
  if (fd < 0 && errno == EACCES) {
    // A read-only file is made writable through a descriptor of its own, so
    // that the change lands on the file that is then opened for writing.
    const int reader = ::openat(dirfd, name.c_str(), O_RDONLY | kFlags);
    if (reader < 0) ThrowErrno(path);
    PosixFile read_only(reader, path);
    struct stat st;
    if (::fstat(reader, &st) != 0) ThrowErrno(path);
    if (!S_ISREG(st.st_mode) || !IsReadOnlyMode(st.st_mode)) throw Error::Standard(errnum::kPermissionDenied, path, EACCES);
    read_only.SetAttributes((st.st_mode & 07777) | S_IWUSR);
    fd = ::openat(dirfd, name.c_str(), O_RDWR | kFlags);
  }
  if (fd < 0) {
    // O_NOFOLLOW reports a link at the last component as ELOOP.
    if (errno == ELOOP) throw Error::Standard(errnum::kPermissionDenied, path, ELOOP);
    ThrowErrno(path);
  }
  auto file = std::make_unique<PosixFile>(fd, path);
  struct stat st;
  if (::fstat(fd, &st) != 0) ThrowErrno(path);
  if (!S_ISREG(st.st_mode)) throw Error::Standard(errnum::kPermissionDenied, path, S_ISDIR(st.st_mode) ? EISDIR : ENODEV);
  // Back to blocking I/O, which regular files ignore anyway.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  AnnounceWriter(fd);
  return file;
}

}  // namespace bk::posix_internal

namespace bk {
namespace {

using namespace posix_internal;

class PosixFileSystem final : public FileSystem {
 public:
  const PathRules& paths() const override { return PosixPathRules(); }

  std::string GetAbsolutePathName(std::string_view path) override {
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
    struct stat st;
    if (::lstat(Str(path).c_str(), &st) != 0) ThrowErrno(path);
    return FromStat(st);
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
