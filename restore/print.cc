#include "restore/print.h"

#include "component/text.h"

namespace bk::restore {

std::vector<Outcome> Foresee(const Plan& plan) {
  std::vector<Outcome> out;
  for (const Step& step : plan.steps) {
    const std::string path = plan.Shown(step);
    const auto with = [&](Verb verb) {
      out.push_back(Outcome{verb, path, {}, step.error != kNoDetail ? std::optional<Error>(plan.errors[step.error])
                                                                   : std::nullopt});
    };
    switch (step.action) {
      case Action::kRestore:
      case Action::kMakeFolder:
      case Action::kMakeLink: with(Verb::kRestored); break;
      case Action::kUnchanged: with(Verb::kUnchanged); break;
      case Action::kRemove:
      case Action::kRemoveFolder: with(Verb::kRemoved); break;
      case Action::kRefuse: with(Verb::kNotRestored); break;
      case Action::kLeave: with(Verb::kLeft); break;
      case Action::kDoneBefore: with(Verb::kDoneBefore); break;
      case Action::kFolderMetadata: break;
      case Action::kStop:
        with(Verb::kStopped);
        return out;
    }
  }
  return out;
}

void PrintOutcome(std::ostream& out, const Outcome& o, std::string_view indent, bool would) {
  out << indent;
  switch (o.verb) {
    case Verb::kRestored: out << (would ? "would restore: " : "restored: "); break;
    case Verb::kRemoved: out << (would ? "would remove: " : "removed: "); break;
    case Verb::kNotRestored: out << (would ? "would not restore: " : "not restored: "); break;
    case Verb::kNotRemoved:
    case Verb::kLeft: out << (would ? "would not remove: " : "not removed: "); break;
    default: out << VerbText(o.verb) << ": "; break;
  }
  out << text::OnOneLine(o.path);  // a name another user chose neither breaks the line nor steers the terminal
  if (o.error) out << ": " << text::OnOneLine(o.error->description());
  if (!o.note.empty()) out << " (" << o.note << ")";
  out << '\n';
}

}  // namespace bk::restore
