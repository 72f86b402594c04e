#include "safemode/file_rollback_create.h"

#include <string>
#include <utility>

#include "component/error.h"
#include "log/period_files.h"

namespace bk {
namespace {

constexpr const char* kMakeFileSafe = "MakeFileSafe";

}  // namespace

clsFileRollbackCreate::clsFileRollbackCreate(std::shared_ptr<FileSystem> fs)
    : mobjFileSystem(std::move(fs)) {}

// Destroying the object does no file work: an unfinished period's log and
// archives stay behind for recovery.
clsFileRollbackCreate::~clsFileRollbackCreate() { ConnectEvents(nullptr); }

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

void clsFileRollbackCreate::NameThePeriod(const std::string& folder) {
  mstrSafeBaseName = mobjFileSystem->BuildPath(folder, "Safe " + SafeTimeStamp());
  mstrLogFileName = mstrSafeBaseName + ".xml";
}

void clsFileRollbackCreate::BeginSafety() {
  if (mblnSafeMode) {
    throw Error(bkCreateErrorAlreadyInSafeMode, "BeginSafety", "Already in safe mode");
  }
  const std::string folder = PeriodFolder();
  NameThePeriod(folder);
  while (mobjFileSystem->FileExists(mstrLogFileName)) NameThePeriod(folder);
  if (!mobjFileSystem->FolderExists(folder)) CreateFolderPath(*mobjFileSystem, folder);

  mobjLog = clsFileRollbackLog::Create(mobjFileSystem);
  mobjLog->CreateLogFile(mstrLogFileName);
  mobjLog->BackupDestFileName(mstrBackupFile);

  ConnectEvents(nullptr);
  mcolDriveZips = std::make_unique<KeyedCollection<std::unique_ptr<ArchiveComponent>>>();
  mblnSafeMode = true;
}

// The file's path is resolved once: its drive keys the archive and the log
// entry, the archive stores it from that absolute path, and the log records
// that path, so that the restore finds it from any current folder. A symbolic
// link is resolved to the file it points to: that file is what the host's
// change reaches, and the link itself stays as it is.
void clsFileRollbackCreate::MakeFileSafe(std::string_view strFileName) {
  if (!mobjFileSystem->FileExists(strFileName)) {
    throw Error(bkCreateErrorFileNotFound, kMakeFileSafe, "File Not Found", std::string(strFileName));
  }
  std::string path = mobjFileSystem->GetAbsolutePathName(strFileName);
  if (mobjFileSystem->Stat(path).is_symlink) path = mobjFileSystem->ResolveLinks(path);
  ArchiveComponent* zip = GetZipForDrive(path);
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
  mobjLog->ZipByDrive(mobjFileSystem->GetDriveName(path))->AddFile(path);
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
  FileSystem& fs = *mobjFileSystem;
  const std::string name = mstrSafeBaseName + "-" + std::to_string(mcolDriveZips->Count() + 1) + ".zip";
  auto zip = std::make_unique<ArchiveComponent>(mobjFileSystem);
  zip->ArchiveFileName = name;

  const std::string marker = mstrTempDir + kDriveMarkerName;
  auto writer = fs.CreateTextFile(marker, true, true);
  writer->WriteLine(strDrive);
  writer->Close();

  zip->KeepPaths = false;
  zip->FilesToProcess = marker;
  // An archive without its marker could never be restored: a marker that
  // was not stored fails the call instead of going unnoticed.
  const int32_t skipped = zip->Zip();
  fs.RemoveFile(marker, false);
  if (skipped != 0) throw Error::Standard(errnum::kPathFileAccessError, marker);

  zip->KeepPaths = true;
  zip->IncludeOpenFiles = false;
  ArchiveComponent* result = zip.get();
  mcolDriveZips->Add(std::move(zip), strDrive);
  mobjLog->AddZip(name, strDrive);
  return result;
}

void clsFileRollbackCreate::mobjEvntZip_SkippingFile(const SkippingFileArgs&) { mblnFileSkipped = true; }

void clsFileRollbackCreate::ConnectEvents(ArchiveComponent* zip) {
  if (mobjEvntZip && mobjEvntZip != zip) mobjEvntZip->SkippingFile = nullptr;
  mobjEvntZip = zip;
  if (zip) zip->SkippingFile = [this](const SkippingFileArgs& args) { mobjEvntZip_SkippingFile(args); };
}

void clsFileRollbackCreate::UndoSafetyOperations(bool blnDeleteLog, bool blnDeleteZips) {
  if (!mblnSafeMode) {
    throw Error(bkCreateErrorNotInSafeMode, "UndoSafetyOperations", "Not in safe mode");
  }
  if (!mobjLog) throw Error::Standard(errnum::kObjectNotSet);
  RestoreReport report;
  mobjLog->RestoreFiles(report);
  // Every file is back: the log goes before its archives, so that a crash in
  // between never leaves a log naming archives that are gone.
  if (blnDeleteLog) {
    mobjFileSystem->RemoveFile(mstrLogFileName, false);
    mobjFileSystem->SyncFolder(mobjFileSystem->GetParentFolderName(mstrLogFileName));
  }
  if (blnDeleteZips) mobjLog->DeleteArchives();
  RemovePeriodLeftovers(*mobjFileSystem, mstrLogFileName, mobjLog->BackupDestFileName());
  mblnSafeMode = false;
}

}  // namespace bk
