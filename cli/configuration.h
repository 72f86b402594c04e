// The command's configuration: what a command takes when its command line
// leaves out the temporary folder (--temp, and the DIR of assess and
// rollback), the backup (--backup) or --keep. The file is the one --config
// FILE names, else the one the environment variable BRIGHTKEEP_CONFIG names,
// else the system's (/etc/brightkeep.conf as Debian builds it); a missing
// system file leaves the built-in defaults. It is read only when a command
// needs one of its values, so that a command given everything never depends
// on it (the boot unit's rollback, for one).
//
// The file holds "key = value" lines; blank lines and comments ("#" at the
// start of a line or after a blank) are skipped. Keys: `temp` and `backup`
// (absolute paths; "%t" in the backup's name as for --backup) and `keep` (a
// number of 1 or more, for a backup name with "%t"). Anything else fails
// with error 5 naming the file and the line.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "cli/options.h"
#include "component/fs/file_system.h"

namespace bk::cli {

struct Settings {
  std::string temp;
  std::string backup;
  std::string keep;  // empty: keep every backup
};

// The defaults of this build: empty where the platform has none (Windows).
Settings BuiltInSettings();

// The settings of the configuration file `path` holding `text`, over
// `defaults`.
Settings ParseSettings(FileSystem& fs, std::string_view text, const std::string& path, Settings defaults);

// The settings of the configuration file the command line (--config), the
// environment or the build names. The file is opened without following a
// link and judged on the open file: a regular file owned by root or the
// caller and not writable by group or others; any other is refused (70,
// 75). A file named by --config or the environment must exist.
Settings LoadSettings(FileSystem& fs, const std::optional<std::string>& config_option);

// Gives each of `options` (--temp, --backup, --keep) that the command line
// left out the configured value; --keep only with a backup name that holds
// "%t".
void TakeDefaults(ParsedArgs& parsed, std::initializer_list<std::string_view> options);

// The folder assess and rollback work on: their one DIR, or the configured
// temporary folder. UsageError for more than one, or none and none
// configured.
std::string FolderOrConfigured(const ParsedArgs& parsed, std::string_view command);

}  // namespace bk::cli
