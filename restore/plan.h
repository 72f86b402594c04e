// The plan of a rollback: every decision about every entry, taken before
// anything is touched, from the rollback log, its archives, the period's
// record and the file system as it is now. The dry run prints this very
// plan; the executor (execute.h) carries it out and decides nothing new but
// "this entry changed since it was planned".
//
// Entries are named by the folder that holds them, a node of the plan's
// FolderCache (its identity checked whenever it is opened), and their name
// there; every step keeps what the planner saw at that name (its kind and
// identity), which the executor compares before it acts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/fs/folder_cache.h"
#include "log/period_record.h"
#include "restore/record_index.h"

namespace bk {
class clsFileRollbackLog;
}

namespace bk::restore {

enum class Action : uint8_t {
  kRestore,         // a file's content comes back from its archive
  kUnchanged,       // the file is as it was made safe: left as it is
  kRemove,          // a file, link or other entry the period did not have
  kRemoveFolder,    // a folder the period did not have (what it holds goes first)
  kMakeFolder,      // a folder the period had, made again
  kMakeLink,        // a link the period had, made again
  kFolderMetadata,  // a folder gets back its owner, group, mode, attributes and time
  kRefuse,          // an entry that does not come back; the step's error says why
  kLeave,           // a mount point made since: left as it is, not a failure
  kStop,            // an archive that cannot be used: the rollback stops there
  kDoneBefore,      // an earlier run of this rollback did it (the record says so)
};

// What a name held when the planner looked.
enum class Kind : uint8_t { kNone, kFile, kFolder, kLink, kOther };

struct Seen {
  Kind kind = Kind::kNone;
  uint64_t device = 0;
  uint64_t file_id = 0;
  uint64_t file_id_high = 0;
  int64_t birth_ns = 0;

  static Seen Of(const FileStat& st, bool posix_types);
  // The identity as a FileStat that SameEntry compares.
  FileStat AsStat() const;
};

inline constexpr uint32_t kNoDetail = UINT32_MAX;

struct Step {
  Action action = Action::kRefuse;
  Seen seen;
  int32_t folder = -1;  // the node holding the entry; kFolderMetadata: the folder's own node
  int32_t node = -1;    // kMakeFolder, kRemoveFolder: the entry's own node
  std::string name;     // the entry's name in `folder`; empty for kFolderMetadata and kStop
  uint32_t detail = kNoDetail;  // kRestore, kUnchanged, kRefuse of a file: into Plan::files;
                                // kMakeFolder, kMakeLink, kFolderMetadata: into Plan::recorded
  uint32_t error = kNoDetail;   // kRefuse, kLeave, kStop: into Plan::errors
};

// A file the log lists.
struct FileDetail {
  std::string listed;     // as the log lists it
  int32_t archive = -1;   // into Plan::archives
  uint32_t entry = 0;     // into that archive's entries
  int64_t record_offset = -1;  // its line in the record, for its metadata
  uint64_t record_line = 0;
  bool in_place = false;  // the file there is the one made safe: rewritten in place
  uint64_t size = 0;      // of the archive's copy
};

// What an entry is to get back: owner, group, mode, time, and for links the
// target; extended attributes in the record's namespaces.
struct Recorded {
  uint32_t owner = 0;
  uint32_t group = 0;
  uint32_t mode = 0;
  int64_t modified_ns = 0;  // 0: left as it is
  bool owned = true;        // false: owner and group are not known (left as they are)
  std::string link_target;
  std::vector<ExtendedAttribute> attributes;
  bool with_attributes = false;  // false: the entry's attributes are left alone
};

struct PlannedArchive {
  std::string path;   // where it is read
  std::string drive;  // its marker's
  FileStat seen;      // the open file, when planned
};

struct Plan {
  explicit Plan(FileSystem& file_system) : fs(&file_system), folders(std::make_unique<FolderCache>(file_system)) {}

  FileSystem* fs;
  std::vector<Step> steps;  // in the order they are carried out
  std::unique_ptr<FolderCache> folders;
  std::vector<FileDetail> files;
  std::vector<Recorded> recorded;
  std::vector<Error> errors;
  std::vector<PlannedArchive> archives;
  std::string record;  // the period's record, where done steps are written down; empty: none
  std::shared_ptr<RecordIndex> record_index;  // what the plan read of it, for the files' metadata
  std::vector<std::string> namespaces;  // of the attributes the record holds
  bool posix = true;    // the platform has POSIX owners and modes
  size_t done_before = 0;

  // The path of the entry a step concerns, for messages and the record.
  std::string PathOf(const Step& step) const;
  // The path the outcome of a step names: as the log lists a file, else the entry's path.
  std::string Shown(const Step& step) const;
};

// Plans the rollback of the log's period. A whole operation fails (throws)
// only when the log itself cannot be used (no document, an archive named in
// another folder); everything else becomes steps, refusals included.
Plan MakePlan(clsFileRollbackLog& log);

}  // namespace bk::restore
