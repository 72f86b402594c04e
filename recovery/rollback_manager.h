// clsRollbackManager: finds the rollback logs in a folder that were never
// marked completed and hands them out, loaded, for the host to roll back.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/collection.h"
#include "component/error.h"
#include "component/fs/file_system.h"
#include "log/rollback_log.h"

namespace bk {

using LogCollection = KeyedCollection<std::shared_ptr<clsFileRollbackLog>>;

// A candidate log file that could not be loaded, and why.
struct SkippedLog {
  std::string path;
  Error error;
};

class clsRollbackManager {
 public:
  explicit clsRollbackManager(std::shared_ptr<FileSystem> fs = DefaultFileSystem());

  // Loads every "Safe*.xml" directly in the folder and collects those not
  // marked completed into a new collection. Changes no file.
  void AssessRollback(std::string_view strTempDir);
  // The collection of the last assessment; nullptr before the first one.
  std::shared_ptr<LogCollection> FailedLogs() const { return mcolFailedLogs; }
  // The candidates the last assessment could not load.
  const std::vector<SkippedLog>& SkippedLogs() const { return skipped_; }

 private:
  std::shared_ptr<FileSystem> fs_;
  std::shared_ptr<LogCollection> mcolFailedLogs;
  std::vector<SkippedLog> skipped_;
};

}  // namespace bk
