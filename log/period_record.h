// A period's record: what the rollback log and the drive archives do not
// say, kept in a file of its own beside the log (PeriodNames::Record), so
// that readers of the log and archive formats see nothing new.
//
// It holds, for each file made safe, the file's identity and its extended
// attributes; for each folder above such a file, its owner, group and mode;
// and for each folder tree made safe, the listing of every entry under it.
// The record is text, one item per line, fields separated by tabs, every
// byte below 0x20, 0x7F and "%" written as "%XX"; it is appended to and
// read as a stream, so neither side holds it whole. A period written by an
// earlier version has no record and rolls back as it always did.
//
//   brightkeep-record <version> <namespace prefixes, comma-separated>
//   F <path> <device> <file id> <birth ns> <modified ns> <attributes>
//   P <folder path> <owner> <group> <mode>
//   T <root path> <device>                 a tree begins
//   E <type> <relative path> <owner> <group> <mode> <modified ns> <link target> <attributes>
//                                          an entry, a file's followed by its F line
//   t <entries>                            the tree is complete
// <attributes> is a count followed by that many name and value fields.
// Entries of a tree come in the order of TreeWalk: each folder before what it
// holds, the entries of a folder by name. A tree without its closing line was
// cut short before any of its files was made safe, and is ignored.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "component/fs/file_system.h"
#include "log/period_lock.h"

namespace bk {

// A file made safe, as it was.
struct RecordedFile {
  std::string path;  // absolute, as the log lists it
  uint64_t device = 0;
  uint64_t file_id = 0;
  int64_t birth_ns = 0;
  int64_t modified_ns = 0;
  std::vector<ExtendedAttribute> attributes;
};

// A folder above a file made safe.
struct RecordedFolder {
  std::string path;
  uint32_t owner = 0;
  uint32_t group = 0;
  uint32_t mode = 0;
};

enum class TreeEntryType : char { kFile = 'f', kFolder = 'd', kLink = 'l', kMount = 'm', kOther = 'o' };

// One entry of a tree: the root itself has the relative path "".
struct TreeEntry {
  TreeEntryType type = TreeEntryType::kFile;
  std::string relative;  // components joined with "/"
  uint32_t owner = 0;
  uint32_t group = 0;
  uint32_t mode = 0;  // permission bits
  int64_t modified_ns = 0;
  std::string link_target;
  std::vector<ExtendedAttribute> attributes;
};

// One line of a record, read back.
struct RecordItem {
  enum Kind { kFile, kFolder, kTreeBegin, kTreeEntry, kTreeEnd } kind = kFile;
  RecordedFile file;      // kFile
  RecordedFolder folder;  // kFolder
  std::string tree_root;  // kTreeBegin
  uint64_t tree_device = 0;
  TreeEntry entry;        // kTreeEntry
};

// The namespaces of extended attributes this process records: "user." and,
// for root, "trusted.", "security." and the POSIX ACLs.
std::vector<std::string> RecordedNamespaces();
// Those of the attributes that lie in the namespaces, in the order they are
// put back: ACLs first, "security.capability" last.
std::vector<ExtendedAttribute> AttributesToRecord(std::vector<ExtendedAttribute> all,
                                                  const std::vector<std::string>& namespaces);

class PeriodRecordWriter {
 public:
  // Creates the record at `path` exclusively, for its owner only, and
  // writes its first line durably. 58 when any entry holds the name.
  PeriodRecordWriter(std::shared_ptr<FileSystem> fs, std::string path);
  const std::string& path() const { return path_; }
  const std::vector<std::string>& namespaces() const { return namespaces_; }
  void AddFile(const RecordedFile& file);
  // Records the folder once per period; later calls for it do nothing.
  void AddFolder(const RecordedFolder& folder);
  void BeginTree(std::string_view root, uint64_t device);
  void AddTreeEntry(const TreeEntry& entry);
  void EndTree();
  // True when the folder is recorded already.
  bool Knows(const std::string& folder) const { return folders_.count(folder) != 0; }
  // Writes what is buffered and flushes the record to stable storage.
  void Sync();
  // Writes what is buffered without flushing it; returns the open record,
  // for flushing together with another file.
  File* WritePending();
  void Close();

 private:
  void Line(std::string line);
  std::shared_ptr<FileSystem> fs_;
  std::string path_;
  std::unique_ptr<File> file_;
  std::vector<std::string> namespaces_;
  std::set<std::string> folders_;
  std::string pending_;
  uint64_t offset_ = 0;
  uint64_t tree_entries_ = 0;
};

class PeriodRecordReader {
 public:
  // Opens the record without following a link, judged by `distrust` as a
  // period's archives are; nullptr when there is none, or when it was cut
  // short before its first line was whole.
  static std::unique_ptr<PeriodRecordReader> Open(FileSystem& fs, const std::string& path,
                                                  const DistrustCheck& distrust);
  const std::vector<std::string>& namespaces() const { return namespaces_; }
  // The next item; false at the end. A damaged line fails with 30200.
  bool Next(RecordItem& item);
  // Where the line of the item Next returned last begins, and reading on
  // from such a place.
  uint64_t LastOffset() const { return last_; }
  void Seek(uint64_t offset);

 private:
  explicit PeriodRecordReader(std::unique_ptr<File> file) : file_(std::move(file)) {}
  bool ReadLine(std::string& line);
  std::unique_ptr<File> file_;
  std::vector<std::string> namespaces_;
  std::string buffer_;
  size_t pos_ = 0;
  uint64_t offset_ = 0;  // of the end of buffer_
  uint64_t last_ = 0;
  bool end_ = false;
};

}  // namespace bk
