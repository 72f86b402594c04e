// brightkeep diff LOG|BACKUP [PATH...] [--stat] [--json]
#include <filesystem>
#include <iostream>

#include "cli/backup_archive.h"
#include "cli/cli.h"
#include "cli/folder_assessment.h"
#include "cli/json_writer.h"
#include "cli/options.h"
#include "cli/period_diff.h"
#include "cli/period_summary.h"
#include "component/text.h"
#include "log/period_files.h"

namespace bk::cli {

namespace {

constexpr const char* kHelp = R"(Usage: brightkeep diff LOG|BACKUP [PATH...] [--stat] [--json] [--config FILE]

Shows what changed since a period began: for an unfinished period (its log
LOG), what a rollback would undo; for a backup archive BACKUP, what has
changed since its period began. For each file the period made safe: its
content as a unified diff for text ("binary files differ" otherwise), a
change of mode or owner, or that it was deleted; for each tree it
protected: the entries created and deleted since, and the folders and links
whose mode, owner or target changed. Lines starting "-" are as the period
found them, "+" as they are now. With PATH..., only those files and what
lies below those folders. Nothing is changed.

Exit status: 0 when nothing changed, 1 when something did, 2 on trouble
(as diff(1)).

Options:
  --stat         one line per changed path with its counts of lines
  --json         write the changes as JSON (see the README,
                 )" BK_README_PLACE R"()
  --config FILE  accepted as by every command; diff takes nothing from it
  -h, --help     show this help
)";

constexpr int kExitTrouble = 2;

// Paths and values come from a backup that may be another user's: each is
// printed on one line (text::OnOneLine).
void PrintChange(const Change& c, bool stat) {
  const std::string path = text::OnOneLine(c.path);
  if (stat) {
    std::cout << ' ' << ChangeName(c.kind) << ": " << path;
    if (c.kind == ChangeKind::kModified) std::cout << " (+" << c.added << " -" << c.removed << ')';
    std::cout << '\n';
    return;
  }
  switch (c.kind) {
    case ChangeKind::kModified:
      std::cout << "--- " << path << "\t(when the period began)\n+++ " << path << "\t(now)\n" << c.hunks;
      break;
    case ChangeKind::kBinary:
      std::cout << "binary files differ: " << path << '\n';
      break;
    case ChangeKind::kCreated:
    case ChangeKind::kDeleted:
      std::cout << ChangeName(c.kind) << ": " << path << '\n';
      break;
    default:
      std::cout << ChangeName(c.kind) << ": " << path << ": " << text::OnOneLine(c.before) << " -> "
                << text::OnOneLine(c.after) << '\n';
  }
}

void WriteJson(const std::string& source, const PeriodSummary& summary, const PeriodDiff& diff) {
  JsonWriter json(std::cout);
  json.BeginObject();
  json.Field("format", kJsonFormat);
  json.Field("source", source);
  json.Field("label", summary.label);
  WriteSummaryFields(json, summary);
  json.Key("changes");
  json.BeginArray();
  for (const Change& c : diff.changes) {
    json.BeginObject();
    json.Field("path", c.path);
    json.Field("change", ChangeName(c.kind));
    if (c.kind == ChangeKind::kModified) {
      json.Field("added", static_cast<int64_t>(c.added));
      json.Field("removed", static_cast<int64_t>(c.removed));
      json.Field("diff", c.hunks);
    } else if (!c.before.empty() || !c.after.empty()) {
      json.Field("before", c.before);
      json.Field("after", c.after);
    }
    json.EndObject();
  }
  json.EndArray();
  json.Key("trouble");
  json.BeginArray();
  for (const Error& e : diff.trouble) WriteError(json, e);
  json.EndArray();
  json.EndObject();
}

int Diff(const ParsedArgs& parsed) {
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const std::string source = fs->GetAbsolutePathName(parsed.positionals[0]);
  std::vector<std::string> only;
  for (size_t i = 1; i < parsed.positionals.size(); ++i) only.push_back(fs->GetAbsolutePathName(parsed.positionals[i]));
  PeriodSummary summary;
  PeriodDiff diff;
  if (IsZipArchive(*fs, source)) {
    // The backup's period is read from a copy of its own in a private
    // folder, removed when done.
    const BackupArchive backup = ReadBackupArchive(fs, source);
    summary = SummarizeBackup(backup);
    const std::string scratch = std::filesystem::temp_directory_path().string();
    const UnpackedBackup unpacked(fs, backup, scratch);
    diff = DiffPeriod(*fs, *unpacked.log(), RecordOf(*fs, unpacked.log()->Names()), only);
  } else {
    std::shared_ptr<clsFileRollbackLog> log = clsFileRollbackLog::Create(fs);
    log->LoadFromFile(source);
    const std::string record = RecordOf(*fs, log->Names());
    summary = SummarizeRecordFile(*fs, record, {});
    diff = DiffPeriod(*fs, *log, record, only);
  }
  if (parsed.Has("--json")) {
    WriteJson(source, summary, diff);
  } else {
    if (!summary.label.empty()) std::cout << "label: " << text::OnOneLine(summary.label) << '\n';
    for (const Change& c : diff.changes) PrintChange(c, parsed.Has("--stat"));
    for (const Error& e : diff.trouble) ReportError(e);
  }
  if (!diff.trouble.empty()) return kExitTrouble;
  return diff.changes.empty() ? kExitSuccess : kExitFailure;
}

}  // namespace

int RunDiff(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"--stat", false}, {"--json", false}});
  if (parsed.help) {
    std::cout << kHelp;
    return kExitSuccess;
  }
  if (parsed.positionals.empty()) throw UsageError("diff needs a rollback log or a backup archive");
  try {
    return Diff(parsed);
  } catch (const Error& e) {
    ReportError(e);
    if (parsed.Has("--json")) WriteErrorDocument(e);
    return kExitTrouble;
  }
}

}  // namespace bk::cli
