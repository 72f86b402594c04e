// Restoring: the log's Rollback and the archive entry's Restore. The restore
// is driven by the archive alone: its drive marker names the drive, its
// entries' folder paths say where below that drive's root each file goes.
#include <memory>
#include <string>

#include "component/error.h"
#include "component/zip/archive.h"
#include "log/drive_marker.h"
#include "log/rollback_log.h"

namespace bk {
namespace {

std::shared_ptr<FileSystem> RestoreFileSystem(const std::shared_ptr<FileSystem>& bound,
                                              const std::shared_ptr<clsFileRollbackLog>& parent) {
  if (bound) return bound;
  if (parent) return parent->file_system_ptr();
  return DefaultFileSystem();
}

// Reads the drive from the marker just unzipped and removes the marker file,
// whatever it held. A marker that is missing fails with the file system's
// not-found error; one that names no drive fails before anything is written.
std::string TakeDrive(FileSystem& fs, const std::string& marker, const std::string& archive) {
  std::string drive;
  try {
    auto reader = fs.OpenTextFile(marker);
    if (!reader->AtEndOfStream()) drive = reader->ReadLine();
    reader->Close();
  } catch (...) {
    if (fs.FileExists(marker)) fs.RemoveFile(marker, true);
    throw;
  }
  fs.RemoveFile(marker, true);
  if (!IsDriveName(fs.paths(), drive)) {
    throw Error(errnum::kArchiveError, kLibrarySource,
                "The archive's drive marker names no drive: \"" + drive + "\"", archive);
  }
  return drive;
}

}  // namespace

void clsFileRollbackLog::Rollback(bool blnDeleteZip) {
  for (auto& zip : RequireZips()) CheckArchiveBeside(*zip);
  for (auto& zip : RequireZips()) zip->Restore(blnDeleteZip);
}

void clsFileRollBackLogZip::Restore(bool blnDeleteZip) {
  const std::shared_ptr<FileSystem> fs_ptr = RestoreFileSystem(fs_, Parent());
  FileSystem& fs = *fs_ptr;
  ArchiveComponent zip(fs_ptr);
  zip.ArchiveFileName = ZipName();

  if (!fs.FileExists(zip.ArchiveFileName)) throw Error::Standard(errnum::kFileNotFound, zip.ArchiveFileName);
  const std::string working = fs.GetParentFolderName(fs.GetAbsolutePathName(zip.ArchiveFileName));

  zip.FilesToProcess = kDriveMarkerName;
  zip.DestinationFolder = working;
  zip.Unzip();
  const std::string drive = TakeDrive(fs, fs.BuildPath(working, kDriveMarkerName), zip.ArchiveFileName);

  zip.FilesToProcess.clear();
  zip.FilesToExclude = kDriveMarkerName;
  zip.DestinationFolder = fs.paths().DriveRoot(drive);
  zip.KeepPaths = true;
  // Raises when any file could not be put back; the archive then stays.
  zip.Unzip();

  if (blnDeleteZip) fs.RemoveFile(zip.ArchiveFileName, true);
}

}  // namespace bk
