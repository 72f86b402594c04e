// Names of the temporary files of one period besides its log and drive
// archives, all derived from the log's name so that a file left behind by a
// crash says which period it belongs to:
//   "<log name>.<random>.tmp"    a save of the log in progress
//   "<stem>-backup.tmp"          the backup archive being built
//   "<backup>.<stem name>.tmp"   the copy beside BackupFile before its rename
// (the stem is the log's path without ".xml").
#pragma once

#include <string>
#include <string_view>

#include "component/fs/file_system.h"

namespace bk {

// The period's stem: the log's path without its ".xml".
std::string PeriodStem(std::string_view log_path);
// Where EndSafety builds the backup archive.
std::string BackupBuildPath(std::string_view log_path);
// Where EndSafety copies the backup archive before renaming it onto BackupFile.
std::string BackupCopyPath(std::string_view backup_file, std::string_view log_path);
// True when `file_name` (without folder) is a temporary file of the period
// whose log is `log_name` (without folder), found in the log's folder.
bool IsPeriodLeftover(std::string_view log_name, std::string_view file_name);
// Removes whatever of those files exists, in the log's folder and beside the
// backup file (empty: none), and flushes the folders it changed.
void RemovePeriodLeftovers(FileSystem& fs, std::string_view log_path, std::string_view backup_file);

}  // namespace bk
