// Making many files safe in one step: every file stored, each drive archive
// flushed once, the log saved once.
#include <algorithm>
#include <functional>
#include <iterator>
#include <string>
#include <utility>

#include "component/error.h"
#include "safemode/file_rollback_create.h"

namespace bk {
namespace {

// The files of one drive archive in a MakeFilesSafe call. `items`, `paths`
// and `seen` go together; once the archive has stored them, they hold the
// files stored alone, for the log.
struct DriveBatch {
  ArchiveComponent* zip = nullptr;
  std::string drive;
  std::vector<size_t> items;       // positions in the caller's list
  std::vector<std::string> paths;  // absolute, as the archive stores them
  std::vector<std::optional<RecordedFile>> seen;  // each file as it was before it was read
};

using Refusal = std::pair<size_t, Error>;

constexpr size_t kLogSlice = 4096;

DriveBatch& BatchFor(std::vector<DriveBatch>& batches, ArchiveComponent* zip, const std::string& drive) {
  for (DriveBatch& b : batches) {
    if (b.zip == zip) return b;
  }
  batches.push_back(DriveBatch{zip, drive, {}, {}, {}});
  return batches.back();
}

// Keeps the files whose `keep(k)` holds, moving them forward, in order.
template <typename Keep>
void KeepOnly(DriveBatch& batch, const Keep& keep) {
  size_t kept = 0;
  for (size_t k = 0; k < batch.items.size(); ++k) {
    if (!keep(k)) continue;
    if (kept != k) {
      batch.items[kept] = batch.items[k];
      batch.paths[kept] = std::move(batch.paths[k]);
      if (!batch.seen.empty()) batch.seen[kept] = std::move(batch.seen[k]);
    }
    ++kept;
  }
  batch.items.resize(kept);
  batch.paths.resize(kept);
  if (!batch.seen.empty()) batch.seen.resize(kept);
}

// Lists the batch's stored files in the log, refusals added to
// `refusals`, `listed(k)` told of each file listed. The log takes them a
// slice at a time: its list of refusals holds an optional error per path,
// which for a whole chunk of a large tree would outweigh the paths. Slices
// append exactly as one call would.
void ListInLog(clsFileRollBackLogZip& entry, DriveBatch& batch, std::vector<Refusal>& refusals,
               const std::function<void(size_t)>& listed) {
  std::vector<std::string> slice;
  std::vector<std::optional<Error>> refused;
  for (size_t from = 0; from < batch.paths.size(); from += kLogSlice) {
    const size_t n = std::min(kLogSlice, batch.paths.size() - from);
    const auto first = batch.paths.begin() + static_cast<std::ptrdiff_t>(from);
    slice.assign(std::make_move_iterator(first), std::make_move_iterator(first + static_cast<std::ptrdiff_t>(n)));
    refused.assign(n, std::nullopt);
    entry.AppendFiles(slice, &refused);
    for (size_t k = 0; k < n; ++k) {
      if (refused[k]) {
        refusals.emplace_back(batch.items[from + k], std::move(*refused[k]));
      } else {
        listed(from + k);
      }
    }
  }
}

}  // namespace

std::vector<std::optional<Error>> clsFileRollbackCreate::MakeFilesSafe(const std::vector<std::string>& files,
                                                                       const SafeProgressFn& progress) {
  std::vector<std::optional<Error>> results(files.size());
  Progress now{0, files.size(), 0, 0};
  MakeListSafe(files.size(), [&](size_t i) { return files[i]; }, false, now, progress,
               [&](size_t i, const Error* refused) {
                 if (refused) results[i] = *refused;
               });
  return results;
}

std::vector<RefusedFile> clsFileRollbackCreate::MakeFilesSafeReporting(const std::vector<std::string>& files,
                                                                       const SafeFileFn& made_safe,
                                                                       const SafeProgressFn& progress) {
  std::vector<RefusedFile> refused_files;
  Progress now{0, files.size(), 0, 0};
  MakeListSafe(files.size(), [&](size_t i) { return files[i]; }, false, now, progress,
               [&](size_t i, const Error* refused) {
                 if (refused) {
                   refused_files.push_back(RefusedFile{files[i], *refused});
                 } else if (made_safe) {
                   made_safe(files[i]);
                 }
               });
  return refused_files;
}

void clsFileRollbackCreate::MakeListSafe(size_t count, const PathAt& path_at, bool recorded, Progress& now,
                                         const SafeProgressFn& progress, const SettledFn& settled) {
  const auto tell = [&] {
    if (progress) progress(now);
  };
  std::vector<Refusal> refusals;
  std::vector<DriveBatch> batches;
  for (size_t i = 0; i < count; ++i) {
    std::string path;
    try {
      // A walk's file is not looked up again by its path: the archive opens
      // it through its folder without following a link, and refuses what
      // is no longer a file there.
      path = recorded ? path_at(i) : PathToMakeSafe(path_at(i));
    } catch (const Error& e) {
      if (e.number() != bkCreateErrorFileNotFound) throw;  // the file system failed: the call ends
      refusals.emplace_back(i, e);
      ++now.files_done;
      tell();
      continue;
    }
    DriveBatch& batch = BatchFor(batches, GetZipForDrive(path), fs_->GetDriveName(path));
    batch.items.push_back(i);
    batch.paths.push_back(std::move(path));
  }
  // Every file is looked at before any is read, so that the total is known.
  for (DriveBatch& batch : batches) {
    if (recorded) continue;
    batch.seen = ObserveFiles(batch.paths);
    for (const std::optional<RecordedFile>& file : batch.seen) now.bytes += file ? file->size : 0;
  }
  tell();
  for (DriveBatch& batch : batches) {
    ConnectEvents(batch.zip);
    const uint64_t before = now.bytes_done;
    const std::vector<int32_t> codes = batch.zip->ZipFiles(
        batch.paths,
        [&](size_t, int32_t) {
          ++now.files_done;
          tell();
        },
        [&](uint64_t read) {
          now.bytes_done = before + read;
          tell();
        });
    file_skipped_ = false;
    ConnectEvents(nullptr);
    for (size_t k = 0; k < codes.size(); ++k) {
      if (codes[k] != 0) {
        refusals.emplace_back(batch.items[k], Error(bkCreateErrorUnableToOpenFile, "MakeFileSafe", "Unable to open file"));
      }
    }
    KeepOnly(batch, [&](size_t k) { return codes[k] == 0; });
  }
  if (!log_) throw Error::Standard(errnum::kObjectNotSet);
  bool listed = false;
  for (DriveBatch& batch : batches) {
    if (batch.paths.empty()) continue;
    ListInLog(*log_->ZipByDrive(batch.drive), batch, refusals, [&](size_t k) {
      if (!recorded) RecordFile(batch.seen[k]);
    });
    listed = true;
  }
  batches.clear();
  if (listed) log_->SaveLog();
  std::stable_sort(refusals.begin(), refusals.end(),
                   [](const Refusal& a, const Refusal& b) { return a.first < b.first; });
  auto next = refusals.begin();
  for (size_t i = 0; i < count; ++i) {
    const bool refused = next != refusals.end() && next->first == i;
    settled(i, refused ? &next->second : nullptr);
    if (refused) ++next;
  }
}

void clsFileRollbackCreate::FlushDriveZips() {
  if (!drive_zips_) return;
  for (auto& zip : *drive_zips_) zip->Flush();
}

}  // namespace bk
