// The plan of a rollback: the log's archives checked, the record read, the
// trees merged (plan_tree.cc), and every file the log lists decided against
// what holds its name now.
#include <algorithm>
#include <unordered_map>

#include "component/fs/memory_file.h"
#include "component/text.h"
#include "component/zip/archive_reader.h"
#include "component/zip/zip_extract.h"
#include "log/drive_marker.h"
#include "log/period.h"
#include "log/period_files.h"
#include "log/rollback_log.h"
#include "restore/planner_internal.h"

namespace bk::restore {

Seen Seen::Of(const FileStat& st, bool posix_types) {
  constexpr uint32_t kTypeMask = 0170000, kRegular = 0100000;
  Seen s{Kind::kFile, st.device, st.file_id, st.file_id_high, st.birth_ns};
  if (st.is_symlink) {
    s.kind = Kind::kLink;
  } else if (st.is_folder) {
    s.kind = Kind::kFolder;
  } else if (posix_types && (st.attributes & kTypeMask) != kRegular) {
    s.kind = Kind::kOther;
  }
  return s;
}

FileStat Seen::AsStat() const {
  FileStat st;
  st.is_folder = kind == Kind::kFolder;
  st.is_symlink = kind == Kind::kLink;
  st.device = device;
  st.file_id = file_id;
  st.file_id_high = file_id_high;
  st.birth_ns = birth_ns;
  return st;
}

std::string Plan::PathOf(const Step& step) const {
  if (step.folder < 0) return step.error != kNoDetail ? errors[step.error].path() : std::string();
  const std::string folder = folders->Path(step.folder);
  return step.name.empty() ? folder : fs->BuildPath(folder, step.name);
}

std::string Plan::Shown(const Step& step) const {
  if (step.detail != kNoDetail && (step.action == Action::kRestore || step.action == Action::kUnchanged ||
                                   (step.action == Action::kRefuse && step.folder < 0) ||
                                   (step.action == Action::kDoneBefore && step.name.empty()))) {
    if (step.detail < files.size() && !files[step.detail].listed.empty()) return files[step.detail].listed;
  }
  return PathOf(step);
}

namespace planner {
namespace {


Error Refused(int32_t number, const std::string& why, const std::string& path) {
  return Error(number, kLibrarySource, why, path).Kind(ErrorKind::kRefused);
}

// An entry name as the plan compares it: where "\" separates, read as "/"
// (archives of earlier versions wrote it), and letter case ignored where it
// does not tell files apart.
std::string EntryKey(std::string name, const PathRules& rules) {
  if (rules.BackslashSeparates()) std::replace(name.begin(), name.end(), '\\', '/');
  return rules.FoldsCase() ? text::FoldCase(name) : name;
}

// True when the file has the owner, group and permission bits its copy
// recorded (where files have owners at all).
bool GuardedAsMadeSafe(const FileStat& now, const zip::Entry& copy, const PathRules& rules) {
  if (!rules.HasOwners()) return true;
  if (!copy.unix_owner || !copy.unix_group || copy.unix_mode() == 0) return false;
  return now.owner == *copy.unix_owner && now.group == *copy.unix_group &&
         (now.attributes & 07777) == (copy.unix_mode() & 07777);
}

bool ClimbsOut(const PathRules& rules, const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !rules.IsSeparator(path[i])) continue;
    if (i - start == 2 && path.compare(start, 2, "..") == 0) return true;
    start = i + 1;
  }
  return false;
}

// The drive named by the archive's marker, read into memory.
std::string TakeDrive(ArchiveReader& archive, const PathRules& rules) {
  constexpr uint64_t kMaxMarkerSize = 64 * 1024;
  const auto& entries = archive.entries();
  const auto it = std::find_if(entries.begin(), entries.end(), [](const zip::Entry& e) {
    return text::EqualsIgnoreCase(e.name, kDriveMarkerName);
  });
  if (it == entries.end() || it->size > kMaxMarkerSize) {
    throw Error(errnum::kFileNotFound, kLibrarySource,
                std::string("File not found: the archive holds no drive marker \"") + kDriveMarkerName + "\"",
                archive.path()).Kind(ErrorKind::kCorrupt);
  }
  std::string marker;
  if (!archive.Extract(*it, [&](const char* d, size_t n) { marker.append(d, n); })) {
    throw Error(errnum::kArchiveError, kLibrarySource, "The archive's drive marker is damaged", archive.path())
        .Kind(ErrorKind::kCorrupt);
  }
  TextReader reader(std::make_unique<MemoryFile>(std::move(marker), kDriveMarkerName));
  const std::string drive = reader.AtEndOfStream() ? std::string() : reader.ReadLine();
  if (!IsDriveName(rules, drive)) {
    throw Error(errnum::kArchiveError, kLibrarySource, "The archive's drive marker names no drive: \"" + drive + "\"",
                archive.path()).Kind(ErrorKind::kCorrupt);
  }
  return drive;
}

// Each archive of the log in order, opened and judged; nullptr where the
// rollback stops (the error says why).
struct OpenedArchive {
  std::unique_ptr<ArchiveReader> reader;
  std::optional<Error> stop;
  std::string drive;
  std::vector<std::pair<uint64_t, uint32_t>> keys;  // hash of the entry's key, its index; sorted
};

class FilePlanner {
 public:
  FilePlanner(Context& ctx, clsFileRollbackLog& log) : ctx_(ctx), log_(log), fs_(ctx.fs) {}

  void OpenArchives() {
    for (int32_t i = 1; i <= log_.ZipCount(); ++i) {
      const std::shared_ptr<clsFileRollBackLogZip> zip = log_.Zip(i);
      // An archive named in another folder refuses the whole rollback.
      const std::string path = log_.ArchivePath(*zip);
      OpenedArchive& a = opened_.emplace_back();
      ctx_.plan.archives.push_back(PlannedArchive{path, {}, {}});
      try {
        Open(a, path);
        ctx_.plan.archives.back().drive = a.drive;
        ctx_.plan.archives.back().seen = a.reader->stat();
      } catch (const Error& e) {
        a.reader.reset();
        a.stop = e;
      }
    }
  }

  // True when the archive of the drive is usable (or the log has none).
  std::optional<Error> DriveStops(const std::string& drive) const {
    for (size_t i = 0; i < opened_.size(); ++i) {
      if (opened_[i].stop && text::EqualsIgnoreCase(log_.Zip(static_cast<int32_t>(i + 1))->ZipDrive(), drive)) {
        return opened_[i].stop;
      }
    }
    return std::nullopt;
  }

  void PlanFiles() {
    for (size_t i = 0; i < opened_.size(); ++i) {
      OpenedArchive& a = opened_[i];
      if (a.stop) {
        Step& step = ctx_.Add(ctx_.files, Action::kStop, -1, "");
        step.error = ctx_.AddError(*a.stop);
        return;
      }
      for (const std::string& listed : log_.Zip(static_cast<int32_t>(i + 1))->FilePaths()) {
        PlanFile(static_cast<int32_t>(i), listed);
      }
      a.reader.reset();
      a.keys.clear();
      a.keys.shrink_to_fit();
    }
  }

 private:
  void Open(OpenedArchive& a, const std::string& path) {
    a.reader = std::make_unique<ArchiveReader>(fs_, path);
    const FileStat& st = a.reader->stat();
    if (const DistrustCheck& distrust = log_.distrust_check()) {
      if (std::optional<Error> why = distrust(st, path)) throw why->Kind(ErrorKind::kRefused);
    }
    const auto recorded = ctx_.record.archives.find(fs_.GetFileName(path));
    if (recorded != ctx_.record.archives.end() && !log_.archives_moved() &&
        !SameFile(recorded->second, st, ctx_.record.same_boot())) {
      throw Refused(errnum::kPermissionDenied, "Permission denied: the archive is not the one this period wrote",
                    path);
    }
    a.drive = TakeDrive(*a.reader, fs_.paths());
        const auto& entries = a.reader->entries();
    for (uint32_t k = 0; k < entries.size(); ++k) a.keys.emplace_back(Hash(EntryKey(entries[k].name, fs_.paths())), k);
    std::stable_sort(a.keys.begin(), a.keys.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  }

  static uint64_t Hash(const std::string& s) { return std::hash<std::string>()(s); }

  // The first entry of the archive whose key is `key`.
  std::optional<uint32_t> Find(const OpenedArchive& a, const std::string& key) const {
        const uint64_t h = Hash(key);
    auto it = std::lower_bound(a.keys.begin(), a.keys.end(), h, [](const auto& x, uint64_t v) { return x.first < v; });
    for (; it != a.keys.end() && it->first == h; ++it) {
      if (EntryKey(a.reader->entries()[it->second].name, fs_.paths()) == key) return it->second;
    }
    return std::nullopt;
  }

  // Logs of earlier versions recorded relative paths as given: the one entry
  // whose name ends with that path serves it.
  std::optional<uint32_t> EndingWith(const OpenedArchive& a, const std::string& key) const {
        std::optional<uint32_t> found;
    const auto& entries = a.reader->entries();
    for (uint32_t k = 0; k < entries.size(); ++k) {
      const std::string name = EntryKey(entries[k].name, fs_.paths());
      if (name == key || (name.size() > key.size() && name.ends_with(key) && name[name.size() - key.size() - 1] == '/')) {
        if (found && EntryKey(entries[*found].name, fs_.paths()) != name) return std::nullopt;  // which it was cannot be told
        if (!found) found = k;
      }
    }
    return found;
  }

  void Refuse(int32_t archive, const std::string& listed, Error e) {
    Step& step = ctx_.Add(ctx_.files, Action::kRefuse, -1, "");
    step.error = ctx_.AddError(std::move(e));
    step.detail = static_cast<uint32_t>(ctx_.plan.files.size());
    ctx_.plan.files.push_back(FileDetail{listed, archive, 0, -1, 0, false});
  }

  void PlanFile(int32_t archive, const std::string& listed);
  void Decide(Step& step, FileDetail& detail, const std::string& target);

  Context& ctx_;
  clsFileRollbackLog& log_;
  FileSystem& fs_;
  std::vector<OpenedArchive> opened_;
  std::unordered_multimap<uint64_t, size_t> targets_;  // hash of a target -> its step in ctx_.files
};

void FilePlanner::PlanFile(int32_t archive, const std::string& listed) {
  const PathRules& rules = fs_.paths();
    const OpenedArchive& a = opened_[static_cast<size_t>(archive)];
  std::string target;
  std::optional<uint32_t> entry;
  if (rules.IsAbsolute(listed)) {
    target = fs_.GetAbsolutePathName(listed);
    if (!text::EqualsIgnoreCase(rules.GetDriveName(target), a.drive)) {
      return Refuse(archive, listed, Refused(errnum::kArchiveError,
                                             "The file is not on the drive \"" + a.drive + "\" that the archive holds",
                                             listed));
    }
    entry = Find(a, EntryKey(rules.PathBelowDrive(target), rules));
  } else if (ClimbsOut(rules, listed)) {
    return Refuse(archive, listed, Refused(errnum::kBadFileNameOrNumber,
                                           "The recorded path is relative and climbs out of its drive with \"..\"",
                                           listed));
  } else {
    const std::string root = rules.DriveRoot(a.drive);
    const std::string key = EntryKey(rules.PathBelowDrive(rules.Absolute(listed, root)), rules);
    entry = Find(a, key);
    if (!entry) entry = EndingWith(a, key);
    if (entry) target = rules.Absolute(a.reader->entries()[*entry].name, root);
  }
  if (!entry) return Refuse(archive, listed, Refused(errnum::kFileNotFound, "The archive holds no copy of the file", listed));
  const zip::Entry& e = a.reader->entries()[*entry];
  if (e.IsFolder() || e.IsSymlink() || zip::IsUnsafeName(e.name, rules.BackslashSeparates(), rules.ReservesNames())) {
    return Refuse(archive, listed, Refused(errnum::kArchiveError, "The archive's copy of the file is not a file", listed));
  }
  // A file listed twice comes back once, as it was first made safe.
  const std::string key = rules.FoldsCase() ? text::FoldCase(target) : target;
  const uint64_t h = std::hash<std::string>()(key);
  const auto same = targets_.equal_range(h);
  for (auto it = same.first; it != same.second; ++it) {
    const std::string other = ctx_.plan.PathOf(ctx_.files[it->second]);
    if ((rules.FoldsCase() ? text::FoldCase(other) : other) == key) return;
  }
  FileDetail detail{target == listed ? std::string() : listed, archive, *entry, -1, 0, false, e.size};
  Step step;
  Decide(step, detail, target);
  step.detail = static_cast<uint32_t>(ctx_.plan.files.size());
  ctx_.plan.files.push_back(std::move(detail));
  targets_.emplace(h, ctx_.files.size());
  ctx_.files.push_back(std::move(step));
}

// Decides what becomes of one file, by what holds its name now.
void FilePlanner::Decide(Step& step, FileDetail& detail, const std::string& target) {
  step.name = fs_.GetFileName(target);
  const auto refuse = [&](Error e) {
    step.action = Action::kRefuse;
    step.error = ctx_.AddError(std::move(e));
    if (step.folder < 0) detail.listed = detail.listed.empty() ? target : detail.listed;
  };
  if (ctx_.record.Done(DoneStep::kRestored, target)) {
    step.action = Action::kDoneBefore;
    if (detail.listed.empty()) detail.listed = target;
    return;
  }
  for (const std::string& mount : ctx_.mounts) {
    if (fs_.paths().IsBelow(mount, target)) {
      step.folder = -1;
      return refuse(Refused(errnum::kPermissionDenied,
                            "A mount point made since is on the way: nothing is restored through it", target));
    }
  }
  try {
    step.folder = ctx_.Folder(fs_.GetParentFolderName(target));
  } catch (const Error& e) {
    step.folder = -1;
    return refuse(Error(e.number(), e.source(), e.description(), target, e.native_code()).Kind(ErrorKind::kRefused));
  }
  step.action = Action::kRestore;
  uint64_t offset = 0, line = 0;
  const std::optional<RecordedFile> recorded = ctx_.record.File(target, &offset, &line);
  if (recorded) {
    detail.record_offset = static_cast<int64_t>(offset);
    detail.record_line = line;
  }
  // In a folder made again, or where a tree's step removes what is there,
  // the file comes back to an empty name.
  if (ctx_.IsMade(step.folder) || ctx_.removed.count(Context::EntryKey(step.folder, step.name)) != 0) return;
  FileStat st;
  try {
    st = ctx_.plan.folders->Open(step.folder)->StatEntry(step.name);
  } catch (const Error& e) {
    if (e.IsNotFound()) return;
    return refuse(Error(e.number(), e.source(), e.description(), target, e.native_code()).Kind(ErrorKind::kIo));
  }
  step.seen = Seen::Of(st, ctx_.plan.posix);
  switch (step.seen.kind) {
    case Kind::kFolder:
      return refuse(Refused(errnum::kPermissionDenied, "A folder is where the file belongs", target));
    case Kind::kOther:
      return refuse(Refused(errnum::kPermissionDenied, "A device, pipe or socket is where the file belongs", target));
    case Kind::kLink:
      return;  // never followed: replaced by the file
    default:
      break;
  }
  // A file replaced since is left to whoever still uses it, and so is one
  // that was another user's or open to others meanwhile (they may hold it
  // open still): the copy comes back as a new file renamed over it.
  const zip::Entry& copy = opened_[static_cast<size_t>(detail.archive)].reader->entries()[detail.entry];
  detail.in_place = recorded && recorded->identity.Known() &&
                    SameFile(recorded->identity, st, ctx_.record.same_boot()) && GuardedAsMadeSafe(st, copy, fs_.paths());
  // Nothing of a file changes without its change time moving on: one whose
  // identity, size and change time are as recorded is as it was made safe.
  if (detail.in_place && recorded->changed_ns != 0 && st.changed_ns == recorded->changed_ns &&
      st.size == recorded->size) {
    step.action = Action::kUnchanged;
  }
}

// Files the period found missing when it made their names safe: whatever
// holds such a name now was made since, and goes (never a folder, which
// may hold what others keep). A folder above that is missing holds nothing.
void PlanAbsent(Context& ctx) {
  for (const std::string& path : ctx.record.absent) {
    if (ctx.record.Done(DoneStep::kRemoved, path)) continue;
    const std::string parent = ctx.fs.GetParentFolderName(path), name = ctx.fs.GetFileName(path);
    FileStat st;
    int32_t node = -1;
    try {
      if (!ctx.fs.FolderExists(parent)) continue;
      node = ctx.Folder(parent);
      if (ctx.IsMade(node)) continue;
      st = ctx.plan.folders->Open(node)->StatEntry(name);
    } catch (const Error& e) {
      if (e.IsNotFound()) continue;
      ctx.Add(ctx.files, Action::kRefuse, -1, "").error = ctx.AddError(
          Error(e.number(), e.source(), e.description(), path, e.native_code()).Kind(ErrorKind::kIo));
      continue;
    }
    const Seen seen = Seen::Of(st, ctx.plan.posix);
    if (seen.kind == Kind::kFolder) {
      // Left and told, as a mount point made since is: it is not the
      // period's to take away, and nothing of the period is missing.
      ctx.Add(ctx.files, Action::kLeave, -1, "").error = ctx.AddError(
          Refused(errnum::kPermissionDenied, "A folder was made where the period had no file; it is left", path));
      continue;
    }
    ctx.Add(ctx.files, Action::kRemove, node, name, seen);
  }
}

}  // namespace
}  // namespace planner

Plan MakePlan(clsFileRollbackLog& log) {
  FileSystem& fs = log.file_system();
  Plan plan(fs);
  plan.posix = fs.paths().HasPosixModes();
  if (!log.LogFileName().empty()) plan.record = RecordOf(fs, log.Names());
  plan.record_index = std::make_shared<RecordIndex>(RecordIndex::Read(fs, plan.record, log.distrust_check()));
  RecordIndex& record = *plan.record_index;
  if (!record.present()) plan.record.clear();
  plan.namespaces = record.namespaces();
  planner::Context ctx(fs, plan, record);
  if (record.unusable) {
    ctx.Add(ctx.trees, Action::kRefuse, -1, "").error = ctx.AddError(
        Error(record.unusable->number(), record.unusable->source(),
              record.unusable->description() + "; only the files the log lists come back", plan.record.empty()
                  ? record.path() : plan.record, record.unusable->native_code()).Kind(ErrorKind::kCorrupt));
  }
  for (const Error& damage : record.damage) ctx.Add(ctx.trees, Action::kRefuse, -1, "").error = ctx.AddError(damage);
  planner::FilePlanner files(ctx, log);
  files.OpenArchives();
  // A tree's entries go before any file: a tree whose archive cannot be
  // read is not touched at all.
  for (IndexedTree& tree : record.trees) {
    if (std::optional<Error> stop = files.DriveStops(fs.GetDriveName(tree.root))) {
      tree.complete = false;
      ctx.Add(ctx.trees, Action::kRefuse, -1, "").error = ctx.AddError(
          Error(stop->number(), stop->source(), "the tree " + tree.root + " is not put back: " + stop->description(),
                stop->path(), stop->native_code()).Kind(ErrorKind::kRefused));
    }
  }
  planner::PlanTrees(ctx);
  planner::PlanAbsent(ctx);
  files.PlanFiles();
  std::reverse(ctx.made_metadata.begin(), ctx.made_metadata.end());
  for (std::vector<Step>* phase : {&ctx.trees, &ctx.made, &ctx.files, &ctx.made_metadata, &ctx.metadata}) {
    for (Step& step : *phase) {
      if (step.action == Action::kDoneBefore) ++plan.done_before;
      plan.steps.push_back(std::move(step));
    }
    phase->clear();
    phase->shrink_to_fit();
  }
  return plan;
}

}  // namespace bk::restore
