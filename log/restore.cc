// Restoring: the log's Rollback and the archive entry's Restore. Each archive
// gives back the files its log lists: its drive marker names the drive, the
// listed path below that drive names the entry and where it goes. Entries the
// log does not list are never written.
#include <memory>
#include <set>
#include <string>

#include "component/error.h"
#include "component/fs/memory_file.h"
#include "component/text.h"
#include "component/zip/archive.h"
#include "log/drive_marker.h"
#include "log/period_files.h"
#include "log/rollback_log.h"

namespace bk {
namespace {

constexpr size_t kFailuresNamed = 3;

std::shared_ptr<FileSystem> RestoreFileSystem(const std::shared_ptr<FileSystem>& bound,
                                              const std::shared_ptr<clsFileRollbackLog>& parent) {
  if (bound) return bound;
  if (parent) return parent->file_system_ptr();
  return DefaultFileSystem();
}

// The drive named by the archive's marker, read into memory: nothing is
// written beside the archive, so periods restoring at once never meet. Fails
// before anything is written when the marker is missing (53) or names no
// drive.
std::string TakeDrive(ArchiveComponent& zip, FileSystem& fs) {
  constexpr uint64_t kMaxMarkerSize = 64 * 1024;
  std::string marker;
  try {
    marker = zip.ReadEntry(kDriveMarkerName, kMaxMarkerSize);
  } catch (const Error& e) {
    if (e.number() != errnum::kFileNotFound) throw;
    throw Error(errnum::kFileNotFound, kLibrarySource,
                std::string("File not found: the archive holds no drive marker \"") + kDriveMarkerName + "\"",
                zip.ArchiveFileName);
  }
  TextReader reader(std::make_unique<MemoryFile>(std::move(marker), kDriveMarkerName));
  const std::string drive = reader.AtEndOfStream() ? std::string() : reader.ReadLine();
  if (!IsDriveName(fs.paths(), drive)) {
    throw Error(errnum::kArchiveError, kLibrarySource,
                "The archive's drive marker names no drive: \"" + drive + "\"", zip.ArchiveFileName);
  }
  return drive;
}

// Why a file did not come back, in words, with the system's code when the
// failure has one and the path it concerns when that is not the file itself.
std::string Reason(const Error& e, const std::string& file) {
  std::string why = e.description();
  if (!e.path().empty() && e.path() != file) why += ": " + e.path();
  if (e.native_code() != 0) why += " (system error " + std::to_string(e.native_code()) + ")";
  return why;
}

Error FileFailure(const Error& cause, const std::string& file) {
  return Error(cause.number(), cause.source(), Reason(cause, file), file, cause.native_code());
}

// Where below the archive's drive a listed file goes, as the archive names
// it. An absolute path must lie on that drive. A relative one, as earlier
// versions recorded, is taken as below the drive already; "." components
// are dropped and ".." is refused.
std::string NameBelowDrive(FileSystem& fs, const std::string& path, const std::string& drive) {
  const PathRules& rules = fs.paths();
  if (!rules.GetDriveName(path).empty()) {
    const std::string absolute = fs.GetAbsolutePathName(path);
    if (!text::EqualsIgnoreCase(rules.GetDriveName(absolute), drive)) {
      throw Error(errnum::kArchiveError, kLibrarySource,
                  "The file is not on the drive \"" + drive + "\" that the archive holds", path);
    }
    return rules.PathBelowDrive(absolute);
  }
  std::string name;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !rules.IsSeparator(path[i])) continue;
    const std::string part = path.substr(start, i - start);
    start = i + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      throw Error(errnum::kBadFileNameOrNumber, kLibrarySource,
                  "The recorded path is relative and climbs out of its drive with \"..\"", path);
    }
    name += (name.empty() ? "" : "/") + part;
  }
  if (name.empty()) throw Error(errnum::kBadFileNameOrNumber, kLibrarySource, "The recorded path names no file", path);
  return name;
}

}  // namespace

Error RestoreReport::Summary() const {
  std::string text = std::to_string(failed.size()) + (failed.size() == 1 ? " file" : " files") +
                     " could not be restored: ";
  for (size_t i = 0; i < failed.size() && i < kFailuresNamed; ++i) {
    if (i > 0) text += "; ";
    text += failed[i].path() + " (" + failed[i].description() + ")";
  }
  if (failed.size() > kFailuresNamed) text += "; and " + std::to_string(failed.size() - kFailuresNamed) + " more";
  const Error& first = failed.front();
  return Error(errnum::kArchiveError, kLibrarySource, text, first.path(), first.native_code());
}

void clsFileRollbackLog::Rollback(bool blnDeleteZip) {
  RestoreReport report;
  RestoreFiles(report);
  if (blnDeleteZip) DeleteArchives();
}

void clsFileRollbackLog::RestoreFiles(RestoreReport& report) {
  for (auto& zip : RequireZips()) CheckArchiveBeside(*zip);
  for (auto& zip : RequireZips()) zip->Restore(report);
  if (!report.failed.empty()) throw report.Summary();
}

void clsFileRollbackLog::RollbackAndRemove(RestoreReport& report) {
  RestoreFiles(report);
  FileSystem& fs = *mobjFileSystem;
  const std::string backup = BackupDestFileName();
  fs.RemoveFile(mstrLogFileName, true);
  fs.SyncFolder(fs.GetParentFolderName(fs.GetAbsolutePathName(mstrLogFileName)));
  DeleteArchives();
  RemovePeriodLeftovers(fs, mstrLogFileName, backup);
}

void clsFileRollbackLog::DeleteArchives() {
  std::set<std::string> folders;
  for (auto& zip : RequireZips()) {
    const std::string name = mobjFileSystem->GetAbsolutePathName(zip->ZipName());
    if (!mobjFileSystem->FileExists(name)) continue;
    mobjFileSystem->RemoveFile(name, true);
    folders.insert(mobjFileSystem->GetParentFolderName(name));
  }
  for (const std::string& folder : folders) mobjFileSystem->SyncFolder(folder);
}

void clsFileRollBackLogZip::Restore(RestoreReport& report) {
  const std::shared_ptr<FileSystem> fs_ptr = RestoreFileSystem(fs_, Parent());
  FileSystem& fs = *fs_ptr;
  const PathRules& rules = fs.paths();
  ArchiveComponent zip(fs_ptr);
  zip.ArchiveFileName = ZipName();
  if (!fs.FileExists(zip.ArchiveFileName)) throw Error::Standard(errnum::kFileNotFound, zip.ArchiveFileName);
  const std::string drive = TakeDrive(zip, fs);

  // The files listed, once each, and where below the drive each one goes.
  std::vector<std::string> listed, names;
  std::set<std::string> seen;
  for (const std::string& path : FilePaths()) {
    std::string name;
    try {
      name = NameBelowDrive(fs, path, drive);
    } catch (const Error& e) {
      report.failed.push_back(e);
      continue;
    }
    if (!seen.insert(rules.Separator() == '\\' ? text::FoldCase(name) : name).second) continue;
    listed.push_back(path);
    names.push_back(name);
  }

  zip.DestinationFolder = rules.DriveRoot(drive);
  zip.KeepPaths = true;
  const std::vector<RestoreOutcome> outcomes = zip.RestoreFiles(names);
  for (size_t i = 0; i < listed.size(); ++i) {
    if (outcomes[i].error) {
      report.failed.push_back(FileFailure(*outcomes[i].error, listed[i]));
    } else {
      report.restored.push_back(listed[i]);
      report.notes.push_back(outcomes[i].note);
    }
  }
}

}  // namespace bk
