// Carrying out a rollback's plan (plan.h), step by step in its order, and
// nothing else: every folder is opened through the plan's FolderCache (from
// its top, one below the other, never through a link, each checked to be
// the folder planned), every entry is compared with what the planner saw
// before it is removed, rewritten or replaced, and metadata goes on open
// handles, never on names. An entry found changed since it was planned is
// left as it is and reported ("changed while the rollback ran"); the other
// steps go on. A stop step (an archive that cannot be used) ends the run.
//
// Each step done is written down in the period's record as it becomes
// durable (files in batches flushed together, removals and folders made
// once their folders are flushed), so that a rollback run again after this
// one stopped part-way skips what was done and never restores a file again
// over a later change.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "component/fs/file_system.h"
#include "component/progress.h"
#include "restore/outcome.h"
#include "restore/plan.h"

namespace bk::restore {

// What a caller follows a run with: a progress display and an interruption.
struct RunHooks {
  // How far the run has come: the files the log lists (restored, left as
  // they were, refused or done before) and the bytes of the copies to
  // write. Told the totals before the first step, then after each file and
  // as a copy's bytes are written.
  std::function<void(const Progress&)> progress;
  // Asked between two entries: true ends the run there. What was done is
  // flushed and written down first, and the run counts as stopped (the
  // user's interrupt, 18), so a later run goes on with the rest.
  std::function<bool()> stop;
};

// Carries the plan out; every outcome goes to `sink` (may be empty).
// Throws only when the period's record cannot be appended to (the journal
// of what was done); every other failure is an outcome.
Summary Execute(Plan& plan, const std::shared_ptr<FileSystem>& fs, const OutcomeSink& sink,
                const RunHooks& hooks = {});

}  // namespace bk::restore
