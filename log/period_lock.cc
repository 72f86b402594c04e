#include "log/period_lock.h"

#include <thread>

namespace bk {
namespace {

// The bytes locked apart from the whole file (period_lock.h).
constexpr uint64_t kLiveByte = 0;
constexpr uint64_t kChildrenByte = 1;
constexpr uint64_t kOwnerByte = 2;
// How often a wait for the children asks again.
constexpr std::chrono::milliseconds kAlonePoll{50};

// How often a lock file that vanished or was replaced under a taker is
// looked up again before the taker gives up on it.
constexpr int kTakeAttempts = 8;

// The lock file as it is now, or nullptr when there is none.
std::unique_ptr<File> OpenExisting(FileSystem& fs, const std::string& path) {
  try {
    return fs.Open(path, OpenMode::kReadWriteRegular);
  } catch (const Error& e) {
    if (e.IsNotFound()) return nullptr;
    throw;
  }
}

// True while `path` still names the file that `opened` describes (where the
// platform names files by number; elsewhere, while the name exists).
bool StillThere(FileSystem& fs, const std::string& path, const FileStat& opened) {
  try {
    const FileStat now = fs.Stat(path);
    if (opened.file_id == 0 || now.file_id == 0) return true;
    return now.device == opened.device && now.file_id == opened.file_id;
  } catch (const Error& e) {
    if (e.IsNotFound()) return false;
    throw;
  }
}

}  // namespace

Error PeriodInProgress(const std::string& log_path) {
  return Error(errnum::kPermissionDenied, kLibrarySource, "Permission denied: the period is still in progress",
               log_path);
}

std::unique_ptr<PeriodLock> PeriodLock::Claim(std::shared_ptr<FileSystem> fs, const std::string& path) {
  std::unique_ptr<File> file = fs->Open(path, OpenMode::kCreatePrivate);
  // A clean-up that found the new file first holds it and will remove it.
  if (!file->TryLock(LockKind::kShared) || !file->TryLockByte(LockKind::kExclusive, kOwnerByte)) {
    throw Error::Standard(errnum::kFileAlreadyExists, path);
  }
  return std::unique_ptr<PeriodLock>(new PeriodLock(std::move(fs), path, std::move(file)));
}

std::unique_ptr<PeriodLock> PeriodLock::Take(std::shared_ptr<FileSystem> fs, const std::string& path,
                                             const DistrustCheck& distrust, bool* live) {
  *live = false;
  const auto holding_nothing = [&] { return std::unique_ptr<PeriodLock>(new PeriodLock(fs, path, nullptr)); };
  for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
    std::unique_ptr<File> file;
    try {
      file = OpenExisting(*fs, path);
      if (!file) file = fs->Open(path, OpenMode::kCreatePrivate);
    } catch (const Error& e) {
      if (e.number() == errnum::kFileAlreadyExists) continue;  // made by another just now
      // A link, a pipe or a file we may not open is nobody's lock; a folder
      // where no lock file can be made has no live period of this version.
      return holding_nothing();
    }
    const FileStat st = file->Stat();
    if (distrust && distrust(st, path)) return holding_nothing();
    if (!file->TryLock(LockKind::kExclusive)) {
      *live = true;
      return nullptr;
    }
    // The owner removes its lock file as it ends: a file taken after that
    // is no longer the period's, so the name is looked up again.
    if (StillThere(*fs, path, st)) return std::unique_ptr<PeriodLock>(new PeriodLock(fs, path, std::move(file)));
  }
  return holding_nothing();
}

bool PeriodLock::IsLive(std::shared_ptr<FileSystem> fs, const std::string& path, const DistrustCheck& distrust) {
  return Look(std::move(fs), path, distrust).live;
}

PeriodLock::Probe PeriodLock::Look(std::shared_ptr<FileSystem> fs, const std::string& path,
                                   const DistrustCheck& distrust) {
  Probe probe;
  std::unique_ptr<File> file;
  try {
    file = OpenExisting(*fs, path);
  } catch (const Error&) {
    return probe;
  }
  if (!file) return probe;
  probe.identity = file->Stat();
  if (distrust && distrust(probe.identity, path)) return probe;
  probe.live = !file->TryLock(LockKind::kExclusive);
  probe.owner_running = probe.live && !file->TryLockByte(LockKind::kExclusive, kOwnerByte);
  return probe;
}

PeriodLock::~PeriodLock() = default;

std::unique_ptr<File> PeriodLock::ShareWithChild() {
  std::unique_ptr<File> shared = fs_->Open(path_, OpenMode::kReadWriteRegular);
  if (!shared->TryLockByte(LockKind::kShared, kLiveByte) || !shared->TryLockByte(LockKind::kShared, kChildrenByte)) {
    throw Error::Standard(errnum::kPermissionDenied, path_);
  }
  return shared;
}

bool PeriodLock::TryAlone() { return !file_ || file_->TryLockByte(LockKind::kExclusive, kChildrenByte); }

bool PeriodLock::WaitUntilAlone(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!TryAlone()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kAlonePoll);
  }
  return true;
}

std::optional<FileStat> PeriodLock::Identity() {
  if (!file_) return std::nullopt;
  return file_->Stat();
}

void PeriodLock::RemoveAndRelease() {
  if (file_) {
    try {
      if (StillThere(*fs_, path_, file_->Stat())) fs_->RemoveFile(path_, true);
    } catch (const Error&) {
      // A lock file left behind is a leftover; the period is done all the same.
    }
  }
  Release();
}

void PeriodLock::Release() { file_.reset(); }

}  // namespace bk
