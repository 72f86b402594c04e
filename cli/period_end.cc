#include "cli/period_end.h"

#include <iostream>

#include "cli/cli.h"
#include "cli/system_log.h"

namespace bk::cli {

EndedPeriod EndSucceededPeriod(clsFileRollbackCreate& safety, bool keep_log, const std::string& command,
                               const std::string& outcome) {
  const std::string log = safety.log()->LogFileName();
  const std::string asked = safety.BackupFile();
  std::optional<Error> why;
  EndedPeriod ended;
  try {
    ended.backup = safety.EndSafetyKeepingBackup(keep_log, &why);
  } catch (const Error& e) {
    LogPeriodEnd(command, log, outcome + ", the period could not be ended: " + e.description(), true);
    throw;
  }
  if (ended.backup.empty()) {
    ended.backup = asked;
    LogPeriodEnd(command, log, outcome + ", backup " + asked, false);
    return ended;
  }
  ended.kept_aside = true;
  ReportBackupKept(command, log, outcome, asked, ended.backup, *why);
  return ended;
}

void ReportBackupKept(const std::string& command, const std::string& log, const std::string& outcome,
                      const std::string& asked, const std::string& kept, const Error& why) {
  ReportError(Error(why.number(), why.source(), "The backup could not be written where asked: " + why.description(),
                    asked, why.native_code()));
  std::cerr << "brightkeep: the change stays and its period has ended; its backup is kept in " << kept
            << " (move it where it belongs)\n";
  LogPeriodEnd(command, log, outcome + ", backup kept in " + kept + ", not at " + asked, true);
}

HeldBackupName HoldBackupFor(clsFileRollbackCreate& safety, const ParsedArgs& parsed, const std::string& pattern) {
  FileSystem& fs = *DefaultFileSystem();
  HeldBackupName held = HoldBackupName(fs, pattern, LocalNow(), parsed.Has("--replace"));
  safety.BackupFile(held.path);
  return held;
}

void PruneAfterSuccess(const ParsedArgs& parsed, const std::string& pattern, const std::string& written, bool quiet) {
  const auto keep = parsed.Value("--keep");
  if (!keep) return;
  try {
    const PruneRules rules{std::stoul(*keep), std::nullopt, false};
    for (const std::string& path : PruneBackups(DefaultFileSystem(), pattern, rules, written, LocalNow())) {
      if (!quiet) std::cerr << "brightkeep: removed an older backup: " << path << '\n';
    }
  } catch (const Error& e) {
    ReportError(e);
  }
}

void CheckKeepOption(const ParsedArgs& parsed, FileSystem& fs, const std::string& pattern) {
  const auto keep = parsed.Value("--keep");
  if (!keep) return;
  if (keep->empty() || keep->size() > 9 || keep->find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(*keep) == 0) {
    throw UsageError("--keep needs a number of backups, 1 or more");
  }
  if (!IsStampedPattern(fs, pattern)) throw UsageError("--keep needs \"%t\" in the name of --backup");
}

}  // namespace bk::cli
