// Restoring: the log's Rollback and the archive entry's Restore. The restore
// is driven by the archive alone: its drive marker names the drive, its
// entries' folder paths say where below that drive's root each file goes.
#include <memory>
#include <string>

#include "component/error.h"
#include "component/fs/memory_file.h"
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

// The drive named by the archive's marker, read into memory: nothing is
// written beside the archive, so periods restoring at once never meet. A
// marker that is missing fails with 53; one that names no drive fails before
// anything is written.
std::string TakeDrive(ArchiveComponent& zip, FileSystem& fs) {
  constexpr uint64_t kMaxMarkerSize = 64 * 1024;
  TextReader reader(std::make_unique<MemoryFile>(zip.ReadEntry(kDriveMarkerName, kMaxMarkerSize), kDriveMarkerName));
  const std::string drive = reader.AtEndOfStream() ? std::string() : reader.ReadLine();
  if (!IsDriveName(fs.paths(), drive)) {
    throw Error(errnum::kArchiveError, kLibrarySource,
                "The archive's drive marker names no drive: \"" + drive + "\"", zip.ArchiveFileName);
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
  const std::string drive = TakeDrive(zip, fs);

  zip.FilesToProcess.clear();
  zip.FilesToExclude = kDriveMarkerName;
  zip.DestinationFolder = fs.paths().DriveRoot(drive);
  zip.KeepPaths = true;
  // Raises when any file could not be put back; the archive then stays.
  zip.Unzip();

  if (blnDeleteZip) fs.RemoveFile(zip.ArchiveFileName, true);
}

}  // namespace bk
