// Leaving safe mode. The completed mark in the log is the commit point: every
// step before it leaves the period recoverable (log unmarked, drive archives
// in place), every step after it only removes files nobody needs any more.
#include <string>
#include <utility>

#include "component/error.h"
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
  // Built beside the log: that folder exists, and the current folder of the
  // process may be read-only or shared.
  const std::string folder = fs.GetParentFolderName(fs.GetAbsolutePathName(mstrLogFileName));
  ArchiveComponent backup(mobjFileSystem);
  CreateTemporaryArchive(backup, folder);
  backup.KeepPaths = false;
  try {
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

// Created exclusively under a fresh name: a clash with any entry, a planted
// one included, is retried with another name.
void clsFileRollbackCreate::CreateTemporaryArchive(ArchiveComponent& archive, const std::string& folder) {
  for (int attempt = 0;; ++attempt) {
    archive.ArchiveFileName = mobjFileSystem->BuildPath(folder, mobjFileSystem->GetTempName());
    try {
      archive.CreateNew();
      return;
    } catch (const Error& e) {
      if (e.number() != errnum::kFileAlreadyExists || attempt == 20) throw;
    }
  }
}

// A backup that silently lacks a drive archive would lose the only copy of
// its files once the period is committed, so a skipped file fails here.
void clsFileRollbackCreate::ZipIntoBackup(ArchiveComponent& backup, const std::string& path) {
  backup.FilesToProcess = path;
  if (backup.Zip() != 0) throw Error::Standard(errnum::kPathFileAccessError, path);
}

void clsFileRollbackCreate::CopyDurably(const std::string& from, const std::string& to) {
  FileSystem& fs = *mobjFileSystem;
  fs.CopyFileTo(from, to, true);
  auto copy = fs.Open(to, OpenMode::kReadWrite);
  copy->Sync();
  copy->Close();
  fs.SyncFolder(fs.GetParentFolderName(fs.GetAbsolutePathName(to)));
}

}  // namespace bk
