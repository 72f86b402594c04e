#include "cli/restore_outcomes.h"

#include "cli/folder_assessment.h"
#include "restore/print.h"
#include "restore/rollback.h"

namespace bk::cli {

void RestoreOutcomes::Take(const restore::Outcome& o, std::ostream& out, const char* indent, bool every, bool would) {
  counts.Count(o);
  // What did not come back, and a mount point left where it is, is always told.
  const bool failure = o.verb == restore::Verb::kNotRestored || o.verb == restore::Verb::kNotRemoved ||
                       o.verb == restore::Verb::kStopped || o.verb == restore::Verb::kLeft;
  if (o.verb == restore::Verb::kStopped && !error) error = o.error;
  if (every || failure) restore::PrintOutcome(out, o, indent, would);
  if (keep) restore::Into(kept)(o);
}

std::string RestoreOutcomes::CountsText(bool would) const {
  const restore::Summary& c = counts;
  std::string text;
  const auto add = [&](size_t n, const char* what) {
    if (n == 0 && !text.empty()) return;
    text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + what;
  };
  add(c.restored, "restored");
  add(c.unchanged, "unchanged");
  add(c.removed, "removed");
  add(c.not_restored, "not restored");
  add(c.not_removed + c.left, "not removed");
  add(c.done_before, "done before");
  return would ? "would be: " + text : text;
}

void RestoreOutcomes::WriteJson(JsonWriter& json) const {
  std::vector<Error> not_removed = kept.not_removed;
  not_removed.insert(not_removed.end(), kept.left.begin(), kept.left.end());
  WriteRestoreOutcome(json, kept.restored, kept.failed, error, kept.removed, not_removed);
  json.Field("unchanged", kept.unchanged);
  json.Field("done_before", static_cast<int64_t>(counts.done_before));
  json.Key("notes");
  json.BeginObject();
  for (size_t i = 0; i < kept.notes.size() && i < kept.restored.size(); ++i) {
    if (!kept.notes[i].empty()) json.Field(kept.restored[i], kept.notes[i]);
  }
  json.EndObject();
}

}  // namespace bk::cli
