// One harness for every fault a period can meet. A scripted host makes four
// files on two drives safe, changing each right after its MakeFileSafe
// returns, then calls EndSafety, UndoSafetyOperations or nothing. The disk
// fails at every I/O operation in turn: as a power cut (the host dies there,
// the disk keeps only what was flushed, recovery runs, and recovery itself is
// cut at every operation and run again), once, and from then on (the host
// reacts as the command does: a failure before EndSafety undoes). Checked:
// every file whose MakeFileSafe returned comes back byte for byte with its
// owner, permissions and time unless the period was committed; a period whose
// EndSafety returned is never rolled back; a call that returned did its work;
// the file at BackupFile is always the previous backup or a complete new one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/fault_injection.h"
#include "component/zip/archive.h"
#include "recovery/rollback_manager.h"
#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

enum class Ending { kEnd, kUndo, kNone };
enum class Fault { kPowerCut, kOnce, kFromThenOn };
constexpr uint32_t kNobody = 65534;
constexpr const char* kOldBackup = "the previous backup";

// What the host saw.
struct HostLog {
  int made_safe = 0;     // files whose MakeFileSafe returned
  bool in_end = false;   // EndSafety was called
  bool ended = false;    // EndSafety returned
  bool undone = false;   // UndoSafetyOperations returned
};

std::string Original(size_t i) { return NoiseBytes(3000 + 7000 * i, static_cast<uint32_t>(i + 1)); }
std::string Changed(size_t i) { return "changed by the host " + std::to_string(i); }

// Every sweep point gets its own folders, files and fault-injecting disk.
struct Rig {
  Scratch s;
  std::string a = s.dir / "driveA";
  std::string b = s.dir / "driveB";
  std::vector<std::string> files{a + "/x/one.txt", b + "/two.bin", a + "/three.txt", b + "/y/four.txt"};
  std::vector<FileStat> before;
  std::shared_ptr<FaultInjectingFileSystem> disk;
  std::shared_ptr<FileSystem> fs;

  Rig() {
    const uint32_t modes[] = {0640, 0600, 0644, 0604};
    for (size_t i = 0; i < files.size(); ++i) {
      WriteFile(files[i], Original(i));
      if (!OnWindows()) s.fs->SetAttributes(files[i], modes[i]);
    }
    if (!OnWindows()) {
      try {
        s.fs->SetOwner(files[0], kNobody, kNobody);
      } catch (const Error&) {
        // Not privileged: the file keeps the running user as owner.
      }
    }
    for (const std::string& f : files) before.push_back(s.fs->Stat(f));
    WriteFile(s.backup, kOldBackup);
    disk = std::make_shared<FaultInjectingFileSystem>(s.fs);
    disk->SetRealFlushes(false);
    fs = std::make_shared<TwoDriveFileSystem>(disk, a, b);
  }

  HostLog RunHost(Ending ending, bool reacts) {
    HostLog h;
    clsFileRollbackCreate safe(fs);
    safe.TempDir(s.temp);
    safe.BackupFile(s.backup);
    try {
      safe.BeginSafety();
      for (size_t i = 0; i < files.size(); ++i) {
        safe.MakeFileSafe(files[i]);
        ++h.made_safe;
        WriteFile(files[i], Changed(i));
      }
      if (ending == Ending::kEnd) {
        h.in_end = true;
        safe.EndSafety();
        h.ended = true;
      } else if (ending == Ending::kUndo) {
        safe.UndoSafetyOperations(true);
        h.undone = true;
      }
    } catch (const Error&) {
      if (reacts && safe.SafeMode()) {
        try {
          safe.UndoSafetyOperations(true);
          h.undone = true;
        } catch (const Error&) {
          // Left to recovery.
        }
      }
    }
    return h;
  }

  // Recovery as a later start runs it. False when anything failed.
  bool Recover() {
    if (!fs->FolderExists(s.temp)) return true;
    clsRollbackManager manager(fs);
    bool ok = true;
    try {
      manager.AssessRollback(s.temp);
      // A log is never left unreadable, even by a start cut short.
      ok = manager.SkippedLogs().empty();
      for (const auto& log : *manager.FailedLogs()) {
        RestoreReport report;
        log->RollbackAndRemove(report);
      }
    } catch (const Error&) {
      ok = false;
    }
    return ok;
  }

  bool FileIsOriginal(size_t i) {
    if (!Exists(files[i]) || ReadFile(files[i]) != Original(i)) return false;
    const FileStat now = s.fs->Stat(files[i]);
    return now.modified_ns / 1'000'000'000 == before[i].modified_ns / 1'000'000'000 &&
           (OnWindows() || ((now.attributes & 07777) == (before[i].attributes & 07777) &&
                            now.owner == before[i].owner && now.group == before[i].group));
  }

  // The previous backup, or a complete new one (two drive archives, the log
  // and, on Linux, the record); true for a new one.
  bool BackupIsNew() {
    if (ReadFile(s.backup) == kOldBackup) return false;
    ArchiveComponent zip(s.fs);
    zip.ArchiveFileName = s.backup;
    EXPECT_EQ(zip.ListEntries().size(), 3u + RecordEntries(*s.fs)) << "a torn backup";
    return true;
  }

  // What the host was told holds right away.
  void ExpectCallsTruthful(const HostLog& h) {
    for (size_t i = 0; h.undone && i < files.size(); ++i) EXPECT_TRUE(FileIsOriginal(i)) << "undo returned: " << i;
    if (h.ended) {
      EXPECT_TRUE(BackupIsNew()) << "EndSafety returned without a backup";
    }
  }

  // After a recovery that succeeded: all files back, or all kept with a
  // complete backup when the period was committed.
  void ExpectPromiseKept(const HostLog& h) {
    const bool committed = h.ended || (h.in_end && ReadFile(files[0]) == Changed(0));
    for (size_t i = 0; i < files.size(); ++i) {
      if (committed) {
        EXPECT_EQ(ReadFile(files[i]), Changed(i)) << "a committed period was rolled back: " << files[i];
      } else {
        EXPECT_TRUE(FileIsOriginal(i)) << "not back as it was: " << files[i];
      }
    }
    // A backup copied before a mark that failed is new, yet not committed.
    const bool backup_new = BackupIsNew();
    EXPECT_TRUE(backup_new || !committed) << "a committed period without its backup";
  }
};

struct Figures {
  int points = 0, recovery_cuts = 0, recoveries_failed = 0;
};

// Runs the host with the disk failing at operation n; returns false once n
// lies past the last operation. With `cut_recovery_at` (power cuts only) the
// first recovery is cut there and recovery runs again.
bool SweepPoint(Ending ending, Fault fault, uint64_t n, uint64_t cut_recovery_at, Figures& figures, bool* cut_fired) {
  Rig rig;
  rig.disk->FailAt(n, kFaultAny, fault != Fault::kOnce);
  const HostLog h = rig.RunHost(ending, fault != Fault::kPowerCut);
  const bool fired = rig.disk->fault_fired();
  rig.disk->ClearFault();
  if (fault == Fault::kPowerCut) {
    rig.disk->PowerCut();
    if (cut_recovery_at > 0) {
      rig.disk->FailAt(cut_recovery_at, kFaultAny, true);
      rig.Recover();
      *cut_fired = rig.disk->fault_fired();
      rig.disk->ClearFault();
      rig.disk->PowerCut();
      ++figures.recovery_cuts;
    }
  } else {
    rig.ExpectCallsTruthful(h);
  }
  if (!rig.Recover()) ++figures.recoveries_failed;
  rig.ExpectPromiseKept(h);
  ++figures.points;
  return fired;
}

uint64_t Setting(const char* name, uint64_t otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::strtoull(value, nullptr, 10) : otherwise;
}

// The recovery is cut at every operation after every 50th host operation
// faulted (none under Wine); the long run sets BK_SWEEP_RECOVERY_STRIDE=1.
uint64_t RecoveryStride() { return Setting("BK_SWEEP_RECOVERY_STRIDE", OnWindows() ? 0 : 50); }

void Sweep(Ending ending, Fault fault, const char* label) {
  Figures figures;
  const uint64_t stride = RecoveryStride();
  const uint64_t step = SweepStride();
  uint64_t n = 1;
  for (bool fired = true; fired && !::testing::Test::HasFailure(); n += step) {
    SCOPED_TRACE(std::string(label) + ": fault at operation " + std::to_string(n));
    bool unused = false;
    fired = SweepPoint(ending, fault, n, 0, figures, &unused);
    if (fault != Fault::kPowerCut || stride == 0 || n % stride != 0) continue;
    bool cut_fired = true;
    for (uint64_t m = 1; cut_fired && !::testing::Test::HasFailure(); ++m) {
      SCOPED_TRACE("recovery cut at operation " + std::to_string(m));
      SweepPoint(ending, fault, n, m, figures, &cut_fired);
    }
  }
  EXPECT_EQ(figures.recoveries_failed, 0);
  std::printf("sweep %s: %d points (%llu host operations), %d recovery cuts, %d recoveries failed, %s\n", label,
              figures.points, static_cast<unsigned long long>(n - step - 1), figures.recovery_cuts,
              figures.recoveries_failed, ::testing::Test::HasFailure() ? "VIOLATIONS" : "0 violations");
}

TEST(HostSweep, PowerCutAtEveryOperationThenRecoveryCutAtEveryOperation) {
  Sweep(Ending::kEnd, Fault::kPowerCut, "power cut, EndSafety");
  Sweep(Ending::kUndo, Fault::kPowerCut, "power cut, UndoSafetyOperations");
  Sweep(Ending::kNone, Fault::kPowerCut, "power cut, host dies");
}

TEST(HostSweep, AnErrorAtEveryOperationOnceOrFromThenOn) {
  for (const Ending ending : {Ending::kEnd, Ending::kUndo}) {
    const bool end = ending == Ending::kEnd;
    Sweep(ending, Fault::kOnce, end ? "error once, EndSafety" : "error once, UndoSafetyOperations");
    Sweep(ending, Fault::kFromThenOn, end ? "errors from then on, EndSafety" : "errors from then on, Undo");
  }
}

}  // namespace
}  // namespace bk::testing
