// Crash safety on a disk that loses whatever was not flushed: a power cut at
// any moment of a period leaves either an unfinished log whose archives give
// every file back, or a committed period with a complete backup.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/fault_injection.h"
#include "log/rollback_log.h"
#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

struct CrashRig {
  Scratch s;
  std::shared_ptr<FaultInjectingFileSystem> disk;
  std::unique_ptr<clsFileRollbackCreate> safe;
  std::map<std::string, std::string> originals;

  CrashRig() {
    originals[s.Data("a.txt")] = "alpha";
    originals[s.Data("sub/b.bin")] = NoiseBytes(70000, 11);
    originals[s.Data("c.txt")] = "";
    for (const auto& [path, bytes] : originals) WriteFile(path, bytes);
    disk = std::make_shared<FaultInjectingFileSystem>(s.fs);
    safe = std::make_unique<clsFileRollbackCreate>(disk);
    safe->TempDir(s.temp);
    safe->BackupFile(s.backup);
  }
  void MakeAllSafe() {
    for (const auto& entry : originals) safe->MakeFileSafe(entry.first);
  }
  void ChangeAll() {
    for (const auto& entry : originals) WriteFile(entry.first, "changed by the host");
  }
  void ExpectOriginals() {
    for (const auto& [path, bytes] : originals) {
      ASSERT_TRUE(Exists(path)) << path;
      EXPECT_TRUE(ReadFile(path) == bytes) << path;
    }
  }
  // Recovers as a later start would: load the log left on disk and roll back.
  void RecoverAfterPowerCut(const std::string& log_path) {
    disk->ClearFault();
    safe.reset();
    disk->PowerCut();
    auto log = clsFileRollbackLog::Create(s.fs);
    log->LoadFromFile(log_path);
    ASSERT_FALSE(log->Completed());
    log->Rollback();
  }
};

TEST(Durability, APowerCutAfterMakeFileSafeLosesNothing) {
  CrashRig rig;
  rig.safe->BeginSafety();
  const std::string log_path = rig.safe->log_file_name();
  rig.MakeAllSafe();
  rig.ChangeAll();
  rig.RecoverAfterPowerCut(log_path);
  rig.ExpectOriginals();
}

TEST(Durability, APowerCutAfterBeginSafetyLeavesAnEmptyUnfinishedLog) {
  CrashRig rig;
  rig.safe->TempDir(rig.s.dir / "new/folders");
  rig.safe->BeginSafety();
  const std::string log_path = rig.safe->log_file_name();
  rig.RecoverAfterPowerCut(log_path);
  rig.ExpectOriginals();
}

// Crashes at operation n = 1, 2, ... of making `later` safe (one call, or
// one MakeFilesSafe with `as_list`), after a first file was made safe. Odd n
// cut the power; with `as_list`, even n end the process instead. Every file
// whose call returned comes back; files being made safe were not changed
// yet, and entries that reached the archive but not the log change nothing.
uint64_t CrashAtEveryStep(const std::vector<std::string>& later, bool as_list) {
  uint64_t n = 1;
  for (;; ++n) {
    SCOPED_TRACE("crash at operation " + std::to_string(n));
    CrashRig rig;
    rig.safe->BeginSafety();
    const std::string log_path = rig.safe->log_file_name();
    const std::string first = rig.s.Data("a.txt");
    rig.safe->MakeFileSafe(first);
    std::vector<std::string> paths;
    for (const std::string& name : later) paths.push_back(rig.s.Data(name));
    rig.disk->FailAt(n, kFaultAny, true);
    bool completed = true;
    try {
      if (as_list) {
        rig.safe->MakeFilesSafe(paths);
      } else {
        rig.safe->MakeFileSafe(paths.front());
      }
    } catch (const Error&) {
      completed = false;
    }
    const bool fired = rig.disk->fault_fired();
    WriteFile(first, "changed by the host");
    if (completed) {
      for (const std::string& path : paths) WriteFile(path, "changed by the host");
    }
    if (!as_list || n % 2 == 1) {
      rig.RecoverAfterPowerCut(log_path);
    } else {
      rig.disk->ClearFault();
      rig.safe.reset();
      auto log = clsFileRollbackLog::Create(rig.s.fs);
      log->LoadFromFile(log_path);
      log->Rollback();
    }
    rig.ExpectOriginals();
    if (!fired || ::testing::Test::HasFailure() || n > 2000) break;
  }
  return n;
}

TEST(Durability, ACrashAtAnyStepOfMakeFileSafeKeepsTheFilesAlreadySafe) {
  EXPECT_GT(CrashAtEveryStep({"sub/b.bin"}, false), 10u);  // the call did reach the disk many times
}

TEST(Durability, ACrashAtAnyStepOfMakeFilesSafeKeepsTheFilesAlreadySafe) {
  EXPECT_GT(CrashAtEveryStep({"sub/b.bin", "c.txt", "a.txt"}, true), 10u);
}

// However long the list or the period, a call costs the same durable
// flushes, three at most: the drive archive once (entries and directory
// together), the log file and its folder.
TEST(Durability, ACallFlushesThreeTimesAtMostWhateverItsLength) {
  constexpr uint32_t kFlushes = kFaultSync | kFaultSyncFolder;
  std::vector<uint64_t> lists, singles;
  for (const int files : {3, 40}) {
    CrashRig rig;
    std::vector<std::string> list;
    for (int i = 0; i < files; ++i) {
      list.push_back(rig.s.Data("many/f" + std::to_string(i) + ".txt"));
      WriteFile(list.back(), "file " + std::to_string(i));
    }
    rig.safe->BeginSafety();
    rig.safe->MakeFileSafe(rig.s.Data("a.txt"));  // the drive archive exists
    rig.disk->FailAt(UINT64_MAX, kFlushes);
    for (const auto& result : rig.safe->MakeFilesSafe(list)) EXPECT_FALSE(result);
    lists.push_back(rig.disk->operation_count());
    EXPECT_EQ(rig.safe->log()->Zip(1)->FileCount(), files + 1);
    rig.disk->FailAt(UINT64_MAX, kFlushes);
    rig.safe->MakeFileSafe(rig.s.Data("c.txt"));
    singles.push_back(rig.disk->operation_count());
  }
  EXPECT_EQ(lists[0], lists[1]);
  EXPECT_EQ(singles[0], singles[1]);
  EXPECT_LE(lists[1], 3u);
  EXPECT_LE(singles[1], 3u);
}

// A removal that fails after the completed mark still ends the period: the
// object keeps no table naming the archives already deleted, so a later
// MakeFileSafe fails before writing anything.
TEST(Durability, AFailedCleanUpAfterTheCommitStillEndsThePeriod) {
  CrashRig rig;
  rig.safe->BeginSafety();
  const std::string log_path = rig.safe->log_file_name();
  rig.MakeAllSafe();
  // The first removal is the drive archive's, the second the temporary
  // backup archive's.
  rig.disk->FailAt(2, kFaultRemove);
  EXPECT_EQ(Catch([&] { rig.safe->EndSafety(true); }).number, errnum::kPathFileAccessError);
  rig.disk->ClearFault();
  auto log = clsFileRollbackLog::Create(rig.s.fs);
  log->LoadFromFile(log_path);
  EXPECT_TRUE(log->Completed());
  EXPECT_FALSE(rig.safe->SafeMode());
  EXPECT_EQ(rig.safe->log(), nullptr);

  const std::vector<std::string> left = rig.s.FilesIn(rig.s.temp);
  EXPECT_EQ(Catch([&] { rig.safe->MakeFileSafe(rig.s.Data("a.txt")); }).number, errnum::kObjectNotSet);
  EXPECT_EQ(rig.s.FilesIn(rig.s.temp), left);
}

// What a later start finds: an unfinished log whose archives are all there
// (and, when `roll_back`, give every file back), or a committed period whose
// backup is complete.
void ExpectRecoverable(CrashRig& rig, const std::string& log_path, bool roll_back, int* committed) {
  auto log = clsFileRollbackLog::Create(rig.s.fs);
  const bool log_left = Exists(log_path);
  if (log_left) log->LoadFromFile(log_path);
  if (!log_left || log->Completed()) {
    ++*committed;
    const ArchiveContents backup = ReadArchive(rig.s.backup, rig.s.dir / "backup-list");
    EXPECT_EQ(backup.size(), 2u + RecordEntries(*rig.s.fs));
    EXPECT_EQ(backup.count(rig.s.fs->GetFileName(log_path)), 1u);
    return;
  }
  for (int32_t i = 1; i <= log->ZipCount(); ++i) EXPECT_TRUE(Exists(log->Zip(i)->ZipName())) << i;
  if (!roll_back) return;
  log->Rollback();
  rig.ExpectOriginals();
}

// A crash at operation n of EndSafety, first as a process that dies (what was
// done stays done), then as a power cut: before the completed mark the period
// is recoverable from its log and archives; from the mark on, the backup is
// complete.
TEST(Durability, ACrashAtAnyStepOfEndSafetyNeverLosesTheArchivesOfAnUnfinishedLog) {
  int committed = 0, steps = 0;
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("crash at operation " + std::to_string(n));
    CrashRig rig;
    // The backup beside the period's files: a flush of that folder for the
    // backup also flushes any deletion done before it.
    rig.s.backup = rig.s.fs->BuildPath(rig.s.temp, "backup.zip");
    rig.safe->BackupFile(rig.s.backup);
    rig.safe->BeginSafety();
    const std::string log_path = rig.safe->log_file_name();
    rig.MakeAllSafe();
    rig.ChangeAll();
    rig.disk->FailAt(n, kFaultAny, true);
    try {
      rig.safe->EndSafety(n % 2 == 0);
    } catch (const Error&) {
    }
    const bool fired = rig.disk->fault_fired();
    rig.disk->ClearFault();
    rig.safe.reset();
    int ignored = 0;
    ExpectRecoverable(rig, log_path, false, &ignored);
    rig.disk->PowerCut();
    ExpectRecoverable(rig, log_path, true, &committed);
    steps = static_cast<int>(n);
    if (!fired || HasFailure() || n > 5000) break;
  }
  EXPECT_GT(committed, 0);
  EXPECT_GT(steps - committed, 0);
}

}  // namespace
}  // namespace bk::testing
