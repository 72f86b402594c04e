// Files on POSIX: the translation of errno, opening a file by path or
// relative to an open folder, and sharing blocks between files.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "component/error.h"
#include "component/fs/posix_internal.h"

namespace bk::posix_internal {

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

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
  return Error::Standard(number, std::string(path), err);
}

void ThrowErrno(std::string_view path, bool path_is_folder) {
  throw ErrorFromErrno(errno, path, path_is_folder);
}

// A file without any write permission bit plays the part of a file with the
// read-only attribute: it refuses deletion without force and overwriting,
// whatever the privileges of the process.
bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

int64_t ToNs(const struct statx_timestamp& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

bool TryStatAt(int dirfd, const char* name, int flags, FileStat* out) {
  struct statx st;
  if (::statx(dirfd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return false;
  const mode_t mode = st.stx_mode;
  *out = FileStat{};
  out->size = st.stx_size;
  out->modified_ns = ToNs(st.stx_mtime);
  out->attributes = mode;
  out->is_folder = S_ISDIR(mode);
  out->is_symlink = S_ISLNK(mode);
  out->read_only = !out->is_folder && !out->is_symlink && IsReadOnlyMode(mode);
  out->owner = st.stx_uid;
  out->group = st.stx_gid;
  out->device = static_cast<uint64_t>(makedev(st.stx_dev_major, st.stx_dev_minor));
  out->file_id = st.stx_ino;
  out->birth_ns = (st.stx_mask & STATX_BTIME) != 0 ? ToNs(st.stx_btime) : 0;
  out->changed_ns = ToNs(st.stx_ctime);
  return true;
}

}  // namespace bk::posix_internal

namespace bk {

bool IsBusyFile(const Error& e) { return e.native_code() == ETXTBSY; }

}  // namespace bk

namespace bk::posix_internal {

FileStat StatAt(int dirfd, const char* name, int flags, std::string_view path) {
  FileStat out;
  if (!TryStatAt(dirfd, name, flags, &out)) ThrowErrno(path);
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

void PosixFile::CloneRangeFrom(File& source, uint64_t source_offset, uint64_t offset, uint64_t length) {
  if (length == 0) return;
  struct file_clone_range range = {};
  range.src_fd = static_cast<int64_t>(source.NativeHandle());
  range.src_offset = source_offset;
  range.src_length = length;
  range.dest_offset = offset;
  if (::ioctl(Fd(), FICLONERANGE, &range) != 0) {
    ThrowErrno(path_);
  }
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
