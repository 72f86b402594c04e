// What became of each entry of one period's restore (protect's undo, a
// rollback, a dry run), as the command tells it: failures always, every
// entry with --files, counts at the end, and every entry in the JSON
// document, which alone keeps them (text goes out as it comes, so a period
// of any size costs no memory per entry without --json).
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/json_writer.h"
#include "component/error.h"
#include "log/rollback_log.h"
#include "restore/outcome.h"

namespace bk::cli {

struct RestoreOutcomes {
  bool keep = false;  // keep every entry for the JSON document
  restore::Summary counts;
  RestoreReport kept;          // every entry, when kept
  std::optional<Error> error;  // what stopped it

  // Counts the outcome, keeps it when asked, and prints it to `out` after
  // `indent`: failures and stops always, the rest with `every`.
  void Take(const restore::Outcome& o, std::ostream& out, const char* indent, bool every, bool would);
  // "3 restored, 4495 unchanged, 2 removed", with what failed and what an
  // earlier run did; the dry run's "would restore 3, ...".
  std::string CountsText(bool would = false) const;
  // The members "restored", "not_restored", "removed", "not_removed",
  // "error", "unchanged", "done_before" and "notes" (path: note).
  void WriteJson(JsonWriter& json) const;
};

}  // namespace bk::cli
