#include "recovery/rollback_manager.h"

#include <exception>
#include <set>
#include <utility>

#include "component/platform.h"
#include "log/period.h"
#include "log/trust.h"

namespace bk {

namespace {

// A log file is one whose name the period module reads as a log's.
bool IsLogCandidate(const FolderEntry& entry) {
  const std::optional<PeriodFileName> parsed = ParsePeriodFileName(entry.name);
  return parsed && parsed->kind == PeriodFileKind::kLog;
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
  failed_logs_ = std::make_shared<LogCollection>();
  skipped_.clear();
  completed_.clear();
  folder_ = fs_->GetAbsolutePathName(strTempDir);
  const std::optional<Error> folder_distrust =
      trust_folder_ ? std::nullopt : FolderDistrust(*fs_, std::string(strTempDir), CurrentUserId(), CurrentGroupId());

  for (const FolderEntry& entry : entries) {
    if (!IsLogCandidate(entry) || IsSpecialEntry(*fs_, entry.path)) continue;
    if (folder_distrust) {
      skipped_.push_back(SkippedLog{entry.path, *folder_distrust});
      continue;
    }
    std::shared_ptr<clsFileRollbackLog> log = clsFileRollbackLog::Create(fs_);
    std::optional<Error> why = Load(*log, entry.path);
    // A completed log asks for nothing, whoever wrote it.
    if (!why && ReadsCompleted(*log)) {
      completed_.push_back(entry.path);
      continue;
    }
    if (!why) why = Distrust(*log, entry.path);
    if (why) {
      skipped_.push_back(SkippedLog{entry.path, *std::move(why)});
    } else {
      failed_logs_->Add(std::move(log));
    }
  }
  FindLeftoversOf(folder_);
}

DistrustCheck clsRollbackManager::FileCheck() const {
  if (trust_folder_) return {};
  const int64_t user = CurrentUserId();
  return [user](const FileStat& st, const std::string& path) { return FileDistrust(st, path, user); };
}

void clsRollbackManager::FindLeftoversOf(const std::string& folder) {
  std::set<std::string> claimed;
  const auto stem_name = [&](const std::string& log) { return fs_->GetFileName(PeriodNames::OfLog(log).Stem()); };
  for (const std::shared_ptr<clsFileRollbackLog>& log : *failed_logs_) claimed.insert(stem_name(log->LogFileName()));
  for (const SkippedLog& skipped : skipped_) claimed.insert(stem_name(skipped.path));
  leftovers_.clear();
  not_files_.clear();
  const DistrustCheck distrust = FileCheck();
  for (FolderLeftovers& leftovers : FindLeftovers(*fs_, folder, claimed, &not_files_)) {
    const PeriodNames names(fs_->BuildPath(folder, leftovers.stem_name));
    // A period claiming its name (its lock and record made, its log next) is
    // no leftover.
    if (!LookAtPeriodLock(fs_, names, distrust).live) leftovers_.push_back(std::move(leftovers));
  }
}

std::vector<std::string> clsRollbackManager::RemoveLeftovers(const FolderLeftovers& leftovers) {
  return bk::RemoveLeftovers(fs_, folder_, leftovers, FileCheck());
}

bool clsRollbackManager::RemoveCompletedLog(const std::string& log_path) {
  const PeriodNames names = PeriodNames::OfLog(log_path);
  bool live = false;
  std::unique_ptr<PeriodLock> lock = TakePeriodLock(fs_, names, FileCheck(), &live);
  if (live) return false;
  RemovePeriodFiles(*fs_, names, PeriodRemoval{true, {}, {}, true}, lock.get());
  return true;
}

std::optional<Error> clsRollbackManager::Load(clsFileRollbackLog& log, const std::string& path) {
  try {
    log.LoadFromFile(path);
  } catch (const Error& e) {
    return e;
  } catch (const std::exception& e) {
    return Error(errnum::kPathFileAccessError, kLibrarySource, e.what(), path);
  }
  return std::nullopt;
}

std::optional<Error> clsRollbackManager::Distrust(clsFileRollbackLog& log, const std::string& path) {
  const int64_t user = CurrentUserId();
  if (trust_folder_) return std::nullopt;
  if (std::optional<Error> why = FileDistrust(log.LoadedFileStat(), path, user)) return why;
  // The archives and the lock file are judged again, on the open file, when
  // the log is rolled back: one that was missing now may have been planted since.
  log.SetDistrustCheck([user](const FileStat& st, const std::string& file) { return FileDistrust(st, file, user); });
  return ArchivesDistrust(log);
}

std::optional<Error> clsRollbackManager::ArchivesDistrust(clsFileRollbackLog& log) {
  try {
    for (int32_t i = 1; i <= log.ZipCount(); ++i) {
      const auto zip = log.Zip(i);
      try {
        log.ArchivePath(*zip);
      } catch (const Error&) {
        continue;  // an archive elsewhere is never opened; its rollback refuses it
      }
      log.CheckArchiveBeside(*zip);
    }
  } catch (const Error& e) {
    return e;
  }
  return std::nullopt;
}

}  // namespace bk
