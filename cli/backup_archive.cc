#include "cli/backup_archive.h"

#include <algorithm>
#include <cstdio>

#include "component/error.h"
#include "component/zip/archive.h"
#include "log/period.h"

namespace bk::cli {
namespace {

// A log is a few hundred bytes a file; this bounds what is read into memory.
constexpr uint64_t kMaxLogSize = 256ull << 20;
constexpr std::string_view kStamp = "%t";

bool EndsWith(const std::string& s, std::string_view suffix) { return s.ends_with(suffix); }

// The literal pieces of a file-name pattern around "%t", with "%%" read as "%".
struct Pattern {
  std::string before, after;
  bool stamped = false;
};

Pattern Split(const std::string& name) {
  Pattern p;
  std::string* out = &p.before;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 1 < name.size() && name[i + 1] == '%') {
      *out += '%';
      ++i;
    } else if (name.compare(i, kStamp.size(), kStamp) == 0 && !p.stamped) {
      p.stamped = true;
      out = &p.after;
      ++i;
    } else {
      *out += name[i];
    }
  }
  return p;
}

bool IsStamp(std::string_view s) {
  if (s.size() != 15 || s[8] != '-') return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i != 8 && (s[i] < '0' || s[i] > '9')) return false;
  }
  return true;
}

}  // namespace

bool IsZipArchive(FileSystem& fs, const std::string& path) {
  char magic[4] = {};
  try {
    const std::unique_ptr<File> file = fs.Open(path, OpenMode::kReadRegular);
    return file->ReadAt(0, magic, sizeof magic) == sizeof magic && std::string_view(magic, 4) == "PK\x03\x04";
  } catch (const Error&) {
    return false;
  }
}

BackupArchive ReadBackupArchive(const std::shared_ptr<FileSystem>& fs, const std::string& path) {
  BackupArchive backup{path, {}, {}};
  ArchiveComponent zip(fs);
  zip.ArchiveFileName = path;
  for (const std::string& name : zip.ListEntries()) {
    const std::optional<PeriodFileName> parsed = ParsePeriodFileName(name);
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos || !parsed) continue;
    if (parsed->kind == PeriodFileKind::kLog && backup.log_entry.empty()) backup.log_entry = name;
    if (parsed->kind == PeriodFileKind::kArchive) backup.archive_entries.push_back(name);
  }
  if (backup.log_entry.empty()) {
    throw Error(errnum::kArchiveError, kLibrarySource, "Not a backup archive: it holds no rollback log", path);
  }
  return backup;
}

std::shared_ptr<clsFileRollbackLog> LoadBackupLog(const std::shared_ptr<FileSystem>& fs, const BackupArchive& backup) {
  ArchiveComponent zip(fs);
  zip.ArchiveFileName = backup.path;
  auto log = clsFileRollbackLog::Create(fs);
  log->LoadFromText(zip.ReadEntry(backup.log_entry, kMaxLogSize), backup.path + ":" + backup.log_entry);
  return log;
}

UnpackedBackup::UnpackedBackup(std::shared_ptr<FileSystem> fs, const BackupArchive& backup, const std::string& parent)
    : fs_(std::move(fs)) {
  // A folder, so that the period files in it are never taken for the
  // parent folder's own; a fresh name, created afresh.
  for (int attempt = 0; folder_.empty(); ++attempt) {
    const std::string candidate = fs_->BuildPath(parent, "revert-" + fs_->GetTempName());
    try {
      fs_->CreateFolder(candidate);
      folder_ = candidate;
    } catch (const Error& e) {
      if (e.number() != errnum::kFileAlreadyExists || attempt >= 20) throw;
    }
  }
  ArchiveComponent zip(fs_);
  zip.ArchiveFileName = backup.path;
  zip.DestinationFolder = folder_;
  zip.KeepPaths = false;
  for (const std::string& entry : backup.archive_entries) {
    zip.FilesToProcess = entry;
    zip.Unzip();
  }
  zip.FilesToProcess = backup.log_entry;
  zip.Unzip();
  log_ = clsFileRollbackLog::Create(fs_);
  log_->LoadFromFile(fs_->BuildPath(folder_, backup.log_entry));
  log_->ArchivesMovedBeside();
}

UnpackedBackup::~UnpackedBackup() {
  try {
    for (const FolderEntry& entry : fs_->ListFiles(folder_)) fs_->RemoveFile(entry.path, true);
    fs_->RemoveFolder(folder_);
  } catch (const Error&) {
    // What cannot go stays in a folder of its own; it holds only copies.
  }
}

std::string StampBackupName(const std::string& pattern, const LocalDateTime& start) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", start.year, start.month, start.day, start.hour,
                start.minute, start.second);
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && (pattern[i + 1] == '%' || pattern[i + 1] == 't')) {
      out += pattern[i + 1] == '%' ? std::string("%") : std::string(stamp);
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

bool IsStampedPattern(const FileSystem& fs, const std::string& pattern) {
  return Split(fs.GetFileName(pattern)).stamped && !Split(fs.GetParentFolderName(pattern)).stamped;
}

std::vector<std::string> PruneBackups(FileSystem& fs, const std::string& pattern, size_t keep) {
  const Pattern p = Split(fs.GetFileName(pattern));
  const std::string folder = fs.GetParentFolderName(pattern);
  std::vector<std::pair<std::string, std::string>> found;  // stamp, path
  for (const FolderEntry& entry : fs.ListFiles(folder)) {
    const std::string& n = entry.name;
    if (n.size() != p.before.size() + 15 + p.after.size() || !n.starts_with(p.before) || !EndsWith(n, p.after)) continue;
    const std::string stamp = n.substr(p.before.size(), 15);
    if (IsStamp(stamp)) found.emplace_back(stamp, entry.path);
  }
  std::sort(found.begin(), found.end(), std::greater<>());
  std::vector<std::string> removed;
  for (size_t i = keep; i < found.size(); ++i) {
    fs.RemoveFile(found[i].second, true);
    removed.push_back(found[i].second);
  }
  if (!removed.empty()) fs.SyncFolder(folder);
  return removed;
}

}  // namespace bk::cli
