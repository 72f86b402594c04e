#include "tests/restore/restore_support.h"

#include <filesystem>

#include "component/platform.h"
#include "log/period.h"
#include "restore/execute.h"
#include "safemode/file_rollback_create.h"

namespace bk::testing {
namespace {

namespace stdfs = std::filesystem;

stdfs::path Path(const std::string& s) { return stdfs::path(std::u8string(s.begin(), s.end())); }

std::string Utf8(const stdfs::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

EntryState Describe(FileSystem& fs, const std::string& path) {
  const FileStat st = fs.Stat(path);
  EntryState e{st.attributes, st.owner, st.group, st.is_symlink ? 0 : st.modified_ns, {}, {}};
  std::unique_ptr<Folder> parent = fs.OpenFolder(fs.GetParentFolderName(path), nullptr);
  const std::string name = fs.GetFileName(path);
  if (st.is_symlink) {
    e.bytes = parent->ReadLink(name);
  } else if (!st.is_folder && stdfs::is_regular_file(Path(path))) {
    e.bytes = ReadFile(path);
  }
  e.attributes = parent->EntryAttributes(name);
  return e;
}

}  // namespace

bool IsRoot() { return !OnWindows() && CurrentUserId() == 0; }

Listing ListTree(FileSystem& fs, const std::string& top) {
  Listing listing;
  if (!Exists(top)) return listing;
  listing[""] = Describe(fs, top);
  const stdfs::path base = Path(top);
  for (auto it = stdfs::recursive_directory_iterator(base); it != stdfs::recursive_directory_iterator(); ++it) {
    listing[Utf8(it->path().lexically_relative(base))] = Describe(fs, Utf8(it->path()));
  }
  return listing;
}

std::vector<std::string> Differences(const Listing& a, const Listing& b) {
  std::vector<std::string> differ;
  for (const auto& [path, state] : a) {
    const auto other = b.find(path);
    if (other == b.end() || !(other->second == state)) differ.push_back(path);
  }
  for (const auto& [path, state] : b) {
    if (a.count(path) == 0) differ.push_back(path);
  }
  return differ;
}

const restore::Outcome* Rolled::Of(const std::string& path) const {
  for (const restore::Outcome& o : outcomes) {
    if (o.path == path) return &o;
  }
  return nullptr;
}

void FillTree(const std::string& tree) {
  for (const char* name : {"in-place.txt", "replaced.txt", "removed.txt", "gone/inner.txt", "mode-dir/x.txt"}) {
    WriteFile(tree + "/" + name, std::string("original ") + name);
  }
  if (!OnWindows()) stdfs::create_symlink("in-place.txt", Path(tree + "/link"));
  stdfs::permissions(Path(tree + "/mode-dir"), stdfs::perms(0750));
}

void ChangeTree(const std::string& tree) {
  WriteFile(tree + "/in-place.txt", "changed in place");
  WriteFile(tree + "/replaced.new", "replaced");
  stdfs::rename(Path(tree + "/replaced.new"), Path(tree + "/replaced.txt"));
  stdfs::remove(Path(tree + "/removed.txt"));
  stdfs::remove_all(Path(tree + "/gone"));
  if (!OnWindows()) stdfs::remove(Path(tree + "/link"));
  WriteFile(tree + "/link", "a file where a link was");
  stdfs::permissions(Path(tree + "/mode-dir"), stdfs::perms(0700));
  WriteFile(tree + "/added.txt", "added");
  WriteFile(tree + "/added-dir/deep/file.txt", "added");
}

TreePeriod::TreePeriod() { quick->SetRealFlushes(false); }

void TreePeriod::Protect(const std::vector<std::string>& files) {
  clsFileRollbackCreate period(quick);
  period.TrustTrees(true);  // some trees are left open to another user on purpose
  period.TempDir(s.temp);
  period.BackupFile(s.backup);
  period.BeginSafety();
  for (const std::string& top : trees) {
    for (const auto& refused : period.MakeTreeSafe(top)) EXPECT_FALSE(refused) << refused->description();
  }
  for (const std::string& file : files) period.MakeFileSafe(file);
  log_path = period.log_file_name();
}

std::string TreePeriod::Record() const { return PeriodNames::OfLog(log_path).Record(); }

std::shared_ptr<clsFileRollbackLog> TreePeriod::Load(std::shared_ptr<FileSystem> fs) const {
  auto log = clsFileRollbackLog::Create(std::move(fs));
  log->LoadFromFile(log_path);
  return log;
}

Rolled TreePeriod::Roll(std::shared_ptr<FileSystem> fs, const std::function<void(const restore::Plan&)>& between) const {
  auto log = Load(fs);
  restore::Plan plan = restore::MakePlan(*log);
  if (between) between(plan);
  Rolled rolled;
  rolled.summary = restore::Execute(plan, fs, [&](const restore::Outcome& o) { rolled.outcomes.push_back(o); });
  return rolled;
}

}  // namespace bk::testing
