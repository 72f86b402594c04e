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
    fs.RemoveFile(backup, true);
    if (!blnKeepLogFile) fs.RemoveFile(mstrLogFileName, true);
  } catch (...) {
    LetGo(false);
    throw;
  }
  LetGo(true);
}

std::string clsFileRollbackCreate::WriteBackupArchive() {
  FileSystem& fs = *mobjFileSystem;
  // Built beside the log under a name of the period: that folder exists, the
  // current folder of the process may be read-only or shared, and a build cut
  // short is claimed by its period. The archive is created afresh,
  // exclusively and following no link; a taken name moves to another.
  const PeriodNames names = PeriodNames::OfLog(fs.GetAbsolutePathName(mstrLogFileName));
  ArchiveComponent backup(mobjFileSystem);
  backup.KeepPaths = false;
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
    for (auto& zip : *mcolDriveZips) ZipIntoBackup(backup, zip->ArchiveFileName);
    backup.IncludeOpenFiles = true;
    ZipIntoBackup(backup, mstrLogFileName);
    CopyDurably(backup.ArchiveFileName, mstrBackupFile);
  } catch (...) {
    // The half-made backup archive is of no use to anyone: the drive archives
    // and the unmarked log are still in place.
    RemoveQuietly(fs, backup.ArchiveFileName);
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

// The backup replaces whatever is at `to` atomically: it is copied beside it
// into a file created exclusively, following no link and for its owner only
// (a taken name moves to another), flushed, renamed over it and the folder
// flushed, so that a failure at any point leaves the earlier file there whole.
void clsFileRollbackCreate::CopyDurably(const std::string& from, const std::string& to) {
  FileSystem& fs = *mobjFileSystem;
  if (to.empty()) throw Error::Standard(errnum::kPathNotFound, to);
  const std::string target = fs.GetAbsolutePathName(to);
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
