#include "cli/folder_assessment.h"

#include <set>

#include "component/platform.h"
#include "log/period_lock.h"
#include "log/trust.h"

namespace bk::cli {
namespace {

DistrustCheck LockDistrust(bool trust_folder) {
  const int64_t user = CurrentUserId();
  if (trust_folder || user < 0) return {};
  return [user](const FileStat& st, const std::string& path) { return FileDistrust(st, path, user); };
}

std::string StemName(FileSystem& fs, const std::string& log_path) {
  return fs.GetFileName(PeriodNames::OfLog(log_path).Stem());
}

}  // namespace

FolderAssessment AssessFolder(std::string_view folder, bool trust_folder, std::shared_ptr<FileSystem> fs) {
  FolderAssessment result;
  result.folder = fs->GetAbsolutePathName(folder);
  result.trust_folder = trust_folder;
  clsRollbackManager manager(fs);
  manager.TrustFolder(trust_folder);
  manager.AssessRollback(result.folder);
  std::set<std::string> claimed;
  for (const std::shared_ptr<clsFileRollbackLog>& log : *manager.FailedLogs()) {
    DescribedLog entry{log, DescribeLog(*log)};
    entry.live = log->IsLive();
    claimed.insert(StemName(*fs, log->LogFileName()));
    result.logs.push_back(std::move(entry));
  }
  SortNewestFirst(result.logs);
  result.skipped = manager.SkippedLogs();
  for (const SkippedLog& skipped : result.skipped) claimed.insert(StemName(*fs, skipped.path));
  const DistrustCheck distrust = LockDistrust(trust_folder);
  for (FolderLeftovers& leftovers : FindLeftovers(fs->ListFiles(result.folder), claimed)) {
    const PeriodNames names(fs->BuildPath(result.folder, leftovers.stem_name));
    if (!PeriodLock::IsLive(fs, names.Lock(), distrust)) result.leftovers.push_back(std::move(leftovers));
  }
  return result;
}

std::vector<std::string> RemoveLeftovers(const FolderAssessment& assessment, const FolderLeftovers& leftovers,
                                         const std::shared_ptr<FileSystem>& fs) {
  const PeriodNames names(fs->BuildPath(assessment.folder, leftovers.stem_name));
  bool live = false;
  std::unique_ptr<PeriodLock> lock = PeriodLock::Take(fs, names.Lock(), LockDistrust(assessment.trust_folder), &live);
  if (live) return {};
  std::vector<std::string> removed;
  for (const std::string& path : leftovers.paths) {
    if (path == names.Lock()) continue;  // goes last, while held
    if (!fs->FileExists(path)) continue;
    fs->RemoveFile(path, true);
    removed.push_back(path);
  }
  if (!removed.empty()) fs->SyncFolder(assessment.folder);
  lock->RemoveAndRelease();
  return removed;
}

std::string DescribeSkipped(const SkippedLog& skipped) {
  return skipped.path + ": " + skipped.error.description() + " (" + std::to_string(skipped.error.number()) + ")";
}

void WriteError(JsonWriter& json, const Error& error) {
  json.BeginObject();
  json.Field("number", int64_t{error.number()});
  json.Field("source", error.source());
  json.Field("description", error.description());
  json.Field("path", error.path());
  json.EndObject();
}

void WriteRestoreOutcome(JsonWriter& json, const std::vector<std::string>& restored,
                         const std::vector<Error>& not_restored, const std::optional<Error>& error) {
  json.Key("restored");
  json.BeginArray();
  for (const std::string& path : restored) json.String(path);
  json.EndArray();
  json.Key("not_restored");
  json.BeginArray();
  for (const Error& e : not_restored) {
    json.BeginObject();
    json.Field("path", e.path());
    json.Key("error");
    WriteError(json, e);
    json.EndObject();
  }
  json.EndArray();
  json.Key("error");
  error ? WriteError(json, *error) : json.Null();
}

void WriteSkipped(JsonWriter& json, const std::vector<SkippedLog>& skipped) {
  json.BeginArray();
  for (const SkippedLog& entry : skipped) {
    json.BeginObject();
    json.Field("path", entry.path);
    json.Key("error");
    WriteError(json, entry.error);
    json.EndObject();
  }
  json.EndArray();
}

}  // namespace bk::cli
