// The period's record: what each file made safe was besides its content,
// and whole folder trees made safe.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "component/error.h"
#include "log/tree.h"
#include "log/trust.h"
#include "safemode/file_rollback_create.h"

namespace bk {
namespace {

constexpr const char* kMakeTreeSafe = "MakeTreeSafe";

// A tree's files are made safe this many at a time, each chunk one append
// to the archive and one save of the log, so that what waits for a save
// (the log's new lines, the chunk's paths) stays bounded.
constexpr size_t kChunk = 65536;

// The relative names of a tree's files, end to end in one string, while
// they wait to be made safe: a name costs its bytes and one offset.
class PackedNames {
 public:
  void Add(std::string_view name) {
    bytes_ += name;
    ends_.push_back(bytes_.size());
  }
  size_t size() const { return ends_.size(); }
  std::string_view operator[](size_t i) const {
    const size_t from = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(from, ends_[i] - from);
  }

 private:
  std::string bytes_;
  std::vector<size_t> ends_;
};

RecordedFile Observed(const std::string& path, const FileStat& st, std::vector<ExtendedAttribute> attributes) {
  return RecordedFile{path, Identity::Of(st), st.modified_ns, st.changed_ns, st.size, std::move(attributes)};
}

// The path with links resolved where it exists, else as given.
std::string Resolved(FileSystem& fs, const std::string& path) {
  try {
    return fs.ResolveLinks(path);
  } catch (const Error&) {
    return path;
  }
}

}  // namespace

void clsFileRollbackCreate::RecordFolders(const std::string& folder) {
  FileSystem& fs = *fs_;
  std::vector<std::string> chain;
  PeriodRecordWriter& record = *Record();
  for (std::string f = folder; !f.empty() && !record.Knows(f); f = fs.GetParentFolderName(f)) {
    chain.push_back(f);
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const FileStat st = fs.Stat(*it);
    const uint32_t mode = fs.paths().HasPosixModes() ? st.attributes & 07777 : st.attributes;
    record.AddFolder(RecordedFolder{*it, static_cast<uint32_t>(std::max<int64_t>(st.owner, 0)),
                                         static_cast<uint32_t>(std::max<int64_t>(st.group, 0)), mode});
  }
}

std::vector<std::optional<RecordedFile>> clsFileRollbackCreate::ObserveFiles(const std::vector<std::string>& paths) {
  std::vector<std::optional<RecordedFile>> out(paths.size());
  PeriodRecordWriter* record = Record();
  if (!record) return out;
  FileSystem& fs = *fs_;
  std::unique_ptr<Folder> folder;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string parent = fs.GetParentFolderName(paths[i]);
    try {
      RecordFolders(parent);
      if (!folder || folder->path() != parent) folder = fs.OpenFolder(parent, nullptr);
      const std::string name = fs.GetFileName(paths[i]);
      out[i] = Observed(paths[i], folder->StatEntry(name),
                        AttributesToRecord(folder->EntryAttributes(name), record->namespaces()));
    } catch (const Error&) {
      folder.reset();  // the zip call says what is wrong with the file
    }
  }
  return out;
}

void clsFileRollbackCreate::RecordFile(const std::optional<RecordedFile>& file) {
  if (Record() && file) Record()->AddFile(*file);
}

std::vector<std::optional<Error>> clsFileRollbackCreate::MakeTreeSafe(std::string_view strFolder,
                                                                      std::vector<std::string>* files,
                                                                      const SafeProgressFn& progress) {
  std::vector<std::optional<Error>> results;
  if (files) files->clear();
  MakeTreeSafeWith(strFolder, progress, [&](const TreeFileAt& path, const Error* refused) {
    results.push_back(refused ? std::optional<Error>(*refused) : std::nullopt);
    if (files) files->push_back(path());
  });
  return results;
}

std::vector<RefusedFile> clsFileRollbackCreate::MakeTreeSafeReporting(std::string_view strFolder,
                                                                      const SafeFileFn& made_safe,
                                                                      const SafeProgressFn& progress) {
  std::vector<RefusedFile> refused_files;
  MakeTreeSafeWith(strFolder, progress, [&](const TreeFileAt& path, const Error* refused) {
    if (refused) {
      refused_files.push_back(RefusedFile{path(), *refused});
    } else if (made_safe) {
      made_safe(path());
    }
  });
  return refused_files;
}

void clsFileRollbackCreate::MakeTreeSafeWith(std::string_view strFolder, const SafeProgressFn& progress,
                                             const TreeSettledFn& settled) {
  PeriodRecordWriter* record = Record();
  if (!safe_mode_ || !record || !log_) throw Error::Standard(errnum::kObjectNotSet);
  FileSystem& fs = *fs_;
  if (!fs.FolderExists(strFolder)) throw Error::Standard(errnum::kPathNotFound, std::string(strFolder));
  const std::string root = fs.ResolveLinks(fs.GetAbsolutePathName(strFolder));
  // The period's own files would be recorded, then removed by its rollback.
  // Both are given with the links of their folders resolved.
  const auto refuse_inside = [&](const std::string& what, const std::string& path) {
    if (path == root || fs.paths().IsBelow(root, path)) {
      throw Error(errnum::kPermissionDenied, kMakeTreeSafe, "Permission denied: the " + what + " lies inside the tree",
                  root);
    }
  };
  refuse_inside("temporary folder", Resolved(fs, period_->names().Folder()));
  if (!backup_file_.empty()) {
    const std::string backup = fs.GetAbsolutePathName(backup_file_);
    refuse_inside("backup file", fs.BuildPath(Resolved(fs, fs.GetParentFolderName(backup)), fs.GetFileName(backup)));
  }

  // Each file is recorded as the walk finds it, its line after its entry's,
  // so that nothing of the tree is held in memory but the names of its files.
  PackedNames names;
  uint64_t bytes = 0;
  FolderJudge judge;
  if (!trust_trees_) {
    judge = [&](const std::string& relative, const FileStat& st, const std::vector<AclEntry>& acl) {
      if (auto why = TreeFolderDistrust(st, acl, TreePath(fs, root, relative), CurrentUserId(), CurrentGroupId())) {
        throw *why;
      }
    };
  }
  WalkTree(
      fs, root, record->namespaces(),
      [&](const TreeEntry& e, const FileStat& st) {
        if (e.relative.empty()) record->BeginTree(root, Identity::Of(st));
        record->AddTreeEntry(e);
        if (e.type != TreeEntryType::kFile) return;
        names.Add(e.relative);
        bytes += st.size;
        record->AddFile(Observed(TreePath(fs, root, e.relative), st, e.attributes));
      },
      judge);
  record->EndTree();
  RecordFolders(fs.GetParentFolderName(root));
  // The listing is durable before any of its files is listed in the log.
  record->Sync();

  Progress now{0, names.size(), 0, bytes};
  for (size_t from = 0; from < names.size();) {
    const size_t to = from + std::min(names.size() - from, kChunk);
    const PathAt path_at = [&](size_t i) { return TreePath(fs, root, std::string(names[from + i])); };
    MakeListSafe(to - from, path_at, true, now, progress,
                 [&](size_t i, const Error* refused) { settled([&] { return path_at(i); }, refused); });
    from = to;
  }
}

}  // namespace bk
