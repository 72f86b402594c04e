// Folder trees made safe whole: the walk that lists a tree for the period's
// record, inside folders opened one below the other from the tree's root,
// never through a link and never into another device, with a bounded number
// of them open at once (FolderCache), so that a tree of any depth is listed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "log/period_record.h"

namespace bk {

// The path of the entry `relative` (components joined with "/") of the tree
// at `root`, by the platform's rules.
std::string TreePath(const FileSystem& fs, const std::string& root, const std::string& relative);

// Walks the tree at `root` (absolute): the root first (relative path ""),
// each folder before what it holds, the entries of a folder by name (byte
// order), as the record lists them. Links are listed with their targets and
// never followed; a folder on another device is listed as a mount point and
// not entered. Extended attributes in `namespaces` are read with each entry.
// `visit` also receives the entry's metadata. A folder that cannot be opened
// or listed ends the walk with its error, and so does one that changed
// while it was walked (EntryChanged).
// `judge`, when given, sees each folder (the root too) before the walk goes
// into it, with its access ACL, and may end the walk by throwing.
using FolderJudge = std::function<void(const std::string& relative, const FileStat&, const std::vector<AclEntry>&)>;
void WalkTree(FileSystem& fs, const std::string& root, const std::vector<std::string>& namespaces,
              const std::function<void(const TreeEntry&, const FileStat&)>& visit, const FolderJudge& judge = {});

}  // namespace bk
