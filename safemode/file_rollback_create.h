// clsFileRollbackCreate: the object through which a host enters safe mode,
// makes files safe before changing them, and either leaves safe mode with a
// backup archive or undoes every change.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "component/collection.h"
#include "component/fs/file_system.h"
#include "component/zip/archive.h"
#include "log/rollback_log.h"

namespace bk {

class clsFileRollbackCreate {
 public:
  explicit clsFileRollbackCreate(std::shared_ptr<FileSystem> fs = DefaultFileSystem());
  ~clsFileRollbackCreate();

  std::string BackupFile() const { return mstrBackupFile; }
  void BackupFile(std::string_view value);
  void BeginSafety();
  void EndSafety(bool blnKeepLogFile = false);
  void MakeFileSafe(std::string_view strFileName);
  void UndoSafetyOperations(bool blnDeleteLog = false, bool blnDeleteZips = true);
  bool SafeMode() const { return mblnSafeMode; }
  std::string TempDir() const { return mstrTempDir; }
  void TempDir(std::string_view value);

  // The current period's log (nullptr when none is held); for the command line.
  std::shared_ptr<clsFileRollbackLog> log() const { return mobjLog; }
  const std::string& log_file_name() const { return mstrLogFileName; }

 private:
  ArchiveComponent* GetZipForDrive(std::string_view strFileName);
  ArchiveComponent* CreateZipForDrive(std::string_view strDrive);
  void mobjEvntZip_SkippingFile(const SkippingFileArgs& args);
  void ConnectEvents(ArchiveComponent* zip);

  bool mblnSafeMode = false;
  std::shared_ptr<FileSystem> mobjFileSystem;
  std::string mstrTempDir;
  std::string mstrSafeBaseName;
  std::string mstrBackupFile;
  std::string mstrLogFileName;
  std::shared_ptr<clsFileRollbackLog> mobjLog;
  bool mblnFileSkipped = false;
  std::unique_ptr<KeyedCollection<std::unique_ptr<ArchiveComponent>>> mcolDriveZips;
  ArchiveComponent* mobjEvntZip = nullptr;
};

// Creates the folder and every missing folder above it. Error 52 when the
// walk up the path finds no existing ancestor.
void CreateFolderPath(FileSystem& fs, std::string_view strPath);

}  // namespace bk
