#include "restore/record_index.h"

#include <functional>

namespace bk::restore {
namespace {

uint64_t Hash(std::string_view text) { return std::hash<std::string_view>()(text); }

std::string DoneKey(DoneStep step, std::string_view path) { return static_cast<char>(step) + std::string(path); }

}  // namespace

Error RecordDamage(const std::string& record, uint64_t line, const std::string& what) {
  return Error(errnum::kArchiveError, kLibrarySource,
               "The period's record is damaged at line " + std::to_string(line) + ": " + what, record)
      .Kind(ErrorKind::kCorrupt);
}

RecordIndex RecordIndex::Read(FileSystem& fs, const std::string& path, const DistrustCheck& distrust) {
  RecordIndex index;
  index.path_ = path;
  if (path.empty()) return index;
  try {
    index.reader_ = PeriodRecordReader::Open(fs, path, distrust);
  } catch (const Error& e) {
    index.unusable = e;
    return index;
  }
  if (!index.reader_) return index;
  try {
    index.Index();
  } catch (const Error& e) {
    // Reading the file itself failed part-way: what was read is used.
    index.damage.push_back(e);
  }
  return index;
}

const std::vector<std::string>& RecordIndex::namespaces() const {
  static const std::vector<std::string> none;
  return reader_ ? reader_->namespaces() : none;
}

void RecordIndex::Index() {
  PeriodRecordReader& r = *reader_;
  RecordItem item;
  IndexedTree* open = nullptr;  // the tree whose lines are being read
  // The last line outside trees that could not be read, while only a tree's
  // lines follow it: entries that follow say it began a tree.
  uint64_t damaged_outside = 0;
  bool headless = false;  // that tree's damage is said already
  for (;;) {
    bool more;
    try {
      more = r.Next(item);
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::kCorrupt) throw;
      if (open != nullptr) {
        if (open->damaged_line == 0) open->damaged_line = r.LastLine();
      } else {
        damage.push_back(RecordDamage(r.path(), r.LastLine(), "what the line said is not put back"));
        damaged_outside = r.LastLine();
        headless = false;
      }
      continue;
    }
    if (!more) break;
    if (item.kind != RecordItem::kTreeEntry && item.kind != RecordItem::kFile) {
      damaged_outside = 0;
      headless = false;
    }
    switch (item.kind) {
      case RecordItem::kFile:
        files_.emplace(Hash(item.file.path), std::make_pair(r.LastOffset(), r.LastLine()));
        break;
      case RecordItem::kFolder:
        if (open == nullptr) folders.push_back(std::move(item.folder));
        break;
      case RecordItem::kArchive:
        archives[item.name] = item.identity;
        break;
      case RecordItem::kTreeBegin:
        trees.push_back(IndexedTree{item.name, item.identity, r.LastOffset(), r.LastLine(), false, 0});
        open = &trees.back();
        break;
      case RecordItem::kTreeEntry:
        if (open != nullptr || headless) break;
        if (damaged_outside == 0) {
          damage.push_back(RecordDamage(r.path(), r.LastLine(), "an entry outside any tree"));
        } else {
          // The tree these entries belong to is said once, at its first line.
          damage.back() = RecordDamage(r.path(), damaged_outside, "the tree that begins there is not put back");
          headless = true;
        }
        break;
      case RecordItem::kTreeEnd:
        if (open != nullptr) open->complete = true;
        open = nullptr;
        break;
      case RecordItem::kDone:
        done_.insert(DoneKey(item.step, item.name));
        open = nullptr;
        break;
      case RecordItem::kWhole:
        done_.clear();
        open = nullptr;
        break;
      case RecordItem::kAbsent:
        absent.push_back(std::move(item.name));
        open = nullptr;
        break;
      case RecordItem::kLabel:
      case RecordItem::kCompleted:
        open = nullptr;
        break;
    }
  }
}

std::optional<RecordedFile> RecordIndex::FileAt(uint64_t offset, uint64_t line) {
  if (!reader_) return std::nullopt;
  RecordItem item;
  reader_->Seek(offset, line);
  try {
    if (!reader_->Next(item) || item.kind != RecordItem::kFile) return std::nullopt;
  } catch (const Error&) {
    return std::nullopt;
  }
  return std::move(item.file);
}

std::optional<RecordedFile> RecordIndex::File(const std::string& path, uint64_t* offset, uint64_t* line) {
  const auto range = files_.equal_range(Hash(path));
  std::optional<RecordedFile> found;
  uint64_t at = UINT64_MAX;
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.first >= at) continue;
    std::optional<RecordedFile> file = FileAt(it->second.first, it->second.second);
    if (!file || file->path != path) continue;
    found = std::move(file);
    at = it->second.first;
    if (offset) *offset = it->second.first;
    if (line) *line = it->second.second;
  }
  return found;
}

bool RecordIndex::Done(DoneStep step, const std::string& path) const { return done_.count(DoneKey(step, path)) != 0; }

void RecordIndex::StartTree(const IndexedTree& tree) {
  reader_->Seek(tree.offset, tree.line);
  RecordItem item;
  reader_->Next(item);  // the tree's own line
}

bool RecordIndex::NextEntry(TreeEntry& entry) {
  RecordItem item;
  while (reader_->Next(item)) {
    if (item.kind == RecordItem::kFile) continue;
    if (item.kind != RecordItem::kTreeEntry) return false;
    entry = std::move(item.entry);
    return true;
  }
  return false;
}

}  // namespace bk::restore
