// Writing archive entries out: the safety test of entry names and target
// paths, and extraction into a folder, each file written beside its target
// under a temporary name and renamed over it. Internal to the archive
// component and its tests.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/zip/archive.h"
#include "component/zip/zip_format.h"

namespace bk::zip {

// True when an entry name cannot be written safely below a folder: empty,
// holding a NUL, absolute ("/" first), or with a ".." component. With
// `dos_paths` also "\" separates components ("\" first is absolute, so UNC
// names too) and a drive prefix ("C:") is absolute: an archive from anywhere
// is checked so, and a name under Windows rules; under POSIX rules "\" and
// ":" are ordinary characters of a name. With `reserved_names` (Windows
// rules) also a ":" anywhere (alternate streams) and device names such as
// "CON" or "lpt1.txt" as a component.
bool IsUnsafeName(std::string_view name, bool dos_paths, bool reserved_names);

// Where an entry goes below `destination` (absolute): its whole path with
// keep_paths, its last component without. Empty when the entry writes
// nothing there (a folder entry without keep_paths, or a name of only "."
// components). Precondition: !IsUnsafeName(entry name).
std::string TargetPath(const PathRules& rules, std::string_view destination, const Entry& entry, bool keep_paths);

class Extractor {
 public:
  Extractor(FileSystem& fs, File& archive, uint64_t archive_size) : fs_(fs), archive_(archive), size_(archive_size) {}

  // Creates the folder `path` and its missing ancestors.
  void EnsureFolder(const std::string& path);

  // Writes a file entry to `target`, replacing an existing file (read-only
  // too), and gives it the entry's modification time and attributes. Returns
  // 0, or the SkipReason when it was not written; the target is then
  // untouched and no temporary file remains. The file is written under a
  // fresh name beside the target, created exclusively and, until its mode is
  // set, for its owner only, then renamed over the target.
  int32_t WriteFile(const Entry& entry, const std::string& target);

  // Flushes the folders that received files. Returns false when one failed.
  bool SyncFolders();

 private:
  // The folder `path`, made when missing.
  std::shared_ptr<Folder> OpenFolder(const std::string& path);
  // Writes the entry's data into the new file, leaving runs of zeros as holes.
  void WriteOut(File& out, const Entry& entry, const std::string& target);
  // Gives the new file the entry's permission bits or attributes and time.
  void ApplyMetadata(File& file, const Entry& entry);

  FileSystem& fs_;
  File& archive_;
  uint64_t size_;
  std::set<std::string> touched_;
};

}  // namespace bk::zip
