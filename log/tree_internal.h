// Pieces shared by a tree's walk and plan (tree.cc) and its carrying out
// (tree_restore.cc); not part of the log's interface.
#pragma once

#include <string>

#include "component/fs/file_system.h"

namespace bk::tree_internal {

inline bool Posix(const FileSystem& fs) { return fs.paths().Separator() == '/'; }

// True when the relative path `rel` lies below `folder` (the root, "",
// holds every other entry).
inline bool Under(const std::string& rel, const std::string& folder) {
  if (folder.empty()) return !rel.empty();
  return rel.size() > folder.size() && rel.starts_with(folder) && rel[folder.size()] == '/';
}

}  // namespace bk::tree_internal
