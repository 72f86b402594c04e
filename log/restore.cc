// Restoring: the plan of a rollback and its carrying out. Each archive gives
// back the files its log lists: its drive marker names the drive, the listed
// path below that drive names the entry and where it goes. Entries the log
// does not list are never written.
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "component/error.h"
#include "component/fs/memory_file.h"
#include "component/text.h"
#include "component/zip/archive.h"
#include "log/drive_marker.h"
#include "log/period_files.h"
#include "log/restore_record.h"
#include "log/rollback_log.h"

namespace bk {
namespace {

constexpr size_t kFailuresNamed = 3;

// The drive named by the archive's marker, read into memory: nothing is
// written beside the archive, so periods restoring at once never meet. Fails
// when the marker is missing (53) or names no drive.
std::string TakeDrive(ArchiveComponent& zip, FileSystem& fs) {
  constexpr uint64_t kMaxMarkerSize = 64 * 1024;
  std::string marker;
  try {
    marker = zip.ReadEntry(kDriveMarkerName, kMaxMarkerSize);
  } catch (const Error& e) {
    if (e.number() != errnum::kFileNotFound) throw;
    throw Error(errnum::kFileNotFound, kLibrarySource,
                std::string("File not found: the archive holds no drive marker \"") + kDriveMarkerName + "\"",
                zip.ArchiveFileName);
  }
  TextReader reader(std::make_unique<MemoryFile>(std::move(marker), kDriveMarkerName));
  const std::string drive = reader.AtEndOfStream() ? std::string() : reader.ReadLine();
  if (!IsDriveName(fs.paths(), drive)) {
    throw Error(errnum::kArchiveError, kLibrarySource,
                "The archive's drive marker names no drive: \"" + drive + "\"", zip.ArchiveFileName);
  }
  return drive;
}

// An entry name as the plan compares it: "\" read as "/" (archives of earlier
// versions), and by Windows rules without letter case.
std::string EntryKey(std::string name, bool windows) {
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  return windows ? text::FoldCase(name) : name;
}

// Why a file did not come back, in words, with the system's code when the
// failure has one and the path it concerns when that is not the file itself.
std::string Reason(const Error& e, const std::string& file) {
  std::string why = e.description();
  if (!e.path().empty() && e.path() != file) why += ": " + e.path();
  if (e.native_code() != 0) why += " (system error " + std::to_string(e.native_code()) + ")";
  return why;
}

Error FileFailure(const Error& cause, const std::string& file) {
  return Error(cause.number(), cause.source(), Reason(cause, file), file, cause.native_code());
}

Error Refusal(int32_t number, const std::string& why, const std::string& file) {
  return Error(number, kLibrarySource, why, file);
}

// The entry of a file the log lists by a relative path (earlier versions
// recorded paths as given): the one entry whose name ends with that path.
std::optional<std::string> EntryEndingWith(const std::map<std::string, std::string>& entries, const std::string& key) {
  std::optional<std::string> found;
  for (const auto& [k, name] : entries) {
    if (k == key || (k.size() > key.size() && k.ends_with(key) && k[k.size() - key.size() - 1] == '/')) {
      if (found) return std::nullopt;  // more than one: which it was cannot be told
      found = name;
    }
  }
  return found;
}

bool ClimbsOut(const PathRules& rules, const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !rules.IsSeparator(path[i])) continue;
    if (path.compare(start, i - start, "..") == 0 && i - start == 2) return true;
    start = i + 1;
  }
  return false;
}

// Plans the files of one archive whose drive is known.
void PlanFiles(FileSystem& fs, clsFileRollBackLogZip& zip, ArchiveComponent& archive, PlannedArchive& out) {
  const PathRules& rules = fs.paths();
  const bool windows = rules.Separator() == '\\';
  std::map<std::string, std::string> entries;  // key -> first entry of that key
  for (const std::string& name : archive.ListEntries()) entries.emplace(EntryKey(name, windows), name);
  const std::string root = rules.DriveRoot(out.drive);
  std::set<std::string> seen;
  for (const std::string& path : zip.FilePaths()) {
    PlannedFile file{path, {}, {}, std::nullopt};
    std::optional<std::string> entry;
    if (rules.IsAbsolute(path)) {
      const std::string absolute = fs.GetAbsolutePathName(path);
      file.target = absolute;
      if (!text::EqualsIgnoreCase(rules.GetDriveName(absolute), out.drive)) {
        file.refused = Refusal(errnum::kArchiveError,
                               "The file is not on the drive \"" + out.drive + "\" that the archive holds", path);
      } else if (const auto it = entries.find(EntryKey(rules.PathBelowDrive(absolute), windows)); it != entries.end()) {
        entry = it->second;
      }
    } else if (ClimbsOut(rules, path)) {
      file.refused = Refusal(errnum::kBadFileNameOrNumber,
                             "The recorded path is relative and climbs out of its drive with \"..\"", path);
    } else {
      // Earlier versions recorded paths as given: below the drive, or below
      // the folder the host was in, which the archive's entry names whole.
      const std::string relative = EntryKey(rules.PathBelowDrive(rules.Absolute(path, root)), windows);
      const auto it = entries.find(relative);
      entry = it != entries.end() ? std::optional<std::string>(it->second) : EntryEndingWith(entries, relative);
      if (entry) file.target = rules.Absolute(*entry, root);
    }
    if (!file.refused && !entry) {
      file.refused = Refusal(errnum::kFileNotFound, "The archive holds no copy of the file", path);
    }
    if (entry) file.entry = *entry;
    // A file listed twice comes back once.
    const std::string key = windows ? text::FoldCase(file.target) : file.target;
    if (!file.target.empty() && !seen.insert(key).second) continue;
    out.files.push_back(std::move(file));
  }
}

}  // namespace

Error RestoreReport::Summary() const {
  std::vector<const Error*> all;
  for (const Error& e : failed) all.push_back(&e);
  for (const Error& e : not_removed) all.push_back(&e);
  std::string text = std::to_string(failed.size()) + (failed.size() == 1 ? " file" : " files") +
                     " could not be restored";
  if (!not_removed.empty()) text += " and " + std::to_string(not_removed.size()) + " could not be removed";
  text += ": ";
  for (size_t i = 0; i < all.size() && i < kFailuresNamed; ++i) {
    if (i > 0) text += "; ";
    text += all[i]->path() + " (" + all[i]->description() + ")";
  }
  if (all.size() > kFailuresNamed) text += "; and " + std::to_string(all.size() - kFailuresNamed) + " more";
  const Error& first = *all.front();
  return Error(errnum::kArchiveError, kLibrarySource, text, first.path(), first.native_code());
}

RestorePlan clsFileRollbackLog::PlanRestore() {
  RestorePlan plan;
  for (auto& zip : RequireZips()) {
    PlannedArchive& out = plan.archives.emplace_back();
    try {
      out.archive = ArchivePath(*zip);
    } catch (const Error& e) {
      out.refused = e;
      out.outside = true;
      continue;
    }
    try {
      CheckArchiveBeside(*zip);
      if (!mobjFileSystem->FileExists(out.archive)) throw Error::Standard(errnum::kFileNotFound, out.archive);
      ArchiveComponent archive(mobjFileSystem);
      archive.ArchiveFileName = out.archive;
      out.drive = TakeDrive(archive, *mobjFileSystem);
      PlanFiles(*mobjFileSystem, *zip, archive, out);
    } catch (const Error& e) {
      out.refused = e;
    }
  }
  if (!mstrLogFileName.empty()) {
    const std::string record = PeriodNames::OfLog(mobjFileSystem->GetAbsolutePathName(mstrLogFileName)).Record();
    PlanRecorded(*mobjFileSystem, record, mDistrust, plan.recorded);
  }
  return plan;
}

void clsFileRollbackLog::CarryOut(const RestorePlan& plan, RestoreReport& report) {
  // An archive in another folder refuses the whole rollback before anything
  // is read, restored or deleted; with a tree to put back, so does any
  // archive that cannot be read, since the tree's entries go first.
  for (const PlannedArchive& archive : plan.archives) {
    if (archive.outside || (archive.refused && !plan.recorded.steps.empty())) throw *archive.refused;
  }
  TreeReport tree;
  CarryOutTree(*mobjFileSystem, plan.recorded.steps, tree);
  for (const PlannedArchive& planned : plan.archives) {
    if (planned.refused) throw *planned.refused;
    RestoreArchive(plan, planned, report);
  }
  RestoreRecordedFolders(*mobjFileSystem, plan.recorded, mDistrust, tree);
  for (std::string& path : tree.made) {
    report.restored.push_back(std::move(path));
    report.notes.emplace_back();
  }
  report.failed.insert(report.failed.end(), tree.not_made.begin(), tree.not_made.end());
  report.removed = std::move(tree.removed);
  report.not_removed = std::move(tree.not_removed);
  report.left = std::move(tree.left);
  if (report.Failed()) throw report.Summary();
}

namespace {

// The mount points made inside trees since, through which nothing is restored.
std::vector<std::string> MountsMadeSince(FileSystem& fs, const RecordPlan& plan) {
  std::vector<std::string> mounts;
  for (const TreeAction& step : plan.steps) {
    if (step.kind == TreeAction::kLeaveMount) mounts.push_back(TreePath(fs, step.root, step.relative));
  }
  return mounts;
}

bool Below(const PathRules& rules, const std::string& path, const std::vector<std::string>& folders) {
  return std::any_of(folders.begin(), folders.end(), [&](const std::string& f) { return rules.IsBelow(f, path); });
}

}  // namespace

void clsFileRollbackLog::RestoreArchive(const RestorePlan& plan, const PlannedArchive& planned,
                                        RestoreReport& report) {
  const std::vector<std::string> mounts = MountsMadeSince(*mobjFileSystem, plan.recorded);
  std::vector<std::optional<Error>> refused;  // per planned file
  std::vector<std::string> entries;
  std::vector<size_t> order;  // the planned file of each entry
  for (const PlannedFile& file : planned.files) {
    refused.push_back(file.refused);
    if (!file.refused && Below(mobjFileSystem->paths(), file.target, mounts)) {
      refused.back() = Error(errnum::kPermissionDenied, kLibrarySource,
                             "A mount point made since is on the way: nothing is restored through it", file.path);
    }
    if (refused.back()) continue;
    entries.push_back(file.entry);
    order.push_back(refused.size() - 1);
  }
  std::optional<RecordedFiles> recorded;
  if (!plan.recorded.record.empty()) recorded.emplace(*mobjFileSystem, plan.recorded.record, mDistrust, planned.drive);
  const auto hint = [&](size_t i) -> std::optional<RestoreHint> {
    return recorded ? recorded->For(planned.files[order[i]].target) : std::nullopt;
  };
  ArchiveComponent zip(mobjFileSystem);
  zip.ArchiveFileName = planned.archive;
  zip.DestinationFolder = mobjFileSystem->paths().DriveRoot(planned.drive);
  zip.KeepPaths = true;
  const std::vector<RestoreOutcome> outcomes = zip.RestoreFiles(entries, hint);
  // Reported in the log's order.
  size_t next = 0;
  for (size_t k = 0; k < planned.files.size(); ++k) {
    const PlannedFile& file = planned.files[k];
    if (refused[k]) {
      report.failed.push_back(*refused[k]);
      continue;
    }
    const RestoreOutcome& outcome = outcomes[next++];
    if (outcome.error) {
      report.failed.push_back(FileFailure(*outcome.error, file.path));
    } else {
      report.restored.push_back(file.path);
      report.notes.push_back(outcome.note);
    }
  }
}

std::unique_ptr<PeriodLock> clsFileRollbackLog::TakeForRollback() {
  if (mstrLogFileName.empty()) return nullptr;  // a log held in memory only has no period on disk
  bool live = false;
  std::unique_ptr<PeriodLock> lock = PeriodLock::Take(mobjFileSystem, LockPath(), mDistrust, &live);
  if (live) throw PeriodInProgress(mstrLogFileName);
  return lock;
}

bool clsFileRollbackLog::IsLive() {
  if (mstrLogFileName.empty()) return false;
  return PeriodLock::IsLive(mobjFileSystem, LockPath(), mDistrust);
}

std::string clsFileRollbackLog::LockPath() {
  return PeriodNames::OfLog(mobjFileSystem->GetAbsolutePathName(mstrLogFileName)).Lock();
}

void clsFileRollbackLog::Rollback(bool blnDeleteZip) {
  RestoreReport report;
  RollbackReporting(report, blnDeleteZip);
}

namespace {

// A rollback's hold on the period: the lock file goes when the rollback
// ends, whatever the outcome (a period that is not live needs none), while
// the lock is still held.
struct RollbackHold {
  std::unique_ptr<PeriodLock> lock;
  ~RollbackHold() {
    if (lock) lock->RemoveAndRelease();
  }
};

}  // namespace

void clsFileRollbackLog::RollbackReporting(RestoreReport& report, bool blnDeleteZip) {
  RequireZips();
  const RollbackHold hold{TakeForRollback()};
  CarryOut(PlanRestore(), report);
  if (blnDeleteZip) DeleteArchives();
}

void clsFileRollbackLog::RestoreFiles(RestoreReport& report) { CarryOut(PlanRestore(), report); }

void clsFileRollbackLog::RollbackAndRemove(RestoreReport& report) {
  RequireZips();
  const RollbackHold hold{TakeForRollback()};
  CarryOut(PlanRestore(), report);
  FileSystem& fs = *mobjFileSystem;
  const std::string backup = BackupDestFileName();
  RemoveLogDurably(fs, mstrLogFileName);
  DeleteArchives();
  RemovePeriodLeftovers(fs, PeriodNames::OfLog(fs.GetAbsolutePathName(mstrLogFileName)), backup);
}

void clsFileRollbackLog::DeleteLogFile() {
  const RollbackHold hold{TakeForRollback()};
  RemoveLogDurably(*mobjFileSystem, mstrLogFileName);
  // The record serves the log alone.
  if (!mstrLogFileName.empty()) {
    RemovePeriodLeftovers(*mobjFileSystem, PeriodNames::OfLog(mobjFileSystem->GetAbsolutePathName(mstrLogFileName)), {});
  }
}

void clsFileRollbackLog::DeleteArchives() {
  std::set<std::string> folders;
  for (auto& zip : RequireZips()) {
    std::string name;
    try {
      name = ArchivePath(*zip);
    } catch (const Error&) {
      continue;  // an archive in another folder is never touched
    }
    if (!mobjFileSystem->FileExists(name)) continue;
    mobjFileSystem->RemoveFile(name, true);
    folders.insert(mobjFileSystem->GetParentFolderName(name));
  }
  for (const std::string& folder : folders) mobjFileSystem->SyncFolder(folder);
}

}  // namespace bk
