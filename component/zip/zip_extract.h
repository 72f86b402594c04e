// Writing archive entries into a destination folder: the safety test of entry
// names, target paths, and each file written beside its target under a
// temporary name, then renamed over it with its time and attributes restored.
// Internal to the archive component and its tests.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "component/fs/file_system.h"
#include "component/zip/archive.h"
#include "component/zip/zip_format.h"

namespace bk::zip {

// True when an entry name cannot be written safely below a folder: empty,
// holding a NUL, absolute ("/" or "\" first, so UNC names too), with a drive
// prefix ("C:"), or with a ".." component ("/" and "\" both separate). By
// Windows rules also a ":" anywhere (alternate streams) and device names
// such as "CON" or "lpt1.txt" as a component.
bool IsUnsafeName(std::string_view name, bool windows_rules);

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
  // untouched and no temporary file remains.
  int32_t WriteFile(const Entry& entry, const std::string& target);

  // Flushes the folders that received files. Returns false when one failed.
  bool SyncFolders();

  // Puts a file entry back at `target` and returns once it is on stable
  // storage. The entry is checked whole first. A regular file at the target is
  // rewritten in place, so that it stays the same file (inode and hard links,
  // file ID, ACLs and streams), then gets the entry's time and attributes.
  // Where there is no file, or a symbolic link (never followed; it is
  // replaced), a new file is written beside the target, given the entry's
  // owner, group, permissions and time, flushed and renamed into place.
  // Throws bk::Error naming the target and saying why; the target is then
  // untouched, except when writing into it failed part-way (running the
  // restore again puts it right).
  void RestoreFile(const Entry& entry, const std::string& target);

 private:
  void Fill(const Entry& entry, const std::string& temp, int32_t* reason);
  void CheckEntry(const Entry& entry, const std::string& target);
  void Rewrite(const Entry& entry, const std::string& target);
  std::unique_ptr<File> OpenForRewrite(const std::string& target);
  void Recreate(const Entry& entry, const std::string& target);
  void RestoreAttributes(const Entry& entry, const std::string& path);

  FileSystem& fs_;
  File& archive_;
  uint64_t size_;
  std::set<std::string> touched_;
};

}  // namespace bk::zip
