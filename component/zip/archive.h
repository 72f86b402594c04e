// The archive component: writes and reads standard ZIP files (deflate from
// the compression back end of deflate.h, ZIP64 where needed), one operation
// per call, settings kept between calls, and a SkippingFile event for every
// selected file it does not process. Every archive it writes is a complete
// ZIP file whenever one of its calls returns, with or without an error.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/zip/zip_format.h"

namespace bk {

namespace zip {
class WorkQueue;
}

// Why a file was not processed (the `xReason` of SkippingFile).
enum class SkipReason : int32_t {
  kCannotOpen = 1,           // the file could not be opened
  kOpenByAnotherProgram = 2, // another program holds it open for writing
  kReadError = 3,            // reading failed part-way
  kChangedWhileReading = 4,  // its size or modification time changed while stored
  kNotAFile = 5,             // a folder, a device or a pipe
  kCannotWrite = 6,          // unzip: the destination file could not be written
  kDamagedEntry = 7,         // unzip: the entry is damaged (CRC, size), encrypted
                             // or uses a method other than stored or deflated
};

// The thirteen arguments of the SkippingFile event. Dates are OLE Automation
// dates (local time). sFilename is the entry name, sFilenameOnDisk the full
// path of the file (zip) or of the target (unzip). Sizes above 2^31-1 are
// reported as 2^31-1. The access and creation dates are not tracked and are 0;
// xMethod is 8 (deflated) for zip and the entry's method for unzip; sComment
// is empty and bEncrypted tells whether the entry is encrypted.
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
  // zip: a file of at least zip::kCloneThreshold bytes on the archive's file
  // system, where that clones blocks (XFS with reflink, btrfs, ReFS), is
  // stored uncompressed sharing the file's blocks; after the first refusal
  // from a file system the archive stops trying for its files. False: every
  // file is compressed (for an archive that will be copied elsewhere).
  bool CloneFiles = true;
  // zip: how each file's bytes are judged for compression (zip_format.h).
  zip::Compression Compress = zip::Compression::kJudged;

  // The SkippingFile event, raised synchronously during Zip or Unzip. An empty
  // function disconnects it.
  std::function<void(const SkippingFileArgs&)> SkippingFile;

  // Stores the file named by FilesToProcess, creating the archive when absent
  // and keeping earlier entries. Returns 0 when the file was stored, or the
  // SkipReason when it was skipped (after raising SkippingFile); nothing of a
  // skipped file stays in the archive. Whatever the outcome, the archive is
  // a complete ZIP file (end record and central directory) when it returns;
  // the new entry and the directory are written, then flushed to stable
  // storage once (a crash between may leave the directory naming an entry
  // whose data is torn: the reader and the recovery scan tell such an entry,
  // and the caller records the file only after the call returned). Zipping a
  // name the archive already
  // holds adds a second entry of that name; unzip writes the first one, so
  // a file stored twice comes back in its earliest state (other readers take
  // the later one). An archive damaged by a crash is
  // rebuilt from the entries that survived. Fails with 5 when FilesToProcess
  // is empty, with errnum::kArchiveError when the archive is not a ZIP file,
  // and with the file system's error when the archive cannot be written
  // (the archive then keeps its earlier entries).
  int32_t Zip();

  // Stores every file of `paths` as Zip would store each (the same skips,
  // each raising SkippingFile), compressing ahead on the other cores, then
  // writes the central directory and flushes the archive once. Returns one
  // result per path (0 or the SkipReason); `stored(i, result)`, when given, is
  // called as each file is done, in order, and `read(bytes)` as the files
  // are read, with the bytes of them read so far in the call (for a
  // progress display: a file stored whole counts its size). A failure of the
  // archive itself, or an exception either callback throws, ends the call
  // with that error; the entries written so far then stay in the directory,
  // which is written back before the error is raised.
  std::vector<int32_t> ZipFiles(const std::vector<std::string>& paths,
                                const std::function<void(size_t, int32_t)>& stored = {},
                                const std::function<void(uint64_t)>& read = {});

  // True when this object stored, into the archive ArchiveFileName names, a
  // file sharing its blocks (CloneFiles).
  bool StoredClones();

  // Writes the central directory an archive lacks (a call whose own repair
  // failed, or a crash, left it without one; the entries are then found by
  // the recovery scan) and makes it durable. Does nothing when the archive
  // is complete or absent.
  void Flush();

  // Writes every selected entry below DestinationFolder, replacing existing
  // files (read-only ones too) and restoring modification times and
  // attributes. Refuses the whole operation, writing nothing, when a selected
  // entry name is absolute, has a drive or UNC prefix, a ".." component, or is
  // a symbolic link. Raises an error after the other entries are done when an
  // entry could not be written or failed its CRC. Returns 0.
  // Names in FilesToProcess and FilesToExclude match entry names without
  // regard to letter case, "\" standing for "/". Of several entries writing
  // the same file (by the platform's rules: on Windows names differing only
  // in letter case or separators are one file) only the first is written.
  // Folder entries create folders (with KeepPaths). Missing folders, the
  // destination included, are created; an empty DestinationFolder is the
  // current folder, a bare drive its root.
  // Each file is written under a temporary name beside its target, synced,
  // and renamed over the target; the folders are synced at the end. Unix
  // permission bits are restored on POSIX, the read-only, hidden, system and
  // archive attributes on Windows. By Windows rules a name with ":" or a
  // device name (CON, NUL, COM1...) as a component is unsafe too. Fails with
  // errnum::kArchiveError (the path of the error is the entry name) for an
  // unsafe name or for entries not written, which also raise SkippingFile.
  int32_t Unzip();

  // Creates ArchiveFileName as a new archive for its owner only, exclusively
  // and following no link: 58 when any entry of that name exists. It holds one entry named
  // entry_name with these bytes (a file at the top level, owner-only on
  // POSIX, the present time), or none when entry_name is empty. The archive
  // and its folder entry are on stable storage when it returns; a file
  // created but not completed is removed. Zip then adds to it.
  void CreateNew(std::string_view entry_name = {}, std::string_view entry_bytes = {});

  // The bytes of the first file entry named `entry_name` (matched as Unzip
  // matches names), read into memory: nothing is written. 53 when the archive
  // holds no such entry; errnum::kArchiveError when it is larger than
  // max_size or damaged.
  std::string ReadEntry(std::string_view entry_name, uint64_t max_size);

  // Entry names of the archive in central-directory order (recovered by a
  // scan of the local headers when the end record is missing).
  std::vector<std::string> ListEntries();


 private:
  struct State;
  std::string ArchivePath();
  // The name Zip stores `path` under; 52 when it has none or is too long.
  std::string EntryName(const std::string& path);
  // A file on its way into the archive.
  struct Source;

 public:
  // The folder of the file last prepared in one ZipFiles call. Internal.
  struct SourceFolders {
    std::string path;
    std::shared_ptr<Folder> folder;
  };

 private:
  // Opens one file to store; a small one is read whole and handed to `packer`.
  // `folders`, when given, keeps the folder last opened for the next file.
  Source Prepare(const std::string& path, zip::WorkQueue& packer, SourceFolders* folders);
  // Stores a prepared file at the archive's append offset, without syncing.
  // Returns 0 or the reason it was skipped (after raising SkippingFile).
  // `reading`, when given, is told how far into the file reading has come.
  int32_t Store(File& archive, Source& source, zip::WorkQueue& packer,
                const std::function<void(uint64_t)>& reading = {});
  void WriteCentralDirectory(File& archive);
  // Opens the archive (creating it when absent), runs `append` on it, and
  // on failure writes the directory back so the archive stays readable.
  void Append(const std::function<void(File&)>& append);
  void Finish(File& archive, const std::string& archive_path, bool created);
  std::string Destination();
  // Raises SkippingFile with the reason and returns the reason.
  int32_t Skip(SkippingFileArgs args, SkipReason reason);

  std::shared_ptr<FileSystem> fs_;
  std::unique_ptr<State> state_;
};

}  // namespace bk
