// brightkeep rollback DIR [--keep-archives] [--delete-logs] [--dry-run] [--trust-folder]
#include <iostream>

#include "cli/cli.h"
#include "cli/folder_assessment.h"
#include "cli/options.h"
#include "component/process.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep rollback DIR [--keep-archives] [--delete-logs] [--dry-run] [--trust-folder]

Rolls back every unfinished period of safe mode whose rollback log lies in
DIR, newest first: every file its log lists is put back from its archives,
and each file is reported as restored or not (with the reason). A period
that does not come back whole keeps its log and archives and is reported,
and the others still go ahead. A period still in progress (its program is
still at work) is never touched: it is reported and skipped. A candidate log
that cannot be loaded, or that another user could have planted (see assess
--help), is skipped and reported. Files of periods that no unfinished log
claims (leftovers) are removed. Exit status 0 when every period was rolled
back and nothing was skipped, 1 otherwise.

Options:
  --keep-archives  keep each period's log and archives after restoring
                   (by default a period that came back whole is removed)
  --delete-logs    with --keep-archives, delete the log all the same; also
                   deletes a log whose archives are all missing
  --dry-run        only report what would be restored and removed, exactly
                   as the rollback would do it
  --trust-folder   take every log and archive in DIR as your own: no
                   ownership or permission checks
  -h, --help       show this help
)";

// Periods or files from which on a terminal shows a progress line.
constexpr size_t kProgressPeriods = 10;
constexpr size_t kProgressFiles = 200;

class Progress {
 public:
  Progress(size_t periods, size_t files)
      : enabled_(IsTerminal(StandardStream::kError) && (periods >= kProgressPeriods || files >= kProgressFiles)),
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

void PrintRestored(const RestoreReport& report) {
  for (const std::string& file : report.restored) std::cout << "  restored: " << file << '\n';
  for (const Error& failure : report.failed) {
    std::cout << "  not restored: " << failure.path() << ": " << failure.description() << '\n';
  }
}

// The dry run prints the very plan the rollback carries out.
void PrintPlan(const RestorePlan& plan) {
  for (const PlannedArchive& archive : plan.archives) {
    if (archive.refused) {
      std::cout << "  cannot roll back: " << archive.archive << ": " << archive.refused->description() << '\n';
      continue;
    }
    for (const PlannedFile& file : archive.files) {
      if (file.refused) {
        std::cout << "  would not restore: " << file.path << ": " << file.refused->description() << '\n';
      } else {
        std::cout << "  would restore: " << file.path << '\n';
      }
    }
  }
}

void DeleteLog(const DescribedLog& entry) {
  entry.log->DeleteLogFile();
  std::cout << "  log deleted\n";
}

// Rolls one period back; reports and returns false on failure. A period
// that came back whole is removed (all of it by default; only its log with
// --keep-archives --delete-logs); one that did not keeps its log and every
// archive, so that it can be rolled back again.
bool RollBackOne(const DescribedLog& entry, const ParsedArgs& parsed, Progress& progress) {
  const bool keep_archives = parsed.Has("--keep-archives");
  const bool delete_logs = parsed.Has("--delete-logs");
  try {
    if (entry.report.ArchivesAllMissing()) {
      std::cout << "  cannot roll back: every archive of this period is missing\n";
      if (!delete_logs) {
        std::cout << "  kept: the log ('--delete-logs' deletes it)\n";
        return false;
      }
      DeleteLog(entry);
      return true;
    }
    RestoreReport report;
    try {
      if (keep_archives) {
        entry.log->RollbackReporting(report, false);
      } else {
        entry.log->RollbackAndRemove(report);
      }
    } catch (const Error& e) {
      progress.Clear();
      PrintRestored(report);
      std::cout << "  failed: " << e.what() << '\n' << std::flush;
      ReportError(e);
      return false;
    }
    PrintRestored(report);
    if (!keep_archives) std::cout << "  removed: the log, its archives and leftovers\n";
    if (keep_archives && delete_logs) DeleteLog(entry);
  } catch (const Error& e) {
    progress.Clear();
    ReportError(e);
    return false;
  }
  return true;
}

void RemoveLeftoversOf(const FolderAssessment& assessment, const std::shared_ptr<FileSystem>& fs, bool dry_run) {
  for (const FolderLeftovers& period : assessment.leftovers) {
    if (dry_run) {
      for (const std::string& path : period.paths) std::cout << "Would remove leftover: " << path << '\n';
      continue;
    }
    try {
      for (const std::string& path : RemoveLeftovers(assessment, period, fs)) {
        std::cout << "Removed leftover: " << path << '\n';
      }
    } catch (const Error& e) {
      ReportError(e);
    }
  }
}

}  // namespace

int RunRollback(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"--keep-archives", false}, {"--delete-logs", false}, {"--dry-run", false},
                                                  {"--trust-folder", false}});
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  if (parsed.positionals.size() != 1) throw UsageError("rollback needs exactly one folder");
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const FolderAssessment assessment = AssessFolder(parsed.positionals[0], parsed.Has("--trust-folder"), fs);
  for (const SkippedLog& skipped : assessment.skipped) {
    std::cerr << "brightkeep: skipped a log: " << skipped.error.description() << " (" << skipped.error.number()
              << "): " << skipped.path << '\n';
  }
  const bool dry_run = parsed.Has("--dry-run");
  size_t total_files = 0, count = 0;
  for (const DescribedLog& entry : assessment.logs) {
    total_files += entry.report.FileCount();
    count += entry.live ? 0 : 1;
  }
  Progress progress(dry_run ? 0 : count, dry_run ? 0 : total_files);

  size_t done = 0, files_done = 0, failed = 0, in_progress = 0;
  for (const DescribedLog& entry : assessment.logs) {
    if (entry.live) {
      std::cout << "Skipped, still in progress: " << entry.report.log << " (" << Started(entry.report) << ")\n";
      ++in_progress;
      continue;
    }
    progress.Show(done + failed + 1, files_done);
    if (dry_run) {
      std::cout << "Would roll back: " << entry.report.log << " (" << Started(entry.report) << ")\n";
      PrintPlan(entry.log->PlanRestore());
      continue;
    }
    std::cout << "Rolling back: " << entry.report.log << " (" << Started(entry.report) << ")\n";
    if (RollBackOne(entry, parsed, progress)) {
      ++done;
    } else {
      ++failed;
    }
    files_done += entry.report.FileCount();
  }
  progress.Clear();
  RemoveLeftoversOf(assessment, fs, dry_run);
  if (count == 0) {
    std::cout << "No unfinished periods in " << assessment.folder << ".\n";
  } else if (!dry_run) {
    std::cout << "Rolled back " << done << " of " << count << " unfinished period" << (count == 1 ? "" : "s") << ".\n";
  }
  return failed == 0 && in_progress == 0 && assessment.skipped.empty() ? kExitSuccess : kExitFailure;
}

}  // namespace bk::cli
