// The parts of `brightkeep protect`: the options and the course of a run
// (protect.cc), the period's steps (protect_period.cc: making the files
// safe, running COMMAND, ending or undoing the period) and the dry run
// (protect_dry_run.cc). Every part fills the run's account, which the JSON
// document tells whole.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/backup_names.h"
#include "cli/interruption.h"
#include "cli/json_writer.h"
#include "cli/messages.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/restore_outcomes.h"
#include "component/error.h"
#include "component/fs/file_system.h"
#include "safemode/file_rollback_create.h"

namespace bk::cli {

struct ProtectRun {
  ProtectRun(const ParsedArgs& args, std::shared_ptr<FileSystem> file_system);

  const ParsedArgs& parsed;
  std::shared_ptr<FileSystem> fs;
  std::string temp;                 // absolute
  std::string backup_pattern;       // absolute, "%t" unexpanded
  LocalDateTime started;            // what "%t" stands for
  std::string backup;               // the backup this run writes
  HeldBackupName held;              // its name, held from before the period began
  std::vector<std::string> trees;   // as given
  std::vector<std::string> listed;  // FILEs and the lines of LIST, absolute
  bool quiet = false;
  bool json = false;
  bool every_file = false;  // --files
  ProgressDisplay progress;
  // Watched from the period's beginning: before, Ctrl+C ends protect as it
  // ends any program (nothing was made yet), also while a list is read.
  std::optional<Interruption> interruption;

  // What became of it.
  std::string period;              // the log's path, once the period began
  std::vector<std::string> files;  // made safe, those of the trees too (kept for --json only)
  std::vector<Error> refused;      // files that could not be made safe
  std::string outcome = "not_run";
  std::optional<int> command_status;
  RestoreOutcomes restore;
  bool restore_ran = false;
  std::optional<Error> error;  // what ended it, when not COMMAND

  // Reports the error (to standard error, and for the document) and returns
  // `status`.
  int Fail(const Error& e, int status, Situation situation = Situation::kAny);
};

// Makes the files safe, runs COMMAND and ends or undoes the period; returns
// the exit status.
int ProtectFiles(ProtectRun& run);
// Tells what protect would make safe and whether it would start, changing
// nothing; returns 0 when it would start, kExitNotRun when not.
int ProtectDryRun(ProtectRun& run);
// The JSON document of a run that was not a dry run, with its exit status.
void WriteProtectJson(const ProtectRun& run, int status);
// Opens the JSON document of a run with what every run has: "format",
// "dry_run", "temp", "backup" (null when none), "command" and "refused".
void BeginProtectJson(JsonWriter& json, const ProtectRun& run, bool dry_run, const std::string* backup);

}  // namespace bk::cli
