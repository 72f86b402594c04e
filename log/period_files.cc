#include "log/period_files.h"

#include <map>

#include "component/error.h"
#include "component/platform.h"
#include "log/trust.h"

namespace bk {
namespace {

constexpr uint32_t kHiddenAttribute = 0x2;  // FILE_ATTRIBUTE_HIDDEN

bool Exists(FileSystem& fs, const std::string& path) {
  try {
    fs.Stat(path);
    return true;
  } catch (const Error& e) {
    if (e.IsNotFound()) return false;
    throw;
  }
}

// The files directly in the folder; none when it is gone.
std::vector<FolderEntry> FilesOf(FileSystem& fs, const std::string& folder) {
  try {
    return fs.ListFiles(folder);
  } catch (const Error& e) {
    if (e.IsNotFound()) return {};
    throw;
  }
}

// A period of 4.0.0 kept its record and lock file beside its log: once its
// lock is taken here, the record moves into the files folder (unless one is
// there) and the old lock file, which no one holds, goes, so that the
// temporary folder holds only what a host expects.
void AdoptLegacyFiles(FileSystem& fs, const PeriodNames& names) {
  try {
    if (fs.FileExists(names.LegacyRecord()) && !IsSpecialEntry(fs, names.LegacyRecord())) {
      fs.RenameNoReplace(names.LegacyRecord(), names.Record());
    }
    if (fs.FileExists(names.LegacyLock()) && !IsSpecialEntry(fs, names.LegacyLock())) {
      fs.RemoveFile(names.LegacyLock(), true);
    }
    fs.SyncFolder(names.Folder());
  } catch (const Error&) {
    // What stays beside the log is still found there.
  }
}

// What stands at a name that a period's file could have: none, a pipe,
// socket or device (never a period's file), a file of another user's (never
// ours to remove), or one this user may treat as a period's.
enum class Standing { kNone, kSpecial, kForeign, kOwn };

Standing StandingOf(FileSystem& fs, const std::string& path) {
  if (IsSpecialEntry(fs, path)) return Standing::kSpecial;
  try {
    const FileStat st = fs.Stat(path);
    return st.owner >= 0 && st.owner != CurrentUserId() ? Standing::kForeign : Standing::kOwn;
  } catch (const Error& e) {
    if (e.IsNotFound()) return Standing::kNone;
    throw;
  }
}

// The files folder must be a period's own: a folder (never a link) that only
// its owner can change, and that owner this user or, in a temporary folder
// the caller trusts, that folder's owner. A link or another user's folder
// there would lead the period's lock, record and removals elsewhere.
std::unique_ptr<Folder> JudgeFilesFolder(FileSystem& fs, Folder& temp, const PeriodNames& names, bool trusted) {
  std::unique_ptr<Folder> files = temp.OpenSubfolder(kPeriodFilesFolder);  // a folder, never through a link
  const FileStat st = files->StatEntry({});
  int64_t user = CurrentUserId();
  if (trusted && st.owner >= 0 && st.owner != user && fs.Stat(fs.BuildPath(names.Folder(), ".")).owner == st.owner) {
    user = st.owner;
  }
  const std::string path = names.FilesFolder();
  if (std::optional<Error> why = PrivateFolderDistrust(st, fs.AccessAcl(path), path, user, CurrentGroupId())) {
    throw *why;
  }
  return files;
}

// True when the folder's files folder is there and a period's own, so that
// what it holds may be read and removed.
bool FilesFolderIsOwn(FileSystem& fs, const std::string& folder) {
  const PeriodNames any(fs.BuildPath(folder, "Safe"));
  try {
    JudgeFilesFolder(fs, *fs.OpenFolder(folder, nullptr), any, true);
    return true;
  } catch (const Error&) {
    return false;
  }
}

// The folders where a period's files lie: the temporary folder, and its
// files folder when it is a period's own.
std::vector<std::string> PeriodFolders(FileSystem& fs, const std::string& folder) {
  std::vector<std::string> out{folder};
  if (FilesFolderIsOwn(fs, folder)) out.push_back(PeriodNames(fs.BuildPath(folder, "Safe")).FilesFolder());
  return out;
}

std::string StemName(const PeriodNames& names) { return NativePathRules().GetFileName(names.Stem()); }

// Removes the file when it is there; true when it was.
bool RemoveIfThere(FileSystem& fs, const std::string& path) {
  if (!fs.FileExists(path)) return false;
  fs.RemoveFile(path, true);
  return true;
}

// The lock just claimed or taken by its path must lie in the files folder
// as it is now, judged again: the one judged before may have gone since and
// another user's been made in its place. EntryChanged (70) when the lock is
// elsewhere, or the distrust of the folder now there; the caller lets the
// lock go, leaving the file where it landed.
void ConfirmPeriodLockPlace(FileSystem& fs, Folder& temp, const PeriodNames& names, PeriodLock& lock,
                            bool trusted) {
  const std::optional<FileStat> held = lock.Identity();
  if (!held) return;
  const std::unique_ptr<Folder> files = JudgeFilesFolder(fs, temp, names, trusted);
  try {
    if (SameEntry(files->StatEntry(NativePathRules().GetFileName(names.Lock())), *held)) return;
  } catch (const Error& e) {
    if (!e.IsNotFound()) throw;
  }
  throw EntryChanged(names.FilesFolder());
}

// Runs `step` again while it fails because the files folder went: the folder
// goes with the last period that used it, which may end at any moment.
template <typename Step>
auto AgainWhileFolderGoes(Step step) {
  constexpr int kAttempts = 20;
  for (int attempt = 1;; ++attempt) {
    try {
      return step();
    } catch (const Error& e) {
      if (!e.IsNotFound() || attempt == kAttempts) throw;
    }
  }
}

// Makes the files folder when it is missing, then judges what is there.
void MakeAndJudgeFilesFolder(FileSystem& fs, Folder& temp, const PeriodNames& names, bool trusted) {
  try {
    temp.MakeFolder(kPeriodFilesFolder);
    if (!fs.paths().HasPosixModes()) temp.SetEntryMode(kPeriodFilesFolder, kHiddenAttribute);
    temp.Sync();
  } catch (const Error& e) {
    if (e.number() != errnum::kFileAlreadyExists && !e.IsNotFound()) throw;  // made by another, or planted
  }
  JudgeFilesFolder(fs, temp, names, trusted);
}

}  // namespace

void MakePeriodFilesFolder(FileSystem& fs, const PeriodNames& names, bool trusted) {
  const std::unique_ptr<Folder> temp = fs.OpenFolder(names.Folder(), nullptr);
  AgainWhileFolderGoes([&] { MakeAndJudgeFilesFolder(fs, *temp, names, trusted); });
}

std::unique_ptr<PeriodLock> ClaimPeriodLock(const std::shared_ptr<FileSystem>& fs, const PeriodNames& names,
                                            bool trusted) {
  const std::unique_ptr<Folder> temp = fs->OpenFolder(names.Folder(), nullptr);
  return AgainWhileFolderGoes([&] {
    MakeAndJudgeFilesFolder(*fs, *temp, names, trusted);
    std::unique_ptr<PeriodLock> lock = PeriodLock::Claim(fs, names.Lock());
    ConfirmPeriodLockPlace(*fs, *temp, names, *lock, trusted);
    return lock;
  });
}

std::string RecordOf(FileSystem& fs, const PeriodNames& names) {
  if (Exists(fs, names.Record())) return names.Record();
  if (Exists(fs, names.LegacyRecord())) return names.LegacyRecord();
  return {};
}

std::unique_ptr<PeriodLock> TakePeriodLock(const std::shared_ptr<FileSystem>& fs, const PeriodNames& names,
                                           const DistrustCheck& distrust, bool* live) {
  // A period of 4.0.0 holds its lock beside its log.
  if (PeriodLock::IsLive(fs, names.LegacyLock(), distrust)) {
    *live = true;
    return nullptr;
  }
  try {
    MakePeriodFilesFolder(*fs, names, !distrust);
  } catch (const Error&) {
    if (Exists(*fs, names.FilesFolder())) throw;  // there, but not a period's own
    // No folder can be made here (read-only media): PeriodLock::Take says what that means.
  }
  std::unique_ptr<PeriodLock> lock = PeriodLock::Take(fs, names.Lock(), distrust, live);
  if (lock && lock->held()) {
    ConfirmPeriodLockPlace(*fs, *fs->OpenFolder(names.Folder(), nullptr), names, *lock, !distrust);
    AdoptLegacyFiles(*fs, names);
  } else if (lock && Exists(*fs, names.FilesFolder())) {
    // A lock that holds nothing (a link or a refused file at its name): the
    // hidden folder now there must still be a period's own before anything
    // in it, such as a record, is read.
    JudgeFilesFolder(*fs, *fs->OpenFolder(names.Folder(), nullptr), names, !distrust);
  }
  return lock;
}

PeriodLock::Probe LookAtPeriodLock(const std::shared_ptr<FileSystem>& fs, const PeriodNames& names,
                                   const DistrustCheck& distrust) {
  const PeriodLock::Probe legacy = PeriodLock::Look(fs, names.LegacyLock(), distrust);
  return legacy.live ? legacy : PeriodLock::Look(fs, names.Lock(), distrust);
}

void RemoveLogDurably(FileSystem& fs, const std::string& log_path) {
  if (log_path.empty() || !fs.FileExists(log_path)) return;
  fs.RemoveFile(log_path, true);
  fs.SyncFolder(fs.GetParentFolderName(fs.GetAbsolutePathName(log_path)));
}

void RemovePeriodFiles(FileSystem& fs, const PeriodNames& names, const PeriodRemoval& what, PeriodLock* lock) {
  if (what.log) RemoveLogDurably(fs, names.Log());
  std::set<std::string> changed;
  for (const std::string& archive : what.archives) {
    if (RemoveIfThere(fs, archive)) changed.insert(fs.GetParentFolderName(archive));
  }
  // The record, and the lock file of 4.0.0, serve the log alone.
  const bool log_gone = what.record || !fs.FileExists(names.Log());
  const std::string stem_name = StemName(names);
  for (const std::string& folder : PeriodFolders(fs, names.Folder())) {
    for (const FolderEntry& entry : FilesOf(fs, folder)) {
      const std::optional<PeriodFileName> parsed = ParsePeriodFileName(entry.name);
      if (!parsed || parsed->stem_name != stem_name || StandingOf(fs, entry.path) != Standing::kOwn) continue;
      const bool temporary = parsed->kind == PeriodFileKind::kLogSave || parsed->kind == PeriodFileKind::kBackupBuild;
      const bool with_log = parsed->kind == PeriodFileKind::kRecord ||
                            (parsed->kind == PeriodFileKind::kLock && entry.path == names.LegacyLock());
      if (!temporary && !(with_log && log_gone)) continue;
      fs.RemoveFile(entry.path, true);
      changed.insert(folder);
    }
  }
  if (!what.backup_file.empty()) {
    const std::string backup = fs.GetAbsolutePathName(what.backup_file);
    const std::string backup_folder = fs.GetParentFolderName(backup);
    for (const FolderEntry& entry : FilesOf(fs, backup_folder)) {
      if (!names.IsBackupCopy(backup, entry.name)) continue;
      fs.RemoveFile(entry.path, true);
      changed.insert(backup_folder);
    }
  }
  for (const std::string& folder : changed) fs.SyncFolder(folder);
  if (lock) ReleasePeriodLock(fs, names, *lock);
}

void ReleasePeriodLock(FileSystem& fs, const PeriodNames& names, PeriodLock& lock) {
  lock.RemoveAndRelease();
  try {
    fs.RemoveFolder(names.FilesFolder());
  } catch (const Error&) {
    // Another period's files are there, or it is gone already.
  }
}

void RemoveOrphanRecords(const std::shared_ptr<FileSystem>& fs, const std::string& folder) {
  for (const std::string& where : PeriodFolders(*fs, folder)) {
    for (const FolderEntry& entry : FilesOf(*fs, where)) {
      const std::optional<PeriodFileName> parsed = ParsePeriodFileName(entry.name);
      if (!parsed || parsed->kind != PeriodFileKind::kRecord || StandingOf(*fs, entry.path) != Standing::kOwn) continue;
      const PeriodNames names(fs->BuildPath(folder, parsed->stem_name));
      if (fs->FileExists(names.Log())) continue;
      bool live = false;
      std::unique_ptr<PeriodLock> lock = TakePeriodLock(fs, names, {}, &live);
      if (live) continue;  // a period claiming its name: its log comes next
      RemovePeriodFiles(*fs, names, PeriodRemoval{false, {}, {}, true}, lock.get());
    }
  }
}

std::vector<FolderLeftovers> FindLeftovers(FileSystem& fs, const std::string& folder,
                                           const std::set<std::string>& claimed, std::vector<std::string>* not_files) {
  std::map<std::string, std::vector<std::string>> by_stem;
  for (const std::string& where : PeriodFolders(fs, folder)) {
    for (const FolderEntry& entry : FilesOf(fs, where)) {
      const std::optional<PeriodFileName> parsed = ParsePeriodFileName(entry.name);
      if (!parsed) continue;
      const Standing standing = StandingOf(fs, entry.path);
      if (standing == Standing::kSpecial && not_files) not_files->push_back(entry.path);
      if (standing != Standing::kOwn) continue;
      if (parsed->kind == PeriodFileKind::kLog || claimed.count(parsed->stem_name) != 0) continue;
      by_stem[parsed->stem_name].push_back(entry.path);
    }
  }
  std::vector<FolderLeftovers> out;
  for (auto& [stem, paths] : by_stem) out.push_back(FolderLeftovers{stem, std::move(paths)});
  return out;
}

std::vector<std::string> RemoveLeftovers(const std::shared_ptr<FileSystem>& fs, const std::string& folder,
                                         const FolderLeftovers& leftovers, const DistrustCheck& distrust) {
  const PeriodNames names(fs->BuildPath(folder, leftovers.stem_name));
  bool live = false;
  std::unique_ptr<PeriodLock> lock = TakePeriodLock(fs, names, distrust, &live);
  if (live) return {};
  PeriodRemoval what{false, {}, {}, true};
  for (const std::string& path : leftovers.paths) {
    const std::optional<PeriodFileName> parsed = ParsePeriodFileName(fs->GetFileName(path));
    if (parsed && parsed->kind == PeriodFileKind::kArchive) what.archives.push_back(path);
  }
  RemovePeriodFiles(*fs, names, what, lock.get());
  std::vector<std::string> removed;
  for (const std::string& path : leftovers.paths) {
    if (!fs->FileExists(path)) removed.push_back(path);
  }
  return removed;
}

}  // namespace bk
