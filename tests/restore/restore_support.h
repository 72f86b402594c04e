// What the restore tests share: a folder tree protected in a period whose
// owner went away without ending it (its log left for a rollback), a
// rollback planned and carried out on a chosen file system, and what a tree
// holds entry by entry.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "component/fs/file_system.h"
#include "log/rollback_log.h"
#include "restore/outcome.h"
#include "restore/plan.h"
#include "support/fault_injection.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {

// One entry as a listing sees it (a link's own metadata, never followed).
struct EntryState {
  uint32_t mode = 0;  // type and permission bits
  int64_t owner = -1, group = -1, modified_ns = 0;
  std::string bytes;  // a file's content, a link's target
  std::vector<ExtendedAttribute> attributes;
  bool operator==(const EntryState&) const = default;
};
// Every entry below `top` by its path relative to it ("" is `top` itself);
// empty when `top` is missing.
using Listing = std::map<std::string, EntryState>;
Listing ListTree(FileSystem& fs, const std::string& top);
// The paths at which the two differ, "only" in one of them included.
std::vector<std::string> Differences(const Listing& a, const Listing& b);

struct Rolled {
  restore::Summary summary;
  std::vector<restore::Outcome> outcomes;
  // The outcome for `path`; nullptr when there is none.
  const restore::Outcome* Of(const std::string& path) const;
};

// An entry of every kind a rollback puts back, and a change of each kind
// to them: files changed in place, replaced, removed and added, a folder
// removed and one added with what they hold, a link made a file, a
// folder's mode.
void FillTree(const std::string& tree);
void ChangeTree(const std::string& tree);

struct TreePeriod {
  TreePeriod();

  Scratch s;
  std::string tree = s.dir / "tree";
  std::vector<std::string> trees{tree};
  std::string log_path;
  // The disk without its flushes: what reaches the platter does not matter
  // to these tests, only what a rollback does.
  std::shared_ptr<FaultInjectingFileSystem> quick = std::make_shared<FaultInjectingFileSystem>(s.fs);

  // Makes the trees and then the listed files safe in a period whose owner
  // goes away without ending it.
  void Protect(const std::vector<std::string>& files = {});
  std::string Record() const;
  std::shared_ptr<clsFileRollbackLog> Load(std::shared_ptr<FileSystem> fs) const;
  // Plans the rollback, runs `between` with the plan, and carries it out.
  Rolled Roll(std::shared_ptr<FileSystem> fs, const std::function<void(const restore::Plan&)>& between = {}) const;
  Rolled Roll() const { return Roll(quick); }
};

bool IsRoot();

}  // namespace bk::testing
