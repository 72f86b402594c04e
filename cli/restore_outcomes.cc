#include "cli/restore_outcomes.h"

#include "cli/folder_assessment.h"
#include "restore/print.h"

namespace bk::cli {

void RestoreOutcomes::Take(const restore::Outcome& o, std::ostream& out, const char* indent, bool every, bool would) {
  counts.Count(o);
  // What did not come back, and a mount point left where it is, is always told.
  const bool failure = o.verb == restore::Verb::kNotRestored || o.verb == restore::Verb::kNotRemoved ||
                       o.verb == restore::Verb::kStopped || o.verb == restore::Verb::kLeft;
  if (o.verb == restore::Verb::kStopped && !error) error = o.error;
  if (every || failure) restore::PrintOutcome(out, o, indent, would);
  if (!keep) return;
  switch (o.verb) {
    case restore::Verb::kRestored:
      restored.push_back(o.path);
      notes.push_back(o.note);
      break;
    case restore::Verb::kUnchanged: unchanged.push_back(o.path); break;
    case restore::Verb::kRemoved: removed.push_back(o.path); break;
    case restore::Verb::kNotRestored: not_restored.push_back(*o.error); break;
    case restore::Verb::kNotRemoved:
    case restore::Verb::kLeft: not_removed.push_back(*o.error); break;
    case restore::Verb::kDoneBefore:
    case restore::Verb::kStopped: break;
  }
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
  WriteRestoreOutcome(json, restored, not_restored, error, removed, not_removed);
  json.Key("unchanged");
  json.BeginArray();
  for (const std::string& path : unchanged) json.String(path);
  json.EndArray();
  json.Field("done_before", static_cast<int64_t>(counts.done_before));
  json.Key("notes");
  json.BeginObject();
  for (size_t i = 0; i < notes.size() && i < restored.size(); ++i) {
    if (!notes[i].empty()) json.Field(restored[i], notes[i]);
  }
  json.EndObject();
}

}  // namespace bk::cli
