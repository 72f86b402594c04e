// How protect and revert end a period whose work succeeded, and what comes
// after: the backup placed where asked (or, when it cannot be, kept in the
// temporary folder so that the change is never undone later), the name
// held for it let go when no backup was written, and older backups pruned.
#pragma once

#include <optional>
#include <string>

#include "cli/backup_names.h"
#include "cli/options.h"
#include "safemode/file_rollback_create.h"

namespace bk::cli {

// Where the backup of a period that ended is.
struct EndedPeriod {
  std::string backup;
  bool kept_aside = false;  // in the temporary folder, not where it was asked
};

// Ends the period (EndSafetyKeepingBackup) and says on standard error where
// a backup kept aside is and why; `command` names the caller in the system
// log and `outcome` the end ("reverted"). Throws what EndSafety throws otherwise (the period then stays
// unfinished).
EndedPeriod EndSucceededPeriod(clsFileRollbackCreate& safety, bool keep_log, const std::string& command,
                               const std::string& outcome);

// Says on standard error and in the system log that the period of `log`
// ended with its backup kept at `kept`, since `why` kept it from `asked`.
void ReportBackupKept(const std::string& command, const std::string& log, const std::string& outcome,
                      const std::string& asked, const std::string& kept, const Error& why);

// The --backup name of a period about to begin, held (HoldBackupName) as
// the options ask ("--replace"); the safety object's BackupFile is set to it.
HeldBackupName HoldBackupFor(clsFileRollbackCreate& safety, const ParsedArgs& parsed, const std::string& pattern);

// With --keep: the oldest stamped backups beyond it go, never `written`;
// each removal is said unless `quiet`. A failure is reported, not thrown.
void PruneAfterSuccess(const ParsedArgs& parsed, const std::string& pattern, const std::string& written, bool quiet);

// "--keep" must be a number of 1 or more and the pattern stamped.
void CheckKeepOption(const ParsedArgs& parsed, FileSystem& fs, const std::string& pattern);

}  // namespace bk::cli
