#include "log/period_files.h"

#include <map>

#include "component/error.h"

namespace bk {

void RemoveLogDurably(FileSystem& fs, const std::string& log_path) {
  if (log_path.empty() || !fs.FileExists(log_path)) return;
  fs.RemoveFile(log_path, true);
  fs.SyncFolder(fs.GetParentFolderName(fs.GetAbsolutePathName(log_path)));
}

void RemovePeriodLeftovers(FileSystem& fs, const PeriodNames& names, std::string_view backup_file) {
  const std::string stem = fs.GetAbsolutePathName(names.Stem());
  const std::string folder = fs.GetParentFolderName(stem);
  const std::string stem_name = fs.GetFileName(stem);
  std::set<std::string> changed;
  // The record serves the log: it goes once the log is gone.
  const bool log_gone = !fs.FileExists(names.Log());
  for (const FolderEntry& entry : fs.ListFiles(folder)) {
    const std::optional<PeriodFileName> parsed = ParsePeriodFileName(entry.name);
    if (!parsed || parsed->stem_name != stem_name) continue;
    // The log, the archives (kept when asked, removed by the log that names
    // them) and the lock file are not leftovers of a period in hand.
    const bool done_with = parsed->kind == PeriodFileKind::kLogSave || parsed->kind == PeriodFileKind::kBackupBuild ||
                           (parsed->kind == PeriodFileKind::kRecord && log_gone);
    if (!done_with) continue;
    fs.RemoveFile(entry.path, true);
    changed.insert(folder);
  }
  if (!backup_file.empty()) {
    const std::string backup = fs.GetAbsolutePathName(backup_file);
    const std::string backup_folder = fs.GetParentFolderName(backup);
    try {
      for (const FolderEntry& entry : fs.ListFiles(backup_folder)) {
        if (!names.IsBackupCopy(backup, entry.name)) continue;
        fs.RemoveFile(entry.path, true);
        changed.insert(backup_folder);
      }
    } catch (const Error& e) {
      // The backup's folder may be gone: nothing of the period is left there.
      if (e.number() != errnum::kPathNotFound) throw;
    }
  }
  for (const std::string& f : changed) fs.SyncFolder(f);
}

std::vector<FolderLeftovers> FindLeftovers(const std::vector<FolderEntry>& files,
                                           const std::set<std::string>& claimed) {
  std::map<std::string, std::vector<std::string>> by_stem;
  for (const FolderEntry& entry : files) {
    const std::optional<PeriodFileName> parsed = ParsePeriodFileName(entry.name);
    if (!parsed || parsed->kind == PeriodFileKind::kLog || claimed.count(parsed->stem_name) != 0) continue;
    by_stem[parsed->stem_name].push_back(entry.path);
  }
  std::vector<FolderLeftovers> out;
  for (auto& [stem, paths] : by_stem) out.push_back(FolderLeftovers{stem, std::move(paths)});
  return out;
}

void RemoveOrphanRecords(const std::shared_ptr<FileSystem>& fs, const std::string& folder) {
  bool removed = false;
  for (const FolderEntry& entry : fs->ListFiles(folder)) {
    const std::optional<PeriodFileName> parsed = ParsePeriodFileName(entry.name);
    if (!parsed || parsed->kind != PeriodFileKind::kRecord) continue;
    const PeriodNames names(fs->BuildPath(folder, parsed->stem_name));
    if (fs->FileExists(names.Log())) continue;
    bool live = false;
    std::unique_ptr<PeriodLock> lock = PeriodLock::Take(fs, names.Lock(), {}, &live);
    if (live) continue;  // a period claiming its name: its log comes next
    fs->RemoveFile(entry.path, true);
    lock->RemoveAndRelease();
    removed = true;
  }
  if (removed) fs->SyncFolder(folder);
}

}  // namespace bk
