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
  const zip::Directory dir = zip::ReadDirectory(*archive);
  const std::string destination = Destination();
  const PathRules& rules = fs_->paths();
  const std::vector<const zip::Entry*> selected = Select(dir.entries, FilesToProcess, FilesToExclude);
  std::vector<std::string> targets;
  for (const zip::Entry* e : selected) {
    // An archive may come from anywhere: a "\" or drive prefix that would
    // climb out on Windows is refused on every platform.
    if (zip::IsUnsafeName(e->name, true, rules.ReservesNames()) || e->IsSymlink()) throw UnsafeName(e->name);
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
  const zip::Directory dir = zip::ReadDirectory(*archive);
  std::vector<std::string> names;
  names.reserve(dir.entries.size());
  for (const zip::Entry& e : dir.entries) names.push_back(e.name);
  return names;
}

}  // namespace bk
