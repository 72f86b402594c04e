// Planning a protected tree: its listing in the record merged, folder by
// folder and name by name, with what the tree holds now. Entries the listing
// lacks are removed (what a folder holds before the folder), entries it has
// and the tree lacks are made again, a link whose target changed is made
// again, and every folder of the listing gets its metadata back at the end,
// deepest first. Files are left to the archives. Only names are held in
// memory per folder, and folders are opened through the plan's FolderCache,
// so neither width nor depth makes the planner hold much.
#include <algorithm>
#include <optional>

#include "restore/planner_internal.h"

namespace bk::restore::planner {
namespace {

std::string Join(const std::string& rel, const std::string& name) { return rel.empty() ? name : rel + "/" + name; }

std::string LastComponent(const std::string& rel) { return rel.substr(rel.rfind('/') + 1); }

bool Under(const std::string& rel, const std::string& folder) {
  if (folder.empty()) return !rel.empty();
  return rel.size() > folder.size() && rel.starts_with(folder) && rel[folder.size()] == '/';
}

bool ChildOf(const std::string& rel, const std::string& folder) {
  return Under(rel, folder) && rel.find('/', folder.empty() ? 0 : folder.size() + 1) == std::string::npos;
}

Kind KindOfRecorded(TreeEntryType t) {
  switch (t) {
    case TreeEntryType::kFolder:
    case TreeEntryType::kMount:
      return Kind::kFolder;
    case TreeEntryType::kLink:
      return Kind::kLink;
    case TreeEntryType::kFile:
      return Kind::kFile;
    default:
      return Kind::kOther;
  }
}

Error LeftMount(const std::string& path) {
  return Error(errnum::kPermissionDenied, kLibrarySource, "a mount point made since: left as it is", path)
      .Kind(ErrorKind::kRefused);
}

class TreePlanner {
 public:
  TreePlanner(Context& ctx, const IndexedTree& tree) : ctx_(ctx), tree_(tree), fs_(ctx.fs) {}

  void Plan() {
    ctx_.record.StartTree(tree_);
    if (!Peek() || !peeked_->relative.empty()) return;
    TreeEntry root = Take();
    const std::string parent_path = fs_.GetParentFolderName(tree_.root);
    const std::string name = fs_.GetFileName(tree_.root);
    int32_t parent = -1;
    try {
      parent = ctx_.Folder(parent_path);
    } catch (const Error& e) {
      Refuse(Error(e.number(), e.source(), "the tree is not put back: " + e.description(), tree_.root,
                   e.native_code()).Kind(ErrorKind::kRefused));
      return;
    }
    std::optional<FileStat> st = ctx_.IsMade(parent) ? std::nullopt : Stat(parent, name);
    if (st && st->is_folder && !st->is_symlink) {
      if (ctx_.record.same_boot() && tree_.identity.Known() && st->device != tree_.identity.device) {
        // Mounted over since: nothing of the tree is reached through it.
        ctx_.Add(ctx_.trees, Action::kLeave, parent, name, Seen::Of(*st, ctx_.plan.posix)).error =
            ctx_.AddError(LeftMount(tree_.root));
        ctx_.mounts.push_back(tree_.root);
        return;
      }
      if (MountedSince(parent, *st)) {
        // Across a reboot only the file number and birth time still tell
        // the folder made safe: another file system mounted at the root is
        // neither read nor put back, and nothing is restored through it.
        Refuse(Error(errnum::kPermissionDenied, kLibrarySource,
                     "the tree is not put back: a file system mounted at its root since is not the folder made safe",
                     tree_.root).Kind(ErrorKind::kRefused));
        ctx_.mounts.push_back(tree_.root);
        return;
      }
      // Device numbers of another boot say nothing: the tree's device is
      // the one its root is on now.
      device_ = st->device;
      const int32_t node = ctx_.plan.folders->AddChild(parent, name);
      ctx_.plan.folders->Expect(node, *st);
      ctx_.Known(tree_.root, node, false);
      Merge(node, "", false);
      Metadata(node, root);
      return;
    }
    if (st) Extra(parent, name, "", *st);
    Make(parent, root);
  }

 private:
  bool Peek() {
    if (!peeked_) {
      TreeEntry e;
      if (!ctx_.record.NextEntry(e)) return false;
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
  std::string PathOf(const std::string& rel) const {
    std::string path = tree_.root;
    for (size_t start = 0; start < rel.size();) {
      const size_t slash = std::min(rel.find('/', start), rel.size());
      path = fs_.BuildPath(path, rel.substr(start, slash - start));
      start = slash + 1;
    }
    return path;
  }
  void Refuse(Error e) {
    Step& step = ctx_.Add(ctx_.trees, Action::kRefuse, -1, "");
    step.error = ctx_.AddError(std::move(e));
  }

  std::optional<FileStat> Stat(int32_t node, const std::string& name) {
    try {
      return ctx_.plan.folders->Open(node)->StatEntry(name);
    } catch (const Error& e) {
      if (e.IsNotFound()) return std::nullopt;
      throw;
    }
  }

  std::vector<std::string> Names(int32_t node) {
    std::vector<std::string> names = ctx_.plan.folders->Open(node)->ListNames();
    std::sort(names.begin(), names.end());
    return names;
  }

  // True when, in a record of another boot, the root is a mount point now
  // (on another device than the folder that holds it) and not the folder
  // made safe. A root made again on the same file system is the tree's.
  bool MountedSince(int32_t parent, const FileStat& root) {
    if (ctx_.record.same_boot() || !tree_.identity.Known() || SameFile(tree_.identity, root, false)) return false;
    return ctx_.plan.folders->Open(parent)->StatEntry("").device != root.device;
  }

  bool IsMount(const FileStat& st) const {
    return st.is_folder && !st.is_symlink && st.device != device_ && st.device != 0 && device_ != 0;
  }

  // Merges the recorded entries below `rel` with what the folder `node`
  // holds now (nothing when it is being made).
  void Merge(int32_t node, const std::string& rel, bool made) {
    std::vector<std::string> current;
    if (!made) {
      try {
        current = Names(node);
      } catch (const Error& e) {
        Refuse(Error(e.number(), e.source(), "could not be read: " + e.description(), PathOf(rel), e.native_code())
                   .Kind(ErrorKind::kIo));
        SkipUnder(rel);
        return;
      }
    }
    size_t i = 0;
    while (Peek() && ChildOf(peeked_->relative, rel)) {
      TreeEntry recorded = Take();
      const std::string name = LastComponent(recorded.relative);
      while (i < current.size() && current[i] < name) ExtraNamed(node, current[i++], rel);
      std::optional<FileStat> st;
      if (i < current.size() && current[i] == name) {
        ++i;
        st = Stat(node, name);
      }
      if (st) {
        Same(node, name, recorded, rel, *st);
      } else {
        Make(node, recorded);
      }
    }
    while (i < current.size()) ExtraNamed(node, current[i++], rel);
  }

  void ExtraNamed(int32_t node, const std::string& name, const std::string& parent_rel) {
    if (const std::optional<FileStat> st = Stat(node, name)) Extra(node, name, Join(parent_rel, name), *st);
  }

  void Same(int32_t node, const std::string& name, TreeEntry& recorded, const std::string& parent_rel,
            const FileStat& st) {
    const std::string& rel = recorded.relative;
    const bool recorded_mount = recorded.type == TreeEntryType::kMount;
    if (IsMount(st)) {
      if (!recorded_mount) {
        ctx_.Add(ctx_.trees, Action::kLeave, node, name, Seen::Of(st, ctx_.plan.posix)).error =
            ctx_.AddError(LeftMount(PathOf(rel)));
        ctx_.mounts.push_back(PathOf(rel));
      }
      SkipUnder(rel);
      return;
    }
    const Kind now = ctx_.KindOf(st);
    if (recorded_mount && now == Kind::kFolder) {
      // What a mount point covered was never listed: it is left as it is.
      SkipUnder(rel);
      return;
    }
    if (now != KindOfRecorded(recorded.type) || recorded_mount) {
      if (Extra(node, name, Join(parent_rel, name), st)) Make(node, recorded);
      return;
    }
    if (now == Kind::kFolder) {
      const int32_t sub = ctx_.plan.folders->AddChild(node, name);
      ctx_.plan.folders->Expect(sub, st);
      ctx_.Known(PathOf(rel), sub, false);
      Merge(sub, rel, false);
      Metadata(sub, recorded);
    } else if (now == Kind::kLink && ctx_.plan.folders->Open(node)->ReadLink(name) != recorded.link_target) {
      if (Extra(node, name, rel, st)) MakeLink(node, recorded);
    }
  }

  // Plans the removal of an entry the listing does not have; false when it
  // stays (a mount point, or removed by an earlier run and made again since).
  bool Extra(int32_t node, const std::string& name, const std::string& rel, const FileStat& st) {
    const std::string path = PathOf(rel);
    const Seen seen = Seen::Of(st, ctx_.plan.posix);
    if (IsMount(st)) {
      ctx_.Add(ctx_.trees, Action::kLeave, node, name, seen).error = ctx_.AddError(LeftMount(path));
      ctx_.mounts.push_back(path);
      return false;
    }
    if (ctx_.record.Done(DoneStep::kRemoved, path)) {
      ctx_.Add(ctx_.trees, Action::kDoneBefore, node, name, seen);
      return false;
    }
    ctx_.removed.insert(Context::EntryKey(node, name));
    if (seen.kind != Kind::kFolder) {
      ctx_.Add(ctx_.trees, Action::kRemove, node, name, seen);
      return true;
    }
    const int32_t sub = ctx_.plan.folders->AddChild(node, name);
    ctx_.plan.folders->Expect(sub, st);
    try {
      for (const std::string& child : Names(sub)) ExtraNamed(sub, child, rel);
    } catch (const Error&) {
      // Removing the folder then fails, and says why.
    }
    ctx_.Add(ctx_.trees, Action::kRemoveFolder, node, name, seen).node = sub;
    return true;
  }

  void Make(int32_t node, TreeEntry& recorded) {
    const std::string rel = recorded.relative;
    const std::string name = rel.empty() ? fs_.GetFileName(tree_.root) : LastComponent(rel);
    switch (recorded.type) {
      case TreeEntryType::kFolder:
      case TreeEntryType::kMount: {
        if (ctx_.record.Done(DoneStep::kMade, PathOf(rel))) {
          ctx_.Add(ctx_.trees, Action::kDoneBefore, node, name);
          SkipUnder(rel);
          return;
        }
        const int32_t sub = ctx_.plan.folders->AddChild(node, name);
        Step& step = ctx_.Add(ctx_.trees, Action::kMakeFolder, node, name);
        step.node = sub;
        step.detail = ctx_.AddRecorded(ctx_.FromEntry(recorded));
        ctx_.Known(PathOf(rel), sub, true);
        Merge(sub, rel, true);
        Metadata(sub, recorded);
        break;
      }
      case TreeEntryType::kLink:
        MakeLink(node, recorded);
        break;
      case TreeEntryType::kOther:
        ctx_.Add(ctx_.trees, Action::kRefuse, node, name).error = ctx_.AddError(
            Error(errnum::kPathFileAccessError, kLibrarySource, "not a file, folder or link: not made again",
                  PathOf(rel)).Kind(ErrorKind::kRefused));
        break;
      case TreeEntryType::kFile:
        break;  // the archive brings it back
    }
  }

  void MakeLink(int32_t node, const TreeEntry& recorded) {
    const std::string name = LastComponent(recorded.relative);
    if (ctx_.record.Done(DoneStep::kMade, PathOf(recorded.relative))) {
      ctx_.Add(ctx_.trees, Action::kDoneBefore, node, name);
      return;
    }
    ctx_.Add(ctx_.trees, Action::kMakeLink, node, name).detail = ctx_.AddRecorded(ctx_.FromEntry(recorded));
  }

  void Metadata(int32_t node, const TreeEntry& recorded) {
    ctx_.Add(ctx_.metadata, Action::kFolderMetadata, node, "").detail = ctx_.AddRecorded(ctx_.FromEntry(recorded));
  }

  Context& ctx_;
  const IndexedTree& tree_;
  FileSystem& fs_;
  uint64_t device_ = 0;
  std::optional<TreeEntry> peeked_;
};

}  // namespace

void PlanTrees(Context& ctx) {
  for (const IndexedTree& tree : ctx.record.trees) {
    if (tree.damaged_line != 0) {
      Step& step = ctx.Add(ctx.trees, Action::kRefuse, -1, "");
      step.error = ctx.AddError(RecordDamage(ctx.record.path(), tree.damaged_line, "the tree " + tree.root +
                                                                                       " is not put back"));
      continue;
    }
    // A tree cut short was listed before any of its files was made safe.
    if (tree.complete) TreePlanner(ctx, tree).Plan();
  }
}

}  // namespace bk::restore::planner
