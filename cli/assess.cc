// brightkeep assess [DIR] [--json] [--trust-folder]
#include <iostream>

#include "cli/cli.h"
#include "cli/configuration.h"
#include "cli/folder_assessment.h"
#include "cli/json_writer.h"
#include "cli/options.h"
#include "component/text.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep assess [DIR] [--json] [--files] [--trust-folder] [--config FILE]

Lists the unfinished periods of safe mode whose rollback logs lie in DIR
(the files "Safe*.xml" directly in it that are not marked completed), newest
first: each log, when its period started, the trees it protects, how many
files it holds and what a rollback would do now (files changed since,
entries created in its trees, files and folders removed), and its archives;
every file with --files. Periods still in progress (their program is still
at work, or a rollback of them is) are listed apart as in progress and not
counted, with the processes that hold them (as root: all of them). A period
whose program has ended but that processes it left running keep live is
listed and counted as unfinished: a rollback takes it once they have ended.
Pipes, sockets and devices named as a period's files are noted and left
alone. Candidates that are skipped are listed with the reason: they cannot
be loaded, or another user could have planted them (the folder, the log or
one of its archives is owned by another user than you or root, or writable
by others). So are logs whose archives are all missing, completed logs
(their periods ended; 'rollback --delete-logs' removes them), and files of
periods that no unfinished log claims (leftovers of a crash). Nothing is
changed. Without DIR, the temporary folder of the configuration file:
  )" BK_CONFIG_PLACE R"(.

Exit status: 0 when nothing needs recovery; 3 when unfinished periods are
listed; 1 on error.

Options:
  --json          write the result as JSON, every file included (see the
                  README, )" BK_README_PLACE R"()
  --files         list every file of each period
  --trust-folder  take every log and archive in DIR as your own: no
                  ownership or permission checks
  --config FILE   take the folder from the configuration file FILE
  -h, --help      show this help
)";

void WriteJson(const FolderAssessment& assessment) {
  JsonWriter json(std::cout);
  json.BeginObject();
  json.Field("format", kJsonFormat);
  json.Field("folder", assessment.folder);
  json.Field("trust_folder", assessment.trust_folder);
  for (const bool live : {false, true}) {
    json.Key(live ? "in_progress" : "unfinished");
    json.BeginArray();
    for (const DescribedLog& entry : assessment.logs) {
      if (entry.live != live) continue;
      json.BeginObject();
      WriteLogFields(json, entry.report);
      if (live) WriteHolders(json, assessment.holders.at(entry.log->LogFileName()));
      json.EndObject();
    }
    json.EndArray();
  }
  json.Key("skipped");
  WriteSkipped(json, assessment.skipped);
  json.Key("leftovers");
  json.BeginArray();
  for (const FolderLeftovers& period : assessment.leftovers) {
    for (const std::string& path : period.paths) json.String(path);
  }
  json.EndArray();
  json.Field("not_files", assessment.not_files);
  json.Field("completed", assessment.completed);
  json.EndObject();
}

void WriteText(const FolderAssessment& assessment, bool files) {
  size_t count = 0, in_progress = 0;
  for (const DescribedLog& entry : assessment.logs) {
    if (entry.live) {
      const bool owner_gone = assessment.OwnerGone(entry);
      count += owner_gone ? 1 : 0;
      in_progress += owner_gone ? 0 : 1;
      std::cout << (owner_gone ? "Unfinished period kept live by processes its program left running (rolled back"
                                 " once they have ended): "
                               : "In progress (not touched): ");
      PrintLog(std::cout, entry.report, false, files);
      for (const ProcessInfo& p : assessment.holders.at(entry.log->LogFileName()).processes) {
        std::cout << "  held by " << DescribeProcess(p) << '\n';
      }
      continue;
    }
    ++count;
    std::cout << (entry.report.ArchivesAllMissing()
                      ? "Unfinished period whose archives are all missing (nothing can be restored): "
                      : "Unfinished period: ");
    PrintLog(std::cout, entry.report, false, files);
  }
  for (const SkippedLog& skipped : assessment.skipped) {
    std::cout << "Skipped: " << DescribeSkipped(skipped) << "\n";
    if (const std::string advice = Explain(skipped.error).advice; !advice.empty()) std::cout << "  " << advice << '\n';
  }
  for (const FolderLeftovers& period : assessment.leftovers) {
    for (const std::string& path : period.paths) {
      std::cout << "Leftover (no unfinished log claims it; safe to delete): " << text::OnOneLine(path) << '\n';
    }
  }
  for (const std::string& path : assessment.not_files) {
    std::cout << "Left alone (named as a period's file, but not a file): " << text::OnOneLine(path) << '\n';
  }
  for (const std::string& path : assessment.completed) {
    std::cout << "Completed (its period ended; nothing to roll back; 'rollback --delete-logs' removes it): "
              << text::OnOneLine(path) << '\n';
  }
  std::cout << (count == 0 ? std::string("No") : std::to_string(count)) << " unfinished period"
            << (count == 1 ? "" : "s") << " in " << assessment.folder;
  if (in_progress != 0) std::cout << "; " << in_progress << " in progress";
  std::cout << ".\n";
  if (count != 0) std::cout << "'brightkeep rollback " << assessment.folder << "' puts their files back.\n";
}

}  // namespace

int RunAssess(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"--json", false}, {"--files", false}, {"--trust-folder", false}});
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  FolderAssessment assessment = AssessFolder(FolderOrConfigured(parsed, "assess"), parsed.Has("--trust-folder"));
  for (DescribedLog& entry : assessment.logs) Foresee(*entry.log, entry.report);
  if (parsed.Has("--json")) {
    WriteJson(assessment);
  } else {
    WriteText(assessment, parsed.Has("--files"));
  }
  for (const DescribedLog& entry : assessment.logs) {
    if (!entry.live || assessment.OwnerGone(entry)) return kExitNeedsRecovery;
  }
  return kExitSuccess;
}

}  // namespace bk::cli
