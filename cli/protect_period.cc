// protect's period: the files made safe, COMMAND run, the period ended with
// its backup or undone.
#include <chrono>
#include <iostream>
#include <iterator>

#include "cli/backup_names.h"
#include "cli/period_end.h"
#include "cli/cli.h"
#include "cli/folder_assessment.h"
#include "cli/protect.h"
#include "cli/system_log.h"
#include "component/platform.h"
#include "component/process.h"

namespace bk::cli {

namespace {

// Seconds a failed COMMAND's leftover processes get after SIGTERM (--kill).
constexpr std::chrono::seconds kKillGrace{5};

std::string RollbackHint(const ProtectRun& run) { return "'brightkeep rollback " + run.temp + "'"; }

// Makes every file of the trees, then those listed, safe, each group in one
// step; reports each file that could not be. An interrupt ends it with 18.
// The files made safe are kept only for the JSON document, which lists them.
bool MakeAllSafe(ProtectRun& run, clsFileRollbackCreate& safety) {
  std::vector<RefusedFile> refused;
  // The display counts every call together.
  Progress before, call;
  const auto sum = [](const Progress& a, const Progress& b) {
    return Progress{a.files_done + b.files_done, a.files + b.files, a.bytes_done + b.bytes_done, a.bytes + b.bytes};
  };
  const SafeProgressFn follow = [&](const Progress& p) {
    call = p;
    run.progress.Update(sum(before, call));
    run.interruption->ThrowIfAny();
  };
  SafeFileFn made_safe;
  if (run.json) made_safe = [&](const std::string& path) { run.files.push_back(path); };
  const auto add = [&](std::vector<RefusedFile>&& done) {
    refused.insert(refused.end(), std::make_move_iterator(done.begin()), std::make_move_iterator(done.end()));
    before = sum(before, call);
    call = {};
  };
  run.progress.Begin("making files safe");
  try {
    for (const std::string& tree : run.trees) add(safety.MakeTreeSafeReporting(tree, made_safe, follow));
    if (!run.listed.empty()) add(safety.MakeFilesSafeReporting(run.listed, made_safe, follow));
  } catch (...) {
    run.progress.End();
    throw;
  }
  run.progress.End();
  for (const RefusedFile& file : refused) {
    const Error& e = file.error;
    run.refused.push_back(Error(e.number(), e.source(), e.description(), e.path().empty() ? file.path : e.path(),
                                e.native_code()));
    ReportError(run.refused.back(), Situation::kMakingSafe);
  }
  return run.refused.empty();
}

// Puts every file made safe back and removes the period. Returns true when
// everything came back; otherwise the period stays for a later rollback.
bool Undo(ProtectRun& run, clsFileRollbackCreate& safety, bool interruptible) {
  run.restore_ran = true;
  const bool every = run.every_file && !run.quiet;
  const restore::OutcomeSink sink = [&](const restore::Outcome& o) { run.restore.Take(o, std::cerr, "  ", every, false); };
  restore::RunHooks hooks;
  if (interruptible) hooks = run.interruption->Restoring(run.progress, RollbackHint(run));
  run.progress.Begin("putting files back");
  try {
    safety.UndoWith(sink, hooks, true, true);
  } catch (const Error& e) {
    run.progress.End();
    if (!run.restore.error) run.restore.error = e;
    if (run.interruption->stopped()) {
      std::cerr << "brightkeep: the restore was stopped: " << run.restore.CountsText() << "; the period stays in "
                << run.temp << ", and " << RollbackHint(run) << " finishes it\n";
    } else {
      ReportError(e);
      std::cerr << "brightkeep: the period stays unfinished; run " << RollbackHint(run) << " once that is fixed\n";
    }
    return false;
  }
  run.progress.End();
  if (!run.quiet) std::cerr << "brightkeep: put back: " << run.restore.CountsText() << '\n';
  if (interruptible && run.interruption->count() != 0) {
    std::cerr << "brightkeep: the restore was finished before ending\n";
  }
  return true;
}

// Undoes the period after `why` and tells the system log how it ended.
bool UndoAfter(ProtectRun& run, clsFileRollbackCreate& safety, const std::string& why, bool interruptible) {
  const bool whole = Undo(run, safety, interruptible);
  LogPeriodEnd("protect", run.period, why + (whole ? ", files restored" : ", not every file came back"), true);
  return whole;
}

// Runs COMMAND holding a lock of the period of its own, so that the period
// stays live while COMMAND or anything it started and that kept it open runs.
int RunChild(clsFileRollbackCreate& safety, const std::vector<std::string>& command) {
  ChildOptions options;
  options.end_with_parent = true;
  std::unique_ptr<File> shared = safety.period_lock()->ShareWithChild();
  if (shared->NativeHandle() >= 0) options.inherit.push_back(shared->NativeHandle());
  ChildProcess child = ChildProcess::Start(command, {}, options);
  shared.reset();
  return child.WaitForeground();
}

void PrintHolders(const std::vector<ProcessInfo>& holders) {
  for (const ProcessInfo& p : holders) std::cerr << "  " << DescribeProcess(p) << '\n';
  // Another user's processes are seen by root only.
  if (holders.empty()) std::cerr << "  (none that this user may see)\n";
}

// Files are put back only once nothing COMMAND started can still write them:
// true when that is so, waiting at most --wait seconds for what COMMAND left
// running (ending it first with --kill). The period's lock is held all the
// while, so no rollback can begin meanwhile.
bool LeftoverProcessesGone(ProtectRun& run, clsFileRollbackCreate& safety) {
  PeriodLock* lock = safety.period_lock();
  if (lock == nullptr || lock->TryAlone()) return true;
  const std::chrono::seconds wait(std::stoul(run.parsed.Value("--wait").value_or("60")));
  const FileStat id = lock->Identity().value_or(FileStat{});
  std::cerr << "brightkeep: waiting up to " << wait.count() << " s for the processes the command left running:\n";
  PrintHolders(ProcessesHoldingFile(id.device, id.file_id));
  if (lock->WaitUntilAlone(wait)) return true;
  if (run.parsed.Has("--kill")) {
    std::cerr << "brightkeep: ending them (SIGTERM, then SIGKILL after " << kKillGrace.count() << " s)\n";
    EndProcessesHoldingFile(id.device, id.file_id, kKillGrace);
    if (lock->WaitUntilAlone(kKillGrace)) return true;
  }
  const std::vector<ProcessInfo> holders = ProcessesHoldingFile(id.device, id.file_id);
  std::cerr << "brightkeep: the period stays unfinished while these processes run; " << RollbackHint(run)
            << " puts the files back once they have ended:\n";
  PrintHolders(holders);
  return false;
}

// After a success, the oldest stamped backups beyond --keep go; never the
// one just written.
void PruneOldBackups(const ProtectRun& run) {
  const auto keep = run.parsed.Value("--keep");
  if (!keep) return;
  try {
    const PruneRules rules{std::stoul(*keep), std::nullopt, false};
    for (const std::string& path : PruneBackups(run.fs, run.backup_pattern, rules, run.backup, LocalNow())) {
      if (!run.quiet) std::cerr << "brightkeep: removed an older backup: " << path << '\n';
    }
  } catch (const Error& e) {
    ReportError(e);
  }
}

int EndPeriod(ProtectRun& run, clsFileRollbackCreate& safety) {
  std::optional<Error> why;
  std::string kept;
  try {
    kept = safety.EndSafetyKeepingBackup(run.parsed.Has("--keep-log"), &why);
  } catch (const Error& e) {
    // Once the log is marked completed the period has ended; only what it
    // leaves in DIR was not removed.
    if (safety.log() == nullptr) {
      ReportError(e);
      std::cerr << "brightkeep: the period ended and its backup was written, but not all its files in " << run.temp
                << " could be removed; " << RollbackHint(run) << " removes them\n";
      LogPeriodEnd("protect", run.period, "completed, backup " + run.backup + "; leftovers: " + e.description(), true);
      run.outcome = "completed";
      PruneOldBackups(run);
      return kExitSuccess;
    }
    run.Fail(e, kExitNotEnded);
    std::cerr << "brightkeep: the command succeeded, but its period could not be ended: no backup was written, "
                 "and the period stays unfinished in " << run.temp << ". The files stay as the command left them; "
                 "fix the cause and keep the period's files in " << run.temp << " until then, since "
              << RollbackHint(run) << " would undo what the command did\n";
    LogPeriodEnd("protect", run.period, "the command succeeded, safe mode could not be ended: " + e.description(),
                 true);
    run.outcome = "not_ended";
    return kExitNotEnded;
  }
  if (!kept.empty()) {
    ReportBackupKept("protect", run.period, "completed", run.backup, kept, *why);
    run.error = why;
    run.backup = kept;
    run.outcome = "backup_kept";
    return kExitNotEnded;
  }
  LogPeriodEnd("protect", run.period, "completed, backup " + run.backup, false);
  run.outcome = "completed";
  PruneOldBackups(run);
  return kExitSuccess;
}

int RunCommand(ProtectRun& run, clsFileRollbackCreate& safety) {
  std::cout.flush();
  int status = 0;
  try {
    status = RunChild(safety, *run.parsed.rest);
  } catch (const Error& e) {
    const bool missing = e.number() == errnum::kFileNotFound;
    run.Fail(Error(e.number(), e.source(), missing ? "no such command" : "the command cannot be run", e.path(),
                   e.native_code()),
             0);
    run.command_status = missing ? 127 : 126;
    run.outcome = "restored";
    if (UndoAfter(run, safety, "the command could not be run", false)) return *run.command_status;
    run.outcome = "not_restored";
    return kExitNotPutBack;
  }
  run.command_status = status;
  // What arrived while COMMAND ran was COMMAND's to handle.
  run.interruption->Restart();
  if (status == 0) return EndPeriod(run, safety);
  std::cerr << "brightkeep: the command failed with status " << status << "; restoring its files\n";
  const std::string why = "the command failed with status " + std::to_string(status);
  run.outcome = "not_restored";
  if (!LeftoverProcessesGone(run, safety)) {
    LogPeriodEnd("protect", run.period, why + "; processes it left running hold the period", true);
    return kExitNotPutBack;
  }
  if (!UndoAfter(run, safety, why, true)) return kExitNotPutBack;
  run.outcome = "restored";
  return status;
}

// Nothing was changed yet: the period goes whole, quietly.
int Abandon(ProtectRun& run, clsFileRollbackCreate& safety, const std::string& why, int status) {
  run.restore.keep = false;
  const bool quiet = run.quiet;
  run.quiet = true;
  UndoAfter(run, safety, why, false);
  run.quiet = quiet;
  run.restore_ran = false;
  return status;
}

}  // namespace

int ProtectFiles(ProtectRun& run) {
  if (const std::string kind = VolatileFileSystemName(run.temp); !kind.empty()) {
    std::cerr << "brightkeep: warning: the temporary folder " << run.temp << " is on " << kind
              << ", which does not survive a reboot: a period cut short by a crash or a power cut"
                 " would be lost; keep it on persistent storage\n";
  }
  clsFileRollbackCreate safety(run.fs);
  safety.TempDir(run.temp);
  safety.BackupFile(run.backup);
  safety.TrustFolder(run.parsed.Has("--trust-folder"));
  safety.TrustTrees(run.parsed.Has("--trust-tree"));
  try {
    safety.CheckBackupFile();
    run.held = HoldBackupName(*run.fs, run.backup_pattern, run.started, run.parsed.Has("--replace"));
  } catch (const Error& e) {
    run.Fail(e, kExitNotRun);
    std::cerr << "brightkeep: nothing was run: the backup archive cannot be written there\n";
    return kExitNotRun;
  }
  run.backup = run.held.path;
  safety.BackupFile(run.backup);
  if (const auto label = run.parsed.Value("--label")) safety.Label(*label);
  run.interruption.emplace();
  try {
    safety.BeginSafety();
  } catch (const Error& e) {
    return run.Fail(e, kExitNotRun, Situation::kFolder);
  }
  run.period = safety.log()->LogFileName();
  LogPeriodStart("protect", run.period, "running " + run.parsed.rest->front());
  bool all_safe = false;
  try {
    all_safe = MakeAllSafe(run, safety);
    run.interruption->ThrowIfAny();
  } catch (const Error& e) {
    if (e.number() == errnum::kUserInterrupt) {
      std::cerr << "brightkeep: interrupted while files were made safe: nothing was run, and the period is removed\n";
      run.outcome = "interrupted";
      run.error = e;
      return Abandon(run, safety, "interrupted while files were made safe, nothing was run", run.interruption->Status());
    }
    run.Fail(e, kExitNotRun, Situation::kMakingSafe);
  }
  if (!all_safe) {
    std::cerr << "brightkeep: nothing was run; undoing what was made safe\n";
    return Abandon(run, safety, "files could not be made safe, nothing was run", kExitNotRun);
  }
  return RunCommand(run, safety);
}

}  // namespace bk::cli
