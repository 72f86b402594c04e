// The archive component: writes and reads standard ZIP files (deflate from
// zlib, ZIP64 where needed), one operation per call, settings kept between
// calls, and a SkippingFile event for every selected file it does not process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "component/fs/file_system.h"

namespace bk {

// Why a file was not processed (the `xReason` of SkippingFile).
enum class SkipReason : int32_t {
  kCannotOpen = 1,           // the file could not be opened
  kOpenByAnotherProgram = 2, // another program holds it open for writing
  kReadError = 3,            // reading failed part-way
  kChangedWhileReading = 4,  // its size or modification time changed while stored
  kNotAFile = 5,             // a folder or a special file
};

// The thirteen arguments of the SkippingFile event. Dates are OLE Automation
// dates (local time).
struct SkippingFileArgs {
  std::string sFilename;
  std::string sComment;
  std::string sFilenameOnDisk;
  int32_t lSize = 0;
  int32_t lCompressedSize = 0;
  int32_t xAttributes = 0;
  int32_t lCRC = 0;
  double dtLastModified = 0;
  double dtLastAccessed = 0;
  double dtCreated = 0;
  int32_t xMethod = 0;
  bool bEncrypted = false;
  int32_t xReason = 0;
};

class ArchiveComponent {
 public:
  explicit ArchiveComponent(std::shared_ptr<FileSystem> fs = DefaultFileSystem());
  ~ArchiveComponent();

  // --- Settings, kept between operations ---
  std::string ArchiveFileName;  // the ZIP file
  std::string FilesToProcess;   // zip: one file path; unzip: one entry name, or "" for every entry
  std::string FilesToExclude;   // unzip: an entry name left out
  std::string DestinationFolder;  // unzip: the folder written into
  bool KeepPaths = true;        // zip: store the path below the drive root; unzip: recreate it
  bool IncludeOpenFiles = true; // false: skip a file another program is writing

  // The SkippingFile event, raised synchronously during Zip or Unzip. An empty
  // function disconnects it.
  std::function<void(const SkippingFileArgs&)> SkippingFile;

  // Stores the file named by FilesToProcess, creating the archive when absent
  // and keeping earlier entries. Returns 0 when the file was stored, or the
  // SkipReason when it was skipped (after raising SkippingFile). The new entry
  // and central directory are on stable storage when it returns. Fails with an
  // error when the archive itself cannot be read or written.
  int32_t Zip();

  // Writes every selected entry below DestinationFolder, replacing existing
  // files (read-only ones too) and restoring modification times and
  // attributes. Refuses the whole operation, writing nothing, when a selected
  // entry name is absolute, has a drive or UNC prefix, a ".." component, or is
  // a symbolic link. Raises an error after the other entries are done when an
  // entry could not be written or failed its CRC. Returns 0.
  int32_t Unzip();

  // Entry names of the archive in central-directory order (recovered by a
  // scan of the local headers when the end record is missing).
  std::vector<std::string> ListEntries();

 private:
  std::shared_ptr<FileSystem> fs_;
};

}  // namespace bk
