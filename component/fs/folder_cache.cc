#include "component/fs/folder_cache.h"

#include <algorithm>

#include "component/error.h"

namespace bk {

int32_t FolderCache::AddTop(std::string path) {
  nodes_.push_back(Node{-1, std::move(path), {}, false});
  return static_cast<int32_t>(nodes_.size() - 1);
}

int32_t FolderCache::AddChild(int32_t parent, std::string name) {
  nodes_.push_back(Node{parent, std::move(name), {}, false});
  return static_cast<int32_t>(nodes_.size() - 1);
}

void FolderCache::Expect(int32_t node, const FileStat& st) {
  Node& n = nodes_[static_cast<size_t>(node)];
  n.expected = st;
  n.known = true;
}

std::string FolderCache::Path(int32_t node) const {
  const Node& n = nodes_[static_cast<size_t>(node)];
  if (n.parent < 0) return n.name;
  return fs_.BuildPath(Path(n.parent), n.name);
}

std::string FolderCache::Relative(int32_t ancestor, int32_t node) const {
  std::vector<const std::string*> names;
  for (int32_t i = node; i != ancestor && i >= 0; i = nodes_[static_cast<size_t>(i)].parent) {
    names.push_back(&nodes_[static_cast<size_t>(i)].name);
  }
  std::string out;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!out.empty()) out += '/';
    out += **it;
  }
  return out;
}

bool FolderCache::IsBelow(int32_t node, int32_t ancestor) const {
  for (int32_t i = nodes_[static_cast<size_t>(node)].parent; i >= 0; i = nodes_[static_cast<size_t>(i)].parent) {
    if (i == ancestor) return true;
  }
  return false;
}

void FolderCache::Check(int32_t node, Folder& folder) {
  Node& n = nodes_[static_cast<size_t>(node)];
  if (!n.known || !SameEntry(folder.StatEntry(""), n.expected)) throw EntryChanged(Path(node));
}

std::shared_ptr<Folder> FolderCache::OpenUncached(int32_t node) {
  const Node& n = nodes_[static_cast<size_t>(node)];
  if (n.parent < 0) return fs_.OpenFolder(n.name, nullptr);
  // From the nearest folder held open, or from the top.
  int32_t from = n.parent;
  while (open_.count(from) == 0 && nodes_[static_cast<size_t>(from)].parent >= 0) {
    from = nodes_[static_cast<size_t>(from)].parent;
  }
  const std::shared_ptr<Folder> base = Open(from);
  try {
    if (from == n.parent) return base->OpenSubfolder(n.name);
    return base->OpenDescendant(Relative(from, node));
  } catch (const Error& e) {
    // Whatever stands in a planned folder's place, it is not that folder.
    if (e.number() == errnum::kPathFileAccessError || e.number() == errnum::kPermissionDenied) {
      throw EntryChanged(Path(node));
    }
    throw;
  }
}

std::shared_ptr<Folder> FolderCache::Open(int32_t node) {
  if (!nodes_[static_cast<size_t>(node)].known) throw EntryChanged(Path(node));
  if (const auto it = open_.find(node); it != open_.end()) {
    it->second.used = ++clock_;
    return it->second.folder;
  }
  std::shared_ptr<Folder> folder = OpenUncached(node);
  Check(node, *folder);
  Keep(node, folder);
  return folder;
}

void FolderCache::Keep(int32_t node, std::shared_ptr<Folder> folder) {
  if (open_.size() >= capacity_) {
    const auto oldest = std::min_element(open_.begin(), open_.end(),
                                         [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
    open_.erase(oldest);
  }
  open_[node] = Held{std::move(folder), ++clock_};
}

void FolderCache::Close(int32_t node) {
  for (auto it = open_.begin(); it != open_.end();) {
    if (it->first == node || IsBelow(it->first, node)) {
      it = open_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace bk
