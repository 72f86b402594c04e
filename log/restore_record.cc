#include "log/restore_record.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "component/text.h"

namespace bk {
namespace {

std::unique_ptr<PeriodRecordReader> OpenRecord(FileSystem& fs, const std::string& record,
                                               const DistrustCheck& distrust) {
  std::unique_ptr<PeriodRecordReader> reader = PeriodRecordReader::Open(fs, record, distrust);
  if (!reader) throw Error::Standard(errnum::kFileNotFound, record);
  return reader;
}

// Which trees of the record are complete, in order: a tree cut short was
// listed before any of its files was made safe.
std::vector<bool> CompleteTrees(FileSystem& fs, const std::string& record, const DistrustCheck& distrust) {
  std::unique_ptr<PeriodRecordReader> reader = OpenRecord(fs, record, distrust);
  std::vector<bool> complete;
  RecordItem item;
  while (reader->Next(item)) {
    if (item.kind == RecordItem::kTreeBegin) complete.push_back(false);
    if (item.kind == RecordItem::kTreeEnd && !complete.empty()) complete.back() = true;
  }
  return complete;
}

bool Exists(FileSystem& fs, const std::string& path) {
  try {
    fs.Stat(path);
    return true;
  } catch (const Error& e) {
    if (e.IsNotFound()) return false;
    throw;
  }
}

// Runs `each` on every complete tree, with the reader of its entries.
void ForEachTree(FileSystem& fs, const std::string& record, const DistrustCheck& distrust,
                 const std::function<void(const RecordItem&, const std::function<bool(TreeEntry&)>&)>& each,
                 const std::function<void(const RecordItem&)>& other) {
  const std::vector<bool> complete = CompleteTrees(fs, record, distrust);
  std::unique_ptr<PeriodRecordReader> reader = OpenRecord(fs, record, distrust);
  RecordItem item;
  size_t tree = 0;
  while (reader->Next(item)) {
    if (item.kind != RecordItem::kTreeBegin) {
      if (other) other(item);
      continue;
    }
    const bool whole = complete[tree++];
    RecordItem begin = item;
    bool ended = false;
    // The lines of the tree's files lie among its entries.
    const std::function<bool(TreeEntry&)> next = [&](TreeEntry& e) {
      while (!ended) {
        if (!reader->Next(item) || (item.kind != RecordItem::kFile && item.kind != RecordItem::kTreeEntry)) break;
        if (item.kind == RecordItem::kFile) continue;
        e = std::move(item.entry);
        return true;
      }
      ended = true;
      return false;
    };
    if (whole) each(begin, next);
    TreeEntry rest;
    while (next(rest)) {
    }
  }
}

}  // namespace

void PlanRecorded(FileSystem& fs, const std::string& record, const DistrustCheck& distrust, RecordPlan& out) {
  const std::unique_ptr<PeriodRecordReader> reader = PeriodRecordReader::Open(fs, record, distrust);
  if (!reader) return;
  out.record = record;
  out.namespaces = reader->namespaces();
  ForEachTree(
      fs, record, distrust,
      [&](const RecordItem& begin, const std::function<bool(TreeEntry&)>& next) {
        std::vector<TreeAction> steps = PlanTree(fs, begin.tree_root, begin.tree_device, next);
        out.steps.insert(out.steps.end(), std::make_move_iterator(steps.begin()), std::make_move_iterator(steps.end()));
      },
      [&](const RecordItem& item) {
        if (item.kind != RecordItem::kFolder || Exists(fs, item.folder.path)) return;
        TreeEntry made;
        made.type = TreeEntryType::kFolder;
        made.owner = item.folder.owner;
        made.group = item.folder.group;
        made.mode = item.folder.mode;
        out.steps.push_back(TreeAction{TreeAction::kMakeFolder, item.folder.path, "", made});
      });
}

void RestoreRecordedFolders(FileSystem& fs, const RecordPlan& plan, const DistrustCheck& distrust,
                            TreeReport& report) {
  if (plan.record.empty()) return;
  // Folders made again above files (their attributes are not recorded and
  // are left alone), innermost first: the record lists them outermost first.
  for (auto it = plan.steps.rbegin(); it != plan.steps.rend(); ++it) {
    if (it->kind == TreeAction::kMakeFolder && it->relative.empty()) RestoreFolder(fs, it->root, it->recorded, report);
  }
  ForEachTree(
      fs, plan.record, distrust,
      [&](const RecordItem& begin, const std::function<bool(TreeEntry&)>& next) {
        RestoreTreeFolders(fs, begin.tree_root, plan.namespaces, next, report);
      },
      {});
}

RecordedFiles::RecordedFiles(FileSystem& fs, const std::string& record, const DistrustCheck& distrust,
                             std::string drive)
    : reader_(OpenRecord(fs, record, distrust)), namespaces_(reader_->namespaces()) {
  const std::hash<std::string> hash;
  RecordItem item;
  try {
    while (reader_->Next(item)) {
      if (item.kind != RecordItem::kFile || !text::EqualsIgnoreCase(fs.GetDriveName(item.file.path), drive)) continue;
      index_.emplace_back(hash(item.file.path), reader_->LastOffset());
    }
  } catch (const Error&) {
    // A damaged line ends what the record says of files; their content
    // still comes back.
  }
  std::stable_sort(index_.begin(), index_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

std::optional<RestoreHint> RecordedFiles::For(const std::string& target) {
  const uint64_t key = std::hash<std::string>()(target);
  auto it = std::lower_bound(index_.begin(), index_.end(), key,
                             [](const auto& entry, uint64_t k) { return entry.first < k; });
  for (; it != index_.end() && it->first == key; ++it) {
    RecordItem item;
    reader_->Seek(it->second);
    try {
      if (!reader_->Next(item) || item.kind != RecordItem::kFile || item.file.path != target) continue;
    } catch (const Error&) {
      continue;
    }
    RestoreHint hint;
    hint.device = item.file.device;
    hint.file_id = item.file.file_id;
    hint.birth_ns = item.file.birth_ns;
    hint.modified_ns = item.file.modified_ns;
    hint.attributes = std::move(item.file.attributes);
    hint.namespaces = namespaces_;
    return hint;
  }
  return std::nullopt;
}

}  // namespace bk
