// The live lock of a period: a lock file beside the log ("<stem>.lock"),
// created with the period's other files and locked with the operating
// system's advisory lock (OFD locks on POSIX, LockFileEx on Windows), which
// the kernel drops when the last holder ends, so it never goes stale.
//
// Three parts of the file are locked apart:
// - the whole file, or at least its first byte ("live"): the period's owner
//   holds the whole file shared from the moment it claims the name until it
//   is done, and the share handed to a child holds the first byte shared (so
//   the period stays live while a process COMMAND started keeps it open). A
//   rollback or a clean-up takes the whole file exclusive for as long as it
//   works on the period, so it never touches a live period and two of them
//   never overlap. A lock file that another user could have planted is no
//   sign of life (the `distrust` check judges it on the open file).
// - byte 1 ("children"): held shared by the share handed to a child; the
//   owner takes it exclusive to learn that the children are gone, without
//   ever letting its own lock go.
// - byte 2 ("owner"): held exclusive by the owner alone, so that anyone can
//   tell a period whose owner still runs from one that only the processes it
//   left behind keep live.
// A period of an earlier version holds whole-file locks only: on POSIX it
// conflicts with all three, so its owner counts as running; on Windows its
// lock is the first byte's, so it is live, but its owner is not told apart
// from its children.
#pragma once

#include <chrono>
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
  // What the lock tells of a period: whether it is live, whether its owner
  // still runs, and which file the lock file is (to find who holds it open).
  // A lock file that is missing, cannot be opened as a regular file, or that
  // `distrust` refuses tells nothing (not live).
  struct Probe {
    bool live = false;
    bool owner_running = false;
    FileStat identity;
  };
  static Probe Look(std::shared_ptr<FileSystem> fs, const std::string& path, const DistrustCheck& distrust);

  ~PeriodLock();
  PeriodLock(const PeriodLock&) = delete;
  PeriodLock& operator=(const PeriodLock&) = delete;

  // True when a lock is held (false for a lock file that was not trusted or
  // could not be made).
  bool held() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  // A second open of the lock file, locked shared (the whole file and the
  // children's byte), for a child process to inherit (FileSystem
  // File::NativeHandle): the period stays live while the child or anything
  // it started keeps it open.
  std::unique_ptr<File> ShareWithChild();
  // True when no one else holds the lock (the children that inherited it
  // have ended). The owner's own lock is never let go meanwhile.
  bool TryAlone();
  // As TryAlone, asking again until it is so or `limit` has passed.
  bool WaitUntilAlone(std::chrono::milliseconds limit);
  // Which file the held lock file is; nullopt when none is held.
  std::optional<FileStat> Identity();
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
