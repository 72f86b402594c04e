#include "log/period.h"

#include <cstdio>

#include "component/error.h"
#include "component/text.h"

namespace bk {
namespace {

constexpr std::string_view kPrefix = "Safe";
constexpr std::string_view kLogExtension = ".xml";
constexpr std::string_view kLockExtension = ".lock";
constexpr std::string_view kRecordExtension = ".record";
constexpr std::string_view kTempExtension = ".tmp";
constexpr std::string_view kArchiveExtension = ".zip";
constexpr std::string_view kBackupInfix = "-backup.";

bool AllDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string_view Before(std::string_view s, std::string_view suffix) { return s.substr(0, s.size() - suffix.size()); }

}  // namespace

PeriodNames PeriodNames::OfLog(std::string_view log_path) {
  if (log_path.ends_with(kLogExtension)) log_path.remove_suffix(kLogExtension.size());
  return PeriodNames(std::string(log_path));
}

PeriodNames PeriodNames::At(const FileSystem& fs, std::string_view folder, const LocalDateTime& start) {
  return PeriodNames(fs.BuildPath(folder, std::string(kPrefix) + " " + PeriodStamp(start)));
}

std::string PeriodNames::Log() const { return stem_ + std::string(kLogExtension); }
std::string PeriodNames::Folder() const { return NativePathRules().GetParentFolderName(stem_); }
std::string PeriodNames::FilesFolder() const { return NativePathRules().BuildPath(Folder(), kPeriodFilesFolder); }
std::string PeriodNames::Lock() const { return InFilesFolder(kLockExtension); }
std::string PeriodNames::Record() const { return InFilesFolder(kRecordExtension); }
std::string PeriodNames::LegacyLock() const { return stem_ + std::string(kLockExtension); }
std::string PeriodNames::LegacyRecord() const { return stem_ + std::string(kRecordExtension); }

std::string PeriodNames::InFilesFolder(std::string_view suffix) const {
  return NativePathRules().BuildPath(FilesFolder(), NativePathRules().GetFileName(stem_) + std::string(suffix));
}
std::string PeriodNames::Archive(int32_t n) const { return stem_ + "-" + std::to_string(n) + std::string(kArchiveExtension); }

std::string PeriodNames::BackupBuild(std::string_view random) const {
  return InFilesFolder(std::string(kBackupInfix) + std::string(random));
}

std::string PeriodNames::BackupCopy(std::string_view backup_file, std::string_view random) const {
  return std::string(backup_file) + "." + NativePathRules().GetFileName(stem_) + "." + std::string(random);
}

bool PeriodNames::IsBackupCopy(std::string_view backup_file, std::string_view file_name) const {
  const PathRules& rules = NativePathRules();
  const std::string prefix = rules.GetFileName(backup_file) + "." + rules.GetFileName(stem_) + ".";
  return file_name.size() > prefix.size() + kTempExtension.size() && file_name.starts_with(prefix) &&
         file_name.ends_with(kTempExtension);
}

std::string PeriodStamp(const LocalDateTime& t) {
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d.%02d.%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return stamp;
}

std::optional<PeriodFileName> ParsePeriodFileName(std::string_view name) {
  if (!name.starts_with(kPrefix)) return std::nullopt;
  const auto make = [](PeriodFileKind kind, std::string_view stem) {
    return std::optional<PeriodFileName>(PeriodFileName{kind, std::string(stem)});
  };
  if (name.ends_with(kLogExtension)) return make(PeriodFileKind::kLog, Before(name, kLogExtension));
  if (name.ends_with(kLockExtension)) return make(PeriodFileKind::kLock, Before(name, kLockExtension));
  if (name.ends_with(kRecordExtension)) return make(PeriodFileKind::kRecord, Before(name, kRecordExtension));
  if (name.ends_with(kArchiveExtension)) {
    const std::string_view base = Before(name, kArchiveExtension);
    const size_t dash = base.rfind('-');
    if (dash == std::string_view::npos || !AllDigits(base.substr(dash + 1))) return std::nullopt;
    return make(PeriodFileKind::kArchive, base.substr(0, dash));
  }
  if (!name.ends_with(kTempExtension)) return std::nullopt;
  // Saves of the log: "<stem>.xml.<random>.tmp".
  const size_t save = name.rfind(std::string(kLogExtension) + ".");
  if (save != std::string_view::npos && save > 0) return make(PeriodFileKind::kLogSave, name.substr(0, save));
  // The backup being built: "<stem>-backup.<random>.tmp", or "<stem>-backup.tmp"
  // as earlier versions named it.
  const size_t backup = name.rfind(kBackupInfix);
  if (backup != std::string_view::npos && backup > 0) return make(PeriodFileKind::kBackupBuild, name.substr(0, backup));
  return std::nullopt;
}

bool StartsLater(const std::optional<double>& a_start, std::string_view a_log, const std::optional<double>& b_start,
                 std::string_view b_log) {
  if (a_start.has_value() != b_start.has_value()) return a_start.has_value();
  if (a_start && *a_start != *b_start) return *a_start > *b_start;
  return a_log > b_log;
}

bool SameFolder(FileSystem& fs, const std::string& a, const std::string& b) {
  FileStat sa, sb;
  try {
    sa = fs.Stat(fs.BuildPath(a, "."));
    sb = fs.Stat(fs.BuildPath(b, "."));
  } catch (const Error&) {
    return false;
  }
  if (sa.file_id != 0 || sb.file_id != 0) return SameEntry(sa, sb);
  try {
    std::string ra = fs.ResolveLinks(a), rb = fs.ResolveLinks(b);
    if (fs.paths().FoldsCase()) {
      ra = text::FoldCase(ra);
      rb = text::FoldCase(rb);
    }
    return ra == rb;
  } catch (const Error&) {
    return false;
  }
}

}  // namespace bk
