// The live lock of a period: a lock file beside the log ("<stem>.lock"),
// created with the period's other files and locked with the operating
// system's advisory lock (flock on POSIX, LockFileEx on Windows), which the
// kernel drops when the last holder ends, so it never goes stale.
//
// The period's owner holds it shared from the moment it claims the name
// until it is done; a child that inherits a descriptor of it keeps the period
// live too. A rollback or a clean-up takes it exclusive for as long as it
// works on the period, so it never touches a live period and two of them
// never overlap. A lock file that another user could have planted is no sign
// of life (the `distrust` check judges it on the open file).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "component/error.h"
#include "component/fs/file_system.h"

namespace bk {

// Why a file found in the temporary folder is not trusted, judged on the
// open file's owner and mode; nullopt when it is trusted. Empty: all are.
using DistrustCheck = std::function<std::optional<Error>(const FileStat&, const std::string& path)>;

class PeriodLock {
 public:
  // The owner's claim of a period's name: creates the lock file exclusively
  // (following no link, for its owner only) and takes it shared. 58 when any
  // entry holds the name or another holds the new file's lock already.
  static std::unique_ptr<PeriodLock> Claim(std::shared_ptr<FileSystem> fs, const std::string& path);

  // For a rollback or a clean-up: takes the lock exclusively without
  // waiting, creating the lock file when there is none (a period of an
  // earlier version, or one whose lock file went). Returns nullptr and sets
  // *live when another holds it. A lock file that cannot be opened as a
  // regular file, or that `distrust` refuses, is not taken and does not make
  // the period live: the lock returned then holds nothing.
  static std::unique_ptr<PeriodLock> Take(std::shared_ptr<FileSystem> fs, const std::string& path,
                                          const DistrustCheck& distrust, bool* live);
  // True when another holds the period's lock (the owner, a child of it, or
  // a rollback). Takes nothing.
  static bool IsLive(std::shared_ptr<FileSystem> fs, const std::string& path, const DistrustCheck& distrust);

  ~PeriodLock();
  PeriodLock(const PeriodLock&) = delete;
  PeriodLock& operator=(const PeriodLock&) = delete;

  // True when a lock is held (false for a lock file that was not trusted or
  // could not be made).
  bool held() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  // A second open of the lock file, locked shared, for a child process to
  // inherit (FileSystem File::NativeHandle): the period stays live while the
  // child or anything it started keeps it open.
  std::unique_ptr<File> ShareWithChild();
  // True when no one else holds the lock (the children that inherited it
  // have ended); the owner then holds it exclusive.
  bool TryAlone();
  // As TryAlone, waiting until it is so.
  void WaitUntilAlone();
  // Removes the lock file while it is still held, as the period's last
  // file, then lets the lock go. The folder is not flushed: a lock file left
  // by a power cut is a leftover that the next rollback removes.
  void RemoveAndRelease();
  // Lets the lock go; the lock file stays.
  void Release();

 private:
  PeriodLock(std::shared_ptr<FileSystem> fs, std::string path, std::unique_ptr<File> file)
      : fs_(std::move(fs)), path_(std::move(path)), file_(std::move(file)) {}
  std::shared_ptr<FileSystem> fs_;
  std::string path_;
  std::unique_ptr<File> file_;
};

// The error of a rollback of a live period: 70 "Permission denied: the
// period is still in progress".
Error PeriodInProgress(const std::string& log_path);

}  // namespace bk
