// Carrying out a tree's plan, and the last step of putting it back: the
// folders' own metadata, deepest first.
#include <algorithm>
#include <optional>
#include <set>

#include "log/tree.h"
#include "log/tree_internal.h"

namespace bk {
namespace {

using tree_internal::Posix;
using tree_internal::Under;

// The folders of one tree opened one below the other from its root, never
// through a link; the last chain opened is kept for the next step.
class TreeOpener {
 public:
  TreeOpener(FileSystem& fs, const std::string& root) : fs_(fs), root_(root) {}

  // The folder that holds `rel`, and its name there.
  Folder& Holder(const std::string& rel, std::string& name) {
    std::vector<std::string> parts;
    for (size_t start = 0; start < rel.size();) {
      const size_t slash = std::min(rel.find('/', start), rel.size());
      parts.push_back(rel.substr(start, slash - start));
      start = slash + 1;
    }
    if (!parent_) {
      std::vector<std::string> created;
      parent_ = fs_.OpenFolder(fs_.GetParentFolderName(root_), &created);
    }
    if (parts.empty()) {
      name = fs_.GetFileName(root_);
      chain_.clear();
      return *parent_;
    }
    name = parts.back();
    parts.pop_back();
    size_t keep = 0;
    while (keep < chain_.size() && keep < parts.size() + 1 && (keep == 0 || chain_[keep].first == parts[keep - 1])) {
      ++keep;
    }
    chain_.resize(keep);
    if (chain_.empty()) chain_.emplace_back("", parent_->OpenSubfolder(fs_.GetFileName(root_)));
    while (chain_.size() < parts.size() + 1) {
      const std::string& part = parts[chain_.size() - 1];
      chain_.emplace_back(part, chain_.back().second->OpenSubfolder(part));
    }
    return *chain_.back().second;
  }

  // Folders opened below `rel`'s holder may have gone or changed.
  void Forget(const std::string& rel) {
    const size_t depth = rel.empty() ? 0 : static_cast<size_t>(std::count(rel.begin(), rel.end(), '/')) + 1;
    if (chain_.size() > depth) chain_.resize(depth);
  }

 private:
  FileSystem& fs_;
  const std::string& root_;
  std::unique_ptr<Folder> parent_;
  std::vector<std::pair<std::string, std::unique_ptr<Folder>>> chain_;
};

Error Why(const Error& e, const std::string& path) {
  return Error(e.number(), e.source(), e.description(), path, e.native_code());
}

void CarryOut(FileSystem& fs, TreeOpener& opener, const TreeAction& a, TreeReport& report) {
  const std::string path = TreePath(fs, a.root, a.relative);
  const bool removal = a.kind == TreeAction::kRemove || a.kind == TreeAction::kRemoveFolder;
  try {
    std::string name;
    if (a.kind == TreeAction::kLeaveMount) {
      report.left.push_back(Error(errnum::kPermissionDenied, kLibrarySource, "a mount point made since: left as it is",
                                  path));
      return;
    }
    if (a.kind == TreeAction::kCannotMake) {
      report.not_made.push_back(Error(errnum::kPathFileAccessError, kLibrarySource,
                                      "not a file, folder or link: not made again", path));
      return;
    }
    Folder& holder = opener.Holder(a.relative, name);
    switch (a.kind) {
      case TreeAction::kRemove:
        holder.RemoveEntry(name);
        break;
      case TreeAction::kRemoveFolder:
        holder.RemoveSubfolder(name);
        break;
      case TreeAction::kMakeFolder:
        try {
          holder.MakeFolder(name);
        } catch (const Error& e) {
          // A folder above another that came back first is there already.
          const FileStat st = holder.StatEntry(name);
          if (e.number() != errnum::kFileAlreadyExists || !st.is_folder || st.is_symlink) throw;
        }
        break;
      default:
        holder.MakeLink(name, a.recorded.link_target, false);
        if (Posix(fs)) {
          try {
            holder.SetEntryOwner(name, a.recorded.owner, a.recorded.group);
          } catch (const Error&) {
            // Without the privilege to give links away the link is the user's.
          }
        }
        break;
    }
    opener.Forget(a.relative);
    (removal ? report.removed : report.made).push_back(path);
  } catch (const Error& e) {
    opener.Forget(a.relative);
    (removal ? report.not_removed : report.not_made).push_back(Why(e, path));
  }
}

void ApplyFolder(FileSystem& fs, TreeOpener& opener, const std::string& root, const TreeEntry& e,
                 const std::vector<std::string>& namespaces, TreeReport& report) {
  // Only what differs is set, so that a folder another user owns and nothing
  // changed is left alone by a user who could not set it.
  try {
    std::string name;
    Folder& holder = opener.Holder(e.relative, name);
    const FileStat now = holder.StatEntry(name);
    const bool posix = Posix(fs);
    if (posix && (now.owner != e.owner || now.group != e.group)) holder.SetEntryOwner(name, e.owner, e.group);
    if ((posix ? now.attributes & 07777 : now.attributes) != e.mode) holder.SetEntryMode(name, e.mode);
    if (posix) {
      const AttributeChanges changes = ChangesBetween(holder.EntryAttributes(name), e.attributes, namespaces);
      for (const std::string& gone : changes.remove) holder.RemoveEntryAttribute(name, gone);
      for (const ExtendedAttribute& a : changes.set) holder.SetEntryAttribute(name, a.name, a.value);
    }
    if (e.modified_ns != 0 && now.modified_ns != e.modified_ns) holder.SetEntryModifiedTime(name, e.modified_ns);
  } catch (const Error& err) {
    report.not_made.push_back(Why(err, TreePath(fs, root, e.relative)));
  }
}

}  // namespace

void RestoreFolder(FileSystem& fs, const std::string& path, const TreeEntry& recorded, TreeReport& report) {
  TreeOpener opener(fs, path);
  ApplyFolder(fs, opener, path, recorded, {}, report);
}

void CarryOutTree(FileSystem& fs, const std::vector<TreeAction>& actions, TreeReport& report) {
  std::set<std::string> changed;
  std::optional<TreeOpener> opener;
  const std::string* root = nullptr;
  for (const TreeAction& a : actions) {
    if (!root || *root != a.root) {
      root = &a.root;
      opener.emplace(fs, a.root);
    }
    CarryOut(fs, *opener, a, report);
    changed.insert(fs.GetParentFolderName(TreePath(fs, a.root, a.relative)));
  }
  for (const std::string& folder : changed) {
    try {
      fs.SyncFolder(folder);
    } catch (const Error& e) {
      // A folder removed since has nothing left to flush.
      if (!e.IsNotFound()) throw;
    }
  }
}

void RestoreTreeFolders(FileSystem& fs, const std::string& root, const std::vector<std::string>& namespaces,
                        const std::function<bool(TreeEntry&)>& next, TreeReport& report) {
  TreeOpener opener(fs, root);
  std::vector<TreeEntry> open;  // the folders above the entry at hand
  TreeEntry e;
  while (next(e)) {
    while (!open.empty() && !Under(e.relative, open.back().relative)) {
      ApplyFolder(fs, opener, root, open.back(), namespaces, report);
      open.pop_back();
    }
    if (e.type == TreeEntryType::kFolder) open.push_back(std::move(e));
  }
  while (!open.empty()) {
    ApplyFolder(fs, opener, root, open.back(), namespaces, report);
    open.pop_back();
  }
}

}  // namespace bk
