// What became of each entry of a rollback: one outcome per entry, carried
// to whoever reports it (the command's printer, a RestoreReport, JSON) as
// the rollback goes, so that nothing needs to hold every outcome at once.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "component/error.h"

namespace bk::restore {

enum class Verb : uint8_t {
  kRestored,     // the file, folder or link is back (folders and links made again too)
  kUnchanged,    // the file was as it was made safe: left untouched
  kRemoved,      // an entry the period did not have is gone
  kNotRestored,  // error: why not
  kNotRemoved,   // error: why not
  kLeft,         // a mount point made since, left as it is (error: the note)
  kDoneBefore,   // an earlier run of this rollback did it
  kStopped,      // the rollback stopped here (error: why); nothing after it was done
};

struct Outcome {
  Verb verb = Verb::kRestored;
  std::string path;  // a file as the log lists it, or the entry's path
  // What of a restored entry could not be put back ("owner and group not
  // restored: not permitted"); empty when it came back whole.
  std::string note;
  std::optional<Error> error;
};

using OutcomeSink = std::function<void(const Outcome&)>;

// The counts of a rollback's outcomes.
struct Summary {
  size_t restored = 0, unchanged = 0, removed = 0, not_restored = 0, not_removed = 0, left = 0, done_before = 0;
  std::optional<Error> stopped;
  // Folders of trees that others could write until the run closed them at
  // its end (execute.h): the rollback plans and carries out once more.
  size_t closed = 0;
  // The first outcomes that failed, for the error that ends a rollback.
  std::vector<Error> first_failures;

  void Count(const Outcome& o);
  // True when nothing failed and the rollback did not stop.
  bool Whole() const { return not_restored == 0 && not_removed == 0 && !stopped; }
  // The error that ends a rollback that was not whole (30200, incomplete):
  // how many entries failed and the first few with their reasons; the
  // stopping error itself when the rollback stopped before anything failed.
  Error Failure() const;
};

// The outcome's verb as the command prints it: "restored", "not restored"…
const char* VerbText(Verb verb);

}  // namespace bk::restore
