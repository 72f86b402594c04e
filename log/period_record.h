// A period's record: what the rollback log and the drive archives do not
// say, kept in a file of its own beside the log (PeriodNames::Record), so
// that readers of the log and archive formats see nothing new.
//
// It holds, for each file made safe, the file's identity, size, change time
// and extended attributes; for each folder above such a file, its owner,
// group and mode; the identity of each drive archive the period made; for
// each folder tree made safe, the listing of every entry under it; and, once
// a rollback has begun, what it has done, so that a rollback run again after
// it stopped part-way goes on where it stopped and never does a step twice.
// The record is text, one item per line, fields separated by tabs, every
// byte below 0x20, 0x7F and "%" written as "%XX"; it is appended to and read
// as a stream, so neither side holds it whole. A period written by an
// earlier version has no record and rolls back as it always did.
//
//   brightkeep-record <version> <namespaces, comma-separated> <boot id> <UTC offset, seconds>
//   F <path> <identity> <modified ns> <changed ns> <size> <attributes>
//   P <folder path> <owner> <group> <mode>
//   A <archive file name> <identity>         a drive archive the period made
//   T <root path> <identity>                 a tree begins
//   E <type> <relative path> <owner> <group> <mode> <modified ns> <link target> <attributes>
//                                            an entry, a file's followed by its F line
//   t <entries>                              the tree is complete
//   D <step> <path>                          a rollback did this step (r restored, x removed, m made)
//   W                                        a rollback ended with every entry back: the steps
//                                            before it are of a finished run
//   L <label>                                the label the period was given
//   N <path>                                 a file that did not exist when the period made its
//                                            name safe: a rollback removes what holds it then
//   C <UTC seconds>                          the period ended successfully then (written just
//                                            before its backup is packed)
// <identity> is four fields: device, file id, upper file id, birth ns;
// <attributes> a count followed by that many name and value fields. Version
// 1 (4.0.0) wrote F as <path> <device> <file id> <birth ns> <modified ns>
// <attributes>, T as <root path> <device>, no boot id, A or D; it is read
// still. Entries of a tree come in the order of WalkTree: each folder before
// what it holds, the entries of a folder by name. A tree without its closing
// line was cut short before any of its files was made safe, and is ignored.
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

// Which file an entry is: its device and file number, and when it was born.
// Device numbers hold within one boot only (BootId).
struct Identity {
  uint64_t device = 0;
  uint64_t file_id = 0;
  uint64_t file_id_high = 0;
  int64_t birth_ns = 0;
  static Identity Of(const FileStat& st) { return {st.device, st.file_id, st.file_id_high, st.birth_ns}; }
  bool Known() const { return device != 0 || file_id != 0 || file_id_high != 0; }
};

// True when `now` is the file `recorded` describes. Within the boot that
// recorded it: by device, file number and birth time where both have one.
// Across boots device numbers change: by file number and birth time, or by
// file number alone where either lacks a birth time.
bool SameFile(const Identity& recorded, const FileStat& now, bool same_boot);

// A file made safe, as it was just before its copy was read.
struct RecordedFile {
  std::string path;  // absolute, as the log lists it
  Identity identity;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;  // 0: not recorded (version 1)
  uint64_t size = 0;
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

// A step of a rollback, as the record keeps it once done.
enum class DoneStep : char { kRestored = 'r', kRemoved = 'x', kMade = 'm' };

// One line of a record, read back.
struct RecordItem {
  enum Kind { kFile, kFolder, kArchive, kTreeBegin, kTreeEntry, kTreeEnd, kDone, kWhole, kLabel, kAbsent, kCompleted }
      kind = kFile;
  RecordedFile file;      // kFile
  RecordedFolder folder;  // kFolder
  std::string name;       // kArchive: the archive's file name; kTreeBegin: the root; kDone, kAbsent: the
                          // path; kLabel: the label
  int64_t seconds = 0;    // kCompleted: when, in seconds since 1970 (UTC)
  Identity identity;      // kArchive, kTreeBegin
  TreeEntry entry;        // kTreeEntry
  DoneStep step = DoneStep::kRestored;  // kDone
};

// The namespaces of extended attributes this process records: "user." and,
// for root, "trusted.", "security." and the POSIX ACLs.
std::vector<std::string> RecordedNamespaces();
// Those of the attributes that lie in the namespaces, in the order they are
// put back: ACLs first, "security.capability" last.
std::vector<ExtendedAttribute> AttributesToRecord(std::vector<ExtendedAttribute> all,
                                                  const std::vector<std::string>& namespaces);

// The largest record a rollback reads: larger ones are refused whole (the
// files the log lists still come back).
inline constexpr uint64_t kMaxRecordSize = 8ull << 30;

class PeriodRecordWriter {
 public:
  // Creates the record at `path` exclusively, for its owner only, and
  // writes its first line durably. 58 when any entry holds the name.
  PeriodRecordWriter(std::shared_ptr<FileSystem> fs, std::string path);
  // Opens an existing record to append what a rollback does (AddDone); the
  // caller judged it trusted. Its header is not written again.
  static std::unique_ptr<PeriodRecordWriter> Append(std::shared_ptr<FileSystem> fs, std::string path);
  const std::string& path() const { return path_; }
  const std::vector<std::string>& namespaces() const { return namespaces_; }
  void AddFile(const RecordedFile& file);
  // Records the folder once per period; later calls for it do nothing.
  void AddFolder(const RecordedFolder& folder);
  void AddArchive(std::string_view file_name, const Identity& identity);
  void BeginTree(std::string_view root, const Identity& identity);
  void AddTreeEntry(const TreeEntry& entry);
  void EndTree();
  void AddDone(DoneStep step, std::string_view path);
  // A rollback ended with every entry back: a later one starts afresh.
  void AddWhole();
  void AddLabel(std::string_view label);
  // A file that is not there: a rollback removes what is made at its name.
  void AddAbsent(std::string_view path);
  void AddCompleted(int64_t utc_seconds);
  // True when the folder is recorded already.
  bool Knows(const std::string& folder) const { return folders_.count(folder) != 0; }
  // Writes what is buffered and flushes the record to stable storage.
  void Sync();
  // Writes what is buffered without flushing it; returns the open record,
  // for flushing together with another file.
  File* WritePending();
  void Close();

 private:
  PeriodRecordWriter(std::shared_ptr<FileSystem> fs, std::string path, std::unique_ptr<File> file, uint64_t end);
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
  // short before its first line was whole. A record whose first line cannot
  // be read, of a version this one does not know, or larger than
  // kMaxRecordSize fails with 30200 saying which.
  static std::unique_ptr<PeriodRecordReader> Open(FileSystem& fs, const std::string& path,
                                                  const DistrustCheck& distrust);
  // As Open, for a record already open (a copy read into memory); `path`
  // names it in errors.
  static std::unique_ptr<PeriodRecordReader> FromFile(std::unique_ptr<File> file, const std::string& path);
  const std::vector<std::string>& namespaces() const { return namespaces_; }
  int version() const { return version_; }
  // True when the record was written during this boot of the machine, so
  // that its device numbers still hold.
  bool same_boot() const { return same_boot_; }
  // The UTC offset, in seconds, of the zone the period started in; nullopt
  // for records of version 1.
  std::optional<int64_t> utc_offset() const { return utc_offset_; }
  // The next item; false at the end. A damaged line fails with 30200 (its
  // number is LastLine()); reading then goes on with the next line.
  bool Next(RecordItem& item);
  // Where the line of the item Next returned last begins, its number (the
  // header is line 1), and reading on from such a place.
  uint64_t LastOffset() const { return last_; }
  uint64_t LastLine() const { return line_; }
  void Seek(uint64_t offset, uint64_t line);
  const std::string& path() const { return path_; }

 private:
  PeriodRecordReader(std::unique_ptr<File> file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  bool ReadLine(std::string& line);
  void ParseFile(const std::vector<std::string_view>& f, RecordItem& item) const;
  std::unique_ptr<File> file_;
  std::string path_;
  std::vector<std::string> namespaces_;
  int version_ = 0;
  bool same_boot_ = false;
  std::optional<int64_t> utc_offset_;
  std::string buffer_;
  size_t pos_ = 0;
  uint64_t offset_ = 0;  // of the end of buffer_
  uint64_t last_ = 0;
  uint64_t line_ = 0;
  bool end_ = false;
};

}  // namespace bk
