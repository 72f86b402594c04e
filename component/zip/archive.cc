#include "component/zip/archive.h"

#include <algorithm>
#include <climits>
#include <deque>
#include <map>
#include <optional>
#include <set>

#include "component/error.h"
#include "component/text.h"
#include "component/zip/archive_state.h"
#include "component/zip/zip_extract.h"

namespace bk {
namespace {

using archive_detail::Saturate;

SkippingFileArgs EntryArgs(const zip::Entry& e, const std::string& target) {
  SkippingFileArgs a;
  a.sFilename = e.name;
  a.sFilenameOnDisk = target;
  a.lSize = Saturate(e.size);
  a.lCompressedSize = Saturate(e.compressed_size);
  a.xAttributes = static_cast<int32_t>(e.external_attributes);
  a.lCRC = static_cast<int32_t>(e.crc);
  a.dtLastModified = zip::OleDateFromSeconds(e.ModifiedSeconds());
  a.xMethod = e.method;
  a.bEncrypted = (e.flags & zip::kFlagEncrypted) != 0;
  return a;
}

bool Matches(std::string_view name, std::string pattern) {
  std::replace(pattern.begin(), pattern.end(), '\\', '/');
  return text::EqualsIgnoreCase(name, pattern);
}

// The entries Unzip considers, in archive order.
std::vector<const zip::Entry*> Select(const std::vector<zip::Entry>& entries, const std::string& include,
                                      const std::string& exclude) {
  std::vector<const zip::Entry*> out;
  for (const zip::Entry& e : entries) {
    if (!include.empty() && !Matches(e.name, include)) continue;
    if (!exclude.empty() && Matches(e.name, exclude)) continue;
    out.push_back(&e);
  }
  return out;
}

// Identifies the file a target path names: where names fold case, letter
// case does not tell files apart.
std::string TargetKey(const std::string& target, bool fold_case) { return fold_case ? text::FoldCase(target) : target; }

bool IsBelow(const PathRules& rules, const std::string& folder, const std::string& path) {
  return rules.IsBelow(folder, rules.Absolute(path, folder));
}

std::string Slashed(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

Error UnsafeName(const std::string& name) {
  return Error(errnum::kArchiveError, kLibrarySource,
               "The archive holds an entry that would be written outside the destination folder", name);
}

}  // namespace

ArchiveComponent::ArchiveComponent(std::shared_ptr<FileSystem> fs) : fs_(std::move(fs)), state_(new State) {}
ArchiveComponent::~ArchiveComponent() = default;

std::string ArchiveComponent::ArchivePath() {
  if (ArchiveFileName.empty()) throw Error::Standard(errnum::kBadFileNameOrNumber);
  return fs_->GetAbsolutePathName(ArchiveFileName);
}

std::string ArchiveComponent::Destination() {
  std::string folder = DestinationFolder.empty() ? std::string(".") : DestinationFolder;
  if (fs_->GetDriveName(folder) == folder) folder = fs_->paths().DriveRoot(folder);
  return fs_->GetAbsolutePathName(folder);
}

int32_t ArchiveComponent::Skip(SkippingFileArgs args, SkipReason reason) {
  args.xReason = static_cast<int32_t>(reason);
  if (SkippingFile) SkippingFile(args);
  return args.xReason;
}

int32_t ArchiveComponent::Unzip() {
  const std::string archive_path = ArchivePath();
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kReadRegular);
  const zip::Directory& dir = state_->Load(*archive, archive_path);
  const std::string destination = Destination();
  const PathRules& rules = fs_->paths();
  const std::vector<const zip::Entry*> selected = Select(dir.entries, FilesToProcess, FilesToExclude);
  std::vector<std::string> targets;
  for (const zip::Entry* e : selected) {
    if (zip::IsUnsafeName(e->name, fs_->paths().ReservesNames()) || e->IsSymlink()) throw UnsafeName(e->name);
    targets.push_back(zip::TargetPath(rules, destination, *e, KeepPaths));
    if (!targets.back().empty() && !IsBelow(rules, destination, targets.back())) throw UnsafeName(e->name);
  }

  zip::Extractor extractor(*fs_, *archive, archive->Size());
  std::string first_failure;
  // A file stored more than once is written from its first entry: a file made
  // safe twice in one period comes back as it was the first time.
  std::set<std::string> files_taken;
  for (size_t i = 0; i < selected.size(); ++i) {
    const zip::Entry& e = *selected[i];
    if (targets[i].empty()) continue;
    if (!e.IsFolder() && !files_taken.insert(TargetKey(targets[i], fs_->paths().FoldsCase())).second) continue;
    int32_t reason = 0;
    if (e.IsFolder()) {
      try {
        extractor.EnsureFolder(targets[i]);
      } catch (const Error&) {
        reason = static_cast<int32_t>(SkipReason::kCannotWrite);
      }
    } else {
      reason = extractor.WriteFile(e, targets[i]);
    }
    if (reason == 0) continue;
    Skip(EntryArgs(e, targets[i]), static_cast<SkipReason>(reason));
    if (first_failure.empty()) first_failure = e.name;
  }
  const bool synced = extractor.SyncFolders();
  if (!first_failure.empty()) {
    throw Error(errnum::kArchiveError, kLibrarySource, "Some files could not be extracted from the archive",
                first_failure);
  }
  if (!synced) throw Error(errnum::kArchiveError, kLibrarySource, "The extracted files could not be flushed", destination);
  return 0;
}

std::vector<std::string> ArchiveComponent::ListEntries() {
  const std::string archive_path = ArchivePath();
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kReadRegular);
  const zip::Directory& dir = state_->Load(*archive, archive_path);
  std::vector<std::string> names;
  names.reserve(dir.entries.size());
  for (const zip::Entry& e : dir.entries) names.push_back(e.name);
  return names;
}

std::vector<RestoreOutcome> ArchiveComponent::RestoreFiles(
    const std::vector<std::string>& names, const std::function<std::optional<RestoreHint>(size_t)>& hint) {
  const std::string archive_path = ArchivePath();
  std::unique_ptr<File> archive = fs_->Open(archive_path, OpenMode::kReadRegular);
  const zip::Directory& dir = state_->Load(*archive, archive_path);
  const bool fold_case = fs_->paths().FoldsCase();
  // The first entry of each name: a file made safe twice comes back as it
  // was the first time. Names written with "\" are found by their "/" form
  // when no entry holds that form itself.
  std::map<std::string, const zip::Entry*> first, first_slashed;
  for (const zip::Entry& e : dir.entries) {
    first.emplace(TargetKey(e.name, fold_case), &e);
    if (e.name.find('\\') != std::string::npos) first_slashed.emplace(TargetKey(Slashed(e.name), fold_case), &e);
  }
  const std::string destination = Destination();
  zip::Extractor extractor(*fs_, *archive, archive->Size());
  std::vector<RestoreOutcome> outcomes(names.size());
  std::deque<zip::Entry> renamed;  // "/" forms of "\" names, kept while staged
  std::vector<size_t> batch;
  // Files are flushed together, a batch at a time: one trip to the disk for
  // many files, with a bounded number of them open.
  constexpr size_t kBatchFiles = 256;
  constexpr uint64_t kBatchBytes = 512ull << 20;
  const auto finish = [&] {
    std::vector<RestoreOutcome> done = extractor.FinishRestores();
    for (size_t i = 0; i < batch.size(); ++i) outcomes[batch[i]] = std::move(done[i]);
    batch.clear();
  };
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string key = TargetKey(names[i], fold_case);
    const zip::Entry* found = nullptr;
    if (const auto it = first.find(key); it != first.end()) {
      found = it->second;
    } else if (const auto old = first_slashed.find(key); old != first_slashed.end()) {
      found = &renamed.emplace_back(*old->second);
      renamed.back().name = Slashed(old->second->name);
    }
    const std::string target = fs_->paths().Absolute(names[i], destination);
    std::optional<RestoreHint> known = hint ? hint(i) : std::nullopt;
    try {
      if (found == nullptr) {
        throw Error(errnum::kFileNotFound, kLibrarySource, "The archive holds no copy of the file", target);
      }
      const zip::Entry& e = *found;
      const std::string path = zip::IsUnsafeName(e.name, fs_->paths().ReservesNames()) || e.IsSymlink() || e.IsFolder()
                                   ? std::string()
                                   : zip::TargetPath(fs_->paths(), destination, e, true);
      if (path.empty() || !IsBelow(fs_->paths(), destination, path)) throw UnsafeName(e.name);
      extractor.StageRestore(e, path, std::move(known));
      batch.push_back(i);
    } catch (const Error& e) {
      outcomes[i].error = e.path().empty() ? Error(e.number(), e.source(), e.description(), target, e.native_code()) : e;
    }
    if (extractor.staged_files() >= kBatchFiles || extractor.staged_bytes() >= kBatchBytes) finish();
  }
  finish();
  return outcomes;
}

}  // namespace bk
