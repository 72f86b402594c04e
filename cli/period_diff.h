// What changed since a period began: each file it made safe against what is
// at its name now (content, mode, owner), and each tree it protected
// against the tree now (entries created and deleted, folders' and links'
// metadata). For an unfinished period that is what a rollback would undo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "log/rollback_log.h"

namespace bk::cli {

enum class ChangeKind { kModified, kBinary, kCreated, kDeleted, kMode, kOwner, kLink, kType };

struct Change {
  ChangeKind kind = ChangeKind::kModified;
  std::string path;
  std::string before, after;  // kMode, kOwner, kLink, kType: the old and new values
  std::string hunks;          // kModified: the unified diff's hunks
  size_t added = 0, removed = 0;
};

struct PeriodDiff {
  std::vector<Change> changes;  // files in the log's order, then each tree's entries
  std::vector<Error> trouble;   // what could not be compared
};

// Compares the period of `log` (its archives beside it) and its record at
// `record` (empty: none) with the file system now. Only paths equal to or
// below one of `only` count (all when empty).
PeriodDiff DiffPeriod(FileSystem& fs, clsFileRollbackLog& log, const std::string& record,
                      const std::vector<std::string>& only);

// "modified", "binary", "created", "deleted", "mode", "owner", "link", "type".
const char* ChangeName(ChangeKind kind);

}  // namespace bk::cli
