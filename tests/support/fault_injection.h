// A file system for tests that fails chosen operations and simulates power
// cuts, wrapped around a real one.
//
// Counting and failing. Every operation that can fail on a real disk is
// counted, in the order the wrapper sees it: opening, reading, writing (and
// cloning a range into a file),
// truncating, syncing and closing files (on files opened through the
// wrapper), size and stat queries, listing, creating, opening and removing
// folders, removing, copying and renaming files, syncing folders, setting
// times, attributes and owners (by path or on an open file). The entries of
// a folder opened through the wrapper (OpenFolder, OpenSubfolder) are
// counted and modelled as the same operations by path, the folder's path
// joined with the name: ListEntries as listing, OpenSubfolder as opening,
// MakeFolder and RemoveSubfolder as creating and removing a folder, MakeLink
// as opening (creating) a file, ReadLink and reading extended attributes as
// stat queries, setting owners, modes and extended attributes as setting
// attributes, SetEntryModifiedTime as setting times. FileExists, FolderExists, GetAbsolutePathName and GetTempName
// never fail and are not counted. FailAt(n) makes the n-th counted operation
// of the chosen kinds throw instead of running; a test loops n = 1, 2, ...
// until a run ends with fault_fired() false, having failed every step once.
//
// Power cut. PowerCut() turns the disk below into what it would hold after
// the machine lost power at that moment, under this model:
//   - a file's content is durable up to its last sync (File::Sync, SyncFiles, or the
//     creation of the file: a file created and never synced is empty);
//   - an entry of a folder (a file or folder created, renamed into or out of
//     it, or removed) is durable up to the folder's last SyncFolder;
//   - times, attributes, extended attributes and the links MakeLink makes
//     are not modelled: they stay as they are.
// Every content and entry change since those points is undone, exactly, from
// snapshots the wrapper keeps in memory (so meant for test-sized files).
// Everything that exists when the wrapper is created counts as durable. Close
// the files opened through the wrapper before a power cut; operations on
// files still open afterwards fail with 75.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "component/error.h"
#include "component/fs/file_system.h"

namespace bk {

// Kinds of counted operations, combined as bit flags.
enum FaultKind : uint32_t {
  kFaultOpen = 1u << 0,  // files and folders
  kFaultRead = 1u << 1,
  kFaultWrite = 1u << 2,
  kFaultTruncate = 1u << 3,
  kFaultSync = 1u << 4,
  kFaultClose = 1u << 5,
  kFaultStat = 1u << 6,  // Stat, File::Stat, File::Size, Folder::StatEntry, AccessAcl, reading links and
                         // extended attributes
  kFaultList = 1u << 7,
  kFaultCreateFolder = 1u << 8,
  kFaultRemoveFolder = 1u << 9,
  kFaultRemove = 1u << 10,
  kFaultCopy = 1u << 11,
  kFaultRename = 1u << 12,
  kFaultSyncFolder = 1u << 13,
  kFaultSetTimes = 1u << 14,
  kFaultSetAttributes = 1u << 15,
  kFaultAny = 0xFFFFFFFFu,
};

class FaultInjectingFileSystem : public ForwardingFileSystem {
 public:
  explicit FaultInjectingFileSystem(std::shared_ptr<FileSystem> target);
  ~FaultInjectingFileSystem() override;

  // From now on, counts the operations of `kinds` from 1 and makes the n-th
  // throw bk::Error::Standard(number, path) without running it. With
  // `persistent` every later operation of those kinds fails as well.
  void FailAt(uint64_t n, uint32_t kinds = kFaultAny, bool persistent = false,
              int32_t number = errnum::kPathFileAccessError);
  // Stops failing; the count goes on.
  void ClearFault();
  // True once an operation failed because of FailAt since it was last called.
  bool fault_fired() const;
  // Operations of the chosen kinds counted since the last FailAt (all kinds
  // before the first).
  uint64_t operation_count() const;

  // Runs `action` once, right before the n-th operation of `kinds` (counted
  // from this call) on `path`, before FailAt counts it: a test changes the
  // disk at the exact moment the code under test acts on that entry. An
  // Error the action throws fails the operation. One such hook at a time.
  void BeforeOperation(std::string_view path, uint32_t kinds, uint64_t n, std::function<void()> action);
  // The same for the n-th operation on any entry directly in `folder`, for
  // names the code under test makes itself.
  void BeforeOperationIn(std::string_view folder, uint32_t kinds, uint64_t n, std::function<void()> action);

  // Undoes everything not durable under the model above, then counts the
  // result as durable.
  void PowerCut();
  // With false, flushes update the model only and never reach the disk
  // below: for sweeps that judge durability by the model alone.
  void SetRealFlushes(bool on);

  FileStat Stat(std::string_view path) override;
  std::vector<FolderEntry> ListFiles(std::string_view folder) override;
  void CreateFolder(std::string_view path) override;
  void RemoveFile(std::string_view path, bool force) override;
  void RemoveFolder(std::string_view path) override;
  void CopyFileTo(std::string_view from, std::string_view to, bool overwrite) override;
  void RenameFile(std::string_view from, std::string_view to) override;
  void RenameNoReplace(std::string_view from, std::string_view to) override;
  void SyncFolder(std::string_view folder) override;
  // One counted sync for the whole set; each file's content becomes durable.
  void SyncFiles(const std::vector<File*>& files) override;
  std::unique_ptr<File> Open(std::string_view path, OpenMode mode) override;
  void SetModifiedTime(std::string_view path, int64_t modified_ns) override;
  void SetAttributes(std::string_view path, uint32_t attributes) override;
  std::unique_ptr<Folder> OpenFolder(std::string_view path, std::vector<std::string>* created) override;
  void SetOwner(std::string_view path, uint32_t owner, uint32_t group) override;
  std::vector<AclEntry> AccessAcl(std::string_view path) override;

  class State;

 private:
  void Rename(std::string_view from, std::string_view to, bool replace);

  std::shared_ptr<State> state_;
};

}  // namespace bk
