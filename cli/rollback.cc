// brightkeep rollback [DIR] [--keep-archives] [--delete-logs] [--dry-run] [--trust-folder]
#include <iostream>

#include "cli/cli.h"
#include "cli/configuration.h"
#include "cli/folder_assessment.h"
#include "cli/json_writer.h"
#include "cli/options.h"
#include "cli/system_log.h"
#include "component/process.h"
#include "restore/plan.h"
#include "restore/print.h"
#include "restore/rollback.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep rollback [DIR] [--keep-archives] [--delete-logs] [--dry-run] [--trust-folder] [-q]
                           [--json] [--config FILE]

Rolls back every unfinished period of safe mode whose rollback log lies in
DIR, newest first: every file its log lists is put back from its archives,
and each file is reported as restored or not (with the reason). A period
that does not come back whole keeps its log and archives and is reported,
and the others still go ahead. A period still in progress (its program is
still at work) is never touched: it is reported and skipped. A candidate log
that cannot be loaded, or that another user could have planted (see assess
--help), is skipped and reported. Files of periods that no unfinished log
claims (leftovers) are removed. Each period's rollback and how it ended go
to the system log. Without DIR, the temporary folder of the configuration
file:
  )" BK_CONFIG_PLACE R"(.

Exit status: 0 when everything that needed it came back or there was
nothing to do; 1 when something could not be restored or a period was
skipped (in progress, untrusted, unreadable).

Options:
  --keep-archives  keep each period's log and archives after restoring
                   (by default a period that came back whole is removed)
  --delete-logs    with --keep-archives, delete the log all the same; also
                   deletes a log whose archives are all missing
  --dry-run        only report what would be restored and removed, exactly
                   as the rollback would do it
  --trust-folder   take every log and archive in DIR as your own: no
                   ownership or permission checks
  -q, --quiet      no progress line and no line per file; errors and the
                   outcome of each period are still shown
  --json           write the outcome as JSON (see the README,
                   )" BK_README_PLACE R"()
  --config FILE    take the folder from the configuration file FILE
  -h, --help       show this help
)";

// Periods or files from which on a terminal shows a progress line.
constexpr size_t kProgressPeriods = 10;
constexpr size_t kProgressFiles = 200;

class Progress {
 public:
  Progress(size_t periods, size_t files, bool quiet)
      : enabled_(!quiet && IsTerminal(StandardStream::kError) &&
                 (periods >= kProgressPeriods || files >= kProgressFiles)),
        periods_(periods),
        files_(files) {}
  void Show(size_t period, size_t files_done) {
    if (!enabled_) return;
    std::cout.flush();
    std::cerr << "\rbrightkeep: rolling back period " << period << " of " << periods_ << " (" << files_done << " of "
              << files_ << " files done)\x1b[K" << std::flush;
  }
  void Clear() {
    if (enabled_) std::cerr << "\r\x1b[K" << std::flush;
  }

 private:
  bool enabled_;
  size_t periods_;
  size_t files_;
};

std::string Started(const LogReport& report) {
  const std::string text = report.start_date ? FormatOleDate(*report.start_date) : std::string();
  return text.empty() ? "start unreadable" : "started " + text;
}

bool g_quiet = false;
// Outcomes are kept entry by entry only for the JSON document: text goes
// out as it comes, so a period of any size costs no memory per entry.
bool g_json = false;
// Text goes here: standard output, or nowhere when the outcome is JSON.
std::ostream* g_out = &std::cout;
std::ostream& Out() { return *g_out; }

// What happened to one period, for --json.
struct Outcome {
  const DescribedLog* entry;
  std::string outcome;  // "rolled_back", "failed", "in_progress", "would_roll_back"
  std::vector<std::string> restored;
  std::vector<std::string> notes;  // per restored file: what of it did not come back
  std::vector<std::string> unchanged;
  size_t done_before = 0;
  std::vector<Error> not_restored;
  std::vector<std::string> removed;
  std::vector<Error> not_removed;
  std::optional<Error> error;
};

void WriteOutcomes(const FolderAssessment& assessment, const std::vector<Outcome>& outcomes,
                   const std::vector<std::string>& removed, bool dry_run) {
  JsonWriter json(std::cout);
  json.BeginObject();
  json.Field("format", kJsonFormat);
  json.Field("folder", assessment.folder);
  json.Field("dry_run", dry_run);
  json.Key("periods");
  json.BeginArray();
  for (const Outcome& o : outcomes) {
    json.BeginObject();
    WriteLogFields(json, o.entry->report);
    json.Field("outcome", o.outcome);
    WriteRestoreOutcome(json, o.restored, o.not_restored, o.error, o.removed, o.not_removed);
    json.Key("unchanged");
    json.BeginArray();
    for (const std::string& path : o.unchanged) json.String(path);
    json.EndArray();
    json.Field("done_before", static_cast<int64_t>(o.done_before));
    json.Key("notes");
    json.BeginObject();
    for (size_t i = 0; i < o.notes.size() && i < o.restored.size(); ++i) {
      if (!o.notes[i].empty()) json.Field(o.restored[i], o.notes[i]);
    }
    json.EndObject();
    json.EndObject();
  }
  json.EndArray();
  json.Key("skipped");
  WriteSkipped(json, assessment.skipped);
  json.Key(dry_run ? "leftovers_to_remove" : "leftovers_removed");
  json.BeginArray();
  for (const std::string& path : removed) json.String(path);
  json.EndArray();
  json.EndObject();
}

// Takes one entry's outcome into the period's JSON, and prints it.
void Take(const restore::Outcome& o, Outcome& outcome, bool would) {
  if (o.verb == restore::Verb::kStopped && !outcome.error) outcome.error = o.error;
  if (!g_quiet || o.verb == restore::Verb::kStopped) restore::PrintOutcome(Out(), o, "  ", would);
  if (!g_json) return;
  switch (o.verb) {
    case restore::Verb::kRestored:
      outcome.restored.push_back(o.path);
      outcome.notes.push_back(o.note);
      break;
    case restore::Verb::kUnchanged: outcome.unchanged.push_back(o.path); break;
    case restore::Verb::kRemoved: outcome.removed.push_back(o.path); break;
    case restore::Verb::kNotRestored: outcome.not_restored.push_back(*o.error); break;
    case restore::Verb::kNotRemoved:
    case restore::Verb::kLeft: outcome.not_removed.push_back(*o.error); break;
    case restore::Verb::kDoneBefore: ++outcome.done_before; break;
    case restore::Verb::kStopped: break;
  }
}

// The dry run prints the very plan the rollback carries out.
void PrintPlan(const DescribedLog& entry, Outcome& outcome) {
  const restore::Plan plan = restore::MakePlan(*entry.log);
  for (const restore::Outcome& o : restore::Foresee(plan)) Take(o, outcome, true);
}

void DeleteLog(const DescribedLog& entry) {
  entry.log->DeleteLogFile();
  Out() << "  log deleted\n";
}

// Rolls one period back; reports and returns false on failure. A period
// that came back whole is removed (all of it by default; only its log with
// --keep-archives --delete-logs); one that did not keeps its log and every
// archive, so that it can be rolled back again.
bool RollBackOne(const DescribedLog& entry, const ParsedArgs& parsed, Progress& progress, Outcome& outcome) {
  const bool keep_archives = parsed.Has("--keep-archives");
  const bool delete_logs = parsed.Has("--delete-logs");
  try {
    if (entry.report.ArchivesAllMissing()) {
      Out() << "  cannot roll back: every archive of this period is missing\n";
      outcome.error = Error(errnum::kFileNotFound, kLibrarySource, "Every archive of this period is missing",
                            entry.report.log);
      if (!delete_logs) {
        Out() << "  kept: the log ('--delete-logs' deletes it)\n";
        return false;
      }
      DeleteLog(entry);
      return true;
    }
    const restore::OutcomeSink sink = [&](const restore::Outcome& o) { Take(o, outcome, false); };
    restore::Summary summary;
    try {
      summary = restore::Rollback(*entry.log, {true, false, !keep_archives}, sink);
    } catch (const Error& e) {
      progress.Clear();
      outcome.error = e;
      Out() << "  failed: " << e.what() << '\n' << std::flush;
      ReportError(e);
      return false;
    }
    if (summary.done_before != 0) {
      Out() << "  partly rolled back before: " << summary.done_before << " done before, "
            << summary.restored + summary.removed + summary.unchanged << " now\n";
    }
    if (!keep_archives) Out() << "  removed: the log, its archives and leftovers\n";
    if (keep_archives && delete_logs) DeleteLog(entry);
  } catch (const Error& e) {
    progress.Clear();
    outcome.error = e;
    ReportError(e);
    return false;
  }
  return true;
}

std::vector<std::string> RemoveLeftoversOf(const FolderAssessment& assessment,
                                           bool dry_run) {
  std::vector<std::string> removed;
  for (const FolderLeftovers& period : assessment.leftovers) {
    if (dry_run) {
      for (const std::string& path : period.paths) Out() << "Would remove leftover: " << path << '\n';
      removed.insert(removed.end(), period.paths.begin(), period.paths.end());
      continue;
    }
    try {
      for (const std::string& path : assessment.manager->RemoveLeftovers(period)) {
        Out() << "Removed leftover: " << path << '\n';
        removed.push_back(path);
      }
    } catch (const Error& e) {
      ReportError(e);
    }
  }
  return removed;
}

}  // namespace

int RunRollback(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"--keep-archives", false}, {"--delete-logs", false}, {"--dry-run", false},
                                                  {"--trust-folder", false}, {"--quiet", false},
                                                  {"--json", false}});
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const FolderAssessment assessment = AssessFolder(FolderOrConfigured(parsed, "rollback"), parsed.Has("--trust-folder"), fs);
  for (const SkippedLog& skipped : assessment.skipped) {
    std::cerr << "brightkeep: skipped a log: " << skipped.error.description() << " (" << skipped.error.number()
              << "): " << skipped.path << '\n';
  }
  for (const std::string& path : assessment.not_files) {
    std::cerr << "brightkeep: left alone, named as a period's file but not a file: " << path << '\n';
  }
  const bool dry_run = parsed.Has("--dry-run");
  g_quiet = parsed.Has("--quiet");
  std::ostream discard(nullptr);
  g_json = parsed.Has("--json");
  if (g_json) g_out = &discard;
  std::vector<Outcome> outcomes;
  size_t total_files = 0, count = 0;
  for (const DescribedLog& entry : assessment.logs) {
    total_files += entry.report.FileCount();
    count += entry.live ? 0 : 1;
  }
  Progress progress(dry_run ? 0 : count, dry_run ? 0 : total_files, g_quiet);

  size_t done = 0, files_done = 0, failed = 0, in_progress = 0;
  for (const DescribedLog& entry : assessment.logs) {
    Outcome& outcome = outcomes.emplace_back(Outcome{&entry, "in_progress"});
    if (entry.live) {
      Out() << "Skipped, still in progress: " << entry.report.log << " (" << Started(entry.report) << ")\n";
      outcome.error = PeriodInProgress(entry.report.log);
      ++in_progress;
      continue;
    }
    progress.Show(done + failed + 1, files_done);
    if (dry_run) {
      Out() << "Would roll back: " << entry.report.log << " (" << Started(entry.report) << ")\n";
      outcome.outcome = "would_roll_back";
      PrintPlan(entry, outcome);
      continue;
    }
    Out() << "Rolling back: " << entry.report.log << " (" << Started(entry.report) << ")\n";
    LogPeriodStart("rollback", entry.report.log);
    const bool whole = RollBackOne(entry, parsed, progress, outcome);
    outcome.outcome = whole ? "rolled_back" : "failed";
    (whole ? done : failed) += 1;
    LogPeriodEnd("rollback", entry.report.log,
                 (whole ? "rolled back" : "failed") + (outcome.error ? ": " + outcome.error->description() : ""), !whole);
    files_done += entry.report.FileCount();
  }
  progress.Clear();
  const std::vector<std::string> removed = RemoveLeftoversOf(assessment, dry_run);
  if (parsed.Has("--json")) WriteOutcomes(assessment, outcomes, removed, dry_run);
  if (count == 0) {
    Out() << "No unfinished periods in " << assessment.folder << ".\n";
  } else if (!dry_run) {
    Out() << "Rolled back " << done << " of " << count << " unfinished period" << (count == 1 ? "" : "s") << ".\n";
  }
  return failed == 0 && in_progress == 0 && assessment.skipped.empty() ? kExitSuccess : kExitFailure;
}

}  // namespace bk::cli
