// Making many files safe in one step: every file stored, each drive archive
// flushed once, the log saved once.
#include <string>
#include <utility>

#include "component/error.h"
#include "safemode/file_rollback_create.h"

namespace bk {
namespace {

// The files of one drive archive in a MakeFilesSafe call.
struct DriveBatch {
  ArchiveComponent* zip = nullptr;
  std::string drive;
  std::vector<size_t> items;       // positions in the caller's list
  std::vector<std::string> paths;  // absolute, as the archive stores them
  std::vector<std::string> stored;  // those stored, for the log
  std::vector<std::optional<RecordedFile>> seen;  // each file as it was before it was read
  std::vector<size_t> stored_at;   // of each stored file, its position in `paths`
};

DriveBatch& BatchFor(std::vector<DriveBatch>& batches, ArchiveComponent* zip, const std::string& drive) {
  for (DriveBatch& b : batches) {
    if (b.zip == zip) return b;
  }
  batches.push_back(DriveBatch{zip, drive, {}, {}, {}});
  return batches.back();
}

}  // namespace

std::vector<std::optional<Error>> clsFileRollbackCreate::MakeFilesSafe(const std::vector<std::string>& files,
                                                                       const SafeProgressFn& progress) {
  return MakeFilesSafeRecorded(files, false, 0, progress);
}

std::vector<std::optional<Error>> clsFileRollbackCreate::MakeFilesSafeRecorded(const std::vector<std::string>& files,
                                                                               bool recorded, uint64_t bytes,
                                                                               const SafeProgressFn& progress) {
  std::vector<std::optional<Error>> results(files.size());
  Progress now{0, files.size(), 0, bytes};
  const auto tell = [&] {
    if (progress) progress(now);
  };
  std::vector<DriveBatch> batches;
  for (size_t i = 0; i < files.size(); ++i) {
    std::string path;
    try {
      path = PathToMakeSafe(files[i]);
    } catch (const Error& e) {
      if (e.number() != bkCreateErrorFileNotFound) throw;  // the file system failed: the call ends
      results[i] = e;
      ++now.files_done;
      tell();
      continue;
    }
    DriveBatch& batch = BatchFor(batches, GetZipForDrive(path), fs_->GetDriveName(path));
    batch.items.push_back(i);
    batch.paths.push_back(path);
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
      if (codes[k] == 0) {
        batch.stored.push_back(batch.paths[k]);
        batch.stored_at.push_back(k);
      } else {
        results[batch.items[k]] = Error(bkCreateErrorUnableToOpenFile, "MakeFileSafe", "Unable to open file");
      }
    }
  }
  if (!log_) throw Error::Standard(errnum::kObjectNotSet);
  bool listed = false;
  for (DriveBatch& batch : batches) {
    if (batch.stored.empty()) continue;
    std::vector<std::optional<Error>> refused(batch.stored.size());
    log_->ZipByDrive(batch.drive)->AppendFiles(batch.stored, &refused);
    size_t k = 0;
    for (size_t item : batch.items) {
      if (results[item]) continue;
      if (refused[k]) {
        results[item] = std::move(refused[k]);
      } else if (!recorded) {
        RecordFile(batch.seen[batch.stored_at[k]]);
      }
      ++k;
    }
    listed = true;
  }
  if (listed) log_->SaveLog();
  return results;
}

void clsFileRollbackCreate::FlushDriveZips() {
  if (!drive_zips_) return;
  for (auto& zip : *drive_zips_) zip->Flush();
}

}  // namespace bk
