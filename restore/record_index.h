// What a rollback takes from the period's record, read in one pass that
// never stops at damage: the trees and where their listings begin, the
// folders above files, the archives' identities, where each file's line is,
// and the steps an earlier run of the rollback did. A line that cannot be
// read costs only what it said: a damaged tree is not put back, a damaged
// file line leaves that file without its recorded metadata, and each is
// reported; the files the log lists always come back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "log/period_record.h"

namespace bk::restore {

struct IndexedTree {
  std::string root;
  Identity identity;
  uint64_t offset = 0;  // of its T line
  uint64_t line = 0;
  bool complete = false;
  uint64_t damaged_line = 0;  // the first line of it that could not be read; 0: none
};

class RecordIndex {
 public:
  // Reads the record at `path`; an absent one gives an empty index. Never
  // throws for what the record holds: a record that cannot be used at all
  // (not trusted, of an unknown version, too large, unreadable) is
  // `unusable`, and damage is listed in `damage`.
  static RecordIndex Read(FileSystem& fs, const std::string& path, const DistrustCheck& distrust);

  bool present() const { return reader_ != nullptr; }
  const std::string& path() const { return path_; }
  bool same_boot() const { return reader_ ? reader_->same_boot() : true; }
  const std::vector<std::string>& namespaces() const;

  std::vector<IndexedTree> trees;
  std::vector<RecordedFolder> folders;
  std::unordered_map<std::string, Identity> archives;  // by file name
  std::vector<std::string> absent;  // files that were not there when made safe
  std::optional<Error> unusable;
  std::vector<Error> damage;  // lines outside trees that could not be read

  // The file's recorded line, read again, and where it is (for FileAt);
  // nullopt when the record has none for that path (or its line is
  // damaged). A file recorded twice is taken as it was first.
  std::optional<RecordedFile> File(const std::string& path, uint64_t* offset = nullptr, uint64_t* line = nullptr);
  std::optional<RecordedFile> FileAt(uint64_t offset, uint64_t line);
  // True when an earlier run of the rollback did this step.
  bool Done(DoneStep step, const std::string& path) const;
  // Reads a tree's entries in order: StartTree, then NextEntry until it
  // returns false (its files' lines are skipped).
  void StartTree(const IndexedTree& tree);
  bool NextEntry(TreeEntry& entry);

 private:
  void Index();
  std::string path_;
  std::unique_ptr<PeriodRecordReader> reader_;
  std::unordered_multimap<uint64_t, std::pair<uint64_t, uint64_t>> files_;  // hash of path -> offset, line
  std::unordered_set<std::string> done_;  // step code and path
};

// "The period's record is damaged at line N: …" (30200, corrupt).
Error RecordDamage(const std::string& record, uint64_t line, const std::string& what);

}  // namespace bk::restore
