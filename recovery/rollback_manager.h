// clsRollbackManager: finds the rollback logs in a folder that were never
// marked completed and hands them out, loaded, for the host to roll back.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/collection.h"
#include "component/error.h"
#include "component/fs/file_system.h"
#include "log/period_files.h"
#include "log/rollback_log.h"

namespace bk {

using LogCollection = KeyedCollection<std::shared_ptr<clsFileRollbackLog>>;

// A candidate log file that was not taken, and why: it could not be loaded,
// or (unless the folder is trusted) another user could have planted it or an
// archive it names (trust.h).
struct SkippedLog {
  std::string path;
  Error error;
};

class clsRollbackManager {
 public:
  explicit clsRollbackManager(std::shared_ptr<FileSystem> fs = DefaultFileSystem());

  // Loads every "Safe*.xml" directly in the folder and collects those not
  // marked completed into a new collection (a pipe, socket or device of such
  // a name is no candidate: it is never opened). Changes no file. Unless the
  // folder is trusted, an unfinished log is skipped when the folder, the log
  // or an archive it names in that folder could have been planted by another
  // user (trust.h), and each log handed out checks its archives again when it
  // is rolled back. In a folder not trusted, no candidate is loaded at all.
  void AssessRollback(std::string_view strTempDir);
  // Takes the folder, its logs and its archives as the caller's own: no
  // ownership or permission checks. Links, pipes and devices are still
  // refused, and a rollback still refuses an archive outside its log's folder.
  void TrustFolder(bool trusted) { trust_folder_ = trusted; }
  bool TrustFolder() const { return trust_folder_; }
  // The collection of the last assessment; nullptr before the first one.
  std::shared_ptr<LogCollection> FailedLogs() const { return failed_logs_; }
  // The candidates the last assessment did not take, with the reason.
  const std::vector<SkippedLog>& SkippedLogs() const { return skipped_; }
  // The logs of the last assessment marked completed: their periods ended
  // (the log kept on purpose, or its program stopped after the mark).
  const std::vector<std::string>& CompletedLogs() const { return completed_; }
  // What the last assessment found beside the logs: the files of periods
  // that no unfinished log claims and no live period holds (period_files.h
  // FindLeftovers), and the pipes, sockets and devices named as a period's
  // files, which are never opened.
  const std::vector<FolderLeftovers>& Leftovers() const { return leftovers_; }
  const std::vector<std::string>& NotFiles() const { return not_files_; }
  // Removes one period's leftovers under its lock (nothing when it became
  // live since); returns the paths removed.
  std::vector<std::string> RemoveLeftovers(const FolderLeftovers& leftovers);
  // Removes a completed log of the last assessment, with what is left of
  // its period, under the period's lock in the one order; false when the
  // period is live (its program is still removing its files).
  bool RemoveCompletedLog(const std::string& log_path);
  // How the files of the folder's periods are judged: empty when the folder
  // is trusted.
  DistrustCheck FileCheck() const;

 private:
  std::shared_ptr<FileSystem> fs_;
  std::shared_ptr<LogCollection> failed_logs_;
  std::vector<SkippedLog> skipped_;
  std::vector<std::string> completed_;
  std::vector<FolderLeftovers> leftovers_;
  std::vector<std::string> not_files_;
  std::string folder_;
  bool trust_folder_ = false;
  void FindLeftoversOf(const std::string& folder);
  // Loads a candidate; the error, if it cannot be loaded.
  std::optional<Error> Load(clsFileRollbackLog& log, const std::string& path);
  // Why a loaded log is not trusted, if so; sets its archive check otherwise.
  std::optional<Error> Distrust(clsFileRollbackLog& log, const std::string& path);
  // The first archive of the log in the log's folder that is not trusted.
  std::optional<Error> ArchivesDistrust(clsFileRollbackLog& log);
};

}  // namespace bk
