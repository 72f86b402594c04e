// What the two halves of the planner share: the plan being built, the
// record, and the folders found or to be made. Internal to the planner.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "component/fs/file_system.h"
#include "restore/plan.h"
#include "restore/record_index.h"

namespace bk::restore::planner {

class Context {
 public:
  Context(FileSystem& file_system, Plan& planned, RecordIndex& index) : fs(file_system), plan(planned), record(index) {}

  FileSystem& fs;
  Plan& plan;
  RecordIndex& record;
  // Steps by phase, joined in this order at the end: the trees' entries,
  // the folders above files made again, the files archive by archive, and
  // last the folders' own metadata (deepest first).
  std::vector<Step> trees, made, files, metadata;
  // The metadata of the folders above files made again, outermost first;
  // carried out innermost first, before the trees' folders.
  std::vector<Step> made_metadata;
  std::vector<std::string> mounts;  // mount points made inside trees since: nothing goes through them
  // The entries the trees' steps remove, by folder node and a hash of the
  // name: a file restored there finds the name empty.
  std::unordered_set<uint64_t> removed;
  static uint64_t EntryKey(int32_t node, const std::string& name) {
    return std::hash<std::string>()(name) * 1000003u ^ static_cast<uint64_t>(static_cast<uint32_t>(node));
  }

  // The node of the folder at the absolute `path`, found or planned to be
  // made (with the record's metadata for it, when it has some; the steps
  // that make it go to `made`). Throws the file system's error when the
  // folder cannot be opened for another reason than being missing.
  int32_t Folder(const std::string& path);
  // Registers a folder a tree's plan found or makes.
  void Known(const std::string& path, int32_t node, bool is_made);
  bool IsMade(int32_t node) const { return made_nodes_.count(node) != 0; }

  Step& Add(std::vector<Step>& phase, Action action, int32_t folder, std::string name, const Seen& seen = {});
  uint32_t AddError(Error e);
  uint32_t AddRecorded(Recorded r);
  // The metadata the record gives an entry of a tree, as it is put back.
  Recorded FromEntry(const TreeEntry& e) const;
  // The kind of an entry found now; a folder on another device than
  // `device` is a mount point (kOther is never returned for folders).
  Kind KindOf(const FileStat& st) const;

 private:
  Recorded AboveFile(const std::string& path);
  std::unordered_map<std::string, int32_t> folders_;
  std::unordered_map<int32_t, bool> made_nodes_;
  std::unordered_map<std::string, const RecordedFolder*> recorded_folders_;
};

// Plans every complete tree of the record, in the record's order.
void PlanTrees(Context& ctx);

}  // namespace bk::restore::planner
