#include "log/tree.h"

#include <algorithm>
#include <optional>

#include "log/tree_internal.h"

namespace bk {
namespace {

using tree_internal::Posix;
using tree_internal::Under;

constexpr uint32_t kTypeMask = 0170000, kRegular = 0100000;

std::string Join(const std::string& rel, const std::string& name) { return rel.empty() ? name : rel + "/" + name; }

std::string LastComponent(const std::string& rel) { return rel.substr(rel.rfind('/') + 1); }

bool ChildOf(const std::string& rel, const std::string& folder) {
  return Under(rel, folder) && rel.find('/', folder.empty() ? 0 : folder.size() + 1) == std::string::npos;
}

TreeEntryType TypeOf(const FileStat& st, uint64_t device, bool posix) {
  if (st.is_symlink) return TreeEntryType::kLink;
  // A device number of 0 is one the platform did not give.
  const bool elsewhere = st.device != device && st.device != 0 && device != 0;
  if (st.is_folder) return elsewhere ? TreeEntryType::kMount : TreeEntryType::kFolder;
  if (!posix || (st.attributes & kTypeMask) == kRegular) return TreeEntryType::kFile;
  return TreeEntryType::kOther;
}

std::vector<FolderItem> SortedEntries(Folder& folder) {
  std::vector<FolderItem> items = folder.ListEntries();
  std::sort(items.begin(), items.end(), [](const FolderItem& a, const FolderItem& b) { return a.name < b.name; });
  return items;
}

std::optional<FileStat> StatOrNone(Folder& folder, const std::string& name) {
  try {
    return folder.StatEntry(name);
  } catch (const Error& e) {
    if (e.IsNotFound()) return std::nullopt;
    throw;
  }
}

TreeEntry EntryOf(Folder& holder, const std::string& name, const FileStat& st, std::string rel, uint64_t device,
                  const std::vector<std::string>& namespaces, bool posix) {
  TreeEntry e;
  e.type = TypeOf(st, device, posix);
  e.relative = std::move(rel);
  e.owner = st.owner < 0 ? 0 : static_cast<uint32_t>(st.owner);
  e.group = st.group < 0 ? 0 : static_cast<uint32_t>(st.group);
  e.mode = posix ? st.attributes & 07777 : st.attributes;
  e.modified_ns = st.modified_ns;
  if (e.type == TreeEntryType::kLink) e.link_target = holder.ReadLink(name);
  if (e.type == TreeEntryType::kFile || e.type == TreeEntryType::kFolder) {
    e.attributes = AttributesToRecord(holder.EntryAttributes(name), namespaces);
  }
  return e;
}

void WalkFolder(Folder& folder, const std::string& rel, uint64_t device, const std::vector<std::string>& namespaces,
                bool posix, const std::function<void(const TreeEntry&, const FileStat&)>& visit) {
  for (const FolderItem& item : SortedEntries(folder)) {
    const TreeEntry e = EntryOf(folder, item.name, item.stat, Join(rel, item.name), device, namespaces, posix);
    visit(e, item.stat);
    if (e.type == TreeEntryType::kFolder) {
      WalkFolder(*folder.OpenSubfolder(item.name), e.relative, device, namespaces, posix, visit);
    }
  }
}

}  // namespace

std::string TreePath(const FileSystem& fs, const std::string& root, const std::string& relative) {
  std::string path = root;
  for (size_t start = 0; start < relative.size();) {
    const size_t slash = std::min(relative.find('/', start), relative.size());
    path = fs.BuildPath(path, relative.substr(start, slash - start));
    start = slash + 1;
  }
  return path;
}

void WalkTree(FileSystem& fs, const std::string& root, const std::vector<std::string>& namespaces,
              const std::function<void(const TreeEntry&, const FileStat&)>& visit) {
  const std::unique_ptr<Folder> parent = fs.OpenFolder(fs.GetParentFolderName(root), nullptr);
  const std::string name = fs.GetFileName(root);
  const FileStat st = parent->StatEntry(name);
  const bool posix = Posix(fs);
  visit(EntryOf(*parent, name, st, "", st.device, namespaces, posix), st);
  WalkFolder(*parent->OpenSubfolder(name), "", st.device, namespaces, posix, visit);
}

namespace {

class Planner {
 public:
  Planner(FileSystem& fs, const std::string& root, uint64_t device, const std::function<bool(TreeEntry&)>& next)
      : fs_(fs), root_(root), device_(device), next_(next), posix_(Posix(fs)) {}

  std::vector<TreeAction> Plan() {
    if (!Peek() || !peeked_->relative.empty()) return {};
    TreeEntry recorded = Take();
    std::unique_ptr<Folder> parent;
    std::optional<FileStat> st;
    try {
      parent = fs_.OpenFolder(fs_.GetParentFolderName(root_), nullptr);
      st = StatOrNone(*parent, fs_.GetFileName(root_));
    } catch (const Error& e) {
      if (e.number() != errnum::kPathNotFound) throw;
    }
    if (st && TypeOf(*st, device_, posix_) == TreeEntryType::kFolder) {
      Merge(parent->OpenSubfolder(fs_.GetFileName(root_)).get(), "");
    } else {
      if (st) Extra(*parent, FolderItem{fs_.GetFileName(root_), *st}, "", true);
      Make(recorded);
    }
    return std::move(out_);
  }

 private:
  bool Peek() {
    if (!peeked_) {
      TreeEntry e;
      if (!next_(e)) return false;
      peeked_ = std::move(e);
    }
    return true;
  }
  TreeEntry Take() {
    TreeEntry e = std::move(*peeked_);
    peeked_.reset();
    return e;
  }
  void SkipUnder(const std::string& rel) {
    while (Peek() && Under(peeked_->relative, rel)) Take();
  }
  void Add(TreeAction::Kind kind, const std::string& rel, TreeEntry recorded = {}) {
    out_.push_back(TreeAction{kind, root_, rel, std::move(recorded)});
  }

  // Merges the recorded entries below `rel` with what `here` holds now
  // (nothing when it is being made again).
  void Merge(Folder* here, const std::string& rel) {
    const std::vector<FolderItem> current = here ? SortedEntries(*here) : std::vector<FolderItem>{};
    size_t i = 0;
    while (Peek() && ChildOf(peeked_->relative, rel)) {
      TreeEntry recorded = Take();
      const std::string name = LastComponent(recorded.relative);
      while (i < current.size() && current[i].name < name) Extra(*here, current[i++], rel, false);
      if (i < current.size() && current[i].name == name) {
        Same(*here, current[i++], recorded, rel);
      } else {
        Make(recorded);
      }
    }
    while (i < current.size()) Extra(*here, current[i++], rel, false);
  }

  void Same(Folder& here, const FolderItem& item, TreeEntry& recorded, const std::string& rel) {
    const TreeEntryType type = TypeOf(item.stat, device_, posix_);
    if (type == TreeEntryType::kMount && recorded.type == TreeEntryType::kFolder) {
      // Mounted over since: nothing of the folder is reached through it.
      Add(TreeAction::kLeaveMount, recorded.relative);
      SkipUnder(recorded.relative);
      return;
    }
    if (type != recorded.type) {
      Extra(here, item, rel, false);
      Make(recorded);
      return;
    }
    if (type == TreeEntryType::kFolder) {
      std::unique_ptr<Folder> sub;
      try {
        sub = here.OpenSubfolder(item.name);
      } catch (const Error&) {
        SkipUnder(recorded.relative);  // its folder metadata step reports it
        return;
      }
      Merge(sub.get(), recorded.relative);
    } else if (type == TreeEntryType::kLink && here.ReadLink(item.name) != recorded.link_target) {
      Add(TreeAction::kRemove, recorded.relative);
      Add(TreeAction::kMakeLink, recorded.relative, recorded);
    } else if (type == TreeEntryType::kMount) {
      SkipUnder(recorded.relative);
    }
  }

  void Make(TreeEntry& recorded) {
    const std::string rel = recorded.relative;
    switch (recorded.type) {
      case TreeEntryType::kFolder:
      case TreeEntryType::kMount:
        Add(TreeAction::kMakeFolder, rel, recorded);
        Merge(nullptr, rel);
        break;
      case TreeEntryType::kLink:
        Add(TreeAction::kMakeLink, rel, recorded);
        break;
      case TreeEntryType::kOther:
        Add(TreeAction::kCannotMake, rel, recorded);
        break;
      case TreeEntryType::kFile:
        break;  // the archive brings it back
    }
  }

  // An entry the listing does not have there: removed, what a folder holds
  // first. The root's own stand-in is judged by the root's device.
  void Extra(Folder& here, const FolderItem& item, const std::string& parent_rel, bool is_root) {
    const std::string rel = is_root ? std::string() : Join(parent_rel, item.name);
    const TreeEntryType type = TypeOf(item.stat, device_, posix_);
    if (type == TreeEntryType::kMount && !is_root) {
      Add(TreeAction::kLeaveMount, rel);
      return;
    }
    if (type != TreeEntryType::kFolder) {
      Add(TreeAction::kRemove, rel);
      return;
    }
    try {
      const std::unique_ptr<Folder> sub = here.OpenSubfolder(item.name);
      for (const FolderItem& child : SortedEntries(*sub)) Extra(*sub, child, rel, false);
    } catch (const Error&) {
      // Removing the folder fails and says why.
    }
    Add(TreeAction::kRemoveFolder, rel);
  }

  FileSystem& fs_;
  const std::string& root_;
  uint64_t device_;
  const std::function<bool(TreeEntry&)>& next_;
  bool posix_;
  std::optional<TreeEntry> peeked_;
  std::vector<TreeAction> out_;
};

}  // namespace

std::vector<TreeAction> PlanTree(FileSystem& fs, const std::string& root, uint64_t device,
                                 const std::function<bool(TreeEntry&)>& next) {
  return Planner(fs, root, device, next).Plan();
}

}  // namespace bk
