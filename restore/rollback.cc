// The rollback of a period, and the members of clsFileRollbackLog that put
// files back: they are the restore engine's, so they live here.
#include "restore/rollback.h"

#include "log/period_files.h"
#include "restore/execute.h"
#include "restore/plan.h"

namespace bk::restore {
namespace {

// A rollback's hold on the period: the lock file goes when the rollback
// ends, whatever the outcome (a period that is not live needs none), while
// the lock is still held.
struct Hold {
  clsFileRollbackLog& log;
  std::unique_ptr<PeriodLock> lock;
  ~Hold() {
    if (lock) ReleasePeriodLock(log.file_system(), log.Names(), *lock);
  }
};

// Folders that others could write were closed only at the end of the run:
// what they hold is planned and put back once more, now that no one else
// can change it. This pass reports only what it adds (removals, failures).
Summary Again(clsFileRollbackLog& log, Summary summary, const OutcomeSink& sink, const RunHooks& hooks) {
  Plan plan = MakePlan(log);
  const Summary second = Execute(plan, log.file_system_ptr(), [&](const Outcome& o) {
    if (o.verb == Verb::kRestored || o.verb == Verb::kUnchanged || o.verb == Verb::kLeft ||
        o.verb == Verb::kDoneBefore) {
      return;
    }
    summary.Count(o);
    if (sink) sink(o);
  }, hooks, true);
  // A pass stopped part-way (the user's interrupt) leaves the period to a
  // later run, as a first pass stopped would.
  if (second.stopped && !summary.stopped) summary.stopped = second.stopped;
  return summary;
}

}  // namespace

OutcomeSink Into(RestoreReport& report) {
  return [&report](const Outcome& o) {
    switch (o.verb) {
      case Verb::kRestored:
        report.restored.push_back(o.path);
        report.notes.push_back(o.note);
        break;
      case Verb::kUnchanged: report.unchanged.push_back(o.path); break;
      case Verb::kRemoved: report.removed.push_back(o.path); break;
      case Verb::kNotRestored: report.failed.push_back(*o.error); break;
      case Verb::kNotRemoved: report.not_removed.push_back(*o.error); break;
      case Verb::kLeft: report.left.push_back(*o.error); break;
      case Verb::kDoneBefore: ++report.done_before; break;
      case Verb::kStopped: break;
    }
  };
}

Summary Rollback(clsFileRollbackLog& log, const RollbackOptions& options, const OutcomeSink& sink) {
  Hold hold{log, options.take_lock ? log.TakeForRollback() : nullptr};
  Plan plan = MakePlan(log);
  const RunHooks hooks = options.hooks ? *options.hooks : RunHooks{};
  Summary summary = Execute(plan, log.file_system_ptr(), sink, hooks);
  if (summary.closed != 0 && summary.Whole()) summary = Again(log, std::move(summary), sink, hooks);
  if (!summary.Whole()) throw summary.Failure();
  if (options.remove_period && !log.LogFileName().empty()) {
    const PeriodRemoval removal{true, log.ArchivePaths(), log.BackupDestFileName(), true};
    RemovePeriodFiles(log.file_system(), log.Names(), removal, hold.lock.get());
    hold.lock.reset();
  } else if (options.delete_archives) {
    log.DeleteArchives();
  }
  return summary;
}

}  // namespace bk::restore

namespace bk {

void clsFileRollbackLog::Rollback(bool blnDeleteZip) {
  RequireZips();
  restore::Rollback(*this, {true, blnDeleteZip, false}, {});
}

void clsFileRollbackLog::RollbackReporting(RestoreReport& report, bool blnDeleteZip) {
  RequireZips();
  restore::Rollback(*this, {true, blnDeleteZip, false}, restore::Into(report));
}

void clsFileRollbackLog::RestoreFiles(RestoreReport& report) {
  RequireZips();
  restore::Rollback(*this, {false, false, false}, restore::Into(report));
}

void clsFileRollbackLog::RollbackAndRemove(RestoreReport& report) {
  RequireZips();
  restore::Rollback(*this, {true, false, true}, restore::Into(report));
}

}  // namespace bk
