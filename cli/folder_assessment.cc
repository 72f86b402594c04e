#include "cli/folder_assessment.h"

#include "component/platform.h"
#include "component/text.h"
#include "log/period_files.h"
#include "log/period_lock.h"

namespace bk::cli {

FolderAssessment AssessFolder(std::string_view folder, bool trust_folder, std::shared_ptr<FileSystem> fs) {
  FolderAssessment result;
  result.folder = fs->GetAbsolutePathName(folder);
  result.trust_folder = trust_folder;
  result.manager = std::make_shared<clsRollbackManager>(fs);
  clsRollbackManager& manager = *result.manager;
  manager.TrustFolder(trust_folder);
  manager.AssessRollback(result.folder);
  const DistrustCheck distrust = manager.FileCheck();
  for (const std::shared_ptr<clsFileRollbackLog>& log : *manager.FailedLogs()) {
    DescribedLog entry{log, DescribeLog(*log)};
    const PeriodLock::Probe probe = LookAtPeriodLock(fs, log->Names(), distrust);
    entry.live = probe.live;
    if (probe.live) {
      result.holders[log->LogFileName()] = LiveHolders{
          probe.owner_running, ProcessesHoldingFile(probe.identity.device, probe.identity.file_id)};
    }
    result.logs.push_back(std::move(entry));
  }
  SortNewestFirst(result.logs);
  result.skipped = manager.SkippedLogs();
  result.leftovers = manager.Leftovers();
  result.not_files = manager.NotFiles();
  result.completed = manager.CompletedLogs();
  return result;
}

bool FolderAssessment::OwnerGone(const DescribedLog& entry) const {
  const auto it = holders.find(entry.log->LogFileName());
  return entry.live && it != holders.end() && !it->second.owner_running;
}

std::string DescribeProcess(const ProcessInfo& process) {
  return "pid " + std::to_string(process.pid) + " (" + process.user + "): " + text::OnOneLine(process.command);
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
  return text::OnOneLine(skipped.path) + ": " + text::OnOneLine(skipped.error.description()) + " (" +
         std::to_string(skipped.error.number()) + ")";
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
  json.Field("restored", restored);
  WriteFailures(json, "not_restored", not_restored);
  json.Field("removed", removed);
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

}  // namespace bk::cli
