#include "safemode/file_rollback_create.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "component/error.h"
#include "component/platform.h"
#include "component/text.h"
#include "log/period_files.h"
#include "log/trust.h"
#include "restore/execute.h"
#include "restore/rollback.h"

namespace bk {
namespace {

constexpr const char* kMakeFileSafe = "MakeFileSafe";
// How many seconds of the clock a period's name waits through before the
// clash is reported, and how far an archive's number moves on.
constexpr int kMaxClaimSeconds = 120;
constexpr int32_t kMaxArchiveNumber = 10000;

// Sleeps until the clock has moved past the second of `now`.
void WaitForNextSecond(const LocalDateTime& now) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1000 - now.millisecond));
  while (PeriodStamp(LocalNow()) == PeriodStamp(now)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// The drive marker's content: the drive as one UTF-16 LE line with a
// byte-order mark.
std::string DriveMarkerText(std::string_view drive) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : text::ToUtf16(std::string(drive) + "\r\n")) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

}  // namespace

clsFileRollbackCreate::clsFileRollbackCreate(std::shared_ptr<FileSystem> fs)
    : mobjFileSystem(std::move(fs)) {}

// Destroying the object does no file work: an unfinished period's log and
// archives stay behind for recovery, and its lock is let go.
clsFileRollbackCreate::~clsFileRollbackCreate() {
  ConnectEvents(nullptr);
  // The log may outlive this object (a host holds it); the record goes now.
  if (mobjLog) mobjLog->FlushRecordWithSaves(nullptr);
}

void clsFileRollbackCreate::BackupFile(std::string_view value) { mstrBackupFile = value; }

void clsFileRollbackCreate::TempDir(std::string_view value) {
  mstrTempDir = value;
  const char separator = mobjFileSystem->paths().Separator();
  if (mstrTempDir.empty() || mstrTempDir.back() != separator) mstrTempDir += separator;
}

// A relative temporary folder is resolved once when a period begins, so that the log
// records absolute archive paths that recovery finds from any current folder.
// An unset folder stays empty (and fails in CreateFolderPath).
std::string clsFileRollbackCreate::PeriodFolder() {
  return mstrTempDir.empty() ? mstrTempDir : mobjFileSystem->GetAbsolutePathName(mstrTempDir);
}

// The lock file is created first and the log second, each exclusively, so
// a name taken by any entry (a planted file or link, a period of another
// process, a leftover) is never used: the clock's next second is.
void clsFileRollbackCreate::ClaimThePeriod(const std::string& folder) {
  for (int tries = 0;; ++tries) {
    const LocalDateTime now = LocalNow();
    const PeriodNames names = PeriodNames::At(*mobjFileSystem, folder, now);
    mstrSafeBaseName = names.Stem();
    mstrLogFileName = names.Log();
    try {
      std::unique_ptr<PeriodLock> lock = PeriodLock::Claim(mobjFileSystem, names.Lock());
      try {
        mobjLog->ClaimLogFile(mstrLogFileName, OleDateFromLocal(now));
      } catch (...) {
        lock->RemoveAndRelease();
        throw;
      }
      try {
        mobjRecord = std::make_unique<PeriodRecordWriter>(mobjFileSystem, names.Record());
      } catch (...) {
        RemoveLogDurably(*mobjFileSystem, mstrLogFileName);
        lock->RemoveAndRelease();
        throw;
      }
      mobjLog->FlushRecordWithSaves(mobjRecord.get());
      mobjLock = std::move(lock);
      return;
    } catch (const Error& e) {
      if (e.number() != errnum::kFileAlreadyExists || tries >= kMaxClaimSeconds) throw;
    }
    WaitForNextSecond(now);
  }
}

void clsFileRollbackCreate::BeginSafety() {
  if (mblnSafeMode) {
    throw Error(bkCreateErrorAlreadyInSafeMode, "BeginSafety", "Already in safe mode");
  }
  const std::string folder = PeriodFolder();
  if (!mobjFileSystem->FolderExists(folder)) CreateFolderPath(*mobjFileSystem, folder);
  if (!trust_folder_) {
    if (std::optional<Error> why = FolderDistrust(*mobjFileSystem, folder, CurrentUserId(), CurrentGroupId())) {
      throw *why;
    }
  }

  LetGo(false);
  if (mobjLog) mobjLog->FlushRecordWithSaves(nullptr);
  mobjRecord.reset();
  archives_made_.clear();
  mobjLog = clsFileRollbackLog::Create(mobjFileSystem);
  ClaimThePeriod(folder);
  try {
    RemoveOrphanRecords(mobjFileSystem, folder);
  } catch (const Error&) {
    // Housekeeping only: a record left now goes at a later start.
  }
  mobjLog->BackupDestFileName(mstrBackupFile);

  ConnectEvents(nullptr);
  mcolDriveZips = std::make_unique<KeyedCollection<std::unique_ptr<ArchiveComponent>>>();
  mblnSafeMode = true;
}

void clsFileRollbackCreate::LetGo(bool done) {
  if (!mobjLock) return;
  if (done) {
    mobjLock->RemoveAndRelease();
  } else {
    mobjLock->Release();
  }
  mobjLock.reset();
}

void clsFileRollbackCreate::CheckBackupFile() {
  FileSystem& fs = *mobjFileSystem;
  const std::string backup = mstrBackupFile.empty() ? mstrBackupFile : fs.GetAbsolutePathName(mstrBackupFile);
  if (backup.empty()) throw Error::Standard(errnum::kPathNotFound, backup);
  if (fs.FolderExists(backup)) {
    throw Error(errnum::kPermissionDenied, kLibrarySource, "Permission denied: a folder is where the backup belongs",
                backup);
  }
  // A new file beside it, as EndSafety's copy will be.
  const std::string folder = fs.GetParentFolderName(backup);
  if (!fs.FolderExists(folder)) throw Error::Standard(errnum::kPathNotFound, folder);
  for (int attempt = 0;; ++attempt) {
    const std::string probe = backup + "." + fs.GetTempName();
    try {
      fs.Open(probe, OpenMode::kCreatePrivate)->Close();
    } catch (const Error& e) {
      if (e.number() == errnum::kFileAlreadyExists && attempt < 20) continue;
      throw Error(e.number(), e.source(), e.description(), backup, e.native_code());
    }
    fs.RemoveFile(probe, true);
    return;
  }
}

// The file's path is resolved once: its drive keys the archive and the log
// entry, the archive stores it from that absolute path, and the log records
// that path, so that the restore finds it from any current folder. A symbolic
// link is resolved to the file it points to: that file is what the host's
// change reaches, and the link itself stays as it is.
std::string clsFileRollbackCreate::PathToMakeSafe(std::string_view strFileName) {
  if (!mobjFileSystem->FileExists(strFileName)) {
    throw Error(bkCreateErrorFileNotFound, kMakeFileSafe, "File Not Found", std::string(strFileName));
  }
  std::string path = mobjFileSystem->GetAbsolutePathName(strFileName);
  if (mobjFileSystem->Stat(path).is_symlink) path = mobjFileSystem->ResolveLinks(path);
  return path;
}

void clsFileRollbackCreate::MakeFileSafe(std::string_view strFileName) {
  const std::string path = PathToMakeSafe(strFileName);
  ArchiveComponent* zip = GetZipForDrive(path);
  const std::vector<std::optional<RecordedFile>> seen = ObserveFiles({path});
  ConnectEvents(zip);
  zip->FilesToProcess = path;
  mblnFileSkipped = false;
  zip->Zip();
  if (mblnFileSkipped) {
    mblnFileSkipped = false;
    throw Error(bkCreateErrorUnableToOpenFile, kMakeFileSafe, "Unable to open file");
  }
  ConnectEvents(nullptr);
  if (!mobjLog) throw Error::Standard(errnum::kObjectNotSet);
  const std::shared_ptr<clsFileRollbackLog> log = mobjLog->ZipByDrive(mobjFileSystem->GetDriveName(path))->AppendFiles({path});
  RecordFile(seen.front());
  log->SaveLog();
}

ArchiveComponent* clsFileRollbackCreate::GetZipForDrive(std::string_view strFileName) {
  const std::string drive = mobjFileSystem->GetDriveName(strFileName);
  if (mcolDriveZips) {
    if (auto* found = mcolDriveZips->Find(drive, nullptr)) return found->get();
  }
  return CreateZipForDrive(drive);
}

ArchiveComponent* clsFileRollbackCreate::CreateZipForDrive(std::string_view strDrive) {
  if (!mcolDriveZips || !mobjLog) throw Error::Standard(errnum::kObjectNotSet);
  auto zip = std::make_unique<ArchiveComponent>(mobjFileSystem);
  CreateDriveArchive(*zip, strDrive);
  zip->KeepPaths = true;
  zip->IncludeOpenFiles = false;
  ArchiveComponent* result = zip.get();
  const std::string name = zip->ArchiveFileName;
  const FileStat made = mobjFileSystem->Open(name, OpenMode::kReadRegular)->Stat();
  archives_made_.emplace_back(name, made);
  // Every later rollback refuses an archive that is not this very file.
  if (mobjRecord) mobjRecord->AddArchive(mobjFileSystem->GetFileName(name), Identity::Of(made));
  mcolDriveZips->Add(std::move(zip), strDrive);
  mobjLog->AddZip(name, strDrive);
  return result;
}

// Archive n of the period is the stem, "-n" and ".zip"; a name some entry
// already holds (a planted file, or an archive an earlier period with this
// stem left behind) is never reused: the next number is taken.
void clsFileRollbackCreate::CreateDriveArchive(ArchiveComponent& zip, std::string_view strDrive) {
  const std::string marker = DriveMarkerText(strDrive);
  for (int32_t n = mcolDriveZips->Count() + 1;; ++n) {
    zip.ArchiveFileName = mstrSafeBaseName + "-" + std::to_string(n) + ".zip";
    try {
      zip.CreateNew(kDriveMarkerName, marker);
      return;
    } catch (const Error& e) {
      if (e.number() != errnum::kFileAlreadyExists || n >= kMaxArchiveNumber) throw;
    }
  }
}

void clsFileRollbackCreate::mobjEvntZip_SkippingFile(const SkippingFileArgs&) { mblnFileSkipped = true; }

void clsFileRollbackCreate::ConnectEvents(ArchiveComponent* zip) {
  if (mobjEvntZip && mobjEvntZip != zip) mobjEvntZip->SkippingFile = nullptr;
  mobjEvntZip = zip;
  if (zip) zip->SkippingFile = [this](const SkippingFileArgs& args) { mobjEvntZip_SkippingFile(args); };
}

std::optional<Error> clsFileRollbackCreate::ArchiveReplaced(const FileStat& opened, const std::string& path) const {
  for (const auto& [name, made] : archives_made_) {
    if (mobjFileSystem->GetFileName(name) != mobjFileSystem->GetFileName(path)) continue;
    if (made.file_id == 0 || (made.device == opened.device && made.file_id == opened.file_id)) return std::nullopt;
    return Error(errnum::kPermissionDenied, kLibrarySource,
                 "Permission denied: the archive is not the one this period wrote", path);
  }
  return std::nullopt;
}

void clsFileRollbackCreate::UndoSafetyOperations(bool blnDeleteLog, bool blnDeleteZips) {
  RestoreReport report;
  UndoReporting(report, blnDeleteLog, blnDeleteZips);
}

void clsFileRollbackCreate::UndoReporting(RestoreReport& report, bool blnDeleteLog, bool blnDeleteZips) {
  UndoWith(restore::Into(report), {}, blnDeleteLog, blnDeleteZips);
}

void clsFileRollbackCreate::UndoWith(const restore::OutcomeSink& sink, const restore::RunHooks& hooks,
                                     bool blnDeleteLog, bool blnDeleteZips) {
  if (!mblnSafeMode) {
    throw Error(bkCreateErrorNotInSafeMode, "UndoSafetyOperations", "Not in safe mode");
  }
  if (!mobjLog) throw Error::Standard(errnum::kObjectNotSet);
  try {
    FlushDriveZips();
  } catch (const Error&) {
    // The restore finds the entries through the recovery scan instead.
  }
  mobjLog->SetDistrustCheck(
      [this](const FileStat& opened, const std::string& path) { return ArchiveReplaced(opened, path); });
  try {
    CloseRecord();
    restore::Rollback(*mobjLog, {false, false, false, &hooks}, sink);
    // Every file is back: the log goes before its archives, so that a crash
    // in between never leaves a log naming archives that are gone.
    if (blnDeleteLog) {
      mobjFileSystem->RemoveFile(mstrLogFileName, false);
      mobjFileSystem->SyncFolder(mobjFileSystem->GetParentFolderName(mstrLogFileName));
    }
    if (blnDeleteZips) mobjLog->DeleteArchives();
    RemovePeriodLeftovers(*mobjFileSystem, PeriodNames::OfLog(mstrLogFileName), mobjLog->BackupDestFileName());
  } catch (...) {
    // Still in safe mode: the period stays live, its lock held, until the
    // undo is run again or this object goes.
    throw;
  }
  LetGo(true);
  mblnSafeMode = false;
}

}  // namespace bk
