// Ctrl+C (SIGINT) and SIGTERM while the command itself works, followed
// together with the progress display. While files are made safe nothing has
// changed yet: the first interrupt stops the work (the caller removes the
// period). While files are restored, stopping would leave them half put
// back: the first interrupt is told and the restore goes on; a second one
// stops it between two entries, the period's record keeping what was done,
// so that a later rollback goes on where it stopped.
#pragma once

#include <string>

#include "cli/progress.h"
#include "component/process.h"
#include "restore/execute.h"

namespace bk::cli {

class Interruption {
 public:
  Interruption() = default;
  // The interrupts that arrived since counting began (or began again).
  int count() const { return InterruptWatch::Count() - base_; }
  // 128 + the last interrupt's signal: how an interrupted command exits.
  int Status() const;
  // Counting begins again here: what arrived while COMMAND ran was its own.
  void Restart();
  // 18 "User interrupt occurred" when one arrived.
  void ThrowIfAny() const;
  // Restoring, shown on `display`: the first interrupt is told once, with
  // `resume` (how to finish later) in the words; the second stops it.
  restore::RunHooks Restoring(ProgressDisplay& display, const std::string& resume);
  // True once a restore was stopped by a second interrupt.
  bool stopped() const { return stopped_; }

 private:
  InterruptWatch watch_;
  int base_ = 0;
  bool told_ = false;
  bool stopped_ = false;
};

}  // namespace bk::cli
