#include "cli/log_report.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>

#include "component/platform.h"
#include "log/period.h"

namespace bk::cli {

size_t LogReport::FileCount() const {
  size_t count = 0;
  for (const ArchiveReport& archive : archives) count += archive.files.size();
  return count;
}

bool LogReport::ArchivesAllMissing() const {
  return !archives.empty() &&
         std::all_of(archives.begin(), archives.end(), [](const ArchiveReport& a) { return a.missing; });
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

ArchiveReport DescribeArchive(clsFileRollBackLogZip& zip, FileSystem& fs) {
  ArchiveReport report;
  report.zip_id = Optional<int32_t>([&] { return zip.ZipId(); });
  report.drive = zip.ZipDrive();
  report.archive = zip.ZipName();
  report.files = zip.FilePaths();
  // Missing where a rollback would read it: beside the log.
  std::string read_from = report.archive;
  if (const auto log = zip.Parent()) read_from = Optional<std::string>([&] { return log->ArchivePath(zip); }).value_or(read_from);
  report.missing = !fs.FileExists(read_from);
  return report;
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
  for (int32_t i = 1; i <= count; ++i) report.archives.push_back(DescribeArchive(*log.Zip(i), log.file_system()));
  return report;
}

void SortNewestFirst(std::vector<DescribedLog>& logs) {
  std::stable_sort(logs.begin(), logs.end(), [](const DescribedLog& a, const DescribedLog& b) {
    return StartsLater(a.report.start_date, a.report.log, b.report.start_date, b.report.log);
  });
}

std::string FormatOleDate(double date, char separator) {
  using namespace std::chrono;
  // Before day 0 the fraction counts forwards from the (negative) day.
  const double whole = std::trunc(date);
  const seconds offset(static_cast<int64_t>(whole) * 86400 + std::llround(std::fabs(date - whole) * 86400.0));
  const sys_seconds moment = sys_days(year{1899} / December / 30) + offset;
  const sys_days midnight = floor<days>(moment);
  const year_month_day civil(midnight);
  const int64_t rest = (moment - midnight).count();
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u%c%02d:%02d:%02d", static_cast<int>(civil.year()),
                static_cast<unsigned>(civil.month()), static_cast<unsigned>(civil.day()), separator,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return buffer;
}

void PrintLog(std::ostream& out, const LogReport& report, bool with_completed) {
  out << report.log << '\n';
  if (with_completed) out << "  completed: " << (report.completed ? "yes" : "no") << '\n';
  out << "  started: " << (report.start_date ? FormatOleDate(*report.start_date) : "(unreadable)") << '\n';
  if (!report.temp_path.empty()) out << "  temporary folder: " << report.temp_path << '\n';
  out << "  backup: " << report.backup_destination << '\n';
  for (const ArchiveReport& archive : report.archives) {
    out << "  archive " << (archive.zip_id ? std::to_string(*archive.zip_id) : "?") << ", drive "
        << archive.drive << ": " << archive.archive << (archive.missing ? " (missing)" : "") << '\n';
    for (const std::string& file : archive.files) out << "    " << file << '\n';
  }
}

std::string FormatOleDateWithOffset(double date) {
  std::string text = FormatOleDate(date, 'T');
  LocalDateTime local;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &local.year, &local.month, &local.day, &local.hour,
                  &local.minute, &local.second) != 6) {
    return text;
  }
  const int64_t offset = UtcOffsetSeconds(local);
  const int64_t minutes = (offset < 0 ? -offset : offset) / 60;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', static_cast<int>(minutes / 60),
                static_cast<int>(minutes % 60));
  return text + zone;
}

void WriteLogFields(JsonWriter& json, const LogReport& report) {
  json.Field("log", report.log);
  json.Field("completed", report.completed);
  json.Key("start_date");
  report.start_date ? json.String(FormatOleDateWithOffset(*report.start_date)) : json.Null();
  json.Key("start_date_serial");
  report.start_date ? json.Number(*report.start_date) : json.Null();
  json.Field("temp_path", report.temp_path);
  json.Field("backup_destination", report.backup_destination);
  json.Field("archives_missing", report.ArchivesAllMissing());
  json.Key("archives");
  json.BeginArray();
  for (const ArchiveReport& archive : report.archives) {
    json.BeginObject();
    json.Key("zip_id");
    archive.zip_id ? json.Integer(*archive.zip_id) : json.Null();
    json.Field("drive", archive.drive);
    json.Field("archive", archive.archive);
    json.Field("missing", archive.missing);
    json.Key("files");
    json.BeginArray();
    for (const std::string& file : archive.files) json.String(file);
    json.EndArray();
    json.EndObject();
  }
  json.EndArray();
}

}  // namespace bk::cli
