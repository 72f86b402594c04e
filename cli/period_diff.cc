#include "cli/period_diff.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "cli/text_diff.h"
#include "component/zip/archive_reader.h"
#include "log/tree.h"
#include "restore/record_index.h"

namespace bk::cli {
namespace {

// Files larger than this are compared byte for byte but not shown line by line.
constexpr uint64_t kMaxTextSize = 8ull << 20;
constexpr uint32_t kPermissionBits = 07777;

std::string Octal(uint32_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", mode & kPermissionBits);
  return text;
}

std::string OwnerText(int64_t owner, int64_t group) { return std::to_string(owner) + ":" + std::to_string(group); }

class Differ {
 public:
  Differ(FileSystem& fs, const std::vector<std::string>& only) : fs_(fs), only_(only) {}

  bool Wanted(const std::string& path) const {
    if (only_.empty()) return true;
    return std::any_of(only_.begin(), only_.end(),
                       [&](const std::string& o) { return o == path || fs_.paths().IsBelow(o, path); });
  }

  // A file of the log against its saved copy.
  void File(ArchiveReader& archive, const std::string& path) {
    if (!Wanted(path)) return;
    const std::string key = fs_.paths().PathBelowDrive(path);
    const auto& entries = archive.entries();
    const auto it = std::find_if(entries.begin(), entries.end(), [&](const zip::Entry& e) { return e.name == key; });
    if (it == entries.end()) {
      out_.trouble.push_back(Error(errnum::kFileNotFound, kLibrarySource, "The archive holds no copy of the file", path));
      return;
    }
    FileStat now;
    try {
      now = fs_.OpenFolder(fs_.GetParentFolderName(path), nullptr)->StatEntry(fs_.GetFileName(path));
    } catch (const Error& e) {
      if (e.IsNotFound()) return Add({ChangeKind::kDeleted, path});
      out_.trouble.push_back(e);
      return;
    }
    if (now.is_folder || now.is_symlink) {
      return Add({ChangeKind::kType, path, "file", now.is_folder ? "folder" : "link"});
    }
    Content(archive, *it, path);
    if (fs_.paths().HasPosixModes()) Metadata(*it, path, now);
  }

  // A tree of the record against the tree now.
  void Tree(restore::RecordIndex& record, const restore::IndexedTree& tree) {
    std::map<std::string, TreeEntry> then;
    record.StartTree(tree);
    for (TreeEntry e; record.NextEntry(e);) then[e.relative] = e;
    std::map<std::string, TreeEntry> now;
    try {
      WalkTree(fs_, tree.root, {}, [&](const TreeEntry& e, const FileStat&) { now[e.relative] = e; });
    } catch (const Error& e) {
      out_.trouble.push_back(e);
      return;
    }
    for (const auto& [relative, before] : then) {
      const std::string path = TreePath(fs_, tree.root, relative);
      if (!Wanted(path)) continue;
      const auto it = now.find(relative);
      // A file of the tree is in the log: its own comparison tells of it.
      if (it == now.end()) {
        if (before.type != TreeEntryType::kFile) Add({ChangeKind::kDeleted, path});
        continue;
      }
      const TreeEntry& after = it->second;
      if (before.type != after.type) {
        if (before.type != TreeEntryType::kFile) Add({ChangeKind::kType, path, TypeName(before), TypeName(after)});
        continue;
      }
      if (before.type == TreeEntryType::kFile) continue;
      if (before.type == TreeEntryType::kLink && before.link_target != after.link_target) {
        Add({ChangeKind::kLink, path, before.link_target, after.link_target});
      }
      if (before.type == TreeEntryType::kLink) continue;
      if ((before.mode & kPermissionBits) != (after.mode & kPermissionBits)) {
        Add({ChangeKind::kMode, path, Octal(before.mode), Octal(after.mode)});
      }
      if (before.owner != after.owner || before.group != after.group) {
        Add({ChangeKind::kOwner, path, OwnerText(before.owner, before.group), OwnerText(after.owner, after.group)});
      }
    }
    for (const auto& [relative, after] : now) {
      const std::string path = TreePath(fs_, tree.root, relative);
      if (then.count(relative) == 0 && Wanted(path)) Add({ChangeKind::kCreated, path});
    }
  }

  PeriodDiff Take() { return std::move(out_); }

 private:
  static const char* TypeName(const TreeEntry& e) {
    switch (e.type) {
      case TreeEntryType::kFile: return "file";
      case TreeEntryType::kFolder: return "folder";
      case TreeEntryType::kLink: return "link";
      case TreeEntryType::kMount: return "mount point";
      default: return "other";
    }
  }

  void Add(Change c) { out_.changes.push_back(std::move(c)); }

  void Content(ArchiveReader& archive, const zip::Entry& e, const std::string& path) {
    std::unique_ptr<bk::File> file;
    try {
      file = fs_.Open(path, OpenMode::kReadRegular);
    } catch (const Error& err) {
      out_.trouble.push_back(err);
      return;
    }
    const uint64_t size = file->Size();
    const bool small = e.size <= kMaxTextSize && size <= kMaxTextSize;
    std::string saved, current;
    bool same = e.size == size;
    uint64_t offset = 0;
    std::string chunk;
    const bool intact = archive.Extract(e, [&](const char* data, size_t n) {
      if (small) saved.append(data, n);
      if (!same || offset + n > size) {
        same = false;
        return;
      }
      chunk.resize(n);
      same = file->ReadAt(offset, chunk.data(), n) == n && std::equal(data, data + n, chunk.begin());
      offset += n;
    });
    if (!intact) {
      out_.trouble.push_back(Error(errnum::kArchiveError, kLibrarySource, "The archive's copy of the file is damaged",
                                   path));
      return;
    }
    if (same) return;
    if (small) {
      current.resize(size);
      current.resize(file->ReadAt(0, current.data(), current.size()));
    }
    if (!small || !LooksLikeText(saved) || !LooksLikeText(current)) return Add({ChangeKind::kBinary, path});
    TextDiff text = DiffLines(saved, current);
    Change c{ChangeKind::kModified, path};
    c.hunks = std::move(text.hunks);
    c.added = text.added;
    c.removed = text.removed;
    Add(std::move(c));
  }

  void Metadata(const zip::Entry& e, const std::string& path, const FileStat& now) {
    if (e.unix_mode() != 0 && (e.unix_mode() & kPermissionBits) != (now.attributes & kPermissionBits)) {
      Add({ChangeKind::kMode, path, Octal(e.unix_mode()), Octal(now.attributes)});
    }
    if (e.unix_owner && e.unix_group && (*e.unix_owner != now.owner || *e.unix_group != now.group)) {
      Add({ChangeKind::kOwner, path, OwnerText(*e.unix_owner, *e.unix_group), OwnerText(now.owner, now.group)});
    }
  }

  FileSystem& fs_;
  const std::vector<std::string>& only_;
  PeriodDiff out_;
};

}  // namespace

const char* ChangeName(ChangeKind kind) {
  static const char* const kNames[] = {"modified", "binary", "created", "deleted", "mode", "owner", "link", "type"};
  return kNames[static_cast<int>(kind)];
}

PeriodDiff DiffPeriod(FileSystem& fs, clsFileRollbackLog& log, const std::string& record,
                      const std::vector<std::string>& only) {
  Differ differ(fs, only);
  for (int32_t i = 1; i <= log.ZipCount(); ++i) {
    const std::shared_ptr<clsFileRollBackLogZip> zip = log.Zip(i);
    ArchiveReader archive(fs, log.ArchivePath(*zip));
    for (const std::string& listed : zip->FilePaths()) differ.File(archive, fs.GetAbsolutePathName(listed));
  }
  restore::RecordIndex index = restore::RecordIndex::Read(fs, record, {});
  for (const restore::IndexedTree& tree : index.trees) {
    if (tree.complete) differ.Tree(index, tree);
  }
  return differ.Take();
}

}  // namespace bk::cli
