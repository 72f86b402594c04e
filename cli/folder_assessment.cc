#include "cli/folder_assessment.h"

namespace bk::cli {

FolderAssessment AssessFolder(std::string_view folder, bool trust_folder, std::shared_ptr<FileSystem> fs) {
  FolderAssessment result;
  result.folder = fs->GetAbsolutePathName(folder);
  result.trust_folder = trust_folder;
  clsRollbackManager manager(fs);
  manager.TrustFolder(trust_folder);
  manager.AssessRollback(result.folder);
  for (const std::shared_ptr<clsFileRollbackLog>& log : *manager.FailedLogs()) {
    result.logs.push_back(DescribedLog{log, DescribeLog(*log)});
  }
  SortOldestFirst(result.logs);
  result.skipped = manager.SkippedLogs();
  return result;
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
