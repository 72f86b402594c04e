// Folders named by a chain of nodes, held open with a bounded number of
// handles, each checked to be the folder its node stands for.
//
// A top node is opened by its absolute path (FileSystem::OpenFolder, which
// judges the links on the way); every other node is a folder inside its
// parent's. A node is opened only as the folder it expects (SameEntry):
// another entry, or no folder, at its name fails with EntryChanged, and so
// does a node that expects nothing yet (a folder still to be made). At most `capacity` folders stay open;
// an evicted one is opened again from its nearest open ancestor in one call
// (Folder::OpenDescendant, which follows no link and leaves no device) and
// checked again. So a tree of any depth is walked with a bounded number of
// descriptors, and every handle handed out is the folder that was planned.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "component/fs/file_system.h"

namespace bk {

class FolderCache {
 public:
  struct Node {
    int32_t parent = -1;  // -1: a top node
    std::string name;     // a top node's absolute path, else its name in the parent
    FileStat expected;    // valid when `known`
    bool known = false;
  };

  explicit FolderCache(FileSystem& fs, size_t capacity = 64) : fs_(fs), capacity_(capacity < 2 ? 2 : capacity) {}

  int32_t AddTop(std::string path);
  int32_t AddChild(int32_t parent, std::string name);
  // From now on the node's folder must be the one `st` describes.
  void Expect(int32_t node, const FileStat& st);
  // Lets go of every folder held open: the next Open of each node opens it
  // again from its top and checks it again.
  void CloseAll() { open_.clear(); }

  // The node's folder, open and checked. Throws EntryChanged when another
  // entry holds its name, and the file system's error when it cannot be
  // opened (53/76 when it is gone).
  std::shared_ptr<Folder> Open(int32_t node);
  // Lets go of the node's folder and of every folder below it held open:
  // it was removed, or is being made again.
  void Close(int32_t node);

  const Node& node(int32_t i) const { return nodes_[static_cast<size_t>(i)]; }
  size_t size() const { return nodes_.size(); }
  // The node's path, for messages: the top's path joined with the names.
  std::string Path(int32_t node) const;
  // The path from `ancestor` down to `node`, names joined with "/"; empty
  // when they are the same node.
  std::string Relative(int32_t ancestor, int32_t node) const;
  bool IsBelow(int32_t node, int32_t ancestor) const;

 private:
  struct Held {
    std::shared_ptr<Folder> folder;
    uint64_t used = 0;
  };
  std::shared_ptr<Folder> OpenUncached(int32_t node);
  void Check(int32_t node, Folder& folder);
  void Keep(int32_t node, std::shared_ptr<Folder> folder);

  FileSystem& fs_;
  size_t capacity_;
  std::vector<Node> nodes_;
  std::unordered_map<int32_t, Held> open_;
  uint64_t clock_ = 0;
};

}  // namespace bk
