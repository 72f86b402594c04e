// The assessment of a folder as assess and rollback use it: the unfinished
// logs described and ordered newest first (those still in progress marked
// live), the candidates skipped, and the leftovers.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <ostream>
#include <vector>

#include "cli/json_writer.h"
#include "cli/log_report.h"
#include "component/fs/file_system.h"
#include "log/period_files.h"
#include "recovery/rollback_manager.h"

namespace bk::cli {

struct FolderAssessment {
  std::string folder;  // absolute
  std::vector<DescribedLog> logs;
  std::vector<SkippedLog> skipped;
  bool trust_folder = false;
  // Files of periods that no unfinished log in the folder claims and that no
  // live period holds (log/period_files.h FindLeftovers), by period.
  std::vector<FolderLeftovers> leftovers;
};

// With `trust_folder` the ownership and permission checks are left out
// (clsRollbackManager::TrustFolder).
// Removes the leftovers of one period under its lock; a period that became
// live since is left alone. Returns the paths removed.
std::vector<std::string> RemoveLeftovers(const FolderAssessment& assessment, const FolderLeftovers& leftovers,
                                         const std::shared_ptr<FileSystem>& fs);
FolderAssessment AssessFolder(std::string_view folder, bool trust_folder,
                              std::shared_ptr<FileSystem> fs = DefaultFileSystem());

// A JSON array of {"path", "error": {"number", "source", "description"}}.
// The text form of one skipped candidate: "PATH: DESCRIPTION (NUMBER)".
std::string DescribeSkipped(const SkippedLog& skipped);
void WriteSkipped(JsonWriter& json, const std::vector<SkippedLog>& skipped);
// The error object of a failure: {"number", "source", "description", "path",
// "system_error"}, the last the operating system's code or null.
void WriteError(JsonWriter& json, const Error& error);
// The members of a restore's outcome: "restored" (paths), "not_restored"
// ([{"path", "error"}]), "removed" (paths of entries of protected trees that
// the period did not have), "not_removed" ([{"path", "error"}]) and "error"
// (what stopped it, or null).
void WriteRestoreOutcome(JsonWriter& json, const std::vector<std::string>& restored,
                         const std::vector<Error>& not_restored, const std::optional<Error>& error,
                         const std::vector<std::string>& removed = {}, const std::vector<Error>& not_removed = {});
// A line per entry of a rollback: "restored: PATH" (with what of it did not
// come back), "not restored: PATH: WHY", "removed: PATH", "not removed:
// PATH: WHY", each after `indent`.
void PrintRestoreReport(std::ostream& out, const RestoreReport& report, std::string_view indent);

}  // namespace bk::cli
