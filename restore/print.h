// How a rollback reads to a person: one line per entry, the same for the
// dry run (what would happen, from the plan) and the rollback itself (what
// did), for rollback, protect's undo and revert alike.
#pragma once

#include <ostream>
#include <string_view>
#include <vector>

#include "restore/outcome.h"
#include "restore/plan.h"

namespace bk::restore {

// What carrying the plan out would report, step by step, up to and with a
// step where it would stop. A folder whose metadata is put back says
// nothing (it comes back whole or fails), as in the rollback itself.
std::vector<Outcome> Foresee(const Plan& plan);

// "restored: PATH" (with what of it did not come back in parentheses),
// "unchanged: PATH", "removed: PATH", "not restored: PATH: WHY", "not
// removed: PATH: WHY", "done before: PATH", "cannot roll back: PATH: WHY",
// after `indent`; with `would`, the dry run's "would restore: …", "would not
// restore: …", "would remove: …", "would not remove: …". PATH is written on
// one line (text::OnOneLine).
void PrintOutcome(std::ostream& out, const Outcome& outcome, std::string_view indent, bool would = false);

}  // namespace bk::restore
