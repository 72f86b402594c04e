// Rolling a period back: its plan made and carried out while the period's
// lock is held, then, once every entry came back, the archives (and, for
// recovery, the log and the period's other files) removed.
#pragma once

#include "log/rollback_log.h"
#include "restore/execute.h"
#include "restore/outcome.h"

namespace bk::restore {

struct RollbackOptions {
  // False for the period's owner, who holds the lock already.
  bool take_lock = true;
  // Once every entry came back: the archives go.
  bool delete_archives = true;
  // Once every entry came back: the log goes first (flushed), then its
  // archives, the period's leftovers and its lock file, so that no log ever
  // names archives that are gone.
  bool remove_period = false;
  // Progress and interruption (execute.h); none when null.
  const RunHooks* hooks = nullptr;
};

// Plans and carries out the rollback of the log's period, every outcome to
// `sink` as it comes. A live period fails at once with 70 "Permission
// denied: the period is still in progress", before anything is touched.
// When something did not come back (or the rollback stopped at an archive)
// it fails at the end with Summary::Failure, and every archive, the log and
// the record stay, so that the rollback can be run again (it then goes on
// where this one stopped).
Summary Rollback(clsFileRollbackLog& log, const RollbackOptions& options, const OutcomeSink& sink);

// A sink that fills a RestoreReport.
OutcomeSink Into(RestoreReport& report);

}  // namespace bk::restore
