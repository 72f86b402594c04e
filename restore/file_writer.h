// Putting files back from an archive, in batches flushed together.
//
// Each copy is checked whole (size and CRC) before its file is touched. The
// file the planner found the one made safe is rewritten in place, so that it
// stays the same file (inode and hard links, file ID, ACLs and streams):
// opened without following a link, compared with what the planner saw, its
// content written over the old one and what is left cut off after (never cut
// to nothing first, so a program that maps it sees no hole in the middle),
// runs of zeros of a large copy punched as holes. A file replaced since, or
// one a running program uses, is left to whoever uses it: the copy is
// written beside it as "<name>.brightkeep-restore" (".1", ".2", … when that
// is taken), created exclusively and for its owner only, and renamed over
// the name once flushed, if the name still holds what the planner saw.
// Once the batch is flushed each file gets, on the open file: its owner and
// group (when the copy records them), its permission bits or attributes
// (set-user-ID and set-group-ID only with the owner applied), the record's
// extended attributes and its modification time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/zip/archive_reader.h"
#include "log/period_record.h"
#include "restore/plan.h"

namespace bk::restore {

class FileWriter {
 public:
  FileWriter(FileSystem& fs, ArchiveReader& archive, bool posix, std::vector<std::string> namespaces)
      : fs_(fs), archive_(archive), posix_(posix), namespaces_(std::move(namespaces)) {}

  struct Target {
    std::shared_ptr<Folder> folder;  // the checked folder that holds it
    std::string name;
    std::string path;  // for messages
    Seen seen;         // what the planner found at the name
    bool in_place = false;
    std::optional<RecordedFile> recorded;  // exact time and attributes
  };
  // Checks the copy and writes it out, unflushed. Throws an Error naming the
  // target and saying why; nothing of the target is then touched, and no
  // new file is left.
  void Stage(const zip::Entry& entry, Target target, size_t tag);

  struct Done {
    size_t tag;
    std::optional<Error> error;  // nothing once the file is back and flushed
    std::string note;
  };
  // Flushes the staged files together, gives each its metadata, renames new
  // files into place and flushes the folders that changed.
  std::vector<Done> Finish();

  size_t staged_files() const { return staged_.size(); }
  uint64_t staged_bytes() const { return staged_bytes_; }
  // Told the bytes of each piece of a copy as it is written out.
  void OnWritten(std::function<void(uint64_t)> written) { written_ = std::move(written); }

 private:
  struct Staged {
    const zip::Entry* entry;
    Target target;
    size_t tag;
    std::string temp;  // the new file's name in the folder; empty for a rewrite
    std::unique_ptr<File> out;
    Done done;
  };
  std::optional<std::string> Check(const zip::Entry& entry, const std::string& path);
  void WriteOut(File& out, const zip::Entry& entry, const std::optional<std::string>& held, const std::string& path,
                bool fresh);
  void Rewrite(Staged& s, const std::optional<std::string>& held);
  void Recreate(Staged& s, const std::optional<std::string>& held);
  void Complete(Staged& s);
  void Discard(Staged& s);
  std::string ApplyMetadata(File& file, const zip::Entry& entry, const std::optional<RecordedFile>& recorded);

  FileSystem& fs_;
  ArchiveReader& archive_;
  bool posix_;
  std::vector<std::string> namespaces_;
  std::vector<Staged> staged_;
  uint64_t staged_bytes_ = 0;
  std::function<void(uint64_t)> written_;
};

// "Permission denied: changed while the rollback ran" (70, refused).
Error ChangedMeanwhile(const std::string& path);

}  // namespace bk::restore
