// The `brightkeep` command: one function per subcommand, each given the
// arguments after its name, returning the exit status. Component errors
// propagate as bk::Error and are reported by main.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/messages.h"

namespace bk::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// assess: unfinished periods are listed.
inline constexpr int kExitNeedsRecovery = 3;
// protect's own statuses, apart from COMMAND's: they sit where no shell and
// no env(1) puts one of its own (126 and 127 are env's, 128 + N a signal's,
// up to 192), so that COMMAND's own status can pass through as it is.
// Failed before COMMAND ran, nothing changed; usage errors too (as env).
inline constexpr int kExitNotRun = 125;
// COMMAND failed and not every file could be put back: the period stays.
inline constexpr int kExitNotPutBack = 200;
// COMMAND succeeded, but its period could not be ended (no backup).
inline constexpr int kExitNotEnded = 201;
// revert: the revert failed and not every file came back as it was before.
inline constexpr int kExitRevertNotUndone = 125;

// A mistake in the command line; main prints it with a pointer to --help.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int RunProtect(const std::vector<std::string>& args);
int RunAssess(const std::vector<std::string>& args);
int RunRollback(const std::vector<std::string>& args);
int RunShowLog(const std::vector<std::string>& args);
int RunRevert(const std::vector<std::string>& args);
int RunDiff(const std::vector<std::string>& args);
int RunList(const std::vector<std::string>& args);
int RunPrune(const std::vector<std::string>& args);

// With --json: the error as a JSON document on standard output,
// {"format", "error": {"number", "source", "description", "path"}}.
void WriteErrorDocument(const std::exception& error);

}  // namespace bk::cli
