// brightkeep inspect LOG|BACKUP [--json]
#include <iostream>

#include <algorithm>
#include <optional>

#include "cli/backup_archive.h"
#include "cli/cli.h"
#include "cli/json_writer.h"
#include "cli/log_report.h"
#include "cli/options.h"
#include "cli/period_summary.h"
#include "log/period_files.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep inspect LOG|BACKUP [--json] [--files] [--config FILE]

Shows what a rollback log records: when its period started, the backup
destination, whether the period was marked completed, its label, the trees
it protects, how many files it holds and, for a log whose period is not
completed, what a rollback would do now (files changed since, entries
created in its trees, files and folders removed), and each archive with its
drive and path; every file with --files. Given a backup archive (as
'protect --backup' writes it), shows the period inside it: completed (a
backup exists only for a period that completed), when it started and
ended, its label, files and trees, each archive marked missing when the
backup does not hold it. A document that is not a rollback log is refused.
Nothing is changed.

Options:
  --json         write the result as JSON, every file included (see the
                 README, )" BK_README_PLACE R"()
  --files        list every file the log holds
  --config FILE  accepted as by every command; inspect takes nothing from it
  -h, --help     show this help
)";

}  // namespace

int RunShowLog(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"--json", false}, {"--files", false}});
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  if (parsed.positionals.size() != 1) throw UsageError("inspect needs exactly one log file");
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  std::shared_ptr<clsFileRollbackLog> log = clsFileRollbackLog::Create(fs);
  const std::string path = fs->GetAbsolutePathName(parsed.positionals[0]);
  std::optional<BackupArchive> backup;
  if (IsZipArchive(*fs, path)) {
    backup = ReadBackupArchive(fs, path);
    log = LoadBackupLog(fs, *backup);
  } else {
    log->LoadFromFile(path);
  }
  if (!log->LooksLikeRollbackLog()) {
    throw Error(errnum::kXmlParseError, kLibrarySource,
                "Not a rollback log: the document has no \"VELMARFileRollbackLog\" root with a start date", path);
  }
  LogReport report = DescribeLog(*log);
  PeriodSummary summary;
  if (!backup) summary = SummarizeRecordFile(*fs, RecordOf(*fs, log->Names()), {});
  // What a rollback would do concerns a period that did not end.
  if (!backup && !report.completed) Foresee(*log, report);
  if (backup) {
    // The log inside was packed just before its period was marked
    // completed: a backup is written only for a period that completed.
    report.completed = true;
    summary = SummarizeBackup(*backup);
    report.utc_offset = summary.utc_offset;
    report.log = path + ":" + backup->log_entry;
    for (ArchiveReport& archive : report.archives) {
      const std::string name = fs->GetFileName(archive.archive);
      const auto& held = backup->archive_entries;
      archive.missing = std::find(held.begin(), held.end(), name) == held.end();
    }
  }
  if (report.trees.empty()) report.trees = summary.trees;
  if (report.label.empty()) report.label = summary.label;
  if (parsed.Has("--json")) {
    JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("format", kJsonFormat);
    WriteLogFields(json, report);
    WriteSummaryFields(json, summary);
    json.EndObject();
  } else {
    PrintLog(std::cout, report, true, parsed.Has("--files"));
    PrintSummary(std::cout, summary);
  }
  return kExitSuccess;
}

}  // namespace bk::cli
