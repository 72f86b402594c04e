#include "cli/backup_archive.h"

#include <algorithm>
#include <cstdio>

#include "component/error.h"
#include "component/text.h"
#include "component/zip/zip_reader.h"
#include "log/period.h"
#include "log/trust.h"

namespace bk::cli {
namespace {

constexpr std::string_view kStamp = "%t";
// How much of a log's text tells whether it is a backup of a given name: its
// declaration, root and backup destination come first.
constexpr size_t kLogProbeSize = 16 * 1024;

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

std::string Stamp(const LocalDateTime& t) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return stamp;
}

// What a top-level file entry's name says it is, by the names of a period's
// files; nullopt for anything else (a folder, a name with a separator).
std::optional<PeriodFileKind> KindOf(const zip::Entry& e) {
  if (e.IsFolder() || e.name.find_first_of("/\\") != std::string::npos) return std::nullopt;
  const std::optional<PeriodFileName> parsed = ParsePeriodFileName(e.name);
  if (!parsed) return std::nullopt;
  return parsed->kind;
}

// The top-level entry naming a rollback log ("Safe *.xml"), if any.
const zip::Entry* LogEntry(const std::vector<zip::Entry>& entries) {
  for (const zip::Entry& e : entries) {
    if (KindOf(e) == PeriodFileKind::kLog) return &e;
  }
  return nullptr;
}

// Thrown by a sink that has read all it wants.
struct Enough {};

// Streams the entry's data to `sink`, refusing it when the directory
// declares more than `bound` bytes and stopping once more than that came.
void ReadBounded(File& archive, const zip::Entry& e, std::string_view what, uint64_t bound, const std::string& where,
                 const zip::DataSink& sink) {
  if (e.size > bound) throw TooLarge(errnum::kArchiveError, what, e.size, bound, where);
  uint64_t got = 0;
  const bool intact = zip::ExtractEntry(archive, archive.Size(), e, [&](const char* data, size_t n) {
    got += n;
    if (got > bound) throw TooLarge(errnum::kArchiveError, what, got, bound, where);
    sink(data, n);
  });
  if (!intact) throw Error(errnum::kArchiveError, kLibrarySource, "The backup's entry is damaged", where);
}

std::string Unescaped(std::string_view xml) {
  static const std::pair<std::string_view, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < xml.size(); ++i) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (xml.substr(i, entity.size()) == entity) {
        out += c;
        i += entity.size() - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += xml[i];
  }
  return out;
}

// True when the open file is a backup whose log begins as a rollback log
// and names `name` as its backup destination's file name.
bool IsBackupNamed(FileSystem& fs, File& file, const std::string& name) {
  zip::Directory dir;
  std::string head;
  try {
    if (!zip::ReadCompleteDirectory(file, &dir)) return false;
    const zip::Entry* log = LogEntry(dir.entries);
    if (log == nullptr) return false;
    zip::ExtractEntry(file, file.Size(), *log, [&](const char* data, size_t n) {
      head.append(data, std::min(n, kLogProbeSize - head.size()));
      if (head.size() >= kLogProbeSize) throw Enough{};
    });
  } catch (const Enough&) {
  } catch (const Error&) {
    return false;
  }
  if (head.size() < 2 || head.compare(0, 2, "\xFF\xFE") != 0) return false;
  head.resize(head.size() & ~size_t{1});
  std::u16string utf16(head.size() / 2 - 1, u'\0');
  for (size_t i = 0; i < utf16.size(); ++i) {
    utf16[i] = static_cast<char16_t>(static_cast<uint8_t>(head[2 + 2 * i]) | static_cast<uint8_t>(head[3 + 2 * i]) << 8);
  }
  std::string text = text::ToUtf8(utf16);
  // An XML declaration may come first; the root element must follow.
  if (text.starts_with("<?xml")) text.erase(0, std::min(text.size(), text.find("?>") + 2));
  const size_t root = text.find_first_not_of(" \t\r\n");
  if (root == std::string::npos || text.compare(root, 22, "<VELMARFileRollbackLog") != 0) return false;
  constexpr std::string_view kAttribute = "<BackupDestination Value=";
  const size_t at = text.find(kAttribute);
  if (at == std::string::npos || at + kAttribute.size() >= text.size()) return false;
  const size_t start = at + kAttribute.size() + 1;
  const size_t end = text.find(text[start - 1], start);
  if (end == std::string::npos) return false;
  return fs.GetFileName(Unescaped(std::string_view(text).substr(start, end - start))) == name;
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
  BackupArchive backup{path, {}, {}, fs->Open(path, OpenMode::kReadRegular), {}};
  backup.entries = zip::ReadDirectory(*backup.file).entries;
  if (const zip::Entry* log = LogEntry(backup.entries)) backup.log_entry = log->name;
  for (const zip::Entry& e : backup.entries) {
    if (KindOf(e) == PeriodFileKind::kArchive) backup.archive_entries.push_back(e.name);
  }
  if (backup.log_entry.empty()) {
    throw Error(errnum::kArchiveError, kLibrarySource, "Not a backup archive: it holds no rollback log", path);
  }
  return backup;
}

std::optional<Error> BackupDistrust(FileSystem& fs, const BackupArchive& backup, int64_t user, int64_t group) {
  if (std::optional<Error> why = FileDistrust(backup.file->Stat(), backup.path, user)) return why;
  return FolderDistrust(fs, fs.GetParentFolderName(backup.path), user, group);
}

std::shared_ptr<clsFileRollbackLog> LoadBackupLog(const std::shared_ptr<FileSystem>& fs, const BackupArchive& backup) {
  const std::string where = backup.path + ":" + backup.log_entry;
  std::string text;
  ReadBounded(*backup.file, *LogEntry(backup.entries), "Rollback log", kMaxLogSize, where,
              [&](const char* data, size_t n) { text.append(data, n); });
  auto log = clsFileRollbackLog::Create(fs);
  log->LoadFromText(text, where);
  return log;
}

UnpackedBackup::UnpackedBackup(std::shared_ptr<FileSystem> fs, const BackupArchive& backup, const std::string& parent)
    : fs_(std::move(fs)), parent_(fs_->OpenFolder(fs_->GetAbsolutePathName(parent), nullptr)) {
  // A folder, so that the period files in it are never taken for the
  // parent folder's own; a fresh name, made for its owner only.
  constexpr int kNames = 20;
  name_ = CreateFresh([&](int) { return "revert-" + fs_->GetTempName(); }, kNames,
                      [&](const std::string& candidate) { parent_->MakeFolder(candidate); });
  try {
    folder_ = parent_->OpenSubfolder(name_);
    Unpack(backup);
  } catch (...) {
    Remove();
    throw;
  }
}

void UnpackedBackup::Unpack(const BackupArchive& backup) {
  const int64_t user = CurrentUserId();
  for (const zip::Entry& e : backup.entries) {
    const bool wanted = e.name == backup.log_entry || std::find(backup.archive_entries.begin(),
                                                                 backup.archive_entries.end(),
                                                                 e.name) != backup.archive_entries.end();
    if (!wanted) continue;
    const bool log = e.name == backup.log_entry;
    const uint64_t bound = log ? kMaxLogSize : std::max(kMinUnpackBound, e.compressed_size * kMaxUnpackRatio);
    const std::unique_ptr<File> out = folder_->OpenEntry(e.name, OpenMode::kCreatePrivate);
    uint64_t offset = 0;
    ReadBounded(*backup.file, e, log ? "Rollback log" : "Drive archive", bound, backup.path + ":" + e.name,
                [&](const char* data, size_t n) {
      out->WriteAt(offset, data, n);
      offset += n;
    });
    if (std::optional<Error> why = FileDistrust(out->Stat(), out->path(), user)) throw *why;
    out->Close();
  }
  log_ = clsFileRollbackLog::Create(fs_);
  log_->LoadFromFile(fs_->BuildPath(folder_->path(), backup.log_entry));
  log_->ArchivesMovedBeside();
  if (user >= 0) {
    log_->SetDistrustCheck([user](const FileStat& st, const std::string& file) { return FileDistrust(st, file, user); });
  }
}

UnpackedBackup::~UnpackedBackup() { Remove(); }

void UnpackedBackup::Remove() noexcept {
  if (name_.empty()) return;
  try {
    if (folder_) {
      // The copies, and the folder of their period's other files.
      for (const FolderItem& item : folder_->ListEntries()) {
        if (!item.stat.is_folder) {
          folder_->RemoveEntry(item.name);
          continue;
        }
        const std::unique_ptr<Folder> sub = folder_->OpenSubfolder(item.name);
        for (const FolderItem& inner : sub->ListEntries()) sub->RemoveEntry(inner.name);
        folder_->RemoveSubfolder(item.name);
      }
    }
    parent_->RemoveSubfolder(name_);
    name_.clear();
  } catch (...) {
    // What cannot go stays in a folder of its own; it holds only copies.
  }
}

std::string StampBackupName(const std::string& pattern, const LocalDateTime& start) {
  const std::string stamp = Stamp(start);
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && (pattern[i + 1] == '%' || pattern[i + 1] == 't')) {
      out += pattern[i + 1] == '%' ? std::string("%") : stamp;
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

std::vector<std::string> PruneBackups(const std::shared_ptr<FileSystem>& fs, const std::string& pattern, size_t keep,
                                      const std::string& written, const LocalDateTime& now) {
  const Pattern p = Split(fs->GetFileName(pattern));
  const std::unique_ptr<Folder> folder = fs->OpenFolder(fs->GetParentFolderName(pattern), nullptr);
  const std::string latest = Stamp(now), written_name = fs->GetFileName(written);
  const int64_t user = CurrentUserId();
  struct Found {
    std::string stamp, name;
    FileStat judged;
  };
  std::vector<Found> found;
  for (const FolderItem& item : folder->ListEntries()) {
    const std::string& n = item.name;
    if (n.size() != p.before.size() + 15 + p.after.size() || !n.starts_with(p.before) || !n.ends_with(p.after)) continue;
    const std::string stamp = n.substr(p.before.size(), 15);
    if (!IsStamp(stamp) || stamp > latest || item.stat.is_symlink || item.stat.is_folder) continue;
    try {
      const std::unique_ptr<File> file = folder->OpenEntry(n, OpenMode::kReadRegular);
      const FileStat st = file->Stat();
      if ((user < 0 || st.owner == user) && IsBackupNamed(*fs, *file, n)) found.push_back(Found{stamp, n, st});
    } catch (const Error&) {
      // Not a regular file, or gone: not a backup of ours.
    }
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.stamp > b.stamp; });
  std::vector<std::string> removed;
  for (size_t i = keep; i < found.size(); ++i) {
    if (found[i].name == written_name) continue;
    try {
      folder->RemoveEntryIfSame(found[i].name, found[i].judged);
    } catch (const Error& e) {
      if (e.IsNotFound() || e.number() == errnum::kPermissionDenied) continue;  // gone, or replaced since judged
      throw;
    }
    removed.push_back(fs->BuildPath(folder->path(), found[i].name));
  }
  if (!removed.empty()) folder->Sync();
  return removed;
}

}  // namespace bk::cli
