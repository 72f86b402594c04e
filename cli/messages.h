// What the command tells a person of an error: what happened in words, the
// path, and, where there is one, what to do next, with the component's
// number after the words (JSON documents carry the number and the
// component's own description unchanged).
#pragma once

#include <exception>
#include <string>

#include "component/error.h"

namespace bk::cli {

// Where the error arose, which decides the advice.
enum class Situation {
  kAny,
  kMakingSafe,  // a file or tree to protect
  kFolder,      // the temporary folder of assess, rollback or protect
};

struct Explained {
  std::string words;   // what happened
  std::string advice;  // what to do next; empty when there is nothing to say
};
Explained Explain(const Error& error, Situation situation = Situation::kAny);

// "brightkeep: WORDS (NUMBER): PATH [system error N]" on standard error,
// then "brightkeep: ADVICE" where there is advice; "brightkeep: MESSAGE" for
// an error that is not the component's. `doing`, when given, comes first:
// "brightkeep: DOING: WORDS ...".
void ReportError(const std::exception& error, Situation situation = Situation::kAny, const std::string& doing = {});

}  // namespace bk::cli
