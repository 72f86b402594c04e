#include "restore/outcome.h"

namespace bk::restore {
namespace {

constexpr size_t kFailuresNamed = 3;

}  // namespace

const char* VerbText(Verb verb) {
  switch (verb) {
    case Verb::kRestored: return "restored";
    case Verb::kUnchanged: return "unchanged";
    case Verb::kRemoved: return "removed";
    case Verb::kNotRestored: return "not restored";
    case Verb::kNotRemoved: return "not removed";
    case Verb::kLeft: return "left";
    case Verb::kDoneBefore: return "done before";
    case Verb::kStopped: return "cannot roll back";
  }
  return "";
}

void Summary::Count(const Outcome& o) {
  switch (o.verb) {
    case Verb::kRestored: ++restored; break;
    case Verb::kUnchanged: ++unchanged; break;
    case Verb::kRemoved: ++removed; break;
    case Verb::kLeft: ++left; break;
    case Verb::kDoneBefore: ++done_before; break;
    case Verb::kStopped: stopped = o.error; break;
    case Verb::kNotRestored: ++not_restored; break;
    case Verb::kNotRemoved: ++not_removed; break;
  }
  if ((o.verb == Verb::kNotRestored || o.verb == Verb::kNotRemoved) && o.error &&
      first_failures.size() <= kFailuresNamed) {
    first_failures.push_back(Error(o.error->number(), o.error->source(), o.error->description(), o.path,
                                   o.error->native_code()).Kind(o.error->kind()));
  }
}

Error Summary::Failure() const {
  if (first_failures.empty() && stopped) return *stopped;
  const size_t failed = not_restored, unremoved = not_removed;
  std::string text = std::to_string(failed) + (failed == 1 ? " file" : " files") + " could not be restored";
  if (unremoved != 0) text += " and " + std::to_string(unremoved) + " could not be removed";
  text += ": ";
  for (size_t i = 0; i < first_failures.size() && i < kFailuresNamed; ++i) {
    if (i > 0) text += "; ";
    text += first_failures[i].path() + " (" + first_failures[i].description() + ")";
  }
  const size_t all = failed + unremoved;
  if (all > kFailuresNamed) text += "; and " + std::to_string(all - kFailuresNamed) + " more";
  const Error& first = first_failures.front();
  return Error(errnum::kArchiveError, kLibrarySource, text, first.path(), first.native_code())
      .Kind(ErrorKind::kIncomplete);
}

}  // namespace bk::restore
