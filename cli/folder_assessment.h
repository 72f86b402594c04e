// The assessment of a folder as assess and rollback use it: the unfinished
// logs described and ordered newest first (those still in progress marked
// live), the candidates skipped, and the leftovers.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/json_writer.h"
#include "cli/log_report.h"
#include "component/fs/file_system.h"
#include "component/process.h"
#include "log/period_files.h"
#include "recovery/rollback_manager.h"

namespace bk::cli {

// Who keeps a period in progress live: whether its own program still runs,
// and the processes that hold its lock file open (component/process.h).
struct LiveHolders {
  bool owner_running = true;
  std::vector<ProcessInfo> processes;
};

struct FolderAssessment {
  std::string folder;  // absolute
  std::vector<DescribedLog> logs;
  std::vector<SkippedLog> skipped;
  bool trust_folder = false;
  // Files of periods that no unfinished log in the folder claims and that no
  // live period holds (log/period_files.h FindLeftovers), by period.
  std::vector<FolderLeftovers> leftovers;
  // For each log in progress (by its path), who holds it.
  std::map<std::string, LiveHolders> holders;
  // Entries named as a period's files that are no files (a pipe, socket or
  // device): never opened, never removed, only noted.
  std::vector<std::string> not_files;
  // Logs marked completed: their periods ended (kept with --keep-log, or
  // left by a program stopped after the mark); nothing to roll back.
  std::vector<std::string> completed;
  // The assessment's manager, which removes leftovers.
  std::shared_ptr<clsRollbackManager> manager;
  // True when the period is live only through what its program left running:
  // it is unfinished, and a rollback takes it once they have ended.
  bool OwnerGone(const DescribedLog& entry) const;
};

// With `trust_folder` the ownership and permission checks are left out
// (clsRollbackManager::TrustFolder). The logs, leftovers and non-files come
// from clsRollbackManager; the assessment describes the logs and finds who
// holds the live ones.
FolderAssessment AssessFolder(std::string_view folder, bool trust_folder,
                              std::shared_ptr<FileSystem> fs = DefaultFileSystem());

// "pid N (user): command".
std::string DescribeProcess(const ProcessInfo& process);
// The members "owner_running" and "held_by" ([{"pid", "user", "command"}])
// of a log in progress.
void WriteHolders(JsonWriter& json, const LiveHolders& holders);
// A JSON array of {"path", "error": {"number", "source", "description"}}.
// The text form of one skipped candidate: "PATH: DESCRIPTION (NUMBER)".
std::string DescribeSkipped(const SkippedLog& skipped);
void WriteSkipped(JsonWriter& json, const std::vector<SkippedLog>& skipped);
// The error object of a failure: {"number", "source", "description", "path",
// "system_error"}, the last the operating system's code or null.
void WriteError(JsonWriter& json, const Error& error);
// The member `key`: [{"path", "error"}], one per failure.
void WriteFailures(JsonWriter& json, std::string_view key, const std::vector<Error>& failures);
// The members of a restore's outcome: "restored" (paths), "not_restored"
// ([{"path", "error"}]), "removed" (paths of entries of protected trees that
// the period did not have), "not_removed" ([{"path", "error"}]) and "error"
// (what stopped it, or null).
void WriteRestoreOutcome(JsonWriter& json, const std::vector<std::string>& restored,
                         const std::vector<Error>& not_restored, const std::optional<Error>& error,
                         const std::vector<std::string>& removed = {}, const std::vector<Error>& not_removed = {});
}  // namespace bk::cli
