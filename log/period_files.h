// The files of periods on disk, beyond their names (period.h): the hidden
// folder of their other files, where a period's lock and record are, the
// removal of a period's files in one order, and the leftovers of periods
// that no log claims.
//
// The one order of removal leaves every moment recoverable: the log goes
// first (and its folder is flushed), so that no unfinished log ever names
// archives that are gone; then the archives; then the saves of the log, the
// backup builds and the copy beside the backup; then the record, which
// serves the log alone; the lock file last, while it is still held; and the
// files folder once it holds nothing.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "component/fs/file_system.h"
#include "log/period.h"
#include "log/period_lock.h"

namespace bk {

// Makes the hidden files folder of the temporary folder when it is missing
// (for its owner only; hidden on Windows) and, unless `trusted`, judges it
// as the temporary folder is judged: 70 "Not trusted: …" for a folder another
// user could have placed or can write.
void MakePeriodFilesFolder(FileSystem& fs, const PeriodNames& names, bool trusted);

// The owner's claim of the period's name (PeriodLock::Claim) in the files
// folder, made when missing and judged as MakePeriodFilesFolder does, again
// as often as the folder goes meanwhile. Once claimed, the folder now there
// is judged again and must hold this very lock: 70 otherwise (another user's
// folder made in the place of the one judged), the lock let go. 58 when the
// name is taken.
std::unique_ptr<PeriodLock> ClaimPeriodLock(const std::shared_ptr<FileSystem>& fs, const PeriodNames& names,
                                            bool trusted);

// The period's record: in its files folder, or beside its log (4.0.0);
// empty when it has none.
std::string RecordOf(FileSystem& fs, const PeriodNames& names);

// Takes the period's lock for a rollback or a clean-up (PeriodLock::Take):
// nullptr and *live when another holds it, in its files folder or, for a
// period of 4.0.0, beside its log. The files folder is judged again after
// the take, as after a claim (for a lock that holds nothing, the folder
// alone): 70 when it is no longer a period's own.
std::unique_ptr<PeriodLock> TakePeriodLock(const std::shared_ptr<FileSystem>& fs, const PeriodNames& names,
                                           const DistrustCheck& distrust, bool* live);
// What the lock tells of the period (PeriodLock::Look), wherever it is.
PeriodLock::Probe LookAtPeriodLock(const std::shared_ptr<FileSystem>& fs, const PeriodNames& names,
                                   const DistrustCheck& distrust);

struct PeriodRemoval {
  bool log = true;                    // the log goes, first
  std::vector<std::string> archives;  // these archives go
  std::string backup_file;            // the copy beside this backup goes
  // The record goes although the log stays (a completed log needs none);
  // it always goes with the log.
  bool record = false;
};

// Removes the period's files in the one order. `lock`, the period's lock
// that the caller holds, goes last; the lock file of 4.0.0 beside the log
// goes with the other files. The caller holds the period's lock, so no file
// of a live period and no claim of another process is ever touched.
void RemovePeriodFiles(FileSystem& fs, const PeriodNames& names, const PeriodRemoval& what, PeriodLock* lock);

// Removes the lock file while it is still held and lets the lock go
// (PeriodLock::RemoveAndRelease), then the files folder if it holds nothing.
void ReleasePeriodLock(FileSystem& fs, const PeriodNames& names, PeriodLock& lock);

// Removes the log when it exists and flushes its folder.
void RemoveLogDurably(FileSystem& fs, const std::string& log_path);

// Removes the records in the folder (and of 4.0.0 beside their logs) whose
// logs are gone, each under its period's lock and only when that period is
// not live (a host that deletes a log itself leaves its record behind).
void RemoveOrphanRecords(const std::shared_ptr<FileSystem>& fs, const std::string& folder);

// The files of periods in `folder` and its files folder that no log in
// `claimed` (stem names of the unfinished logs found there, taken or
// skipped) claims: the archives, saves, builds, records and lock files of
// periods whose log is gone or completed, grouped by the stem's name. A
// pipe, socket or device named as a period's file is never one: it goes to
// `not_files`.
struct FolderLeftovers {
  std::string stem_name;
  std::vector<std::string> paths;
};
std::vector<FolderLeftovers> FindLeftovers(FileSystem& fs, const std::string& folder,
                                           const std::set<std::string>& claimed, std::vector<std::string>* not_files);

// Removes the leftovers of one period under its lock, in the one order; a
// period that became live since is left alone. Returns the paths removed.
std::vector<std::string> RemoveLeftovers(const std::shared_ptr<FileSystem>& fs, const std::string& folder,
                                         const FolderLeftovers& leftovers, const DistrustCheck& distrust);

}  // namespace bk
