#include "component/platform.h"
#include "restore/planner_internal.h"

namespace bk::restore::planner {

Step& Context::Add(std::vector<Step>& phase, Action action, int32_t folder, std::string name, const Seen& seen) {
  Step& step = phase.emplace_back();
  step.action = action;
  step.folder = folder;
  step.name = std::move(name);
  step.seen = seen;
  return step;
}

uint32_t Context::AddError(Error e) {
  plan.errors.push_back(std::move(e));
  return static_cast<uint32_t>(plan.errors.size() - 1);
}

uint32_t Context::AddRecorded(Recorded r) {
  plan.recorded.push_back(std::move(r));
  return static_cast<uint32_t>(plan.recorded.size() - 1);
}

Kind Context::KindOf(const FileStat& st) const { return Seen::Of(st, plan.posix).kind; }

Recorded Context::FromEntry(const TreeEntry& e) const {
  Recorded r;
  r.owner = e.owner;
  r.group = e.group;
  r.mode = e.mode;
  r.modified_ns = e.modified_ns;
  r.link_target = e.link_target;
  r.with_attributes = plan.posix && !plan.namespaces.empty();
  if (r.with_attributes) r.attributes = e.attributes;
  return r;
}

void Context::Known(const std::string& path, int32_t node, bool is_made) {
  folders_[path] = node;
  if (is_made) made_nodes_[node] = true;
}

// What a folder above a file made again gets: the record's owner, group
// and mode for it, or a new folder's mode when the record has none.
Recorded Context::AboveFile(const std::string& path) {
  if (recorded_folders_.empty()) {
    for (const RecordedFolder& f : record.folders) recorded_folders_.emplace(f.path, &f);
  }
  Recorded r;
  if (const auto it = recorded_folders_.find(path); it != recorded_folders_.end()) {
    r.owner = it->second->owner;
    r.group = it->second->group;
    r.mode = it->second->mode;
  } else {
    r.owned = false;
    r.mode = NewFolderMode();
  }
  return r;
}

int32_t Context::Folder(const std::string& path) {
  if (const auto it = folders_.find(path); it != folders_.end()) return it->second;
  std::unique_ptr<bk::Folder> folder;
  try {
    folder = fs.OpenFolder(path, nullptr);
  } catch (const Error& e) {
    const std::string parent = fs.GetParentFolderName(path);
    if (!e.IsNotFound() || parent.empty() || parent == path) throw;
    // Gone: made again below the nearest folder that is there.
    const int32_t up = Folder(parent);
    const int32_t node = plan.folders->AddChild(up, fs.GetFileName(path));
    const Recorded recorded = AboveFile(path);
    const uint32_t detail = AddRecorded(recorded);
    Step& make = Add(made, Action::kMakeFolder, up, fs.GetFileName(path));
    make.node = node;
    make.detail = detail;
    Add(made_metadata, Action::kFolderMetadata, node, "").detail = detail;
    Known(path, node, true);
    return node;
  }
  const int32_t node = plan.folders->AddTop(path);
  plan.folders->Expect(node, folder->StatEntry(""));
  Known(path, node, false);
  return node;
}

}  // namespace bk::restore::planner
