// Leaving safe mode. The completed mark in the log is the commit point: every
// step before it leaves the period recoverable (log unmarked, drive archives
// in place), every step after it only removes files nobody needs any more.
#include <string>
#include <utility>

#include "component/error.h"
#include "log/period_files.h"
#include "safemode/file_rollback_create.h"

namespace bk {

void clsFileRollbackCreate::EndSafety(bool blnKeepLogFile) {
  mblnSafeMode = false;
  if (!mcolDriveZips || !mobjLog) throw Error::Standard(errnum::kObjectNotSet);
  FileSystem& fs = *mobjFileSystem;

  FlushDriveZips();
  const std::string backup = WriteBackupArchive();
  mobjLog->Completed(true);

  // Committed: the period is let go before its files are removed, so that a
  // failed removal leaves no table naming archives that are already gone.
  ConnectEvents(nullptr);
  const auto zips = std::move(mcolDriveZips);
  mobjLog.reset();
  for (auto& zip : *zips) fs.RemoveFile(zip->ArchiveFileName, false);
  fs.RemoveFile(backup, true);
  if (!blnKeepLogFile) fs.RemoveFile(mstrLogFileName, true);
}

std::string clsFileRollbackCreate::WriteBackupArchive() {
  FileSystem& fs = *mobjFileSystem;
  // Built beside the log under a name of the period: that folder exists, the
  // current folder of the process may be read-only or shared, and a build cut
  // short is claimed by its period.
  ArchiveComponent backup(mobjFileSystem);
  backup.ArchiveFileName = BackupBuildPath(fs.GetAbsolutePathName(mstrLogFileName));
  backup.KeepPaths = false;
  try {
    // A build of this period cut short earlier is of no use: it goes, and the
    // archive is created afresh, exclusively and following no link.
    if (fs.FileExists(backup.ArchiveFileName)) fs.RemoveFile(backup.ArchiveFileName, true);
    backup.CreateNew();
    for (auto& zip : *mcolDriveZips) ZipIntoBackup(backup, zip->ArchiveFileName);
    backup.IncludeOpenFiles = true;
    ZipIntoBackup(backup, mstrLogFileName);
    CopyDurably(backup.ArchiveFileName, mstrBackupFile);
  } catch (...) {
    // The half-made backup archive is of no use to anyone: the drive archives
    // and the unmarked log are still in place.
    try {
      if (fs.FileExists(backup.ArchiveFileName)) fs.RemoveFile(backup.ArchiveFileName, true);
    } catch (const Error&) {
    }
    throw;
  }
  return backup.ArchiveFileName;
}

// A backup that silently lacks a drive archive would lose the only copy of
// its files once the period is committed, so a skipped file fails here.
void clsFileRollbackCreate::ZipIntoBackup(ArchiveComponent& backup, const std::string& path) {
  backup.FilesToProcess = path;
  if (backup.Zip() != 0) throw Error::Standard(errnum::kPathFileAccessError, path);
}

// The backup replaces whatever is at `to` atomically: it is copied beside
// it, flushed, renamed over it and the folder flushed, so that a failure at
// any point leaves the earlier file there whole.
void clsFileRollbackCreate::CopyDurably(const std::string& from, const std::string& to) {
  FileSystem& fs = *mobjFileSystem;
  if (to.empty()) throw Error::Standard(errnum::kPathNotFound, to);
  const std::string target = fs.GetAbsolutePathName(to);
  const std::string copy = BackupCopyPath(target, fs.GetAbsolutePathName(mstrLogFileName));
  try {
    fs.CopyFileTo(from, copy, true);
    auto file = fs.Open(copy, OpenMode::kReadWrite);
    file->Sync();
    file->Close();
    fs.RenameFile(copy, target);
  } catch (...) {
    try {
      if (fs.FileExists(copy)) fs.RemoveFile(copy, true);
    } catch (const Error&) {
    }
    throw;
  }
  fs.SyncFolder(fs.GetParentFolderName(target));
}

}  // namespace bk
