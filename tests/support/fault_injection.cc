#include "support/fault_injection.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "component/text.h"

namespace bk {
namespace {

// One file's identity across renames. `durable` holds the content a power cut
// leaves when it may differ from the current content; unset, the current
// content is durable.
struct Node {
  std::optional<std::string> durable;
  std::string live_path;  // where the file is now; empty once removed
};
using NodeRef = std::shared_ptr<Node>;

// What a name held when its folder was last synced.
struct DurableEntry {
  enum Kind { kAbsent, kFile, kFolder } kind = kAbsent;
  NodeRef node;
  std::string path;
  std::string folder_key;
};

}  // namespace

class FaultInjectingFileSystem::State {
 public:
  explicit State(std::shared_ptr<FileSystem> target) : owner_(std::move(target)), target_(*owner_) {}

  void Count(uint32_t kind, std::string_view path) {
    if (hook_ && (kind & hook_kinds_) != 0 && Key(hook_in_folder_ ? target_.GetParentFolderName(path) : path) == hook_key_ &&
        --hook_countdown_ == 0) {
      std::exchange(hook_, nullptr)();
    }
    if ((kind & kinds_) == 0) return;
    ++count_;
    if (fail_at_ == 0 || count_ < fail_at_ || (count_ > fail_at_ && !persistent_)) return;
    fired_ = true;
    throw Error::Standard(number_, std::string(path));
  }

  void Plan(uint64_t n, uint32_t kinds, bool persistent, int32_t number) {
    fail_at_ = n;
    kinds_ = kinds;
    persistent_ = persistent;
    number_ = number;
    count_ = 0;
    fired_ = false;
  }
  void Clear() { fail_at_ = 0; }
  void Hook(std::string_view path, bool in_folder, uint32_t kinds, uint64_t n, std::function<void()> action) {
    hook_key_ = Key(path);
    hook_in_folder_ = in_folder;
    hook_kinds_ = kinds;
    hook_countdown_ = n;
    hook_ = std::move(action);
  }
  bool fired() const { return fired_; }
  uint64_t count() const { return count_; }
  uint64_t generation() const { return generation_; }
  bool real_flushes() const { return real_flushes_; }
  void SetRealFlushes(bool on) { real_flushes_ = on; }

  std::string Key(std::string_view path) {
    const std::string full = target_.GetAbsolutePathName(path);
    return target_.paths().FoldsCase() ? text::FoldCase(full) : full;
  }

  // The node of the file now at `path`, made on first sight.
  NodeRef NodeAt(std::string_view path) {
    NodeRef& node = live_[Key(path)];
    if (!node) node = std::make_shared<Node>(Node{std::nullopt, target_.GetAbsolutePathName(path)});
    return node;
  }

  // Keeps the durable content of a file about to change, read from `file`
  // or, without one, from the file's path.
  void Pin(const NodeRef& node, File* file) {
    if (node->durable) return;
    if (file != nullptr) {
      node->durable = file->ReadAll();
    } else {
      node->durable = target_.Open(node->live_path, OpenMode::kRead)->ReadAll();
    }
  }

  // Before a name changes: keeps the durable content of the file it holds
  // and, on its first change since its folder was synced, what it durably
  // holds.
  void Touch(std::string_view path) {
    NodeRef node;
    if (target_.FileExists(path)) {
      node = NodeAt(path);
      try {
        Pin(node, nullptr);
      } catch (const Error&) {
        // A pipe or device has no content to keep: not modelled.
        Unlink(path);
        node.reset();
      }
    }
    const std::string key = Key(path);
    if (entries_.count(key) != 0) return;
    DurableEntry entry;
    entry.path = target_.GetAbsolutePathName(path);
    entry.folder_key = Key(target_.paths().GetParentFolderName(entry.path));
    if (node) {
      entry.kind = DurableEntry::kFile;
      entry.node = std::move(node);
    } else if (target_.FolderExists(entry.path)) {
      entry.kind = DurableEntry::kFolder;
    }
    entries_.emplace(key, std::move(entry));
  }

  // A file came into being at `path` with nothing durable in it yet.
  NodeRef Created(std::string_view path) {
    NodeRef node = std::make_shared<Node>(Node{std::string(), target_.GetAbsolutePathName(path)});
    Unlink(path);
    live_[Key(path)] = node;
    return node;
  }

  void Unlink(std::string_view path) {
    const auto it = live_.find(Key(path));
    if (it == live_.end()) return;
    it->second->live_path.clear();
    live_.erase(it);
  }

  void Moved(std::string_view from, std::string_view to) {
    NodeRef node = NodeAt(from);
    live_.erase(Key(from));
    Unlink(to);
    node->live_path = target_.GetAbsolutePathName(to);
    live_[Key(to)] = node;
  }

  void FolderCreated(std::string_view path) { known_folders_.insert(target_.GetAbsolutePathName(path)); }

  void FolderSynced(std::string_view folder) {
    const std::string key = Key(folder);
    std::erase_if(entries_, [&](const auto& e) { return e.second.folder_key == key; });
  }

  void PowerCut();

 private:
  std::string DurableBytes(const Node& node) {
    if (node.durable) return *node.durable;
    return target_.Open(node.live_path, OpenMode::kRead)->ReadAll();
  }
  void RemoveTree(const std::string& folder);
  void WriteWhole(const std::string& path, const std::string& bytes);

  std::shared_ptr<FileSystem> owner_;
  FileSystem& target_;
  uint64_t fail_at_ = 0;
  uint32_t kinds_ = kFaultAny;
  bool persistent_ = false;
  int32_t number_ = errnum::kPathFileAccessError;
  uint64_t count_ = 0;
  bool fired_ = false;
  uint64_t generation_ = 0;
  bool real_flushes_ = true;
  std::function<void()> hook_;
  std::string hook_key_;
  bool hook_in_folder_ = false;
  uint32_t hook_kinds_ = 0;
  uint64_t hook_countdown_ = 0;
  std::map<std::string, NodeRef> live_;           // by key of the current path
  std::map<std::string, DurableEntry> entries_;   // by key of the name
  std::set<std::string> known_folders_;           // folders created through the wrapper
};

void FaultInjectingFileSystem::State::RemoveTree(const std::string& folder) {
  const char sep = target_.paths().Separator();
  std::vector<std::string> inner;
  for (const std::string& f : known_folders_) {
    if (f.size() > folder.size() && f.starts_with(folder) && f[folder.size()] == sep) inner.push_back(f);
  }
  std::sort(inner.begin(), inner.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  inner.push_back(folder);
  for (const std::string& f : inner) {
    if (!target_.FolderExists(f)) continue;
    for (const FolderEntry& e : target_.ListFiles(f)) target_.RemoveFile(e.path, true);
    target_.RemoveFolder(f);
  }
}

void FaultInjectingFileSystem::State::WriteWhole(const std::string& path, const std::string& bytes) {
  std::optional<FileStat> before;
  if (target_.FileExists(path)) {
    before = target_.Stat(path);
    if (before->read_only) target_.RemoveFile(path, true);
  }
  auto file = target_.Open(path, OpenMode::kCreate);
  file->WriteAt(0, bytes.data(), bytes.size());
  file->Close();
  if (before) {
    target_.SetModifiedTime(path, before->modified_ns);
    target_.SetAttributes(path, before->attributes);
  }
}

void FaultInjectingFileSystem::State::PowerCut() {
  // Read every durable content before anything on disk changes.
  std::vector<std::pair<std::string, std::string>> contents;
  for (const auto& [key, entry] : entries_) {
    if (entry.kind == DurableEntry::kFile) contents.emplace_back(entry.path, DurableBytes(*entry.node));
  }
  for (const auto& [key, node] : live_) {
    if (node->durable && entries_.count(key) == 0) contents.emplace_back(node->live_path, *node->durable);
  }

  std::vector<const DurableEntry*> order;
  for (const auto& [key, entry] : entries_) order.push_back(&entry);
  // Deepest names first for removals, shallowest first for creations.
  std::sort(order.begin(), order.end(), [](auto* a, auto* b) { return a->path.size() > b->path.size(); });
  for (const DurableEntry* e : order) {
    if (e->kind != DurableEntry::kFolder && target_.FolderExists(e->path)) RemoveTree(e->path);
    if (e->kind != DurableEntry::kFile && target_.FileExists(e->path)) target_.RemoveFile(e->path, true);
  }
  std::reverse(order.begin(), order.end());
  for (const DurableEntry* e : order) {
    if (e->kind == DurableEntry::kFolder && !target_.FolderExists(e->path)) target_.CreateFolder(e->path);
  }
  for (const auto& [path, bytes] : contents) {
    // A file inside a folder whose creation was undone is gone with it.
    if (target_.FolderExists(target_.paths().GetParentFolderName(path))) WriteWhole(path, bytes);
  }

  entries_.clear();
  for (auto& [key, node] : live_) node->live_path.clear();
  live_.clear();
  ++generation_;
}

namespace {

// A file opened through the wrapper: counts its operations and keeps the
// model of its content up to date.
class FaultInjectingFile final : public File {
 public:
  using State = FaultInjectingFileSystem::State;
  FaultInjectingFile(std::unique_ptr<File> inner, std::shared_ptr<State> state, NodeRef node)
      : inner_(std::move(inner)), state_(std::move(state)), node_(std::move(node)), generation_(state_->generation()) {}

  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override {
    Check(kFaultRead);
    return inner_->ReadAt(offset, buffer, n);
  }
  void WriteAt(uint64_t offset, const void* data, size_t n) override {
    Check(kFaultWrite);
    state_->Pin(node_, inner_.get());
    inner_->WriteAt(offset, data, n);
  }
  uint64_t Size() override {
    Check(kFaultStat);
    return inner_->Size();
  }
  void Truncate(uint64_t size) override {
    Check(kFaultTruncate);
    state_->Pin(node_, inner_.get());
    inner_->Truncate(size);
  }
  void ZeroRange(uint64_t offset, uint64_t n) override {
    Check(kFaultWrite);
    state_->Pin(node_, inner_.get());
    inner_->ZeroRange(offset, n);
  }
  void Sync() override {
    Check(kFaultSync);
    if (state_->real_flushes()) inner_->Sync();
    Synced();
  }
  // The model's side of a sync: the current content is durable.
  void Synced() {
    node_->durable.reset();
    // A file removed while open keeps its content only in the model.
    if (node_->live_path.empty()) node_->durable = inner_->ReadAll();
  }
  void CheckOpen() const {
    if (generation_ != state_->generation()) throw Error::Standard(errnum::kPathFileAccessError, inner_->path());
  }
  File& inner() { return *inner_; }
  FileStat Stat() override {
    Check(kFaultStat);
    return inner_->Stat();
  }
  void Close() override {
    Check(kFaultClose);
    inner_->Close();
  }
  const std::string& path() const override { return inner_->path(); }
  bool TryLock(LockKind kind) override { return inner_->TryLock(kind); }
  void Lock(LockKind kind) override { inner_->Lock(kind); }
  bool TryLockByte(LockKind kind, uint64_t offset) override { return inner_->TryLockByte(kind, offset); }
  intptr_t NativeHandle() const override { return inner_->NativeHandle(); }
  void SetOwner(uint32_t owner, uint32_t group) override {
    Check(kFaultSetAttributes);
    inner_->SetOwner(owner, group);
  }
  void SetAttributes(uint32_t attributes) override {
    Check(kFaultSetAttributes);
    inner_->SetAttributes(attributes);
  }
  void SetModifiedTime(int64_t modified_ns) override {
    Check(kFaultSetTimes);
    inner_->SetModifiedTime(modified_ns);
  }
  std::vector<ExtendedAttribute> ExtendedAttributes() override {
    Check(kFaultStat);
    return inner_->ExtendedAttributes();
  }
  void SetExtendedAttribute(std::string_view name, std::string_view value) override {
    Check(kFaultSetAttributes);
    inner_->SetExtendedAttribute(name, value);
  }
  void RemoveExtendedAttribute(std::string_view name) override {
    Check(kFaultSetAttributes);
    inner_->RemoveExtendedAttribute(name);
  }
  void CloneRangeFrom(File& source, uint64_t source_offset, uint64_t offset, uint64_t length) override {
    Check(kFaultWrite);
    state_->Pin(node_, inner_.get());
    inner_->CloneRangeFrom(source, source_offset, offset, length);
  }

 private:
  void Check(uint32_t kind) {
    CheckOpen();
    state_->Count(kind, inner_->path());
  }

  std::unique_ptr<File> inner_;
  std::shared_ptr<State> state_;
  NodeRef node_;
  uint64_t generation_;
};

// Opening a file at `path` through `open`, counted and modelled as
// FaultInjectingFileSystem::Open.
std::unique_ptr<File> OpenModelled(FaultInjectingFileSystem::State& state, const std::shared_ptr<FaultInjectingFileSystem::State>& shared,
                                   FileSystem& fs, const std::string& path, OpenMode mode,
                                   const std::function<std::unique_ptr<File>()>& open) {
  state.Count(kFaultOpen, path);
  const bool creating = mode == OpenMode::kCreateNew || mode == OpenMode::kCreatePrivate ||
                        (mode == OpenMode::kCreate && !fs.FileExists(path));
  if (creating) {
    state.Touch(path);
  } else if (mode == OpenMode::kCreate) {
    state.Pin(state.NodeAt(path), nullptr);
  }
  auto inner = open();
  NodeRef node = creating ? state.Created(path) : state.NodeAt(path);
  return std::make_unique<FaultInjectingFile>(std::move(inner), shared, std::move(node));
}

// A folder opened through the wrapper: its entries are counted and modelled
// by their paths.
class FaultInjectingFolder final : public ForwardingFolder {
 public:
  using State = FaultInjectingFileSystem::State;
  FaultInjectingFolder(std::unique_ptr<Folder> inner, std::shared_ptr<State> state, FileSystem& fs)
      : ForwardingFolder(std::move(inner)), state_(std::move(state)), fs_(fs) {}

  FileStat StatEntry(std::string_view name) override {
    state_->Count(kFaultStat, Entry(name));
    return target().StatEntry(name);
  }
  std::unique_ptr<File> OpenEntry(std::string_view name, OpenMode mode) override {
    return OpenModelled(*state_, state_, fs_, Entry(name), mode, [&] { return target().OpenEntry(name, mode); });
  }
  std::unique_ptr<File> OpenForRewrite(std::string_view name) override {
    const std::string path = Entry(name);
    state_->Count(kFaultOpen, path);
    auto inner = target().OpenForRewrite(name);
    return std::make_unique<FaultInjectingFile>(std::move(inner), state_, state_->NodeAt(path));
  }
  void RenameEntry(std::string_view from, std::string_view to) override {
    const std::string a = Entry(from), b = Entry(to);
    state_->Count(kFaultRename, b);
    state_->Touch(a);
    state_->Touch(b);
    target().RenameEntry(from, to);
    state_->Moved(a, b);
  }
  void RemoveEntry(std::string_view name) override {
    const std::string path = Entry(name);
    state_->Count(kFaultRemove, path);
    state_->Touch(path);
    target().RemoveEntry(name);
    state_->Unlink(path);
  }
  void Sync() override {
    state_->Count(kFaultSyncFolder, path());
    if (state_->real_flushes()) target().Sync();
    state_->FolderSynced(path());
  }
  std::vector<FolderItem> ListEntries() override {
    state_->Count(kFaultList, path());
    return target().ListEntries();
  }
  std::unique_ptr<Folder> OpenSubfolder(std::string_view name) override {
    state_->Count(kFaultOpen, Entry(name));
    return std::make_unique<FaultInjectingFolder>(target().OpenSubfolder(name), state_, fs_);
  }
  void MakeFolder(std::string_view name) override {
    const std::string path = Entry(name);
    state_->Count(kFaultCreateFolder, path);
    state_->Touch(path);
    target().MakeFolder(name);
    state_->FolderCreated(path);
  }
  // Links are counted as files created and removed, but a power cut leaves
  // them as they are (see the header).
  void MakeLink(std::string_view name, std::string_view link_target, bool folder_target) override {
    state_->Count(kFaultOpen, Entry(name));
    target().MakeLink(name, link_target, folder_target);
  }
  std::string ReadLink(std::string_view name) override {
    state_->Count(kFaultStat, Entry(name));
    return target().ReadLink(name);
  }
  void RemoveSubfolder(std::string_view name) override {
    const std::string path = Entry(name);
    state_->Count(kFaultRemoveFolder, path);
    state_->Touch(path);
    target().RemoveSubfolder(name);
  }
  void RemoveSubfolderIfSame(std::string_view name, const FileStat& expected) override {
    const std::string path = Entry(name);
    state_->Count(kFaultRemoveFolder, path);
    state_->Touch(path);
    target().RemoveSubfolderIfSame(name, expected);
  }
  void RemoveEntryIfSame(std::string_view name, const FileStat& expected) override {
    const std::string path = Entry(name);
    state_->Count(kFaultRemove, path);
    state_->Touch(path);
    target().RemoveEntryIfSame(name, expected);
    state_->Unlink(path);
  }
  void SetLinkOwnerIfSame(std::string_view name, const FileStat& expected, uint32_t owner, uint32_t group) override {
    state_->Count(kFaultSetAttributes, Entry(name));
    target().SetLinkOwnerIfSame(name, expected, owner, group);
  }
  std::vector<std::string> ListNames() override {
    state_->Count(kFaultList, path());
    return target().ListNames();
  }
  std::unique_ptr<Folder> OpenDescendant(std::string_view relative) override {
    state_->Count(kFaultOpen, Entry(relative));
    return std::make_unique<FaultInjectingFolder>(target().OpenDescendant(relative), state_, fs_);
  }
  void SetEntryOwner(std::string_view name, uint32_t owner, uint32_t group) override {
    state_->Count(kFaultSetAttributes, Entry(name));
    target().SetEntryOwner(name, owner, group);
  }
  void SetEntryMode(std::string_view name, uint32_t mode) override {
    state_->Count(kFaultSetAttributes, Entry(name));
    target().SetEntryMode(name, mode);
  }
  void SetEntryModifiedTime(std::string_view name, int64_t modified_ns) override {
    state_->Count(kFaultSetTimes, Entry(name));
    target().SetEntryModifiedTime(name, modified_ns);
  }
  std::vector<ExtendedAttribute> EntryAttributes(std::string_view name) override {
    state_->Count(kFaultStat, Entry(name));
    return target().EntryAttributes(name);
  }
  void SetEntryAttribute(std::string_view name, std::string_view attribute, std::string_view value) override {
    state_->Count(kFaultSetAttributes, Entry(name));
    target().SetEntryAttribute(name, attribute, value);
  }
  void RemoveEntryAttribute(std::string_view name, std::string_view attribute) override {
    state_->Count(kFaultSetAttributes, Entry(name));
    target().RemoveEntryAttribute(name, attribute);
  }

 private:
  std::string Entry(std::string_view name) const { return name.empty() ? path() : fs_.BuildPath(path(), name); }
  std::shared_ptr<State> state_;
  FileSystem& fs_;
};

}  // namespace

FaultInjectingFileSystem::FaultInjectingFileSystem(std::shared_ptr<FileSystem> target)
    : ForwardingFileSystem(target), state_(std::make_shared<State>(std::move(target))) {}

FaultInjectingFileSystem::~FaultInjectingFileSystem() = default;

void FaultInjectingFileSystem::FailAt(uint64_t n, uint32_t kinds, bool persistent, int32_t number) {
  state_->Plan(n, kinds, persistent, number);
}
void FaultInjectingFileSystem::ClearFault() { state_->Clear(); }
void FaultInjectingFileSystem::BeforeOperation(std::string_view path, uint32_t kinds, uint64_t n,
                                               std::function<void()> action) {
  state_->Hook(path, false, kinds, n, std::move(action));
}
void FaultInjectingFileSystem::BeforeOperationIn(std::string_view folder, uint32_t kinds, uint64_t n,
                                                 std::function<void()> action) {
  state_->Hook(folder, true, kinds, n, std::move(action));
}
bool FaultInjectingFileSystem::fault_fired() const { return state_->fired(); }
uint64_t FaultInjectingFileSystem::operation_count() const { return state_->count(); }
void FaultInjectingFileSystem::PowerCut() { state_->PowerCut(); }
void FaultInjectingFileSystem::SetRealFlushes(bool on) { state_->SetRealFlushes(on); }

FileStat FaultInjectingFileSystem::Stat(std::string_view path) {
  state_->Count(kFaultStat, path);
  return target().Stat(path);
}

std::vector<FolderEntry> FaultInjectingFileSystem::ListFiles(std::string_view folder) {
  state_->Count(kFaultList, folder);
  return target().ListFiles(folder);
}

void FaultInjectingFileSystem::CreateFolder(std::string_view path) {
  state_->Count(kFaultCreateFolder, path);
  state_->Touch(path);
  target().CreateFolder(path);
  state_->FolderCreated(path);
}

void FaultInjectingFileSystem::RemoveFile(std::string_view path, bool force) {
  state_->Count(kFaultRemove, path);
  state_->Touch(path);
  target().RemoveFile(path, force);
  state_->Unlink(path);
}

void FaultInjectingFileSystem::RemoveFolder(std::string_view path) {
  state_->Count(kFaultRemoveFolder, path);
  state_->Touch(path);
  target().RemoveFolder(path);
}

void FaultInjectingFileSystem::CopyFileTo(std::string_view from, std::string_view to, bool overwrite) {
  state_->Count(kFaultCopy, to);
  const bool existed = target().FileExists(to);
  if (existed) {
    state_->Pin(state_->NodeAt(to), nullptr);
  } else {
    state_->Touch(to);
  }
  target().CopyFileTo(from, to, overwrite);
  if (!existed) state_->Created(to);
}

void FaultInjectingFileSystem::RenameFile(std::string_view from, std::string_view to) { Rename(from, to, true); }

void FaultInjectingFileSystem::RenameNoReplace(std::string_view from, std::string_view to) {
  Rename(from, to, false);
}

void FaultInjectingFileSystem::Rename(std::string_view from, std::string_view to, bool replace) {
  state_->Count(kFaultRename, to);
  state_->Touch(from);
  state_->Touch(to);
  if (replace) {
    target().RenameFile(from, to);
  } else {
    target().RenameNoReplace(from, to);
  }
  state_->Moved(from, to);
}

void FaultInjectingFileSystem::SyncFiles(const std::vector<File*>& files) {
  std::vector<FaultInjectingFile*> ours;
  std::vector<File*> inner;
  for (File* file : files) {
    auto* f = dynamic_cast<FaultInjectingFile*>(file);
    if (f == nullptr) throw Error::Standard(errnum::kBadFileNameOrNumber, file->path());
    f->CheckOpen();
    ours.push_back(f);
    inner.push_back(&f->inner());
  }
  if (files.empty()) return;
  state_->Count(kFaultSync, files.front()->path());
  if (state_->real_flushes()) target().SyncFiles(inner);
  for (FaultInjectingFile* f : ours) f->Synced();
}

void FaultInjectingFileSystem::SyncFolder(std::string_view folder) {
  state_->Count(kFaultSyncFolder, folder);
  if (state_->real_flushes()) target().SyncFolder(folder);
  state_->FolderSynced(folder);
}

std::unique_ptr<File> FaultInjectingFileSystem::Open(std::string_view path, OpenMode mode) {
  return OpenModelled(*state_, state_, target(), std::string(path), mode, [&] { return target().Open(path, mode); });
}

void FaultInjectingFileSystem::SetModifiedTime(std::string_view path, int64_t modified_ns) {
  state_->Count(kFaultSetTimes, path);
  target().SetModifiedTime(path, modified_ns);
}

void FaultInjectingFileSystem::SetAttributes(std::string_view path, uint32_t attributes) {
  state_->Count(kFaultSetAttributes, path);
  target().SetAttributes(path, attributes);
}

std::unique_ptr<Folder> FaultInjectingFileSystem::OpenFolder(std::string_view path,
                                                             std::vector<std::string>* created) {
  state_->Count(kFaultOpen, path);
  // The folders the open would create, outermost first: each is counted and
  // modelled as CreateFolder.
  std::vector<std::string> missing;
  if (created != nullptr) {
    for (std::string p = target().GetAbsolutePathName(path); !p.empty() && !target().FolderExists(p);
         p = target().GetParentFolderName(p)) {
      missing.insert(missing.begin(), p);
    }
  }
  for (const std::string& folder : missing) {
    state_->Count(kFaultCreateFolder, folder);
    state_->Touch(folder);
  }
  auto inner = target().OpenFolder(path, created);
  for (const std::string& folder : missing) state_->FolderCreated(folder);
  return std::make_unique<FaultInjectingFolder>(std::move(inner), state_, target());
}

std::vector<AclEntry> FaultInjectingFileSystem::AccessAcl(std::string_view path) {
  state_->Count(kFaultStat, path);
  return target().AccessAcl(path);
}

void FaultInjectingFileSystem::SetOwner(std::string_view path, uint32_t owner, uint32_t group) {
  state_->Count(kFaultSetAttributes, path);
  target().SetOwner(path, owner, group);
}

}  // namespace bk
