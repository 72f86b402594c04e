// Backup archives as the command uses them: what EndSafety wrote at
// BackupFile (the period's drive archives, its log and, on Linux, its record
// as top-level entries),
// read for `inspect`, `list` and `diff` and unpacked for `revert` and `diff`.
//
// A backup is opened once, as a regular file and never through a link, and
// everything read of it comes from that open file: what was judged is what
// is read. What is read out of it is bounded (docs/reliability.md): its log
// by kMaxLogSize, each drive archive by kMaxUnpackRatio times what it takes
// in the backup (at least kMinUnpackBound); the sizes the central directory
// declares are checked first and reading stops at the bound whatever they
// say.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "component/fs/file_system.h"
#include "component/platform.h"
#include "cli/period_summary.h"
#include "component/zip/zip_format.h"
#include "log/rollback_log.h"

namespace bk::cli {

inline constexpr uint64_t kMaxUnpackRatio = 64;
inline constexpr uint64_t kMinUnpackBound = 256ull << 20;

// True when the file begins as a ZIP archive does.
bool IsZipArchive(FileSystem& fs, const std::string& path);

struct BackupArchive {
  std::string path;
  std::string log_entry;                     // the period's log
  std::vector<std::string> archive_entries;  // its drive archives
  std::shared_ptr<File> file;                // the backup, open
  std::vector<zip::Entry> entries;           // its central directory
  std::string record_entry;                  // the period's record; empty in backups without one
};
// Opens a backup archive and reads its central directory: its log, drive
// archives and (in backups of Linux periods) its record. 75 "Not a regular
// file" for a link, folder, pipe or device; 30200 when it holds no log.
BackupArchive ReadBackupArchive(const std::shared_ptr<FileSystem>& fs, const std::string& path);

// Why the opened backup is not to be trusted, as trust.h judges a temporary
// folder's files (on the open file) and its folder; nullopt when trusted.
std::optional<Error> BackupDistrust(FileSystem& fs, const BackupArchive& backup, int64_t user, int64_t group);

// The period's log, read into memory from the backup archive (at most
// kMaxLogSize bytes; a larger one is refused with the number and the bound).
std::shared_ptr<clsFileRollbackLog> LoadBackupLog(const std::shared_ptr<FileSystem>& fs, const BackupArchive& backup);

// What the backup's record tells of its period (its label, end, trees);
// empty for a backup without one.
PeriodSummary SummarizeBackup(const BackupArchive& backup);

// True when the open file is a backup whose log begins as a rollback log
// and names `name` as its backup destination's file name.
bool IsBackupNamed(FileSystem& fs, File& file, const std::string& name);

// A folder of the caller's own inside `parent` (made afresh, for its owner
// only) holding the backup's log and drive archives, and its record in the
// folder of the period's other files, where a rollback reads it: each
// created there exclusively and checked before use; removed with this
// object, whatever happened meanwhile.
class UnpackedBackup {
 public:
  UnpackedBackup(std::shared_ptr<FileSystem> fs, const BackupArchive& backup, const std::string& parent);
  ~UnpackedBackup();
  UnpackedBackup(const UnpackedBackup&) = delete;
  UnpackedBackup& operator=(const UnpackedBackup&) = delete;
  // The log, loaded from the folder: its archives are read beside it.
  const std::shared_ptr<clsFileRollbackLog>& log() const { return log_; }

 private:
  void Unpack(const BackupArchive& backup);
  // Removes the folder and all in it; what cannot go stays.
  void Remove() noexcept;
  std::shared_ptr<FileSystem> fs_;
  std::unique_ptr<Folder> parent_;
  std::unique_ptr<Folder> folder_;
  std::string name_;  // of the folder, in `parent_`
  std::shared_ptr<clsFileRollbackLog> log_;
};

}  // namespace bk::cli
