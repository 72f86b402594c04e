#include "log/period_owner.h"

#include <chrono>
#include <thread>

#include "component/platform.h"
#include "log/drive_marker.h"
#include "log/rollback_log.h"

namespace bk {
namespace {

// How many seconds of the clock a period's name waits through before the
// clash is reported, and how far an archive's number moves on.
constexpr int kMaxClaimSeconds = 120;
constexpr int kMaxArchiveNumbers = 10000;

// Sleeps until the clock has moved past the second of `now`.
void WaitForNextSecond(const LocalDateTime& now) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1000 - now.millisecond));
  while (PeriodStamp(LocalNow()) == PeriodStamp(now)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

std::unique_ptr<Period> Period::Claim(std::shared_ptr<FileSystem> fs, const std::string& folder,
                                      clsFileRollbackLog& log, bool trusted) {
  LocalDateTime now = LocalNow();
  const auto stem_of = [&](int n) {
    if (n > 0) {
      WaitForNextSecond(now);
      now = LocalNow();
    }
    return PeriodNames::At(*fs, folder, now).Stem();
  };
  std::unique_ptr<Period> claimed;
  CreateFresh(stem_of, kMaxClaimSeconds, [&](const std::string& stem) {
    std::unique_ptr<Period> period(new Period(fs, PeriodNames(stem)));
    // A period of 4.0.0 claims its name with a lock file beside its log.
    if (fs->FileExists(period->names_.LegacyLock())) throw Error::Standard(errnum::kFileAlreadyExists, stem);
    period->lock_ = ClaimPeriodLock(fs, period->names_, trusted);
    try {
      log.ClaimLogFile(period->names_.Log(), OleDateFromLocal(now));
    } catch (...) {
      period->lock_->RemoveAndRelease();
      throw;
    }
    try {
      period->record_ = std::make_unique<PeriodRecordWriter>(fs, period->names_.Record());
    } catch (...) {
      RemoveLogDurably(*fs, period->names_.Log());
      period->lock_->RemoveAndRelease();
      throw;
    }
    claimed = std::move(period);
  });
  return claimed;
}

Period::~Period() {
  if (lock_) lock_->Release();
}

void Period::CloseRecord() {
  if (!record_) return;
  record_->Close();
  record_.reset();
}

void Period::CreateArchive(ArchiveComponent& zip, int32_t after, std::string_view marker) {
  // A name some entry already holds (a planted file, or an archive an
  // earlier period of this stem left) is never reused: the next number is.
  const std::string name = CreateFresh([&](int k) { return names_.Archive(after + 1 + k); }, kMaxArchiveNumbers,
                                       [&](const std::string& path) {
                                         zip.ArchiveFileName = path;
                                         zip.CreateNew(kDriveMarkerName, marker);
                                       });
  const FileStat made = fs_->Open(name, OpenMode::kReadRegular)->Stat();
  archives_.emplace_back(name, made);
  // Every later rollback refuses an archive that is not this very file.
  if (record_) record_->AddArchive(fs_->GetFileName(name), Identity::Of(made));
}

DistrustCheck Period::ArchiveCheck() const {
  return [fs = fs_, archives = archives_](const FileStat& opened, const std::string& path) -> std::optional<Error> {
    for (const auto& [name, made] : archives) {
      if (fs->GetFileName(name) != fs->GetFileName(path)) continue;
      if (made.file_id == 0 || SameEntry(made, opened)) return std::nullopt;
      return Error(errnum::kPermissionDenied, kLibrarySource,
                   "Permission denied: the archive is not the one this period wrote", path);
    }
    return std::nullopt;
  };
}

void Period::Finish(const PeriodRemoval& removal) {
  CloseRecord();
  RemovePeriodFiles(*fs_, names_, removal, lock_.get());
  lock_.reset();
}

}  // namespace bk
