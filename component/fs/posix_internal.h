// Pieces shared by the POSIX file system and its safe folder walk; not part
// of the component's interface.
#pragma once

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"

namespace bk::posix_internal {

// The one translation of errno into the component's error numbers. A missing
// entry is "file not found" when its folder exists and "path not found" when
// the folder itself is missing (or when the missing entry is a folder).
Error ErrorFromErrno(int err, std::string_view path, bool path_is_folder = false);
[[noreturn]] void ThrowErrno(std::string_view path, bool path_is_folder = false);
bool IsFolder(const std::string& path);
// A file without any write permission bit plays the part of a file with the
// read-only attribute.
bool IsReadOnlyMode(mode_t mode);
// The metadata of `name` in `dirfd` by one statx (flags as fstatat's, birth
// time where the file system keeps one). StatAt throws; TryStatAt returns
// false with errno set.
bool TryStatAt(int dirfd, const char* name, int flags, FileStat* out);
FileStat StatAt(int dirfd, const char* name, int flags, std::string_view path);
struct timespec FromNs(int64_t ns);
// Refuses (70) to open a read-only regular file `name` in `dirfd` for writing.
void CheckWritable(int dirfd, const std::string& name, const std::string& path, int stat_flags);

// An open file on a descriptor, closed with it.
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

  void ZeroRange(uint64_t offset, uint64_t n) override {
    if (::fallocate(Fd(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(n)) == 0) {
      return;
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS) ThrowErrno(path_);
    File::ZeroRange(offset, n);  // a file system without holes
  }

  void Sync() override {
    if (::fsync(Fd()) != 0) ThrowErrno(path_);
  }

  FileStat Stat() override { return StatAt(Fd(), "", AT_EMPTY_PATH, path_); }

  void Close() override {
    const int fd = Fd();
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) ThrowErrno(path_);
  }

  const std::string& path() const override { return path_; }

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

  void CloneRangeFrom(File& source, uint64_t source_offset, uint64_t offset, uint64_t length) override;
  std::vector<ExtendedAttribute> ExtendedAttributes() override;
  void SetExtendedAttribute(std::string_view name, std::string_view value) override;
  void RemoveExtendedAttribute(std::string_view name) override;

  bool TryLock(LockKind kind) override { return LockBytes(kind, F_OFD_SETLK, 0, 0); }
  void Lock(LockKind kind) override { LockBytes(kind, F_OFD_SETLKW, 0, 0); }
  bool TryLockByte(LockKind kind, uint64_t offset) override { return LockBytes(kind, F_OFD_SETLK, offset, 1); }
  intptr_t NativeHandle() const override { return fd_; }

  int Fd() const {
    if (fd_ < 0) throw Error::Standard(errnum::kBadFileNameOrNumber, path_);
    return fd_;
  }

 private:
  // Locks of the open file description (OFD locks): inherited with the
  // descriptor, dropped when its last descriptor closes, and changed from
  // shared to exclusive atomically (the shared lock stays while it waits).
  // A length of 0 reaches to the end of the file, however far it grows.
  bool LockBytes(LockKind kind, int command, uint64_t offset, uint64_t length) {
    struct flock lock = {};
    lock.l_type = kind == LockKind::kShared ? F_RDLCK : F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = static_cast<off_t>(length);
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

// Opens `name` relative to the folder `dirfd` (or AT_FDCWD) as
// FileSystem::Open opens a path; `path` names it in errors and as the file's
// path. With `entry`, never through a link at `name` (Folder::OpenEntry).
std::unique_ptr<File> OpenAt(int dirfd, const std::string& name, const std::string& path, OpenMode mode, bool entry);
// Folder::OpenForRewrite on `name` in the folder `dirfd`.
std::unique_ptr<File> OpenForRewriteAt(int dirfd, const std::string& name, const std::string& path);

// An open descriptor, closed with it.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// The target the link `name` in `folder` holds; 75 when it is no link.
std::string ReadLinkAt(int folder, const std::string& name, const std::string& path);

// Operations on the entry `name` of the open (O_PATH) folder `folder`, or on
// the folder itself for an empty name where Folder allows one; `path` names
// the entry in errors. As the Folder operations of the same names.
namespace entries {
std::vector<FolderItem> List(int folder, const std::string& path);
std::vector<std::string> ListNames(int folder, const std::string& path);
void MakeLink(int folder, const std::string& name, std::string_view target, const std::string& path);
void RemoveSubfolder(int folder, const std::string& name, const std::string& path);
void SetOwner(int folder, const std::string& name, uint32_t owner, uint32_t group, const std::string& path);
void SetMode(int folder, const std::string& name, uint32_t mode, const std::string& path);
void SetModifiedTime(int folder, const std::string& name, int64_t modified_ns, const std::string& path);
std::vector<ExtendedAttribute> Attributes(int folder, const std::string& name, const std::string& path);
void SetAttribute(int folder, const std::string& name, std::string_view attribute, std::string_view value,
                  const std::string& path);
void RemoveAttribute(int folder, const std::string& name, std::string_view attribute, const std::string& path);
}  // namespace entries

// FileSystem::OpenFolder and FileSystem::ResolveLinks of an absolute path.
std::unique_ptr<Folder> OpenFolderSafely(const std::string& path, std::vector<std::string>* created);
std::string ResolveLinksSafely(const std::string& path);

}  // namespace bk::posix_internal
