#include "safemode/file_rollback_create.h"

#include <string>
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

clsFileRollbackCreate::clsFileRollbackCreate(std::shared_ptr<FileSystem> fs) : fs_(std::move(fs)) {}

// Destroying the object does no file work: an unfinished period's log and
// archives stay behind for recovery, and its lock is let go.
clsFileRollbackCreate::~clsFileRollbackCreate() {
  ConnectEvents(nullptr);
  LetGo();
}

void clsFileRollbackCreate::BackupFile(std::string_view value) { backup_file_ = value; }

void clsFileRollbackCreate::TempDir(std::string_view value) {
  temp_dir_ = value;
  const char separator = fs_->paths().Separator();
  if (temp_dir_.empty() || temp_dir_.back() != separator) temp_dir_ += separator;
}

// A relative temporary folder is resolved once when a period begins, so that the log
// records absolute archive paths that recovery finds from any current folder.
// An unset folder stays empty (and fails in CreateFolderPath).
std::string clsFileRollbackCreate::PeriodFolder() {
  return temp_dir_.empty() ? temp_dir_ : fs_->GetAbsolutePathName(temp_dir_);
}

void clsFileRollbackCreate::BeginSafety() {
  if (safe_mode_) {
    throw Error(bkCreateErrorAlreadyInSafeMode, "BeginSafety", "Already in safe mode");
  }
  const std::string folder = PeriodFolder();
  if (!fs_->FolderExists(folder)) CreateFolderPath(*fs_, folder);
  if (!trust_folder_) {
    if (std::optional<Error> why = FolderDistrust(*fs_, folder, CurrentUserId(), CurrentGroupId())) throw *why;
  }

  LetGo();
  log_ = clsFileRollbackLog::Create(fs_);
  period_ = Period::Claim(fs_, folder, *log_, trust_folder_);
  log_file_name_ = period_->names().Log();
  log_->FlushRecordWithSaves(period_->record());
  try {
    RemoveOrphanRecords(fs_, folder);
  } catch (const Error&) {
    // Housekeeping only: a record left now goes at a later start.
  }
  log_->BackupDestFileName(backup_file_);
  if (!label_.empty() && Record() != nullptr) Record()->AddLabel(label_);

  ConnectEvents(nullptr);
  drive_zips_ = std::make_unique<KeyedCollection<std::unique_ptr<ArchiveComponent>>>();
  safe_mode_ = true;
}

void clsFileRollbackCreate::RecordAbsentFiles(const std::vector<std::string>& paths) {
  if (!safe_mode_ || Record() == nullptr) throw Error::Standard(errnum::kObjectNotSet);
  for (const std::string& path : paths) Record()->AddAbsent(fs_->GetAbsolutePathName(path));
  Record()->Sync();
}

void clsFileRollbackCreate::LetGo() {
  // The log may outlive this period (a host holds it); its saves flush no
  // record any more.
  if (log_) log_->FlushRecordWithSaves(nullptr);
  period_.reset();
}

void clsFileRollbackCreate::CheckBackupFile() {
  FileSystem& fs = *fs_;
  const std::string backup = backup_file_.empty() ? backup_file_ : fs.GetAbsolutePathName(backup_file_);
  if (backup.empty()) throw Error::Standard(errnum::kPathNotFound, backup);
  if (fs.FolderExists(backup)) {
    throw Error(errnum::kPermissionDenied, kLibrarySource, "Permission denied: a folder is where the backup belongs",
                backup);
  }
  // A new file beside it, as EndSafety's copy will be.
  const std::string folder = fs.GetParentFolderName(backup);
  if (!fs.FolderExists(folder)) throw Error::Standard(errnum::kPathNotFound, folder);
  // The backup is placed by its path when the period ends: no other user may
  // be able to move a folder on that path for one of their choosing. Where
  // files have no numeric owners (Windows) a drive's root lets every user
  // add folders to it, so paths there are not judged this way.
  if (!trust_folder_ && fs.paths().HasOwners()) {
    if (std::optional<Error> why = PathDistrust(fs, folder, CurrentUserId(), CurrentGroupId())) throw *why;
  }
  constexpr int kNames = 20;
  std::string probe;
  try {
    fs.CreateFresh([&](int) { return backup + "." + fs.GetTempName(); }, OpenMode::kCreatePrivate, kNames, &probe)
        ->Close();
  } catch (const Error& e) {
    throw Error(e.number(), e.source(), e.description(), backup, e.native_code());
  }
  fs.RemoveFile(probe, true);
}

// The file's path is resolved once: its drive keys the archive and the log
// entry, the archive stores it from that absolute path, and the log records
// that path, so that the restore finds it from any current folder. A symbolic
// link is resolved to the file it points to: that file is what the host's
// change reaches, and the link itself stays as it is.
std::string clsFileRollbackCreate::PathToMakeSafe(std::string_view strFileName) {
  if (!fs_->FileExists(strFileName)) {
    throw Error(bkCreateErrorFileNotFound, kMakeFileSafe, "File Not Found", std::string(strFileName));
  }
  std::string path = fs_->GetAbsolutePathName(strFileName);
  if (fs_->Stat(path).is_symlink) path = fs_->ResolveLinks(path);
  return path;
}

void clsFileRollbackCreate::MakeFileSafe(std::string_view strFileName) {
  const std::string path = PathToMakeSafe(strFileName);
  ArchiveComponent* zip = GetZipForDrive(path);
  const std::vector<std::optional<RecordedFile>> seen = ObserveFiles({path});
  ConnectEvents(zip);
  zip->FilesToProcess = path;
  file_skipped_ = false;
  zip->Zip();
  if (file_skipped_) {
    file_skipped_ = false;
    throw Error(bkCreateErrorUnableToOpenFile, kMakeFileSafe, "Unable to open file");
  }
  ConnectEvents(nullptr);
  if (!log_) throw Error::Standard(errnum::kObjectNotSet);
  const std::shared_ptr<clsFileRollbackLog> log = log_->ZipByDrive(fs_->GetDriveName(path))->AppendFiles({path});
  RecordFile(seen.front());
  log->SaveLog();
}

ArchiveComponent* clsFileRollbackCreate::GetZipForDrive(std::string_view strFileName) {
  const std::string drive = fs_->GetDriveName(strFileName);
  if (drive_zips_) {
    if (auto* found = drive_zips_->Find(drive, nullptr)) return found->get();
  }
  return CreateZipForDrive(drive);
}

// Archive n of the period is the stem, "-n" and ".zip", on from the number
// of archives made so far.
ArchiveComponent* clsFileRollbackCreate::CreateZipForDrive(std::string_view strDrive) {
  if (!drive_zips_ || !log_ || !period_) throw Error::Standard(errnum::kObjectNotSet);
  auto zip = std::make_unique<ArchiveComponent>(fs_);
  period_->CreateArchive(*zip, drive_zips_->Count(), DriveMarkerText(strDrive));
  zip->KeepPaths = true;
  zip->IncludeOpenFiles = false;
  ArchiveComponent* result = zip.get();
  const std::string name = zip->ArchiveFileName;
  drive_zips_->Add(std::move(zip), strDrive);
  log_->AddZip(name, strDrive);
  return result;
}

void clsFileRollbackCreate::OnSkippingFile(const SkippingFileArgs&) { file_skipped_ = true; }

void clsFileRollbackCreate::ConnectEvents(ArchiveComponent* zip) {
  if (events_zip_ && events_zip_ != zip) events_zip_->SkippingFile = nullptr;
  events_zip_ = zip;
  if (zip) zip->SkippingFile = [this](const SkippingFileArgs& args) { OnSkippingFile(args); };
}

std::vector<std::string> clsFileRollbackCreate::ArchivePaths() {
  std::vector<std::string> paths;
  if (drive_zips_) {
    for (auto& zip : *drive_zips_) paths.push_back(zip->ArchiveFileName);
  }
  return paths;
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
  if (!safe_mode_) {
    throw Error(bkCreateErrorNotInSafeMode, "UndoSafetyOperations", "Not in safe mode");
  }
  if (!log_ || !period_) throw Error::Standard(errnum::kObjectNotSet);
  try {
    FlushDriveZips();
  } catch (const Error&) {
    // The restore finds the entries through the recovery scan instead.
  }
  Period& period = *period_;
  log_->SetDistrustCheck(period.ArchiveCheck());
  log_->FlushRecordWithSaves(nullptr);
  period.CloseRecord();
  // A failure leaves the period live, its lock held, while safe mode stays
  // on: the undo can be run again, or this object let go for recovery.
  restore::Rollback(*log_, {false, false, false, &hooks}, sink);
  const std::string backup = log_->BackupDestFileName();
  PeriodRemoval removal{blnDeleteLog, blnDeleteZips ? ArchivePaths() : std::vector<std::string>{}, backup};
  period.Finish(removal);
  period_.reset();
  safe_mode_ = false;
}

}  // namespace bk
