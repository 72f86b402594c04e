#include "recovery/rollback_manager.h"

#include <exception>
#include <utility>

namespace bk {

namespace {

// A log file is one whose name begins with "Safe" and whose extension is
// "xml", both compared with letter case.
bool IsLogCandidate(const FileSystem& fs, const FolderEntry& entry) {
  return entry.name.starts_with("Safe") && fs.GetExtensionName(entry.path) == "xml";
}

// A log whose completed mark cannot be read counts as not completed.
bool ReadsCompleted(clsFileRollbackLog& log) {
  try {
    return log.Completed();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

clsRollbackManager::clsRollbackManager(std::shared_ptr<FileSystem> fs) : fs_(std::move(fs)) {}

void clsRollbackManager::AssessRollback(std::string_view strTempDir) {
  // Opening the folder comes first: when it fails, the last assessment stays.
  const std::vector<FolderEntry> entries = fs_->ListFiles(strTempDir);
  mcolFailedLogs = std::make_shared<LogCollection>();
  skipped_.clear();

  for (const FolderEntry& entry : entries) {
    if (!IsLogCandidate(*fs_, entry)) continue;
    std::shared_ptr<clsFileRollbackLog> log = clsFileRollbackLog::Create(fs_);
    try {
      log->LoadFromFile(entry.path);
    } catch (const Error& e) {
      skipped_.push_back(SkippedLog{entry.path, e});
      continue;
    } catch (const std::exception& e) {
      skipped_.push_back(SkippedLog{entry.path, Error(errnum::kPathFileAccessError, kLibrarySource, e.what(), entry.path)});
      continue;
    }
    if (!ReadsCompleted(*log)) mcolFailedLogs->Add(std::move(log));
  }
}

}  // namespace bk
