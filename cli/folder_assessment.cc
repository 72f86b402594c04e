#include "cli/folder_assessment.h"

#include <set>

#include "component/platform.h"
#include "log/period_lock.h"
#include "log/trust.h"

namespace bk::cli {
namespace {

DistrustCheck LockDistrust(bool trust_folder) {
  const int64_t user = CurrentUserId();
  if (trust_folder) return {};
  return [user](const FileStat& st, const std::string& path) { return FileDistrust(st, path, user); };
}

std::string StemName(FileSystem& fs, const std::string& log_path) {
  return fs.GetFileName(PeriodNames::OfLog(log_path).Stem());
}

// The period files of the folder, the entries that are no files apart.
std::vector<FolderEntry> PeriodFiles(FileSystem& fs, const std::string& folder, std::vector<std::string>* not_files) {
  std::vector<FolderEntry> files;
  for (FolderEntry& entry : fs.ListFiles(folder)) {
    if (!ParsePeriodFileName(entry.name)) continue;
    if (IsSpecialEntry(fs, entry.path)) {
      not_files->push_back(entry.path);
    } else {
      files.push_back(std::move(entry));
    }
  }
  return files;
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
  const DistrustCheck distrust = LockDistrust(trust_folder);
  for (const std::shared_ptr<clsFileRollbackLog>& log : *manager.FailedLogs()) {
    DescribedLog entry{log, DescribeLog(*log)};
    const PeriodLock::Probe probe = PeriodLock::Look(fs, PeriodNames::OfLog(log->LogFileName()).Lock(), distrust);
    entry.live = probe.live;
    if (probe.live) {
      result.holders[log->LogFileName()] = LiveHolders{
          probe.owner_running, ProcessesHoldingFile(probe.identity.device, probe.identity.file_id)};
    }
    claimed.insert(StemName(*fs, log->LogFileName()));
    result.logs.push_back(std::move(entry));
  }
  SortNewestFirst(result.logs);
  result.skipped = manager.SkippedLogs();
  for (const SkippedLog& skipped : result.skipped) claimed.insert(StemName(*fs, skipped.path));
  const std::vector<FolderEntry> files = PeriodFiles(*fs, result.folder, &result.not_files);
  // The manager passes over completed logs: every other log is claimed.
  for (const FolderEntry& entry : files) {
    const std::optional<PeriodFileName> parsed = ParsePeriodFileName(entry.name);
    if (parsed && parsed->kind == PeriodFileKind::kLog && claimed.count(parsed->stem_name) == 0) {
      result.completed.push_back(entry.path);
    }
  }
  for (FolderLeftovers& leftovers : FindLeftovers(files, claimed)) {
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

bool FolderAssessment::OwnerGone(const DescribedLog& entry) const {
  const auto it = holders.find(entry.log->LogFileName());
  return entry.live && it != holders.end() && !it->second.owner_running;
}

std::string DescribeProcess(const ProcessInfo& process) {
  return "pid " + std::to_string(process.pid) + " (" + process.user + "): " + process.command;
}

void WriteHolders(JsonWriter& json, const LiveHolders& holders) {
  json.Field("owner_running", holders.owner_running);
  json.Key("held_by");
  json.BeginArray();
  for (const ProcessInfo& p : holders.processes) {
    json.BeginObject();
    json.Field("pid", p.pid);
    json.Field("user", p.user);
    json.Field("command", p.command);
    json.EndObject();
  }
  json.EndArray();
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
  json.Key("system_error");
  error.native_code() != 0 ? json.Integer(error.native_code()) : json.Null();
  json.EndObject();
}

namespace {

void WritePaths(JsonWriter& json, std::string_view key, const std::vector<std::string>& paths) {
  json.Key(key);
  json.BeginArray();
  for (const std::string& path : paths) json.String(path);
  json.EndArray();
}

}  // namespace

void WriteFailures(JsonWriter& json, std::string_view key, const std::vector<Error>& failures) {
  json.Key(key);
  json.BeginArray();
  for (const Error& e : failures) {
    json.BeginObject();
    json.Field("path", e.path());
    json.Key("error");
    WriteError(json, e);
    json.EndObject();
  }
  json.EndArray();
}

void WriteRestoreOutcome(JsonWriter& json, const std::vector<std::string>& restored,
                         const std::vector<Error>& not_restored, const std::optional<Error>& error,
                         const std::vector<std::string>& removed, const std::vector<Error>& not_removed) {
  WritePaths(json, "restored", restored);
  WriteFailures(json, "not_restored", not_restored);
  WritePaths(json, "removed", removed);
  WriteFailures(json, "not_removed", not_removed);
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

void PrintRestoreReport(std::ostream& out, const RestoreReport& report, std::string_view indent) {
  for (const std::string& path : report.removed) out << indent << "removed: " << path << '\n';
  for (const Error& e : report.not_removed) out << indent << "not removed: " << e.path() << ": " << e.description() << '\n';
  for (const Error& e : report.left) out << indent << "not removed: " << e.path() << ": " << e.description() << '\n';
  for (size_t i = 0; i < report.restored.size(); ++i) {
    const std::string note = i < report.notes.size() ? report.notes[i] : std::string();
    out << indent << "restored: " << report.restored[i] << (note.empty() ? "" : " (" + note + ")") << '\n';
  }
  for (const std::string& path : report.unchanged) out << indent << "unchanged: " << path << '\n';
  for (const Error& e : report.failed) out << indent << "not restored: " << e.path() << ": " << e.description() << '\n';
}

}  // namespace bk::cli
