// Writing archive entries out: the safety test of entry names and target
// paths; extraction into a folder, each file written beside its target under a
// temporary name and renamed over it; and putting files back in place, in
// batches flushed together. Internal to the archive component and its tests.
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
  // untouched and no temporary file remains. The file is written under a
  // fresh name beside the target, created exclusively and, until its mode is
  // set, for its owner only, then renamed over the target.
  int32_t WriteFile(const Entry& entry, const std::string& target);

  // Flushes the folders that received files. Returns false when one failed.
  bool SyncFolders();

  // Putting files back, in batches flushed together. The target's folder is
  // reached through FileSystem::OpenFolder (missing folders made on the
  // way), so a link another user placed in its path fails that file; every
  // later step works inside the folder that was opened.
  //
  // StageRestore checks a file entry whole, then writes it out. A regular
  // file at the target is rewritten in place, so that it stays the same file
  // (inode and hard links, file ID, ACLs and streams), unless the hint says
  // it is another file than the one made safe or the file is a running
  // program's ("text file busy"): then it is left to whoever uses it and
  // replaced as a missing file is, below. A copy over 1 MiB is
  // written into the emptied file and its runs of zeros left as holes, as in
  // a new file. Where there is no file, or a symbolic link (never followed;
  // it is replaced), a new file "<target>.brightkeep-restore" is created
  // beside the target, exclusively and for its owner only; when that name is
  // taken, "<target>.brightkeep-restore.<n>" (what holds the name is left
  // alone). Nothing is durable yet, and the file stays open until the batch
  // is finished. Throws bk::Error naming the target and saying why; the
  // target is then untouched, except when writing into it failed part-way
  // (running the restore again puts it right).
  void StageRestore(const Entry& entry, const std::string& target, std::optional<RestoreHint> hint = std::nullopt);
  // Flushes the staged files together; then gives each, on the open file,
  // its owner and group (POSIX, when recorded), its permission bits or
  // attributes (setuid and setgid only with the owner and group applied)
  // then the hint's extended attributes (in its order, which puts ACLs
  // first and file capabilities last) and its time; renames each new file
  // into place and flushes the folders
  // that changed. Returns for each staged file, in order, what became of it.
  std::vector<RestoreOutcome> FinishRestores();
  // What the batch holds: callers finish it before it holds too many open
  // files or too much unflushed data.
  size_t staged_files() const { return staged_.size(); }
  uint64_t staged_bytes() const { return staged_bytes_; }

 private:
  struct Staged {
    const Entry* entry;
    std::string target;
    std::shared_ptr<Folder> folder;  // the target's
    std::string temp;  // the new file's name in `folder`; empty for a rewrite
    std::unique_ptr<File> out;
    RestoreOutcome result;
    std::optional<RestoreHint> hint;
  };

  // The folder `path`, made when missing; with `keep`, held open for the
  // rest of the batch and opened once in it.
  std::shared_ptr<Folder> OpenFolder(const std::string& path, bool keep);
  std::optional<std::string> CheckEntry(const Entry& entry, const std::string& target);
  void WriteOut(File& out, const Entry& entry, const std::optional<std::string>& held, const std::string& target,
                bool leave_holes);
  void Rewrite(Staged& staged, const std::optional<std::string>& held);
  void Recreate(Staged& staged, const std::optional<std::string>& held);
  void Complete(Staged& staged);
  // Removes the new file of a restore that failed.
  void Discard(Staged& staged);
  // Gives the open file the entry's metadata; returns the note of what could
  // not be given.
  std::string ApplyMetadata(File& file, const Entry& entry, bool with_owner, const RestoreHint* hint);
  void ApplyAttributes(File& file, const RestoreHint& hint);

  FileSystem& fs_;
  File& archive_;
  uint64_t size_;
  std::set<std::string> touched_;
  std::map<std::string, std::shared_ptr<Folder>> folders_;  // kept for the batch
  std::vector<Staged> staged_;
  uint64_t staged_bytes_ = 0;
};

}  // namespace bk::zip
