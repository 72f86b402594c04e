// brightkeep revert BACKUP [--temp DIR] [--backup FILE] [--keep-log] [--trust-folder] [--dry-run] [-q] [--json]
#include <iostream>

#include <algorithm>

#include "cli/backup_archive.h"
#include "cli/cli.h"
#include "cli/configuration.h"
#include "cli/folder_assessment.h"
#include "cli/json_writer.h"
#include "cli/options.h"
#include "cli/period_end.h"
#include "cli/progress.h"
#include "cli/system_log.h"
#include "log/trust.h"
#include "restore/plan.h"
#include "restore/print.h"
#include "restore/rollback.h"
#include "safemode/file_rollback_create.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep revert BACKUP [--temp DIR] [--backup FILE] [--keep N] [--replace] [--keep-log]
                         [--trust-folder] [--dry-run] [-q] [--json] [--progress] [--config FILE]

Puts back what a period that succeeded changed, as its backup archive BACKUP
(written by 'brightkeep protect --backup') holds it: for a change that
succeeded but turned out wrong. It is as complete as a rollback of that
period: its files come back, and where BACKUP holds the period's record
(backups of Linux periods), each protected TREE comes back whole (what the
change added is removed; folders, links, owners, modes and times come
back). Backups without a record bring back their files only.
The revert is a protected period of its own, with DIR as its temporary
folder: every file it will write or remove is made safe first, existing or
not, so a revert that fails is undone whole, and a revert that succeeds
leaves its own backup archive FILE, which can itself be reverted. Each entry
is reported as it comes back or not (with the reason).
--temp, --backup and --keep default to those of the configuration file:
  )" BK_CONFIG_PLACE R"(.
The revert's start and how it ended go to the system log. On a terminal a
progress line shows on standard error while files are made safe and put
back.

Exit status: 0 when everything came back; 1 when something could not be
restored (what was written is undone) or nothing could be done; 125 when,
after that, not every file came back to its state before the revert; 201
when the revert is done but its own backup could not be written at FILE (it
is kept in DIR, under a name that is shown).

Options:
  --temp DIR       folder for the revert's own rollback log and archives
  --backup FILE    where the backup archive of the files as they were before
                   the revert goes; "%t" as for protect (a taken name gets
                   "-2", "-3", ...); a FILE without "%t" that exists is
                   refused unless --replace
  --keep N         with "%t" in FILE: after a success, keep only the newest N
                   backups of that name (as protect --keep)
  --replace        let the backup replace an existing FILE
  --keep-log       keep the revert's completed log in DIR
  --trust-folder   take DIR and BACKUP as your own: no ownership or
                   permission checks of either (without it, BACKUP must be a
                   regular file owned by you or root, writable by no one
                   else, in a folder no other user can write)
  --dry-run        only report what would be restored and removed, changing
                   nothing
  -q, --quiet      no line per entry and no progress line; errors and the
                   outcome are still shown
  --progress       show the progress line on standard error even when it
                   is not a terminal
  --json           write the outcome as JSON (see the README,
                   )" BK_README_PLACE R"()
  --config FILE    take the defaults from the configuration file FILE
  -h, --help       show this help
)";

struct Outcome {
  std::string outcome = "failed";  // "reverted", "failed", "would_revert"
  RestoreReport report;
  std::vector<restore::Outcome> outcomes;  // as they came, for the lines printed
  std::optional<Error> error;
};

void WriteJson(const std::string& backup, const Outcome& o) {
  JsonWriter json(std::cout);
  json.BeginObject();
  json.Field("format", kJsonFormat);
  json.Field("backup", backup);
  json.Field("outcome", o.outcome);
  WriteRestoreOutcome(json, o.report.restored, o.report.failed, o.error, o.report.removed, o.report.not_removed);
  json.EndObject();
}

// What the revert's own period makes safe so that undoing it undoes the
// revert whole: every tree of the backup's period (its listing, so that
// what the revert adds goes again), every file it writes outside them, and
// the names of those that are missing now (what it makes there goes again).
struct Targets {
  std::vector<std::string> trees, existing, missing;
};

Targets TargetsOf(const restore::Plan& plan, FileSystem& fs) {
  Targets t;
  if (plan.record_index) {
    for (const restore::IndexedTree& tree : plan.record_index->trees) {
      if (tree.complete && fs.FolderExists(tree.root)) t.trees.push_back(tree.root);
    }
  }
  for (const restore::Step& step : plan.steps) {
    if (step.action != restore::Action::kRestore) continue;
    const std::string path = plan.PathOf(step);
    const bool in_tree = std::any_of(t.trees.begin(), t.trees.end(),
                                     [&](const std::string& root) { return fs.paths().IsBelow(root, path); });
    if (in_tree) continue;
    (fs.FileExists(path) || step.seen.kind != restore::Kind::kNone ? t.existing : t.missing).push_back(path);
  }
  return t;
}

// Makes the targets safe in the revert's own period; the first refusal
// stops the revert before anything is written.
std::optional<Error> MakeTargetsSafe(clsFileRollbackCreate& safety, const Targets& t, ProgressDisplay& progress) {
  const SafeProgressFn update = [&](const Progress& p) { progress.Update(p); };
  progress.Begin("making files safe");
  for (const std::string& tree : t.trees) {
    for (const std::optional<Error>& e : safety.MakeTreeSafe(tree, nullptr, update)) {
      if (e) return e;
    }
  }
  for (const std::optional<Error>& e : safety.MakeFilesSafe(t.existing, update)) {
    if (e) return e;
  }
  progress.End();
  if (!t.missing.empty()) safety.RecordAbsentFiles(t.missing);
  return std::nullopt;
}

// Carries the revert out as a period of its own; returns the exit status.
int Revert(clsFileRollbackCreate& safety, clsFileRollbackLog& log, const Targets& targets, const ParsedArgs& parsed,
           const std::string& pattern, Outcome& out) {
  ProgressDisplay progress(parsed.Has("--quiet"), parsed.Has("--progress"));
  safety.BeginSafety();
  const std::string period = safety.log()->LogFileName();
  LogPeriodStart("revert", period, "reverting " + DefaultFileSystem()->GetAbsolutePathName(parsed.positionals[0]));
  if (std::optional<Error> refused = MakeTargetsSafe(safety, targets, progress)) {
    progress.End();
    out.error = *refused;
    ReportError(*refused);
    safety.UndoSafetyOperations(true, true);
    LogPeriodEnd("revert", period, "files could not be made safe, nothing was reverted", true);
    return kExitFailure;
  }
  const restore::OutcomeSink into = restore::Into(out.report);
  restore::RunHooks hooks;
  hooks.progress = [&](const Progress& p) { progress.Update(p); };
  progress.Begin("reverting");
  try {
    restore::Rollback(log, {false, false, false, &hooks}, [&](const restore::Outcome& o) {
      into(o);
      out.outcomes.push_back(o);
    });
    progress.End();
  } catch (const Error& e) {
    progress.End();
    out.error = e;
    ReportError(e);
    std::cerr << "brightkeep: undoing the revert\n";
    try {
      safety.UndoSafetyOperations(true, true);
    } catch (const Error& undo) {
      ReportError(undo);
      LogPeriodEnd("revert", period, "failed: " + e.description() + ", not every file came back", true);
      return kExitRevertNotUndone;
    }
    LogPeriodEnd("revert", period, "failed: " + e.description() + ", undone", true);
    return kExitFailure;
  }
  const EndedPeriod ended = EndSucceededPeriod(safety, parsed.Has("--keep-log"), "revert", "reverted");
  out.outcome = "reverted";
  if (!ended.kept_aside) PruneAfterSuccess(parsed, pattern, ended.backup, parsed.Has("--quiet"));
  return ended.kept_aside ? kExitNotEnded : kExitSuccess;
}

}  // namespace

int RunRevert(const std::vector<std::string>& args) {
  ParsedArgs parsed =
      ParseArgs(args, {{"--temp", true}, {"--backup", true}, {"--keep-log", false}, {"--trust-folder", false},
                       {"--dry-run", false}, {"--quiet", false}, {"--json", false}, {"--keep", true},
                       {"--replace", false}, {"--progress", false}});
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  if (parsed.positionals.size() != 1) throw UsageError("revert needs exactly one backup archive");
  TakeDefaults(parsed, {"--temp", "--backup", "--keep"});
  if (!parsed.Value("--temp")) throw UsageError("revert needs --temp DIR");
  const bool dry_run = parsed.Has("--dry-run");
  if (!dry_run && !parsed.Value("--backup")) throw UsageError("revert needs --backup FILE");

  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const std::string backup = fs->GetAbsolutePathName(parsed.positionals[0]);
  const std::string temp = fs->GetAbsolutePathName(*parsed.Value("--temp"));
  clsFileRollbackCreate safety(fs);
  safety.TempDir(temp);
  const std::string pattern = parsed.Value("--backup") ? fs->GetAbsolutePathName(*parsed.Value("--backup")) : "";
  CheckKeepOption(parsed, *fs, pattern);
  safety.TrustFolder(parsed.Has("--trust-folder"));
  const BackupArchive archive = ReadBackupArchive(fs, backup);
  if (!parsed.Has("--trust-folder")) {
    // Judged before anything is made: a backup another user could have
    // written would have root write whatever files, owners and modes it says.
    if (std::optional<Error> why = BackupDistrust(*fs, archive, CurrentUserId(), CurrentGroupId())) throw *why;
  }
  if (!fs->FolderExists(temp)) CreateFolderPath(*fs, temp);
  if (!parsed.Has("--trust-folder")) {
    if (std::optional<Error> why = FolderDistrust(*fs, temp, CurrentUserId(), CurrentGroupId())) throw *why;
  }

  const UnpackedBackup unpacked(fs, archive, temp);
  Outcome out;
  const restore::Plan plan = restore::MakePlan(*unpacked.log());
  int status = kExitSuccess;
  if (dry_run) {
    out.outcome = "would_revert";
    for (const restore::Outcome& o : restore::Foresee(plan)) {
      restore::Into(out.report)(o);
      out.outcomes.push_back(o);
    }
  } else {
    const Targets targets = TargetsOf(plan, *fs);
    HeldBackupName held = HoldBackupFor(safety, parsed, pattern);
    try {
      safety.CheckBackupFile();
      status = Revert(safety, *unpacked.log(), targets, parsed, pattern, out);
    } catch (...) {
      ReleaseBackupName(*fs, held);
      throw;
    }
    if (out.outcome != "reverted" || status == kExitNotEnded) ReleaseBackupName(*fs, held);
  }
  if (parsed.Has("--json")) {
    WriteJson(backup, out);
  } else {
    std::cout << (dry_run ? "Would revert: " : "Reverting: ") << backup << '\n';
    if (!parsed.Has("--quiet")) {
      for (const restore::Outcome& o : out.outcomes) restore::PrintOutcome(std::cout, o, "  ", dry_run);
    }
    if (!dry_run) std::cout << (out.outcome == "reverted" ? "Reverted.\n" : "Not reverted.\n");
  }
  return status;
}

}  // namespace bk::cli
