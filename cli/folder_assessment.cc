#include "cli/folder_assessment.h"

#include <set>

#include "log/period_files.h"

namespace bk::cli {
namespace {

bool IsPeriodFile(const FileSystem& fs, const FolderEntry& entry, std::string_view extension) {
  return entry.name.starts_with("Safe") && fs.GetExtensionName(entry.path) == extension;
}

// A period's file that no log of the folder claims: neither an archive a
// loaded log names, nor an archive or temporary file named after a log there.
std::vector<std::string> Leftovers(FileSystem& fs, const std::vector<FolderEntry>& files,
                                   const std::vector<DescribedLog>& logs) {
  std::set<std::string> named;
  for (const DescribedLog& log : logs) {
    for (const ArchiveReport& archive : log.report.archives) named.insert(fs.GetAbsolutePathName(archive.archive));
  }
  std::vector<std::string> log_names;
  for (const FolderEntry& entry : files) {
    if (IsPeriodFile(fs, entry, "xml")) log_names.push_back(entry.name);
  }
  const auto claimed = [&](const FolderEntry& entry) {
    if (named.count(entry.path) != 0) return true;
    for (const std::string& log : log_names) {
      if (IsPeriodLeftover(log, entry.name) || entry.name.starts_with(PeriodStem(log) + "-")) return true;
    }
    return false;
  };
  std::vector<std::string> out;
  for (const FolderEntry& entry : files) {
    if ((IsPeriodFile(fs, entry, "zip") || IsPeriodFile(fs, entry, "tmp")) && !claimed(entry)) {
      out.push_back(entry.path);
    }
  }
  return out;
}

}  // namespace

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
  result.leftovers = Leftovers(*fs, fs->ListFiles(result.folder), result.logs);
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
