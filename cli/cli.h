// The `brightkeep` command: one function per subcommand, each given the
// arguments after its name, returning the exit status (0 success, 1 failure,
// 2 usage error, 3 from `assess` when periods need recovery, or for `protect`
// the status of the command it ran, 125 when its files did not all come back).
// Component errors propagate as bk::Error and are reported by main.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace bk::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// assess: unfinished periods are listed.
inline constexpr int kExitNeedsRecovery = 3;
// protect: COMMAND failed and not every file came back.
inline constexpr int kExitIncompleteRestore = 125;
// COMMAND succeeded, but its period could not be ended (no backup).
inline constexpr int kExitNotEnded = 201;

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

// Writes "brightkeep: <description> (<number>): <path>" (a bk::Error) or
// "brightkeep: <message>" to standard error.
void ReportError(const std::exception& error);
// With --json: the error as a JSON document on standard output,
// {"format", "error": {"number", "source", "description", "path"}}.
void WriteErrorDocument(const std::exception& error);

}  // namespace bk::cli
