#include "cli/backup_archive.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "component/error.h"
#include "component/text.h"
#include "component/fs/memory_file.h"
#include "component/zip/zip_reader.h"
#include "log/period.h"
#include "log/period_record.h"
#include "log/trust.h"

namespace bk::cli {
namespace {

// How much of a log's text tells whether it is a backup of a given name: its
// declaration, root and backup destination come first.
constexpr size_t kLogProbeSize = 16 * 1024;

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

}  // namespace

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
    if (KindOf(e) == PeriodFileKind::kRecord && backup.record_entry.empty()) backup.record_entry = e.name;
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

namespace {

enum class Unpacked { kLog, kDriveArchive, kRecord };

// What `taken` bytes of a backup may unpack to.
uint64_t RatioBound(uint64_t taken) {
  const uint64_t by_ratio = taken > UINT64_MAX / kMaxUnpackRatio ? UINT64_MAX : taken * kMaxUnpackRatio;
  return std::max(kMinUnpackBound, by_ratio);
}

const char* Named(Unpacked what) {
  return what == Unpacked::kLog ? "Rollback log" : what == Unpacked::kRecord ? "Record" : "Drive archive";
}

// How much of a backup's entry is read out of it: its log by kMaxLogSize,
// anything else by kMaxUnpackRatio times what it takes in the backup (never
// taken as more than the backup's size), and the record, which a rollback
// reads whole, by kMaxRecordSize too. A drive archive has no such ceiling:
// one stored as it is takes in the backup what it unpacks to, however large.
uint64_t UnpackBound(const zip::Entry& e, Unpacked what, uint64_t backup_size) {
  if (what == Unpacked::kLog) return kMaxLogSize;
  const uint64_t bound = RatioBound(std::min(e.compressed_size, backup_size));
  return what == Unpacked::kRecord ? std::min(kMaxRecordSize, bound) : bound;
}

const zip::Entry* Find(const BackupArchive& backup, const std::string& name) {
  for (const zip::Entry& e : backup.entries) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

}  // namespace

PeriodSummary SummarizeBackup(const BackupArchive& backup) {
  const zip::Entry* e = backup.record_entry.empty() ? nullptr : Find(backup, backup.record_entry);
  if (e == nullptr) return {};
  try {
    std::string text;
    ReadBounded(*backup.file, *e, Named(Unpacked::kRecord), UnpackBound(*e, Unpacked::kRecord, backup.file->Size()),
                backup.path + ":" + e->name,
                [&](const char* data, size_t n) { text.append(data, n); });
    return Summarize(PeriodRecordReader::FromFile(std::make_unique<MemoryFile>(std::move(text), e->name), e->name));
  } catch (const Error&) {
    return {};
  }
}

void UnpackedBackup::Unpack(const BackupArchive& backup) {
  const int64_t user = CurrentUserId();
  const uint64_t backup_size = backup.file->Size();
  // The entries of a crafted backup can all point at one stream of data, so
  // the drive archives and the record are also bounded together, as one
  // entry the size of the backup would be.
  uint64_t shared = RatioBound(backup_size);
  const auto copy = [&](Folder& into, const zip::Entry& e, Unpacked what) {
    const std::unique_ptr<File> out = into.OpenEntry(e.name, OpenMode::kCreatePrivate);
    uint64_t offset = 0;
    const uint64_t bound = what == Unpacked::kLog ? kMaxLogSize : std::min(UnpackBound(e, what, backup_size), shared);
    ReadBounded(*backup.file, e, Named(what), bound, backup.path + ":" + e.name, [&](const char* data, size_t n) {
      out->WriteAt(offset, data, n);
      offset += n;
    });
    if (what != Unpacked::kLog) shared -= offset;
    if (std::optional<Error> why = FileDistrust(out->Stat(), out->path(), user)) throw *why;
    out->Close();
  };
  copy(*folder_, *Find(backup, backup.log_entry), Unpacked::kLog);
  for (const std::string& name : backup.archive_entries) copy(*folder_, *Find(backup, name), Unpacked::kDriveArchive);
  // The record goes where a rollback looks for it: in the folder of the
  // period's other files beside the log.
  if (!backup.record_entry.empty()) {
    folder_->MakeFolder(std::string(kPeriodFilesFolder));
    copy(*folder_->OpenSubfolder(std::string(kPeriodFilesFolder)), *Find(backup, backup.record_entry),
         Unpacked::kRecord);
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

}  // namespace bk::cli
