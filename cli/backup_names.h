// The names of backups: "%t" in a --backup name stamped with the time a
// period started, a taken name numbered, the name held from the start so
// that no other run takes it, and the caller's own backups of a name found,
// listed and pruned.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "component/fs/file_system.h"
#include "component/platform.h"

namespace bk::cli {

// "%t" in a --backup name stands for the time protect started, local, as
// YYYYMMDD-HHMMSS; "%%" for "%".
std::string StampBackupName(const std::string& pattern, const LocalDateTime& start);
// True when the pattern names a stamped backup: "%t" in its file name part.
bool IsStampedPattern(const FileSystem& fs, const std::string& pattern);

// The name a period's backup goes to, held from before the period begins by
// an empty file created exclusively (for its owner only), which the backup
// replaces when the period ends. A stamped name that is taken gets "-2",
// "-3", … (NumberedName). A name without "%t" that any entry holds is
// refused (58, saying to use "%t" or --replace) unless `replace`: the
// backup then replaces what is there, and nothing is held. The empty file
// of the caller's that a killed run left holding a name is no backup: it
// holds the name for this run.
struct HeldBackupName {
  std::string path;
  std::optional<FileStat> held;  // the empty file holding the name
};
HeldBackupName HoldBackupName(FileSystem& fs, const std::string& pattern, const LocalDateTime& start, bool replace);
// The refusal of a name without "%t" that an entry holds.
Error BackupNameTaken(const std::string& path);
// Lets the name go when no backup was written to it: the empty file goes,
// if it is still the one created. Never throws.
void ReleaseBackupName(FileSystem& fs, const HeldBackupName& name);

// The stamp ("YYYYMMDD-HHMMSS") and number (1 when none) of a file name
// that the file-name part of a stamped pattern names; nullopt otherwise.
struct StampedName {
  std::string stamp;
  int number = 1;
};
std::optional<StampedName> MatchStamped(const std::string& pattern_name, const std::string& name);

struct PruneRules {
  size_t keep = 0;                       // the newest this many stay
  std::optional<int64_t> keep_days;      // and so does every one younger than this
  bool dry_run = false;                  // nothing is removed: what would go is returned
};
// Removes the oldest backups of the pattern's folder beyond the rules (by
// the time and number in the name). Only what is proven to be the caller's
// backup of that name counts and goes: a regular file (never a link) owned
// by the caller, named by the pattern with a time no later than `now`, a ZIP
// archive whose central directory names a rollback log ("Safe *.xml") whose
// text begins as one and records that very file name as its backup
// destination. `written` (the backup just made) is never removed. Each goes
// through the folder opened once, by name, once its entry is found to be
// still the file judged. Returns the paths removed (or, dry, to remove).
std::vector<std::string> PruneBackups(const std::shared_ptr<FileSystem>& fs, const std::string& pattern,
                                      const PruneRules& rules, const std::string& written, const LocalDateTime& now);

}  // namespace bk::cli
