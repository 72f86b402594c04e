// Leaving safe mode. The completed mark in the log is the commit point: every
// step before it leaves the period recoverable (log unmarked, drive archives
// in place), every step after it only removes files nobody needs any more.
#include <chrono>
#include <string>
#include <utility>

#include "component/error.h"
#include "log/period_files.h"
#include "safemode/file_rollback_create.h"

namespace bk {
namespace {

// How many fresh names a file the period invents tries before a clash is
// reported.
constexpr int kNameAttempts = 20;

void RemoveQuietly(FileSystem& fs, const std::string& path) {
  try {
    if (fs.FileExists(path)) fs.RemoveFile(path, true);
  } catch (const Error&) {
    // The failure that brought us here is the one to report.
  }
}

// True when both folders are known to lie on one file system (a rename
// between them can still fail, across two mounts of one file system).
bool OnOneFileSystem(FileSystem& fs, const std::string& folder, const std::string& other) {
  try {
    const FileStat a = fs.Stat(folder);
    const FileStat b = fs.Stat(other);
    return a.is_folder && b.is_folder && a.device == b.device;
  } catch (const Error&) {
    return false;
  }
}

}  // namespace

void clsFileRollbackCreate::EndSafety(bool blnKeepLogFile) { EndSafetyWith(blnKeepLogFile, nullptr, nullptr); }

std::string clsFileRollbackCreate::EndSafetyKeepingBackup(bool blnKeepLogFile, std::optional<Error>* why) {
  std::string kept;
  EndSafetyWith(blnKeepLogFile, &kept, why);
  return kept;
}

void clsFileRollbackCreate::EndSafetyWith(bool blnKeepLogFile, std::string* kept, std::optional<Error>* why) {
  safe_mode_ = false;
  if (!drive_zips_ || !log_ || !period_) throw Error::Standard(errnum::kObjectNotSet);
  try {
    FlushDriveZips();
    WriteBackupArchive(kept, why);
    log_->Completed(true);
  } catch (...) {
    LetGo();  // the period stays unfinished, for a rollback
    throw;
  }
  // Committed: what is left only removes files nobody needs any more. A
  // removal that fails leaves a completed log or leftovers, which a later
  // rollback clears.
  ConnectEvents(nullptr);
  const std::vector<std::string> archives = ArchivePaths();
  drive_zips_.reset();
  log_->FlushRecordWithSaves(nullptr);
  log_.reset();
  std::unique_ptr<Period> period = std::move(period_);
  period->Finish(PeriodRemoval{!blnKeepLogFile, archives, {}, true});
}

void clsFileRollbackCreate::WriteBackupArchive(std::string* kept, std::optional<Error>* why) {
  FileSystem& fs = *fs_;
  if (backup_file_.empty()) throw Error::Standard(errnum::kPathNotFound, backup_file_);
  const std::string target = fs.GetAbsolutePathName(backup_file_);
  // Where owners, modes and attributes are the platform's, the record holds
  // what the log cannot say (trees, folders, attributes): it goes into the
  // backup as a third kind of entry, with the time the period ended. The
  // backup of a Windows period keeps the log and the drive archives only.
  PeriodRecordWriter* record = fs.paths().HasPosixModes() ? Record() : nullptr;
  if (record != nullptr) {
    record->AddCompleted(std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch()).count());
    record->Sync();
  }
  // Built in the period's files folder under a name of the period: that
  // folder exists, is trusted, and a build cut short is claimed by its
  // period. The archive is created afresh, exclusively and following no
  // link; a taken name moves to another. Where BackupFile lies on the same
  // file system the build shares the drive archives' blocks (where the file
  // system clones) and is renamed over BackupFile, so no byte is written
  // twice; elsewhere it is compressed whole and copied there.
  const PeriodNames& names = period_->names();
  const bool renamed_into_place = OnOneFileSystem(fs, names.FilesFolder(), fs.GetParentFolderName(target));
  ArchiveComponent backup(fs_);
  backup.KeepPaths = false;
  backup.CloneFiles = renamed_into_place;
  CreateFresh([&](int) { return names.BackupBuild(fs.GetTempName()); }, kNameAttempts,
              [&](const std::string& path) {
                backup.ArchiveFileName = path;
                backup.CreateNew();
              });
  try {
    for (auto& zip : *drive_zips_) {
      // A drive archive's entries are compressed already, and deflating it
      // again would take longer than making its files safe did, for a few
      // percent. Only the copies it holds sharing their files' blocks are
      // not, and those are compressed when the backup goes elsewhere.
      backup.Compress = !renamed_into_place && zip->StoredClones() ? zip::Compression::kThroughout
                                                                   : zip::Compression::kNone;
      ZipIntoBackup(backup, zip->ArchiveFileName);
    }
    // The log goes when the period is done: its copy is compressed.
    backup.CloneFiles = false;
    backup.Compress = zip::Compression::kJudged;
    backup.IncludeOpenFiles = true;
    ZipIntoBackup(backup, names.Log());
    if (record != nullptr) ZipIntoBackup(backup, record->path());
  } catch (...) {
    // The half-made backup archive is of no use to anyone: the drive archives
    // and the unmarked log are still in place.
    RemoveQuietly(fs, backup.ArchiveFileName);
    throw;
  }
  try {
    if (renamed_into_place && RenameDurably(backup.ArchiveFileName, target)) return;
    CopyDurably(backup.ArchiveFileName, target);
  } catch (const Error& e) {
    if (kept != nullptr) {
      *kept = KeepInTempFolder(backup.ArchiveFileName, target);
      *why = e;
      return;
    }
    RemoveQuietly(fs, backup.ArchiveFileName);
    throw;
  } catch (...) {
    RemoveQuietly(fs, backup.ArchiveFileName);
    throw;
  }
  // The build goes with the period's other files when it is done.
}

std::string clsFileRollbackCreate::KeepInTempFolder(const std::string& build, const std::string& target) {
  FileSystem& fs = *fs_;
  const std::string folder = PeriodFolder();
  const std::string name = fs.BuildPath(folder, fs.GetFileName(target));
  const std::string path = CreateFresh([&](int n) { return NumberedName(name, n); }, kNameAttempts,
                                       [&](const std::string& candidate) { fs.RenameNoReplace(build, candidate); });
  fs.SyncFolder(folder);
  return path;
}

// The build, flushed by its last Zip, is renamed over BackupFile and the
// folder flushed. A rename that fails leaves the build where it was (false):
// it is then copied, which tells the cause if it lasts.
bool clsFileRollbackCreate::RenameDurably(const std::string& build, const std::string& target) {
  FileSystem& fs = *fs_;
  try {
    fs.RenameFile(build, target);
  } catch (const Error&) {
    if (fs.FileExists(build)) return false;
    throw;
  }
  fs.SyncFolder(fs.GetParentFolderName(target));
  return true;
}

// A backup that silently lacks a drive archive would lose the only copy of
// its files once the period is committed, so a skipped file fails here.
void clsFileRollbackCreate::ZipIntoBackup(ArchiveComponent& backup, const std::string& path) {
  backup.FilesToProcess = path;
  if (backup.Zip() != 0) throw Error::Standard(errnum::kPathFileAccessError, path);
}

// The backup replaces whatever is at `to` atomically: it is copied beside it
// into a file created exclusively, following no link and for its owner only
// (a taken name moves to another), flushed, renamed over it and the folder
// flushed, so that a failure at any point leaves the earlier file there whole.
void clsFileRollbackCreate::CopyDurably(const std::string& from, const std::string& target) {
  FileSystem& fs = *fs_;
  std::string copy;
  std::unique_ptr<File> out = fs.CreateFresh(
      [&](int) { return period_->names().BackupCopy(target, fs.GetTempName()); }, OpenMode::kCreatePrivate,
      kNameAttempts, &copy);
  try {
    {
      std::unique_ptr<File> in = fs.Open(from, OpenMode::kReadRegular);
      std::string buffer(1 << 16, '\0');
      for (uint64_t offset = 0;;) {
        const size_t n = in->ReadAt(offset, buffer.data(), buffer.size());
        if (n == 0) break;
        out->WriteAt(offset, buffer.data(), n);
        offset += n;
      }
    }
    out->Sync();
    out->Close();
    out.reset();
    fs.RenameFile(copy, target);
  } catch (...) {
    out.reset();
    RemoveQuietly(fs, copy);
    throw;
  }
  fs.SyncFolder(fs.GetParentFolderName(target));
}

}  // namespace bk
