// Removing a period's files, the one place that does it, in an order that
// leaves every moment recoverable: the log goes first (and its folder is
// flushed), so that no log ever names archives that are gone; then its
// archives, the saves of its log, its backup builds and the copy beside its
// backup; the lock file goes last (period_lock.h), while it is still held.
//
// And finding leftovers: files of periods that no unfinished log claims.
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

// Removes the log at `log_path` when it exists and flushes its folder.
void RemoveLogDurably(FileSystem& fs, const std::string& log_path);

// Removes the files directly in the period's folder whose names say they
// are the period's saves of its log and backup builds, and the copy beside
// `backup_file` (empty: none), then flushes the folders it changed. The log,
// its archives and the lock file are not among them. The caller holds the
// period's lock, so no file of a live period and no claim of another
// process is ever touched.
// The period's record goes too once its log is gone.
void RemovePeriodLeftovers(FileSystem& fs, const PeriodNames& names, std::string_view backup_file);

// Removes the records in `folder` whose logs are gone, each under its
// period's lock and only when that period is not live (a host that deletes
// a log itself leaves its record behind), then the lock files it took.
void RemoveOrphanRecords(const std::shared_ptr<FileSystem>& fs, const std::string& folder);

// The files of periods in `folder` that no log in `claimed` (stem names of
// the unfinished logs found there, taken or skipped) claims: the archives,
// saves, builds and lock files of periods whose log is gone or completed.
// Grouped by the stem's name.
struct FolderLeftovers {
  std::string stem_name;
  std::vector<std::string> paths;
};
std::vector<FolderLeftovers> FindLeftovers(const std::vector<FolderEntry>& files, const std::set<std::string>& claimed);

}  // namespace bk
