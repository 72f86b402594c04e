#include "cli/log_report.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>

#include "component/platform.h"
#include "component/text.h"
#include "log/period.h"
#include "log/period_record.h"
#include "restore/plan.h"

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

namespace {

// Read from the record's first lines (the label, when the period has one,
// follows the header); a record that cannot be read says nothing.
void ReadRecordHead(clsFileRollbackLog& log, LogReport& report) {
  if (log.LogFileName().empty()) return;
  try {
    FileSystem& fs = log.file_system();
    const std::string record = PeriodNames::OfLog(fs.GetAbsolutePathName(log.LogFileName())).Record();
    const std::unique_ptr<PeriodRecordReader> reader = PeriodRecordReader::Open(fs, record, log.distrust_check());
    if (!reader) return;
    report.utc_offset = reader->utc_offset();
    RecordItem item;
    if (reader->Next(item) && item.kind == RecordItem::kLabel) report.label = item.name;
  } catch (const std::exception&) {
  }
}

void Count(const restore::Step& step, PeriodCounts& c) {
  using restore::Action;
  switch (step.action) {
    case Action::kRestore: (step.seen.kind == restore::Kind::kNone ? c.removed : c.changed) += 1; break;
    case Action::kUnchanged: ++c.unchanged; break;
    case Action::kRemove:
    case Action::kRemoveFolder: ++c.created; break;
    case Action::kMakeFolder:
    case Action::kMakeLink: ++c.removed; break;
    case Action::kRefuse:
    case Action::kStop: ++c.refused; break;
    case Action::kDoneBefore: ++c.done_before; break;
    case Action::kFolderMetadata:
    case Action::kLeave: break;
  }
}

}  // namespace

void Foresee(clsFileRollbackLog& log, LogReport& report) {
  try {
    const restore::Plan plan = restore::MakePlan(log);
    PeriodCounts counts;
    for (const restore::Step& step : plan.steps) Count(step, counts);
    report.counts = counts;
    report.trees.clear();
    if (plan.record_index) {
      for (const restore::IndexedTree& tree : plan.record_index->trees) report.trees.push_back(tree.root);
    }
  } catch (const std::exception&) {
    // A log that cannot be planned says so when it is rolled back.
  }
}

LogReport DescribeLog(clsFileRollbackLog& log) {
  LogReport report;
  report.log = log.LogFileName();
  ReadRecordHead(log, report);
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

namespace {

std::string OffsetText(int64_t offset) {
  const int64_t minutes = (offset < 0 ? -offset : offset) / 60;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', static_cast<int>(minutes / 60),
                static_cast<int>(minutes % 60));
  return zone;
}

std::string CountsText(const LogReport& report) {
  std::string text = "files: " + std::to_string(report.FileCount());
  if (!report.counts) return text;
  const PeriodCounts& c = *report.counts;
  text += "; changed: " + std::to_string(c.changed) + ", created: " + std::to_string(c.created) +
          ", removed: " + std::to_string(c.removed);
  if (c.refused != 0) text += ", cannot come back: " + std::to_string(c.refused);
  if (c.done_before != 0) text += ", put back by an earlier rollback: " + std::to_string(c.done_before);
  return text;
}

}  // namespace

std::string StartedText(const LogReport& report) {
  if (!report.start_date) return {};
  const std::string text = FormatOleDate(*report.start_date);
  return report.utc_offset ? text + " " + OffsetText(*report.utc_offset) : text;
}

void PrintLog(std::ostream& out, const LogReport& report, bool with_completed, bool with_files) {
  out << text::OnOneLine(report.log) << '\n';
  if (with_completed) out << "  completed: " << (report.completed ? "yes" : "no") << '\n';
  const std::string started = StartedText(report);
  out << "  started: " << (started.empty() ? "(unreadable)" : started) << '\n';
  if (!report.temp_path.empty()) out << "  temporary folder: " << text::OnOneLine(report.temp_path) << '\n';
  out << "  backup: " << text::OnOneLine(report.backup_destination) << '\n';
  if (!report.label.empty()) out << "  label: " << text::OnOneLine(report.label) << '\n';
  for (size_t i = 0; i < report.trees.size(); ++i) {
    out << (i == 0 ? "  trees: " : ", ") << text::OnOneLine(report.trees[i]);
  }
  if (!report.trees.empty()) out << '\n';
  out << "  " << CountsText(report) << '\n';
  for (const ArchiveReport& archive : report.archives) {
    out << "  archive " << (archive.zip_id ? std::to_string(*archive.zip_id) : "?") << ", drive "
        << text::OnOneLine(archive.drive) << ": " << text::OnOneLine(archive.archive)
        << (archive.missing ? " (missing)" : "") << '\n';
    if (!with_files) continue;
    for (const std::string& file : archive.files) out << "    " << text::OnOneLine(file) << '\n';
  }
}

std::string FormatOleDateWithOffset(double date, std::optional<int64_t> utc_offset) {
  const std::string text = FormatOleDate(date, 'T');
  return utc_offset ? text + OffsetText(*utc_offset) : text;
}

void WriteLogFields(JsonWriter& json, const LogReport& report) {
  json.Field("log", report.log);
  json.Field("completed", report.completed);
  json.Key("start_date");
  report.start_date ? json.String(FormatOleDateWithOffset(*report.start_date, report.utc_offset)) : json.Null();
  json.Key("utc_offset");
  report.utc_offset ? json.Integer(*report.utc_offset) : json.Null();
  json.Key("start_date_serial");
  report.start_date ? json.Number(*report.start_date) : json.Null();
  json.Field("temp_path", report.temp_path);
  json.Field("backup_destination", report.backup_destination);
  json.Field("label", report.label);
  json.Field("archives_missing", report.ArchivesAllMissing());
  json.Field("trees", report.trees);
  json.Key("summary");
  if (report.counts) {
    const PeriodCounts& c = *report.counts;
    json.BeginObject();
    json.Field("files", static_cast<int64_t>(report.FileCount()));
    for (const auto& [key, value] : {std::pair{"changed", c.changed}, {"created", c.created}, {"removed", c.removed},
                                     {"unchanged", c.unchanged}, {"refused", c.refused},
                                     {"done_before", c.done_before}}) {
      json.Field(key, static_cast<int64_t>(value));
    }
    json.EndObject();
  } else {
    json.Null();
  }
  json.Key("archives");
  json.BeginArray();
  for (const ArchiveReport& archive : report.archives) {
    json.BeginObject();
    json.Key("zip_id");
    archive.zip_id ? json.Integer(*archive.zip_id) : json.Null();
    json.Field("drive", archive.drive);
    json.Field("archive", archive.archive);
    json.Field("missing", archive.missing);
    json.Field("files", archive.files);
    json.EndObject();
  }
  json.EndArray();
}

}  // namespace bk::cli
