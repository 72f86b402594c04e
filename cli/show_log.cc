// brightkeep inspect LOG [--json]
#include <iostream>

#include "cli/cli.h"
#include "cli/json_writer.h"
#include "cli/log_report.h"
#include "cli/options.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep inspect LOG [--json]

Shows everything a rollback log records: when its period started, the backup
destination, each archive with its drive, path and files, and whether the
period was marked completed. Nothing is changed.

Options:
  --json      write the result as JSON (see the README)
  -h, --help  show this help
)";

}  // namespace

int RunShowLog(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"--json", false}});
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  if (parsed.positionals.size() != 1) throw UsageError("inspect needs exactly one log file");
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  std::shared_ptr<clsFileRollbackLog> log = clsFileRollbackLog::Create(fs);
  const std::string path = fs->GetAbsolutePathName(parsed.positionals[0]);
  log->LoadFromFile(path);
  if (!log->LooksLikeRollbackLog()) {
    throw Error(errnum::kXmlParseError, kLibrarySource,
                "Not a rollback log: the document has no \"VELMARFileRollbackLog\" root with a start date", path);
  }
  const LogReport report = DescribeLog(*log);
  if (parsed.Has("--json")) {
    JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("format", kJsonFormat);
    WriteLogFields(json, report);
    json.EndObject();
  } else {
    PrintLog(std::cout, report, true);
  }
  return kExitSuccess;
}

}  // namespace bk::cli
