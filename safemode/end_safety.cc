// Leaving safe mode. The completed mark in the log is the commit point: every
// step before it leaves the period recoverable (log unmarked, drive archives
// in place), every step after it only removes files nobody needs any more.
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

void clsFileRollbackCreate::EndSafety(bool blnKeepLogFile) {
  mblnSafeMode = false;
  if (!mcolDriveZips || !mobjLog) throw Error::Standard(errnum::kObjectNotSet);
  FileSystem& fs = *mobjFileSystem;

  std::string backup;
  try {
    FlushDriveZips();
    backup = WriteBackupArchive();
    mobjLog->Completed(true);
  } catch (...) {
    LetGo(false);  // the period stays unfinished, for a rollback
    throw;
  }

  // Committed: the period is let go before its files are removed, so that a
  // failed removal leaves no table naming archives that are already gone.
  ConnectEvents(nullptr);
  const auto zips = std::move(mcolDriveZips);
  mobjLog.reset();
  const std::string record = CloseRecord();
  try {
    for (auto& zip : *zips) fs.RemoveFile(zip->ArchiveFileName, false);
    if (!record.empty()) fs.RemoveFile(record, true);
    if (!backup.empty()) fs.RemoveFile(backup, true);
    if (!blnKeepLogFile) fs.RemoveFile(mstrLogFileName, true);
  } catch (...) {
    LetGo(false);
    throw;
  }
  LetGo(true);
}

std::string clsFileRollbackCreate::WriteBackupArchive() {
  FileSystem& fs = *mobjFileSystem;
  if (mstrBackupFile.empty()) throw Error::Standard(errnum::kPathNotFound, mstrBackupFile);
  const std::string target = fs.GetAbsolutePathName(mstrBackupFile);
  // Built beside the log under a name of the period: that folder exists, is
  // trusted, and a build cut short is claimed by its period. The archive is
  // created afresh, exclusively and following no link; a taken name moves
  // to another. Where BackupFile lies on the same file system the build
  // shares the drive archives' blocks (where the file system clones) and is
  // renamed over BackupFile, so no byte is written twice; elsewhere it is
  // compressed whole and copied there.
  const std::string log_path = fs.GetAbsolutePathName(mstrLogFileName);
  const PeriodNames names = PeriodNames::OfLog(log_path);
  const bool renamed_into_place =
      OnOneFileSystem(fs, fs.GetParentFolderName(log_path), fs.GetParentFolderName(target));
  ArchiveComponent backup(mobjFileSystem);
  backup.KeepPaths = false;
  backup.CloneFiles = renamed_into_place;
  for (int attempt = 0;; ++attempt) {
    backup.ArchiveFileName = names.BackupBuild(fs.GetTempName());
    try {
      backup.CreateNew();
      break;
    } catch (const Error& e) {
      if (e.number() != errnum::kFileAlreadyExists || attempt >= kNameAttempts) throw;
    }
  }
  try {
    for (auto& zip : *mcolDriveZips) {
      // Drive archives that share blocks hold stored copies, which their
      // start does not tell of.
      backup.DeflateThroughout = !renamed_into_place && zip->StoredClones();
      ZipIntoBackup(backup, zip->ArchiveFileName);
    }
    // The log goes when the period is done: its copy is compressed.
    backup.CloneFiles = false;
    backup.DeflateThroughout = false;
    backup.IncludeOpenFiles = true;
    ZipIntoBackup(backup, mstrLogFileName);
    if (renamed_into_place && RenameDurably(backup.ArchiveFileName, target)) return {};
    CopyDurably(backup.ArchiveFileName, target);
  } catch (...) {
    // The half-made backup archive is of no use to anyone: the drive archives
    // and the unmarked log are still in place.
    RemoveQuietly(fs, backup.ArchiveFileName);
    throw;
  }
  return backup.ArchiveFileName;
}

// The build, flushed by its last Zip, is renamed over BackupFile and the
// folder flushed. A rename that fails leaves the build where it was (false):
// it is then copied, which tells the cause if it lasts.
bool clsFileRollbackCreate::RenameDurably(const std::string& build, const std::string& target) {
  FileSystem& fs = *mobjFileSystem;
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
  FileSystem& fs = *mobjFileSystem;
  const PeriodNames names = PeriodNames::OfLog(fs.GetAbsolutePathName(mstrLogFileName));
  std::unique_ptr<File> out;
  std::string copy;
  for (int attempt = 0; !out; ++attempt) {
    copy = names.BackupCopy(target, fs.GetTempName());
    try {
      out = fs.Open(copy, OpenMode::kCreatePrivate);
    } catch (const Error& e) {
      if (e.number() != errnum::kFileAlreadyExists || attempt >= kNameAttempts) throw;
    }
  }
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
