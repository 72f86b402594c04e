// brightkeep list PATTERN|FOLDER [--json]
// brightkeep prune PATTERN --keep N [--keep-days D] [--dry-run] [--json]
#include <algorithm>
#include <iostream>

#include "cli/backup_archive.h"
#include "cli/backup_names.h"
#include "cli/cli.h"
#include "cli/configuration.h"
#include "cli/json_writer.h"
#include "cli/log_report.h"
#include "cli/options.h"
#include "cli/period_summary.h"
#include "cli/progress.h"
#include "component/text.h"

namespace bk::cli {

namespace {

constexpr const char* kListHelp = R"(Usage: brightkeep list [PATTERN|FOLDER] [--json] [--config FILE]

Lists backup archives (as 'protect --backup' and 'revert --backup' write
them), newest first: when each period started, its label, how many files and
trees it protected, the archive's size and path. PATTERN is a --backup name
("%t" standing for any time, with the "-2", "-3", ... a taken name gets);
FOLDER lists every backup in that folder. Without either, the backup name of
the configuration file:
  )" BK_CONFIG_PLACE R"(.
Files that are not backups are left out. Nothing is changed.

Exit status: 0, or 1 on error.

Options:
  --json         write the list as JSON (see the README,
                 )" BK_README_PLACE R"()
  --config FILE  take the backup name from the configuration file FILE
  -h, --help     show this help
)";

constexpr const char* kPruneHelp = R"(Usage: brightkeep prune [PATTERN] --keep N [--keep-days D] [--dry-run] [--json] [--config FILE]

Removes the oldest backups of PATTERN, a --backup name holding "%t", keeping
the newest N and, with --keep-days, every one younger than D days. Only
your own backups of that very name are ever removed: a regular file (never
a link) owned by you, a ZIP archive holding a rollback log that names that
file as its backup. Each removal is reported. Without PATTERN, the backup
name of the configuration file:
  )" BK_CONFIG_PLACE R"(.

Exit status: 0, or 1 on error.

Options:
  --keep N         keep the newest N backups (1 or more)
  --keep-days D    also keep every backup younger than D days
  --dry-run        only report what would be removed
  --json           write what was removed as JSON
  --config FILE    take the backup name from the configuration file FILE
  -h, --help       show this help
)";

struct Listed {
  std::string path;
  LogReport log;
  PeriodSummary summary;
  uint64_t size = 0;
};

// The names in the folder that the argument names: all of a folder's,
// those a stamped pattern matches, or the one file named.
std::vector<std::string> Candidates(FileSystem& fs, const std::string& arg) {
  const bool folder = fs.FolderExists(arg);
  const std::string dir = folder ? arg : fs.GetParentFolderName(arg), pattern = fs.GetFileName(arg);
  std::vector<std::string> paths;
  for (const FolderItem& item : fs.OpenFolder(dir, nullptr)->ListEntries()) {
    if (item.stat.is_folder || item.stat.is_symlink) continue;
    if (folder || (IsStampedPattern(fs, arg) ? MatchStamped(pattern, item.name).has_value() : item.name == pattern)) {
      paths.push_back(fs.BuildPath(dir, item.name));
    }
  }
  return paths;
}

std::optional<Listed> Describe(const std::shared_ptr<FileSystem>& fs, const std::string& path) {
  try {
    if (!IsZipArchive(*fs, path)) return std::nullopt;
    const BackupArchive backup = ReadBackupArchive(fs, path);
    const std::shared_ptr<clsFileRollbackLog> log = LoadBackupLog(fs, backup);
    if (!log->LooksLikeRollbackLog()) return std::nullopt;
    return Listed{path, DescribeLog(*log), SummarizeBackup(backup), backup.file->Size()};
  } catch (const Error&) {
    return std::nullopt;  // not a backup
  }
}

void WriteListJson(const std::vector<Listed>& backups) {
  JsonWriter json(std::cout);
  json.BeginObject();
  json.Field("format", kJsonFormat);
  json.Key("backups");
  json.BeginArray();
  for (const Listed& b : backups) {
    json.BeginObject();
    json.Field("path", b.path);
    json.Key("start_date");
    b.log.start_date ? json.String(FormatOleDateWithOffset(*b.log.start_date, b.summary.utc_offset)) : json.Null();
    json.Field("label", b.summary.label);
    WriteSummaryFields(json, b.summary);
    json.Key("trees");
    json.BeginArray();
    for (const std::string& tree : b.summary.trees) json.String(tree);
    json.EndArray();
    json.Field("files", static_cast<int64_t>(b.log.FileCount()));
    json.Field("size", static_cast<int64_t>(b.size));
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
}

std::string PatternArgument(ParsedArgs& parsed, const char* command) {
  if (parsed.positionals.size() > 1) throw UsageError(std::string(command) + " takes one PATTERN or FOLDER");
  if (parsed.positionals.empty()) {
    TakeDefaults(parsed, {"--backup"});
    if (!parsed.Value("--backup")) throw UsageError(std::string(command) + " needs a PATTERN");
    return *parsed.Value("--backup");
  }
  return parsed.positionals[0];
}

}  // namespace

int RunList(const std::vector<std::string>& args) {
  ParsedArgs parsed = ParseArgs(args, {{"--json", false}});
  if (parsed.help) {
    std::cout << kListHelp;
    return kExitSuccess;
  }
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const std::string arg = fs->GetAbsolutePathName(PatternArgument(parsed, "list"));
  std::vector<Listed> backups;
  for (const std::string& path : Candidates(*fs, arg)) {
    if (std::optional<Listed> listed = Describe(fs, path)) backups.push_back(std::move(*listed));
  }
  // Newest first; in one second, by name (a stamped name tells the order).
  std::sort(backups.begin(), backups.end(), [](const Listed& a, const Listed& b) {
    const double x = a.log.start_date.value_or(0), y = b.log.start_date.value_or(0);
    return x != y ? x > y : a.path > b.path;
  });
  if (parsed.Has("--json")) {
    WriteListJson(backups);
    return kExitSuccess;
  }
  for (const Listed& b : backups) {
    std::cout << (b.log.start_date ? FormatOleDate(*b.log.start_date) : "(unreadable)") << "  " << b.log.FileCount()
              << " files  " << b.summary.trees.size() << " trees  " << FormatBytes(b.size) << "  "
              << text::OnOneLine(b.path);
    if (!b.summary.label.empty()) std::cout << "  [" << text::OnOneLine(b.summary.label) << "]";
    std::cout << '\n';
  }
  return kExitSuccess;
}

int RunPrune(const std::vector<std::string>& args) {
  ParsedArgs parsed =
      ParseArgs(args, {{"--keep", true}, {"--keep-days", true}, {"--dry-run", false}, {"--json", false}});
  if (parsed.help) {
    std::cout << kPruneHelp;
    return kExitSuccess;
  }
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const std::string pattern = fs->GetAbsolutePathName(PatternArgument(parsed, "prune"));
  if (!IsStampedPattern(*fs, pattern)) throw UsageError("prune needs \"%t\" in the name of PATTERN");
  const auto number = [&](const char* option) -> std::optional<int64_t> {
    const auto value = parsed.Value(option);
    if (!value) return std::nullopt;
    if (value->empty() || value->size() > 9 || value->find_first_not_of("0123456789") != std::string::npos) {
      throw UsageError(std::string(option) + " needs a number");
    }
    return std::stoll(*value);
  };
  const std::optional<int64_t> keep = number("--keep");
  if (!keep || *keep == 0) throw UsageError("prune needs --keep N, 1 or more");
  const PruneRules rules{static_cast<size_t>(*keep), number("--keep-days"), parsed.Has("--dry-run")};
  const std::vector<std::string> removed = PruneBackups(fs, pattern, rules, {}, LocalNow());
  if (parsed.Has("--json")) {
    JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("format", kJsonFormat);
    json.Field("dry_run", rules.dry_run);
    json.Key(rules.dry_run ? "to_remove" : "removed");
    json.BeginArray();
    for (const std::string& path : removed) json.String(path);
    json.EndArray();
    json.EndObject();
    return kExitSuccess;
  }
  for (const std::string& path : removed) {
    std::cout << (rules.dry_run ? "would remove: " : "removed: ") << text::OnOneLine(path) << '\n';
  }
  if (removed.empty()) std::cout << "Nothing to remove.\n";
  return kExitSuccess;
}

}  // namespace bk::cli
