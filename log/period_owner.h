// A period of safe mode as its owner holds it: its names, its claim, its
// lock, its record, the archives it made, and their removal when it is done.
// The period is live exactly while this object is held (its lock); letting
// the object go without Finish leaves every file of the period for
// recovery.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/zip/archive.h"
#include "log/period.h"
#include "log/period_files.h"
#include "log/period_lock.h"
#include "log/period_record.h"

namespace bk {

class clsFileRollbackLog;

class Period {
 public:
  // Claims a new period in the temporary folder `folder` (absolute, judged by
  // the caller): makes the folder of the period's other files (judged too,
  // unless `trusted`), then, for the first second of the clock for which no
  // entry holds any of its names, creates its lock file, its log (through
  // `log`, started at that second) and its record, each exclusively; while a
  // name is taken it waits for the clock's next second. So a name taken by
  // any entry (a planted file or link, a period of another process, a
  // leftover) is never used.
  static std::unique_ptr<Period> Claim(std::shared_ptr<FileSystem> fs, const std::string& folder,
                                       clsFileRollbackLog& log, bool trusted);
  ~Period();
  Period(const Period&) = delete;
  Period& operator=(const Period&) = delete;

  const PeriodNames& names() const { return names_; }
  PeriodLock& lock() { return *lock_; }
  // The record while it is open; nullptr once closed.
  PeriodRecordWriter* record() { return record_.get(); }
  // Flushes and closes the record.
  void CloseRecord();

  // Creates drive archive n+1, n+2, … (the first number no entry holds) for
  // `drive`, holding `marker` as its drive marker, and records its identity.
  void CreateArchive(ArchiveComponent& zip, int32_t after, std::string_view marker);
  // For an undo by the owner: refuses an archive of the period that is not
  // the very file it created. The check keeps what it needs, so it outlives
  // this object.
  DistrustCheck ArchiveCheck() const;

  // The period is done: its files go in the one order (period_files.h), its
  // lock file last, and the period is no longer live.
  void Finish(const PeriodRemoval& removal);

 private:
  Period(std::shared_ptr<FileSystem> fs, PeriodNames names) : fs_(std::move(fs)), names_(std::move(names)) {}
  std::shared_ptr<FileSystem> fs_;
  PeriodNames names_;
  std::unique_ptr<PeriodLock> lock_;
  std::unique_ptr<PeriodRecordWriter> record_;
  std::vector<std::pair<std::string, FileStat>> archives_;
};

}  // namespace bk
