#include "log/period_files.h"

#include <set>

#include "component/fs/path_rules.h"

namespace bk {
namespace {

constexpr std::string_view kLogExtension = ".xml";
constexpr std::string_view kTempExtension = ".tmp";
constexpr std::string_view kBackupSuffix = "-backup.tmp";

}  // namespace

std::string PeriodStem(std::string_view log_path) {
  if (log_path.ends_with(kLogExtension)) log_path.remove_suffix(kLogExtension.size());
  return std::string(log_path);
}

std::string BackupBuildPath(std::string_view log_path) { return PeriodStem(log_path) + std::string(kBackupSuffix); }

std::string BackupCopyPath(std::string_view backup_file, std::string_view log_path) {
  return std::string(backup_file) + "." + NativePathRules().GetFileName(PeriodStem(log_path)) +
         std::string(kTempExtension);
}

bool IsPeriodLeftover(std::string_view log_name, std::string_view file_name) {
  const std::string stem = PeriodStem(log_name);
  if (file_name == stem + std::string(kBackupSuffix)) return true;
  const std::string save_prefix = std::string(log_name) + ".";
  return file_name.size() > save_prefix.size() + kTempExtension.size() && file_name.starts_with(save_prefix) &&
         file_name.ends_with(kTempExtension);
}

void RemovePeriodLeftovers(FileSystem& fs, std::string_view log_path, std::string_view backup_file) {
  if (log_path.empty()) return;  // a log kept in memory only has no files
  const std::string log = fs.GetAbsolutePathName(log_path);
  const std::string folder = fs.GetParentFolderName(log);
  const std::string log_name = fs.GetFileName(log);
  std::set<std::string> changed;
  for (const FolderEntry& entry : fs.ListFiles(folder)) {
    if (!IsPeriodLeftover(log_name, entry.name)) continue;
    fs.RemoveFile(entry.path, true);
    changed.insert(folder);
  }
  if (!backup_file.empty()) {
    const std::string copy = BackupCopyPath(fs.GetAbsolutePathName(backup_file), log);
    if (fs.FileExists(copy)) {
      fs.RemoveFile(copy, true);
      changed.insert(fs.GetParentFolderName(copy));
    }
  }
  for (const std::string& f : changed) fs.SyncFolder(f);
}

}  // namespace bk
