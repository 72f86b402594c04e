// The command's one progress display, for protect, rollback and revert: a
// line on standard error telling the files and bytes done of the total, the
// rate and the time left, redrawn by a clock of its own at least once a
// second while a phase of work goes on, so that it moves even while one
// large file is written or flushed.
//
// While a display is shown, everything the command writes to standard
// output or standard error goes through it: the line is cleared first, and
// drawn again only once that output has ended its line, so that no text is
// ever glued to it. Shown only on a terminal, unless forced (--progress).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "component/progress.h"

namespace bk::cli {

class ProgressDisplay {
 public:
  // Shown when `forced`, or when standard error is a terminal and not `quiet`.
  ProgressDisplay(bool quiet, bool forced);
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  bool enabled() const { return enabled_; }
  // A phase begins ("making files safe", "restoring"): drawn at once, from
  // the calling thread.
  void Begin(std::string what);
  // How far the phase has come; cheap, for every piece of work done.
  void Update(const Progress& counts);
  // The phase ends: its last counts drawn, then the line cleared.
  void End();

  // The text of the line for these counts, `elapsed_ms` into the phase,
  // cut to `columns` (for the tests of the format, and the display itself).
  static std::string Line(const std::string& what, const Progress& counts, int64_t elapsed_ms, size_t columns);

 private:
  class Filter;
  void Tick();
  void DrawLocked();
  void ClearLocked();

  const bool enabled_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string what_;
  Progress counts_;
  int64_t started_ms_ = 0;
  bool active_ = false;    // between Begin and End
  bool drawn_ = false;  // the line is on the screen
  bool stopping_ = false;
  std::thread clock_;
  std::unique_ptr<Filter> out_filter_, err_filter_;
};

// "1.23 GB", "456 kB", "12 B": decimal units, three significant digits.
std::string FormatBytes(uint64_t bytes);

}  // namespace bk::cli
