#include "log/tree.h"

#include <algorithm>
#include <optional>

#include "component/fs/folder_cache.h"

namespace bk {
namespace {

bool Posix(const FileSystem& fs) { return fs.paths().Separator() == '/'; }

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

void WalkFolder(FolderCache& folders, int32_t node, const std::string& rel, uint64_t device,
                const std::vector<std::string>& namespaces, bool posix,
                const std::function<void(const TreeEntry&, const FileStat&)>& visit) {
  for (const FolderItem& item : SortedEntries(*folders.Open(node))) {
    const TreeEntry e =
        EntryOf(*folders.Open(node), item.name, item.stat, Join(rel, item.name), device, namespaces, posix);
    visit(e, item.stat);
    if (e.type == TreeEntryType::kFolder) {
      const int32_t sub = folders.AddChild(node, item.name);
      folders.Expect(sub, item.stat);
      WalkFolder(folders, sub, e.relative, device, namespaces, posix, visit);
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
  FolderCache folders(fs);
  const int32_t top = folders.AddTop(fs.GetParentFolderName(root));
  folders.Expect(top, fs.OpenFolder(folders.node(top).name, nullptr)->StatEntry(""));
  const std::string name = fs.GetFileName(root);
  const FileStat st = folders.Open(top)->StatEntry(name);
  const bool posix = Posix(fs);
  visit(EntryOf(*folders.Open(top), name, st, "", st.device, namespaces, posix), st);
  if (!st.is_folder || st.is_symlink) throw Error::Standard(errnum::kPathNotFound, root);
  const int32_t node = folders.AddChild(top, name);
  folders.Expect(node, st);
  WalkFolder(folders, node, "", st.device, namespaces, posix, visit);
}

}  // namespace bk
