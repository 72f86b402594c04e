// What the command shows of a rollback log: a plain description read through
// the log's public members, printed as text or JSON.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/json_writer.h"
#include "log/rollback_log.h"

namespace bk::cli {

struct ArchiveReport {
  std::optional<int32_t> zip_id;  // none when the stored number is not a number
  std::string drive;
  std::string archive;
  std::vector<std::string> files;
  bool missing = false;  // the archive file does not exist
};

// What a rollback of the period would do now, as its plan counts it.
struct PeriodCounts {
  uint64_t changed = 0;    // files there now and changed since: rewritten
  uint64_t created = 0;    // entries of its trees it did not have: removed
  uint64_t removed = 0;    // files, folders and links gone since: made again
  uint64_t unchanged = 0;  // files as they were made safe
  uint64_t refused = 0;    // entries that would not come back
  uint64_t done_before = 0;  // done by an earlier rollback cut short
};

struct LogReport {
  std::string log;
  bool completed = false;
  std::optional<double> start_date;  // none when the stored date cannot be read
  // The offset from UTC of the zone the period started in, in seconds, as
  // the period's record keeps it; none when unknown (no record, or one of
  // version 1).
  std::optional<int64_t> utc_offset;
  std::string temp_path;
  std::string backup_destination;
  std::string label;  // given to the period (protect --label), as its record keeps it
  std::vector<ArchiveReport> archives;
  // Filled by Foresee only: the roots of the trees the period protects, and
  // what a rollback would do.
  std::vector<std::string> trees;
  std::optional<PeriodCounts> counts;

  size_t FileCount() const;
  // True when the log names archives and none of them exists: nothing of
  // the period can be restored.
  bool ArchivesAllMissing() const;
};

// Reads a loaded log, and the UTC offset from its period's record. Errors of
// the log other than an unreadable start date, archive number or completed
// mark propagate.
LogReport DescribeLog(clsFileRollbackLog& log);
// Plans a rollback of the log's period, changing nothing, and fills the
// report's trees and counts; leaves them empty when no plan can be made.
void Foresee(clsFileRollbackLog& log, LogReport& report);

// A loaded log with its description.
struct DescribedLog {
  std::shared_ptr<clsFileRollbackLog> log;
  LogReport report;
  bool live = false;  // its period is still in progress
};
// Orders logs newest first (log/period.h StartsLater), the order in which
// periods are rolled back.
void SortNewestFirst(std::vector<DescribedLog>& logs);

// "yyyy-mm-dd HH:MM:SS" (or with "T" between date and time) for an OLE
// Automation date as clsFileRollbackLog::StartDate returns it (within the
// range of the type, years 100 to 9999).
std::string FormatOleDate(double date, char separator = ' ');

// As FormatOleDate with "T", followed by `utc_offset` ("+01:00") where it is
// known, as JSON carries dates.
std::string FormatOleDateWithOffset(double date, std::optional<int64_t> utc_offset);
// When the period started, for text: "yyyy-mm-dd HH:MM:SS", with " +01:00"
// where the offset is known; empty when the date cannot be read.
std::string StartedText(const LogReport& report);

// Writes the log as an indented block of text: a summary of the period, and
// each file it holds with `with_files`.
void PrintLog(std::ostream& out, const LogReport& report, bool with_completed, bool with_files);
// Writes the members of the log's JSON object (inside an open object).
void WriteLogFields(JsonWriter& json, const LogReport& report);

}  // namespace bk::cli
