// brightkeep revert BACKUP [--temp DIR] [--backup FILE] [--keep-log] [--trust-folder] [--dry-run] [-q] [--json]
#include <iostream>

#include "cli/backup_archive.h"
#include "cli/cli.h"
#include "cli/configuration.h"
#include "cli/folder_assessment.h"
#include "cli/json_writer.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/system_log.h"
#include "log/trust.h"
#include "restore/plan.h"
#include "restore/rollback.h"
#include "safemode/file_rollback_create.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep revert BACKUP [--temp DIR] [--backup FILE] [--keep-log] [--trust-folder]
                         [--dry-run] [-q] [--json] [--progress] [--config FILE]

Puts back the files of a period that succeeded, as its backup archive BACKUP
(written by 'brightkeep protect --backup') holds them: for a change that
succeeded but turned out wrong. The revert is a protected period of its own,
with DIR as its temporary folder: the files as they are now are made safe
first, so a revert that fails is undone, and a revert that succeeds leaves
its own backup archive FILE, which can itself be reverted. Each file is
reported as restored or not (with the reason). Files that did not exist
when BACKUP's period began, and files created since, are left as they are.
--temp and --backup default to those of the configuration file:
  )" BK_CONFIG_PLACE R"(.
The revert's start and how it ended go to the system log. On a terminal a
progress line shows on standard error while files are made safe and put
back.

Exit status: 0 when every file came back; 1 when something could not be
restored (what was written is undone) or nothing could be done; 125 when,
after that, not every file came back to its state before the revert.

Options:
  --temp DIR       folder for the revert's own rollback log and archives
  --backup FILE    where the backup archive of the files as they were before
                   the revert goes; "%t" as for protect
  --keep-log       keep the revert's completed log in DIR
  --trust-folder   take DIR and BACKUP as your own: no ownership or
                   permission checks of either (without it, BACKUP must be a
                   regular file owned by you or root, writable by no one
                   else, in a folder no other user can write)
  --dry-run        only report what would be restored, changing nothing
  -q, --quiet      no line per file and no progress line; errors and the
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
  std::vector<std::string> restored;
  std::vector<Error> not_restored;
  std::optional<Error> error;
};

void WriteJson(const std::string& backup, const Outcome& o) {
  JsonWriter json(std::cout);
  json.BeginObject();
  json.Field("format", kJsonFormat);
  json.Field("backup", backup);
  json.Field("outcome", o.outcome);
  WriteRestoreOutcome(json, o.restored, o.not_restored, o.error);
  json.EndObject();
}

// The files the plan would write, and those it would not.
void TakePlan(const restore::Plan& plan, Outcome& out, std::vector<std::string>* targets) {
  for (const restore::Step& step : plan.steps) {
    switch (step.action) {
      case restore::Action::kStop:
        throw plan.errors[step.error];
      case restore::Action::kRefuse:
        out.not_restored.push_back(plan.errors[step.error]);
        break;
      case restore::Action::kRestore:
      case restore::Action::kUnchanged:
        out.restored.push_back(plan.Shown(step));
        targets->push_back(plan.PathOf(step));
        break;
      default:
        break;
    }
  }
}

// Carries the revert out as a period of its own; returns the exit status.
int Revert(clsFileRollbackCreate& safety, clsFileRollbackLog& log, const std::vector<std::string>& targets,
           const ParsedArgs& parsed, Outcome& out) {
  ProgressDisplay progress(parsed.Has("--quiet"), parsed.Has("--progress"));
  FileSystem& fs = *DefaultFileSystem();
  std::vector<std::string> existing;
  for (const std::string& target : targets) {
    if (fs.FileExists(target)) existing.push_back(target);
  }
  safety.CheckBackupFile();
  safety.BeginSafety();
  const std::string period = safety.log()->LogFileName();
  LogPeriodStart("revert", period, "reverting " + fs.GetAbsolutePathName(parsed.positionals[0]));
  progress.Begin("making files safe");
  const std::vector<std::optional<Error>> refused = safety.MakeFilesSafe(
      existing, [&](const Progress& p) { progress.Update(p); });
  progress.End();
  for (const std::optional<Error>& e : refused) {
    if (!e) continue;
    out.error = *e;
    ReportError(*e);
    safety.UndoSafetyOperations(true, true);
    LogPeriodEnd("revert", period, "files could not be made safe, nothing was reverted", true);
    return kExitFailure;
  }
  RestoreReport report;
  restore::RunHooks hooks;
  hooks.progress = [&](const Progress& p) { progress.Update(p); };
  progress.Begin("reverting");
  try {
    restore::Rollback(log, {true, false, false, &hooks}, restore::Into(report));
    progress.End();
  } catch (const Error& e) {
    progress.End();
    out.restored = report.restored;
    out.not_restored = report.failed;
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
  out.restored = report.restored;
  try {
    safety.EndSafety(parsed.Has("--keep-log"));
  } catch (const Error& e) {
    LogPeriodEnd("revert", period, "reverted, safe mode could not be ended: " + e.description(), true);
    throw;
  }
  out.outcome = "reverted";
  LogPeriodEnd("revert", period, "reverted, backup " + safety.BackupFile(), false);
  return kExitSuccess;
}

void PrintOutcome(const Outcome& o, bool dry_run) {
  for (const std::string& path : o.restored) std::cout << (dry_run ? "  would restore: " : "  restored: ") << path << '\n';
  for (const Error& e : o.not_restored) {
    std::cout << (dry_run ? "  would not restore: " : "  not restored: ") << e.path() << ": " << e.description() << '\n';
  }
}

}  // namespace

int RunRevert(const std::vector<std::string>& args) {
  ParsedArgs parsed =
      ParseArgs(args, {{"--temp", true}, {"--backup", true}, {"--keep-log", false}, {"--trust-folder", false},
                       {"--dry-run", false}, {"--quiet", false}, {"--json", false}, {"--progress", false}});
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  if (parsed.positionals.size() != 1) throw UsageError("revert needs exactly one backup archive");
  TakeDefaults(parsed, {"--temp", "--backup"});
  if (!parsed.Value("--temp")) throw UsageError("revert needs --temp DIR");
  const bool dry_run = parsed.Has("--dry-run");
  if (!dry_run && !parsed.Value("--backup")) throw UsageError("revert needs --backup FILE");

  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const std::string backup = fs->GetAbsolutePathName(parsed.positionals[0]);
  const std::string temp = fs->GetAbsolutePathName(*parsed.Value("--temp"));
  clsFileRollbackCreate safety(fs);
  safety.TempDir(temp);
  if (parsed.Value("--backup")) {
    safety.BackupFile(StampBackupName(fs->GetAbsolutePathName(*parsed.Value("--backup")), LocalNow()));
  }
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
  std::vector<std::string> targets;
  TakePlan(restore::MakePlan(*unpacked.log()), out, &targets);
  int status = kExitSuccess;
  if (dry_run) {
    out.outcome = "would_revert";
  } else {
    out.restored.clear();
    status = Revert(safety, *unpacked.log(), targets, parsed, out);
  }
  if (parsed.Has("--json")) {
    WriteJson(backup, out);
  } else {
    std::cout << (dry_run ? "Would revert: " : "Reverting: ") << backup << '\n';
    if (!parsed.Has("--quiet")) PrintOutcome(out, dry_run);
    if (!dry_run) std::cout << (status == kExitSuccess ? "Reverted.\n" : "Not reverted.\n");
  }
  return status;
}

}  // namespace bk::cli
