#include "cli/log_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

namespace bk::cli {

size_t LogReport::FileCount() const {
  size_t count = 0;
  for (const ArchiveReport& archive : archives) count += archive.files.size();
  return count;
}

namespace {

template <typename T, typename F>
std::optional<T> Optional(F read) {
  try {
    return read();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

ArchiveReport DescribeArchive(clsFileRollBackLogZip& zip) {
  ArchiveReport report;
  report.zip_id = Optional<int32_t>([&] { return zip.ZipId(); });
  report.drive = zip.ZipDrive();
  report.archive = zip.ZipName();
  const int32_t count = zip.FileCount();
  for (int32_t i = 1; i <= count; ++i) report.files.push_back(zip.FilePath(i));
  return report;
}

// Days from 1970-01-01 to a civil date, inverted (H. Hinnant's algorithm).
void CivilFromDays(int64_t days, int64_t& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = yoe + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

LogReport DescribeLog(clsFileRollbackLog& log) {
  LogReport report;
  report.log = log.LogFileName();
  report.completed = Optional<bool>([&] { return log.Completed(); }).value_or(false);
  report.start_date = Optional<double>([&] { return log.StartDate(); });
  report.temp_path = log.TempPath();
  report.backup_destination = log.BackupDestFileName();
  const int32_t count = log.ZipCount();
  for (int32_t i = 1; i <= count; ++i) report.archives.push_back(DescribeArchive(*log.Zip(i)));
  return report;
}

void SortOldestFirst(std::vector<DescribedLog>& logs) {
  std::stable_sort(logs.begin(), logs.end(), [](const DescribedLog& a, const DescribedLog& b) {
    return a.report.start_date.value_or(-INFINITY) < b.report.start_date.value_or(-INFINITY);
  });
}

std::string FormatOleDate(double date, char separator) {
  // The range of dates the automation DATE type accepts (years 100 to 9999).
  if (!std::isfinite(date) || date < -657434.0 || date >= 2958466.0) return {};
  // Before day 0 the fraction counts forwards from the (negative) day.
  const double whole = std::trunc(date);
  const int64_t seconds = static_cast<int64_t>(whole) * 86400 + std::llround(std::fabs(date - whole) * 86400.0);
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  int64_t year = 0;
  int month = 0, day = 0;
  CivilFromDays(days - 25569, year, month, day);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02d-%02d%c%02d:%02d:%02d", static_cast<long long>(year), month, day,
                separator, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return buffer;
}

void PrintLog(std::ostream& out, const LogReport& report, bool with_completed) {
  out << report.log << '\n';
  if (with_completed) out << "  completed: " << (report.completed ? "yes" : "no") << '\n';
  const std::string started = report.start_date ? FormatOleDate(*report.start_date) : std::string();
  out << "  started: " << (started.empty() ? "(unreadable)" : started) << '\n';
  if (!report.temp_path.empty()) out << "  temporary folder: " << report.temp_path << '\n';
  out << "  backup: " << report.backup_destination << '\n';
  for (const ArchiveReport& archive : report.archives) {
    out << "  archive " << (archive.zip_id ? std::to_string(*archive.zip_id) : "?") << ", drive "
        << archive.drive << ": " << archive.archive << '\n';
    for (const std::string& file : archive.files) out << "    " << file << '\n';
  }
}

void WriteLogFields(JsonWriter& json, const LogReport& report) {
  json.Field("log", report.log);
  json.Field("completed", report.completed);
  json.Key("start_date");
  const std::string started = report.start_date ? FormatOleDate(*report.start_date, 'T') : std::string();
  started.empty() ? json.Null() : json.String(started);
  json.Key("start_date_serial");
  report.start_date ? json.Number(*report.start_date) : json.Null();
  json.Field("temp_path", report.temp_path);
  json.Field("backup_destination", report.backup_destination);
  json.Key("archives");
  json.BeginArray();
  for (const ArchiveReport& archive : report.archives) {
    json.BeginObject();
    json.Key("zip_id");
    archive.zip_id ? json.Integer(*archive.zip_id) : json.Null();
    json.Field("drive", archive.drive);
    json.Field("archive", archive.archive);
    json.Key("files");
    json.BeginArray();
    for (const std::string& file : archive.files) json.String(file);
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
}

}  // namespace bk::cli
