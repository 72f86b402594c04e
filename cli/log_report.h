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

struct LogReport {
  std::string log;
  bool completed = false;
  std::optional<double> start_date;  // none when the stored date cannot be read
  std::string temp_path;
  std::string backup_destination;
  std::vector<ArchiveReport> archives;

  size_t FileCount() const;
  // True when the log names archives and none of them exists: nothing of
  // the period can be restored.
  bool ArchivesAllMissing() const;
};

// Reads a loaded log. Errors of the log other than an unreadable start date,
// archive number or completed mark propagate.
LogReport DescribeLog(clsFileRollbackLog& log);

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

// As FormatOleDate with "T", followed by the local time's offset from UTC
// ("+01:00"), as JSON carries dates.
std::string FormatOleDateWithOffset(double date);

// Writes the log as an indented block of text.
void PrintLog(std::ostream& out, const LogReport& report, bool with_completed);
// Writes the members of the log's JSON object (inside an open object).
void WriteLogFields(JsonWriter& json, const LogReport& report);

}  // namespace bk::cli
