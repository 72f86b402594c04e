// Folder trees made safe whole: the walk that lists a tree, and the putting
// back of a tree's entries by name and type from its listing in the period's
// record. Every step works inside folders opened one below the other from
// the tree's root, never through a link and never into another device.
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
// or listed ends the walk with its error.
void WalkTree(FileSystem& fs, const std::string& root, const std::vector<std::string>& namespaces,
              const std::function<void(const TreeEntry&, const FileStat&)>& visit);

// One step of putting a tree back, by the entry's path relative to the root.
struct TreeAction {
  enum Kind {
    kRemove,        // a file, link or other entry the listing does not have
    kRemoveFolder,  // an empty folder (what it held comes before it)
    kMakeFolder,
    kMakeLink,
    kLeaveMount,    // a mount point made since: reported, left, not a failure;
                    // no file is restored through it
    kCannotMake,    // a recorded entry of a kind that is not recreated
  } kind;
  std::string root;
  std::string relative;
  TreeEntry recorded;  // kMakeFolder, kMakeLink, kCannotMake
};

// Plans a tree against what is there now: `next` yields the tree's entries
// from the record in order (false after the last). Entries under the root
// that have no recorded entry of the same name and type are removed, deepest
// first, before the recorded ones are made; a link whose target changed is
// made again. Files are left to the archives.
std::vector<TreeAction> PlanTree(FileSystem& fs, const std::string& root, uint64_t device,
                                 const std::function<bool(TreeEntry&)>& next);

// What becomes of a tree's entries.
struct TreeReport {
  std::vector<std::string> made;      // folders and links made again
  std::vector<std::string> removed;
  std::vector<Error> not_made;        // path: the entry
  std::vector<Error> not_removed;
  std::vector<Error> left;            // mount points left where they are
};

// Carries out the planned steps in order, going on past one that fails.
void CarryOutTree(FileSystem& fs, const std::vector<TreeAction>& actions, TreeReport& report);

// Gives the folder at `path` the owner, group, mode and (unless 0) time of
// `recorded`, setting only what differs. A failure goes into
// report.not_made.
void RestoreFolder(FileSystem& fs, const std::string& path, const TreeEntry& recorded, TreeReport& report);

// Gives every recorded folder of the tree (and the links) its owner, group,
// mode, time (unless 0) and extended attributes in `namespaces`, deepest
// first, setting only what differs. Failures go into report.not_made.
void RestoreTreeFolders(FileSystem& fs, const std::string& root, const std::vector<std::string>& namespaces,
                        const std::function<bool(TreeEntry&)>& next, TreeReport& report);

}  // namespace bk
