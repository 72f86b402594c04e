// Backup archives as the command uses them: what EndSafety wrote at
// BackupFile (the period's drive archives and its log as top-level entries),
// read for `inspect` and unpacked for `revert`; and the names of backups
// that `protect --backup` stamps with the time ("%t") and `--keep` prunes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "component/fs/file_system.h"
#include "component/platform.h"
#include "log/rollback_log.h"

namespace bk::cli {

// True when the file begins as a ZIP archive does.
bool IsZipArchive(FileSystem& fs, const std::string& path);

struct BackupArchive {
  std::string path;
  std::string log_entry;                     // the period's log
  std::vector<std::string> archive_entries;  // its drive archives
};
// Reads the entries of a backup archive. 30200 when it holds no log.
BackupArchive ReadBackupArchive(const std::shared_ptr<FileSystem>& fs, const std::string& path);

// The period's log, read into memory from the backup archive.
std::shared_ptr<clsFileRollbackLog> LoadBackupLog(const std::shared_ptr<FileSystem>& fs, const BackupArchive& backup);

// A folder of the caller's own inside `parent` holding the backup's log and
// drive archives, removed with this object.
class UnpackedBackup {
 public:
  UnpackedBackup(std::shared_ptr<FileSystem> fs, const BackupArchive& backup, const std::string& parent);
  ~UnpackedBackup();
  UnpackedBackup(const UnpackedBackup&) = delete;
  UnpackedBackup& operator=(const UnpackedBackup&) = delete;
  // The log, loaded from the folder: its archives are read beside it.
  const std::shared_ptr<clsFileRollbackLog>& log() const { return log_; }

 private:
  std::shared_ptr<FileSystem> fs_;
  std::string folder_;
  std::shared_ptr<clsFileRollbackLog> log_;
};

// "%t" in a --backup name stands for the time protect started, local, as
// YYYYMMDD-HHMMSS; "%%" for "%".
std::string StampBackupName(const std::string& pattern, const LocalDateTime& start);
// True when the pattern names a stamped backup: "%t" in its file name part.
bool IsStampedPattern(const FileSystem& fs, const std::string& pattern);
// Removes the oldest backups of the folder whose names match the pattern
// with any time, keeping `keep` of them (oldest by the time in the name).
// Returns the paths removed.
std::vector<std::string> PruneBackups(FileSystem& fs, const std::string& pattern, size_t keep);

}  // namespace bk::cli
