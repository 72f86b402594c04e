// Folders reached without following a link another user could have placed:
// the path is walked from "/" one component at a time, each folder opened
// relative to the one before without following a link; a link on the way is
// followed only when it and the folder holding it are root's or this
// process's user's, and that folder is not writable by group or others.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <utility>

#include "component/error.h"
#include "component/fs/fs_internal.h"
#include "component/fs/posix_internal.h"

namespace bk::posix_internal {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit on links in a path
constexpr size_t kHeld = 64;   // folders of a walk held open at most
// O_PATH: a folder is walked through with search permission alone, as a
// path is; reading its entries needs no more.
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool TrustedOwner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// Whether the link `link` (lstat) in the open folder `folder` may be followed.
bool MayFollow(int folder, const struct stat& link) {
  struct stat holder;
  if (::fstat(folder, &holder) != 0) return false;
  return TrustedOwner(link.st_uid) && TrustedOwner(holder.st_uid) && (holder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void AppendComponents(std::string_view path, std::deque<std::string>* out, bool front) {
  std::deque<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    if (i > start) parts.emplace_back(path.substr(start, i - start));
    start = i + 1;
  }
  if (front) {
    out->insert(out->begin(), parts.begin(), parts.end());
  } else {
    out->insert(out->end(), parts.begin(), parts.end());
  }
}

// The folders walked so far, from "/" down, each held open.
class Walk {
 public:
  explicit Walk(std::vector<std::string>* created) : created_(created) {
    root_ = Descriptor(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root_.get() < 0) ThrowErrno("/", /*path_is_folder=*/true);
  }

  // Walks on along `path` (absolute, or relative to where the walk is).
  void Along(std::string_view path) {
    std::deque<std::string> pending;
    if (!path.empty() && path[0] == '/') stack_.clear();
    AppendComponents(path, &pending, false);
    int retries = 0;
    while (!pending.empty()) {
      std::string name = std::move(pending.front());
      pending.pop_front();
      if (name == ".") continue;
      if (name == "..") {
        if (!stack_.empty()) stack_.pop_back();
        Reopen();
        continue;
      }
      const int fd = ::openat(Here(), name.c_str(), kFolderFlags);
      if (fd >= 0) {
        stack_.emplace_back(name, Descriptor(fd));
        if (stack_.size() > kHeld) stack_[stack_.size() - 1 - kHeld].second = Descriptor();
        continue;
      }
      const int err = errno;
      const std::string where = Text(name);
      if (err == ENOENT && created_ != nullptr && ++retries < kMaxLinks) {
        if (::mkdirat(Here(), name.c_str(), 0777) == 0) {
          created_->push_back(where);
        } else if (errno != EEXIST) {
          ThrowErrno(where, /*path_is_folder=*/true);
        }
        pending.push_front(std::move(name));  // opened on the next turn, judged like any entry
        continue;
      }
      if (err != ELOOP && err != ENOTDIR) throw ErrorFromErrno(err, where, /*path_is_folder=*/true);
      const std::string target = FollowLink(name, where);
      if (!target.empty() && target[0] == '/') stack_.clear();
      AppendComponents(target, &pending, true);
    }
  }

  // The link `name` in the current folder, judged; its target. A folder
  // entry that is no link and no folder fails with 76.
  std::string FollowLink(const std::string& name, const std::string& where) {
    struct stat st;
    if (::fstatat(Here(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) ThrowErrno(where, /*path_is_folder=*/true);
    if (!S_ISLNK(st.st_mode)) throw ErrorFromErrno(ENOTDIR, where, /*path_is_folder=*/true);
    if (++links_ > kMaxLinks) throw ErrorFromErrno(ELOOP, where, /*path_is_folder=*/true);
    if (!MayFollow(Here(), st)) throw RefusedLink(where);
    return ReadLinkAt(Here(), name, where);
  }

  int Here() const { return stack_.empty() ? root_.get() : stack_.back().second.get(); }

  // Only the last kHeld folders of the walk stay open, so that a path of any
  // depth is walked within the process's limit on open files. The folder a
  // ".." comes back to, when it was let go, is opened again by name from the
  // nearest one held above it, as the walk first went, never through a link.
  void Reopen() {
    size_t from = stack_.size();
    while (from > 0 && stack_[from - 1].second.get() < 0) --from;
    for (size_t i = from; i < stack_.size(); ++i) {
      Descriptor fd(::openat(i == 0 ? root_.get() : stack_[i - 1].second.get(), stack_[i].first.c_str(), kFolderFlags));
      if (fd.get() < 0) ThrowErrno(Text(), /*path_is_folder=*/true);
      stack_[i].second = std::move(fd);
      if (i > 0 && i - 1 + kHeld < stack_.size()) stack_[i - 1].second = Descriptor();
    }
  }

  // The path walked so far, links resolved, with `name` appended.
  std::string Text(std::string_view name = {}) const {
    std::string out;
    for (const auto& [part, fd] : stack_) out += "/" + part;
    if (!name.empty()) out += "/" + std::string(name);
    return out.empty() ? "/" : out;
  }

  // The folder reached, open for the caller.
  Descriptor Take() {
    if (stack_.empty()) return Descriptor(::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    return std::move(stack_.back().second);
  }

 private:
  std::vector<std::string>* created_;
  Descriptor root_;
  std::vector<std::pair<std::string, Descriptor>> stack_;
  int links_ = 0;
};

class PosixFolder final : public Folder {
 public:
  PosixFolder(Descriptor fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  const std::string& path() const override { return path_; }

  FileStat StatEntry(std::string_view name) override {
    const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    return StatAt(fd_.get(), NameOrSelf(name).c_str(), flags, Entry(name));
  }

  std::vector<FolderItem> ListEntries() override { return entries::List(fd_.get(), path_); }
  std::vector<std::string> ListNames() override { return entries::ListNames(fd_.get(), path_); }

  std::unique_ptr<Folder> OpenDescendant(std::string_view relative) override {
    struct open_how how = {};
    how.flags = kFolderFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS;
    const std::string rel(relative);
    const std::string entry = PosixPathRules().BuildPath(path_, rel);
    Descriptor fd(static_cast<int>(::syscall(SYS_openat2, fd_.get(), rel.c_str(), &how, sizeof how)));
    if (fd.get() >= 0) return std::make_unique<PosixFolder>(std::move(fd), entry);
    // A kernel without openat2 (before 5.6), or one that refuses it here.
    if (errno == ENOSYS || errno == EPERM || errno == EAGAIN) return Folder::OpenDescendant(relative);
    if (errno == ELOOP || errno == ENOTDIR) throw fs_internal::NotAFolder(entry, errno);
    if (errno == EXDEV) throw Error::Standard(errnum::kPermissionDenied, entry, EXDEV);
    ThrowErrno(entry);
  }

  std::unique_ptr<Folder> OpenSubfolder(std::string_view name) override {
    const std::string entry = Entry(name);
    Descriptor fd(::openat(fd_.get(), Name(name).c_str(), kFolderFlags));
    if (fd.get() < 0 && (errno == ELOOP || errno == ENOTDIR)) throw fs_internal::NotAFolder(entry, errno);
    if (fd.get() < 0) ThrowErrno(entry);
    return std::make_unique<PosixFolder>(std::move(fd), entry);
  }

  void MakeFolder(std::string_view name) override {
    if (::mkdirat(fd_.get(), Name(name).c_str(), 0700) != 0) ThrowErrno(Entry(name));
  }

  void MakeLink(std::string_view name, std::string_view target, bool) override {
    entries::MakeLink(fd_.get(), Name(name), target, Entry(name));
  }

  std::string ReadLink(std::string_view name) override { return ReadLinkAt(fd_.get(), Name(name), Entry(name)); }

  void RemoveSubfolder(std::string_view name) override {
    entries::RemoveSubfolder(fd_.get(), Name(name), Entry(name));
  }

  void SetEntryOwner(std::string_view name, uint32_t owner, uint32_t group) override {
    entries::SetOwner(fd_.get(), NameOrSelf(name), owner, group, Entry(name));
  }

  void SetEntryMode(std::string_view name, uint32_t mode) override {
    entries::SetMode(fd_.get(), NameOrSelf(name), mode, Entry(name));
  }

  void SetEntryModifiedTime(std::string_view name, int64_t modified_ns) override {
    entries::SetModifiedTime(fd_.get(), NameOrSelf(name), modified_ns, Entry(name));
  }

  std::vector<ExtendedAttribute> EntryAttributes(std::string_view name) override {
    return entries::Attributes(fd_.get(), NameOrSelf(name), Entry(name));
  }

  void SetEntryAttribute(std::string_view name, std::string_view attribute, std::string_view value) override {
    entries::SetAttribute(fd_.get(), NameOrSelf(name), attribute, value, Entry(name));
  }

  void RemoveEntryAttribute(std::string_view name, std::string_view attribute) override {
    entries::RemoveAttribute(fd_.get(), NameOrSelf(name), attribute, Entry(name));
  }

  std::unique_ptr<File> OpenEntry(std::string_view name, OpenMode mode) override {
    return OpenAt(fd_.get(), Name(name), Entry(name), mode, /*entry=*/true);
  }

  std::unique_ptr<File> OpenForRewrite(std::string_view name) override {
    return OpenForRewriteAt(fd_.get(), Name(name), Entry(name));
  }

  void RenameEntry(std::string_view from, std::string_view to) override {
    if (::renameat(fd_.get(), Name(from).c_str(), fd_.get(), Name(to).c_str()) == 0) return;
    const int err = errno;
    struct stat st;
    const bool source_exists = ::fstatat(fd_.get(), Name(from).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    throw ErrorFromErrno(err, Entry(err == ENOENT && source_exists ? to : from));
  }

  void RemoveEntry(std::string_view name) override {
    if (StatEntry(name).is_folder) throw Error::Standard(errnum::kFileNotFound, Entry(name), EISDIR);
    if (::unlinkat(fd_.get(), Name(name).c_str(), 0) != 0) ThrowErrno(Entry(name));
  }

  // Linux removes names, never handles: the entry is compared in this
  // folder's handle right before its name goes.
  void RemoveEntryIfSame(std::string_view name, const FileStat& expected) override {
    const FileStat now = StatEntry(name);
    if (now.is_folder || !SameEntry(now, expected)) throw EntryChanged(Entry(name));
    if (::unlinkat(fd_.get(), Name(name).c_str(), 0) != 0) ThrowErrno(Entry(name));
  }

  void RemoveSubfolderIfSame(std::string_view name, const FileStat& expected) override {
    const Descriptor sub(::openat(fd_.get(), Name(name).c_str(), kFolderFlags));
    if (sub.get() < 0 && (errno == ELOOP || errno == ENOTDIR)) throw EntryChanged(Entry(name));
    if (sub.get() < 0) ThrowErrno(Entry(name));
    if (!SameEntry(StatAt(sub.get(), "", AT_EMPTY_PATH, Entry(name)), expected)) throw EntryChanged(Entry(name));
    entries::RemoveSubfolder(fd_.get(), Name(name), Entry(name));
  }

  void SetLinkOwnerIfSame(std::string_view name, const FileStat& expected, uint32_t owner, uint32_t group) override {
    const Descriptor link(::openat(fd_.get(), Name(name).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (link.get() < 0) ThrowErrno(Entry(name));
    const FileStat now = StatAt(link.get(), "", AT_EMPTY_PATH, Entry(name));
    if (!now.is_symlink || !SameEntry(now, expected)) throw EntryChanged(Entry(name));
    entries::SetOwner(link.get(), "", owner, group, Entry(name));
  }

  void Sync() override {
    const Descriptor readable(::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (readable.get() < 0) ThrowErrno(path_, /*path_is_folder=*/true);
    // Some file systems cannot sync a folder and say so; their entries are
    // as durable as they get.
    if (::fsync(readable.get()) != 0 && errno != EINVAL && errno != ENOTSUP) {
      ThrowErrno(path_, /*path_is_folder=*/true);
    }
  }

 private:
  // A single component: a name with a separator, "." or ".." would leave
  // the folder (and one with a NUL would name another entry).
  std::string Name(std::string_view name) const {
    constexpr std::string_view kSeparatorOrNul("/\0", 2);
    if (name.empty() || name == "." || name == ".." || name.find_first_of(kSeparatorOrNul) != std::string_view::npos) {
      throw Error::Standard(errnum::kBadFileNameOrNumber, Entry(name));
    }
    return std::string(name);
  }
  // As Name, but an empty name stands for the folder itself.
  std::string NameOrSelf(std::string_view name) const { return name.empty() ? std::string() : Name(name); }
  std::string Entry(std::string_view name) const {
    return name.empty() ? path_ : PosixPathRules().BuildPath(path_, name);
  }

  Descriptor fd_;
  std::string path_;
};

}  // namespace

std::string ReadLinkAt(int folder, const std::string& name, const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(folder, name.c_str(), target.data(), target.size());
    if (n < 0 && errno == EINVAL) throw Error::Standard(errnum::kPathFileAccessError, path, EINVAL);
    if (n < 0) ThrowErrno(path);
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

std::unique_ptr<Folder> OpenFolderSafely(const std::string& path, std::vector<std::string>* created) {
  Walk walk(created);
  walk.Along(path);
  return std::make_unique<PosixFolder>(walk.Take(), path);
}

std::string ResolveLinksSafely(const std::string& path) {
  const PathRules& rules = PosixPathRules();
  std::string current = path;
  for (int links = 0;; ++links) {
    const std::string name = rules.GetFileName(current);
    Walk walk(nullptr);
    if (name.empty() || name == "." || name == "..") {
      walk.Along(current);
      return walk.Text();
    }
    walk.Along(rules.GetParentFolderName(current));
    struct stat st;
    if (::fstatat(walk.Here(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) ThrowErrno(walk.Text(name));
    if (!S_ISLNK(st.st_mode)) return walk.Text(name);
    if (links == kMaxLinks) throw ErrorFromErrno(ELOOP, current);
    const std::string target = walk.FollowLink(name, walk.Text(name));
    current = !target.empty() && target[0] == '/' ? target : rules.BuildPath(walk.Text(), target);
  }
}

}  // namespace bk::posix_internal
