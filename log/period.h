// A period of safe mode as files on disk: every name of a period's files is
// made and recognised here alone, and so is the order of periods.
//
// A period is named by its stem: its temporary folder joined with "Safe " and
// its start stamp "yyyy-mm-dd HH.MM.SS". Directly in that folder are the
// files a host expects there, and only those between calls:
//   <stem>.xml                         the rollback log
//   <stem>-<n>.zip                     drive archive n
//   <stem>.xml.<random>.tmp            the log's first write or a save, before
//                                      it is renamed over the log (a crash may
//                                      leave one)
// The period's other files are in the hidden folder ".brightkeep" of the
// temporary folder (its files folder), which all periods there share:
//   .brightkeep/<stem's name>.lock     the live lock (period_lock.h)
//   .brightkeep/<stem's name>.record   what the log does not say: each file's
//                                      identity and extended attributes, and
//                                      the listing of whole trees
//                                      (period_record.h)
//   .brightkeep/<stem's name>-backup.<random>.tmp
//                                      the backup archive being built
// and beside the backup:
//   <BackupFile>.<stem's name>.<random>.tmp
//                                      the backup copied beside BackupFile
//                                      before it is renamed over it
// Periods of 4.0.0 kept their lock and record beside the log ("legacy"
// names): they are recognised there, rolled back and removed.
// A log of another name (any "Safe*.xml" a host wrote) has the stem of its
// path without ".xml".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/fs/file_system.h"
#include "component/platform.h"

namespace bk {

class PeriodNames {
 public:
  explicit PeriodNames(std::string stem) : stem_(std::move(stem)) {}
  // The names of the period whose log is `log_path`.
  static PeriodNames OfLog(std::string_view log_path);
  // The names of the period that starts at `start` in `folder`.
  static PeriodNames At(const FileSystem& fs, std::string_view folder, const LocalDateTime& start);

  const std::string& Stem() const { return stem_; }
  std::string Log() const;
  std::string Archive(int32_t n) const;
  // The temporary folder, and the hidden folder of the period's other files.
  std::string Folder() const;
  std::string FilesFolder() const;
  std::string Lock() const;
  std::string Record() const;
  std::string LegacyLock() const;
  std::string LegacyRecord() const;
  // `random` is a fresh name such as FileSystem::GetTempName gives.
  std::string BackupBuild(std::string_view random) const;
  std::string BackupCopy(std::string_view backup_file, std::string_view random) const;
  // True when `file_name` (without folder), found in BackupFile's folder, is
  // this period's copy beside `backup_file`.
  bool IsBackupCopy(std::string_view backup_file, std::string_view file_name) const;

 private:
  std::string InFilesFolder(std::string_view suffix) const;
  std::string stem_;
};

// The name of the hidden folder of the periods' other files.
inline constexpr std::string_view kPeriodFilesFolder = ".brightkeep";

// "yyyy-mm-dd HH.MM.SS".
std::string PeriodStamp(const LocalDateTime& t);

// What a file found in a temporary folder or its files folder is, by its
// name alone.
enum class PeriodFileKind { kLog, kLock, kRecord, kLogSave, kArchive, kBackupBuild };
struct PeriodFileName {
  PeriodFileKind kind;
  std::string stem_name;  // the stem's file name: "Safe ..." without folder
};
// Only names beginning with "Safe" (letter case kept) belong to periods; a log
// is one whose extension is "xml" (letter case kept).
std::optional<PeriodFileName> ParsePeriodFileName(std::string_view file_name);

// Newest first: start time descending (an unreadable one counts as the
// oldest), then the log's name descending, which orders periods begun in
// the same second as they claimed their names. Undo goes newest first, so
// that a file two periods changed comes back as the older one found it.
bool StartsLater(const std::optional<double>& a_start, std::string_view a_log, const std::optional<double>& b_start,
                 std::string_view b_log);

// True when the two paths name the same folder: by device and file number
// where the platform gives them, otherwise by the path with every link
// resolved. A folder that does not exist is the same as none.
bool SameFolder(FileSystem& fs, const std::string& a, const std::string& b);

}  // namespace bk
