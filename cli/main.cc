// Entry point of the `brightkeep` command: picks the subcommand and turns
// errors into messages and exit statuses.
#include <algorithm>
#include <iostream>
#include <string_view>

#include "brightkeep/version.h"
#include "cli/cli.h"
#include "cli/folder_assessment.h"
#include "cli/json_writer.h"
#include "component/error.h"
#include "component/platform.h"

namespace bk::cli {

// The status an error that ends the command gives, and what it concerns.
int g_failure_status = kExitFailure;
Situation g_situation = Situation::kAny;

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep COMMAND [ARG...]

Makes files safe before a change and brings them back when the change fails
or is cut short.

Commands:
  protect   run a command with files protected: on failure they are restored
  assess    list the unfinished periods left in a temporary folder
  rollback  restore the files of every unfinished period in a folder
  inspect   show what a rollback log or a backup archive records
  revert    put back the files of a period that succeeded, from its backup
  diff      show what changed since a period began
  list      list backup archives, newest first
  prune     remove the oldest backups of a name

Run 'brightkeep help COMMAND' (or 'brightkeep COMMAND --help') for the
options of a command. The folders and the backup a command is not given
come from the configuration file:
  )" BK_CONFIG_PLACE R"(.
The README: )" BK_README_PLACE R"(

Options:
  --version   show the version
  -h, --help  show this help
)";

struct Subcommand {
  std::string_view name;
  int (*run)(const std::vector<std::string>&);
  // protect's statuses are its own, apart from COMMAND's (cli.h).
  int usage_status = kExitUsage;
  int failure_status = kExitFailure;
  // What an error that ends it is about: assess and rollback handle each
  // period's errors themselves, so what ends them concerns their folder.
  Situation situation = Situation::kAny;
};

constexpr Subcommand kSubcommands[] = {{"protect", RunProtect, kExitNotRun, kExitNotRun},
                                       {"assess", RunAssess, kExitUsage, kExitFailure, Situation::kFolder},
                                       {"rollback", RunRollback, kExitUsage, kExitFailure, Situation::kFolder},
                                       {"inspect", RunShowLog},
                                       {"revert", RunRevert},
                                       {"diff", RunDiff, kExitUsage, kExitUsage},
                                       {"list", RunList},
                                       {"prune", RunPrune}};

int Usage(const std::string& message, std::string_view subcommand, int status = kExitUsage) {
  std::cerr << "brightkeep: " << message << "\nTry 'brightkeep " << subcommand << (subcommand.empty() ? "" : " ")
            << "--help'.\n";
  return status;
}

int Dispatch(const std::vector<std::string>& args) {
  if (args.size() < 2) return Usage("no command given", "");
  const std::string& first = args[1];
  if (first == "help" && args.size() == 3) return Dispatch({args[0], args[2], "--help"});
  if (first == "--help" || first == "-h" || first == "help") {
    std::cout << kHelp;
    return kExitSuccess;
  }
  if (first == "--version") {
    std::cout << "brightkeep " << BRIGHTKEEP_VERSION << '\n';
    return kExitSuccess;
  }
  for (const Subcommand& sub : kSubcommands) {
    if (sub.name != first) continue;
    g_failure_status = sub.failure_status;
    g_situation = sub.situation;
    try {
      return sub.run(std::vector<std::string>(args.begin() + 2, args.end()));
    } catch (const UsageError& e) {
      return Usage(e.what(), sub.name, sub.usage_status);
    }
  }
  return Usage("unknown command '" + first + "'", "");
}

}  // namespace

void WriteErrorDocument(const std::exception& error) {
  const auto* e = dynamic_cast<const Error*>(&error);
  JsonWriter json(std::cout);
  json.BeginObject();
  json.Field("format", kJsonFormat);
  json.Key("error");
  WriteError(json, e != nullptr ? *e : Error(errnum::kPathFileAccessError, kLibrarySource, error.what()));
  json.EndObject();
  std::cout.flush();
}

}  // namespace bk::cli

int main(int argc, char** argv) {
  bk::PlatformInit platform;
  const std::vector<std::string> args = bk::Utf8Arguments(argc, argv);
  try {
    const int status = bk::cli::Dispatch(args);
    std::cout.flush();
    return status;
  } catch (const std::exception& e) {
    bk::cli::ReportError(e, bk::cli::g_situation);
    if (std::find(args.begin(), args.end(), "--json") != args.end()) bk::cli::WriteErrorDocument(e);
    return bk::cli::g_failure_status;
  }
}
