#include "log/tree.h"

#include <algorithm>
#include <optional>

#include "component/fs/folder_cache.h"

namespace bk {
namespace {

bool Posix(const FileSystem& fs) { return fs.paths().HasPosixModes(); }

constexpr uint32_t kTypeMask = 0170000, kRegular = 0100000;

std::string Join(const std::string& rel, const std::string& name) { return rel.empty() ? name : rel + "/" + name; }

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

// What the walk reads of one entry; a folder's access ACL goes to `acl`.
TreeEntry EntryOf(Folder& holder, const std::string& name, const FileStat& st, std::string rel, uint64_t device,
                  const std::vector<std::string>& namespaces, bool posix, std::vector<AclEntry>* acl) {
  TreeEntry e;
  e.type = TypeOf(st, device, posix);
  e.relative = std::move(rel);
  e.owner = st.owner < 0 ? 0 : static_cast<uint32_t>(st.owner);
  e.group = st.group < 0 ? 0 : static_cast<uint32_t>(st.group);
  e.mode = posix ? st.attributes & 07777 : st.attributes;
  e.modified_ns = st.modified_ns;
  if (e.type == TreeEntryType::kLink) e.link_target = holder.ReadLink(name);
  if (e.type == TreeEntryType::kFile || e.type == TreeEntryType::kFolder) {
    std::vector<ExtendedAttribute> all = holder.EntryAttributes(name);
    acl->clear();
    for (const ExtendedAttribute& a : all) {
      if (e.type == TreeEntryType::kFolder && a.name == "system.posix_acl_access") *acl = ParsePosixAcl(a.value);
    }
    e.attributes = AttributesToRecord(std::move(all), namespaces);
  }
  return e;
}

struct Walk {
  FolderCache& folders;
  uint64_t device;
  const std::vector<std::string>& namespaces;
  bool posix;
  const std::function<void(const TreeEntry&, const FileStat&)>& visit;
  const FolderJudge& judge;
};

void WalkFolder(const Walk& w, int32_t node, const std::string& rel) {
  std::vector<AclEntry> acl;
  for (const FolderItem& item : SortedEntries(*w.folders.Open(node))) {
    const TreeEntry e = EntryOf(*w.folders.Open(node), item.name, item.stat, Join(rel, item.name), w.device,
                                w.namespaces, w.posix, &acl);
    if (e.type == TreeEntryType::kFolder && w.judge) w.judge(e.relative, item.stat, acl);
    w.visit(e, item.stat);
    if (e.type == TreeEntryType::kFolder) {
      const int32_t sub = w.folders.AddChild(node, item.name);
      w.folders.Expect(sub, item.stat);
      WalkFolder(w, sub, e.relative);
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
              const std::function<void(const TreeEntry&, const FileStat&)>& visit, const FolderJudge& judge) {
  FolderCache folders(fs);
  const int32_t top = folders.AddTop(fs.GetParentFolderName(root));
  folders.Expect(top, fs.OpenFolder(folders.node(top).name, nullptr)->StatEntry(""));
  const std::string name = fs.GetFileName(root);
  const FileStat st = folders.Open(top)->StatEntry(name);
  const bool posix = Posix(fs);
  if (!st.is_folder || st.is_symlink) throw Error::Standard(errnum::kPathNotFound, root);
  std::vector<AclEntry> acl;
  const TreeEntry e = EntryOf(*folders.Open(top), name, st, "", st.device, namespaces, posix, &acl);
  if (judge) judge("", st, acl);
  visit(e, st);
  const int32_t node = folders.AddChild(top, name);
  folders.Expect(node, st);
  WalkFolder(Walk{folders, st.device, namespaces, posix, visit, judge}, node, "");
}

}  // namespace bk
