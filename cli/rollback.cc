// brightkeep rollback [DIR] [--keep-archives] [--delete-logs] [--dry-run] [--trust-folder] [--files] [--json]
#include <iostream>

#include "cli/cli.h"
#include "cli/configuration.h"
#include "cli/folder_assessment.h"
#include "cli/interruption.h"
#include "cli/json_writer.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/restore_outcomes.h"
#include "cli/system_log.h"
#include "component/process.h"
#include "component/platform.h"
#include "component/text.h"
#include "log/period_files.h"
#include "restore/plan.h"
#include "restore/print.h"
#include "restore/rollback.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep rollback [DIR] [--keep-archives] [--delete-logs] [--dry-run] [--trust-folder] [-q]
                           [--files] [--json] [--progress] [--config FILE]

Rolls back every unfinished period of safe mode whose rollback log lies in
DIR, newest first: every file its log lists is put back from its archives.
What could not be put back is told entry by entry with the reason, the rest
in counts per period (every entry with --files). A period that does not
come back whole keeps its log and archives and is reported, and the others
still go ahead. A period still in progress (its program is still at work)
is never touched: it is reported and skipped. A candidate log that cannot be
loaded, or that another user could have planted (see assess --help), is
skipped and reported. Files of periods that no unfinished log claims
(leftovers) are removed; completed logs are kept unless --delete-logs.
Ctrl+C or SIGTERM lets the period being rolled back finish (and says so)
and starts no other; a second one stops it between two files, keeping the
period, and a later rollback goes on where it stopped. On a terminal a
progress line shows on standard error. Each period's rollback and how it
ended go to the system log. Without DIR, the temporary folder of the
configuration file:
  )" BK_CONFIG_PLACE R"(.

Exit status: 0 when everything that needed it came back or there was
nothing to do; 1 when something could not be restored or a period was
skipped (in progress, untrusted, unreadable); 128 + N when signal N
stopped it (130 for Ctrl+C).

Options:
  --keep-archives  keep each period's log and archives after restoring
                   (by default a period that came back whole is removed)
  --delete-logs    with --keep-archives, delete the log all the same; also
                   deletes a log whose archives are all missing, and
                   completed logs
  --dry-run        only report what would be restored and removed, exactly
                   as the rollback would do it
  --trust-folder   take every log and archive in DIR as your own: no
                   ownership or permission checks
  --files          tell every entry, not only counts
  -q, --quiet      no progress line and no counts; errors and the outcome
                   of each period are still shown
  --json           write the outcome as JSON, every entry included (see the
                   README, )" BK_README_PLACE R"()
  --progress       show the progress line on standard error even when it
                   is not a terminal
  --config FILE    take the folder from the configuration file FILE
  -h, --help       show this help
)";

std::string Started(const LogReport& report) {
  const std::string text = StartedText(report);
  return text.empty() ? "start unreadable" : "started " + text;
}

struct Options {
  bool dry_run = false, quiet = false, json = false, every = false, keep_archives = false, delete_logs = false;
};

// What happened to one period, for the JSON document.
struct PeriodOutcome {
  const DescribedLog* entry;
  std::string outcome;  // "rolled_back", "failed", "in_progress", "would_roll_back", "interrupted"
  RestoreOutcomes restore;
};

// The command's state while it goes through the folder.
struct Rollback {
  const Options& options;
  const FolderAssessment& assessment;
  std::shared_ptr<FileSystem> fs;
  ProgressDisplay progress;
  Interruption interruption;
  std::ostream discard{nullptr};
  std::vector<PeriodOutcome> outcomes;
  // Text goes to standard output, or nowhere when the outcome is JSON.
  std::ostream& Out() { return options.json ? discard : std::cout; }
};

void WriteOutcomes(const Rollback& r, const std::vector<std::string>& removed,
                   const std::vector<std::string>& completed_removed) {
  JsonWriter json(std::cout);
  json.BeginObject();
  json.Field("format", kJsonFormat);
  json.Field("folder", r.assessment.folder);
  json.Field("dry_run", r.options.dry_run);
  json.Key("periods");
  json.BeginArray();
  for (const PeriodOutcome& o : r.outcomes) {
    json.BeginObject();
    WriteLogFields(json, o.entry->report);
    json.Field("outcome", o.outcome);
    o.restore.WriteJson(json);
    json.EndObject();
  }
  json.EndArray();
  json.Key("skipped");
  WriteSkipped(json, r.assessment.skipped);
  json.Field(r.options.dry_run ? "leftovers_to_remove" : "leftovers_removed", removed);
  json.Field(r.options.dry_run ? "completed_logs_to_remove" : "completed_logs_removed", completed_removed);
  json.EndObject();
}

// Rolls one period back; reports and returns false on failure. A period
// that came back whole is removed (all of it by default; only its log with
// --keep-archives --delete-logs); one that did not keeps its log and every
// archive, so that it can be rolled back again.
bool RollBackOne(Rollback& r, const DescribedLog& entry, PeriodOutcome& outcome, const std::string& what) {
  RestoreOutcomes& out = outcome.restore;
  if (entry.report.ArchivesAllMissing()) {
    r.Out() << "  cannot roll back: every archive of this period is missing\n";
    out.error = Error(errnum::kFileNotFound, kLibrarySource, "Every archive of this period is missing", entry.report.log);
    if (!r.options.delete_logs) {
      r.Out() << "  kept: the log ('--delete-logs' deletes it)\n";
      return false;
    }
    entry.log->DeleteLogFile();
    r.Out() << "  log deleted\n";
    return true;
  }
  const restore::OutcomeSink sink = [&](const restore::Outcome& o) { out.Take(o, r.Out(), "  ", r.options.every, false); };
  const restore::RunHooks hooks = r.interruption.Restoring(r.progress, "'brightkeep rollback " + r.assessment.folder + "'");
  r.progress.Begin(what);
  try {
    restore::Rollback(*entry.log, {true, false, !r.options.keep_archives, &hooks}, sink);
  } catch (const Error& e) {
    r.progress.End();
    if (!out.error) out.error = e;
    if (!r.options.quiet) r.Out() << "  " << out.CountsText() << '\n';
    if (r.interruption.stopped()) {
      r.Out() << "  stopped: the period is kept; a rollback run again goes on where this one stopped\n";
      return false;
    }
    r.Out() << "  failed: " << text::OnOneLine(Explain(e).words) << '\n' << std::flush;
    ReportError(e);
    return false;
  }
  r.progress.End();
  if (!r.options.quiet) r.Out() << "  " << out.CountsText() << '\n';
  if (!r.options.keep_archives) r.Out() << "  removed: the log, its archives and leftovers\n";
  if (r.options.keep_archives && r.options.delete_logs) {
    entry.log->DeleteLogFile();
    r.Out() << "  log deleted\n";
  }
  return true;
}

std::vector<std::string> RemoveLeftoversOf(Rollback& r) {
  std::vector<std::string> removed;
  for (const FolderLeftovers& period : r.assessment.leftovers) {
    if (r.options.dry_run) {
      for (const std::string& path : period.paths) {
        r.Out() << "Would remove leftover: " << text::OnOneLine(path) << '\n';
      }
      removed.insert(removed.end(), period.paths.begin(), period.paths.end());
      continue;
    }
    try {
      for (const std::string& path : r.assessment.manager->RemoveLeftovers(period)) {
        r.Out() << "Removed leftover: " << text::OnOneLine(path) << '\n';
        removed.push_back(path);
      }
    } catch (const Error& e) {
      ReportError(e);
    }
  }
  return removed;
}

// Completed logs go only when asked: one may be kept on purpose (--keep-log).
std::vector<std::string> RemoveCompletedLogs(Rollback& r) {
  std::vector<std::string> removed;
  for (const std::string& path : r.assessment.completed) {
    if (!r.options.delete_logs) {
      r.Out() << "Kept completed log: " << text::OnOneLine(path) << " ('--delete-logs' removes it)\n";
      continue;
    }
    if (r.options.dry_run) {
      r.Out() << "Would remove completed log: " << text::OnOneLine(path) << '\n';
      removed.push_back(path);
      continue;
    }
    try {
      if (!r.assessment.manager->RemoveCompletedLog(path)) continue;  // its program is still removing its files
      r.Out() << "Removed completed log: " << text::OnOneLine(path) << '\n';
      removed.push_back(path);
    } catch (const Error& e) {
      ReportError(e);
    }
  }
  return removed;
}

// Goes through the periods, newest first; returns how many failed.
size_t RollBackAll(Rollback& r, size_t count) {
  size_t done = 0, failed = 0;
  for (const DescribedLog& entry : r.assessment.logs) {
    PeriodOutcome& outcome = r.outcomes.emplace_back(PeriodOutcome{&entry, "in_progress", {}});
    outcome.restore.keep = r.options.json;
    if (entry.live) {
      r.Out() << "Skipped, still in progress: " << text::OnOneLine(entry.report.log) << " (" << Started(entry.report)
              << ")\n";
      outcome.restore.error = PeriodInProgress(entry.report.log);
      continue;
    }
    if (r.options.dry_run) {
      r.Out() << "Would roll back: " << text::OnOneLine(entry.report.log) << " (" << Started(entry.report) << ")\n";
      outcome.outcome = "would_roll_back";
      for (const restore::Outcome& o : restore::Foresee(restore::MakePlan(*entry.log))) {
        outcome.restore.Take(o, r.Out(), "  ", r.options.every, true);
      }
      if (!r.options.quiet) r.Out() << "  " << outcome.restore.CountsText(true) << '\n';
      continue;
    }
    // After an interrupt the period under way finishes and no other begins.
    if (r.interruption.count() != 0) {
      r.Out() << "Not begun, interrupted: " << text::OnOneLine(entry.report.log) << '\n';
      outcome.outcome = "interrupted";
      continue;
    }
    r.Out() << "Rolling back: " << text::OnOneLine(entry.report.log) << " (" << Started(entry.report) << ")\n";
    LogPeriodStart("rollback", entry.report.log);
    const std::string what = "rolling back period " + std::to_string(done + failed + 1) + " of " + std::to_string(count);
    const bool whole = RollBackOne(r, entry, outcome, what);
    outcome.outcome = whole ? "rolled_back" : r.interruption.stopped() ? "interrupted" : "failed";
    (whole ? done : failed) += 1;
    const std::optional<Error>& error = outcome.restore.error;
    LogPeriodEnd("rollback", entry.report.log,
                 (whole ? "rolled back" : "failed") + (error ? ": " + error->description() : ""), !whole);
  }
  if (count != 0 && !r.options.dry_run) {
    r.Out() << "Rolled back " << done << " of " << count << " unfinished period" << (count == 1 ? "" : "s") << ".\n";
  }
  return failed;
}

}  // namespace

int RunRollback(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"--keep-archives", false}, {"--delete-logs", false}, {"--dry-run", false},
                                             {"--trust-folder", false}, {"--quiet", false}, {"--json", false},
                                             {"--files", false}, {"--progress", false}});
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  Options options;
  options.dry_run = parsed.Has("--dry-run");
  options.quiet = parsed.Has("--quiet");
  options.json = parsed.Has("--json");
  options.every = parsed.Has("--files") && !options.quiet;
  options.keep_archives = parsed.Has("--keep-archives");
  options.delete_logs = parsed.Has("--delete-logs");
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const FolderAssessment assessment = AssessFolder(FolderOrConfigured(parsed, "rollback"), parsed.Has("--trust-folder"), fs);
  Rollback r{options, assessment, fs, ProgressDisplay(options.quiet || options.dry_run, parsed.Has("--progress")), {}};
  for (const SkippedLog& skipped : assessment.skipped) {
    const Error& e = skipped.error;
    ReportError(Error(e.number(), e.source(), e.description(), skipped.path, e.native_code()), Situation::kAny,
                "skipped a log");
  }
  for (const std::string& path : assessment.not_files) {
    std::cerr << "brightkeep: left alone, named as a period's file but not a file: " << text::OnOneLine(path) << '\n';
  }
  size_t count = 0;
  for (const DescribedLog& entry : assessment.logs) count += entry.live ? 0 : 1;
  const size_t failed = RollBackAll(r, count);
  const std::vector<std::string> removed = RemoveLeftoversOf(r);
  const std::vector<std::string> completed = RemoveCompletedLogs(r);
  if (options.json) WriteOutcomes(r, removed, completed);
  if (count == 0) r.Out() << "No unfinished periods in " << assessment.folder << ".\n";
  if (r.interruption.count() != 0 && !options.dry_run) {
    std::cerr << "brightkeep: interrupted: 'brightkeep rollback " << assessment.folder << "' finishes what is left\n";
    return r.interruption.Status();
  }
  const bool in_progress = count != assessment.logs.size();
  return failed == 0 && !in_progress && assessment.skipped.empty() ? kExitSuccess : kExitFailure;
}

}  // namespace bk::cli
