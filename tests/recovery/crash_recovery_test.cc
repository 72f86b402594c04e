// Recovery after a real crash. This program starts itself again as a worker
// that runs periods of safe mode one after another on the same files: it
// makes each file safe, rewrites it, and leaves safe mode. The worker is
// killed with SIGKILL at a random moment; the parent then assesses the
// temporary folder and rolls back what it finds. Every file must then hold
// what it held when the last period whose EndSafety returned ended, and no
// such period may be rolled back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "component/process.h"
#include "recovery/rollback_manager.h"
#include "safemode/file_rollback_create.h"
#include "support/temp_dir.h"

namespace bk::testing {
namespace {

constexpr int kFiles = 8;
constexpr int kPeriods = 2;
// Kills per run; BK_CRASH_ROUNDS sets another number (the long run).
int Rounds() {
  const char* value = std::getenv("BK_CRASH_ROUNDS");
  return value != nullptr ? std::atoi(value) : 30;
}
constexpr const char* kWorkerFolder = "BK_CRASH_WORKER";
constexpr const char* kWorkerKeepsLog = "BK_CRASH_KEEP_LOG";

bool OnWindows() { return &NativePathRules() == &WindowsPathRules(); }

struct Layout {
  explicit Layout(const std::string& folder) : fs(DefaultFileSystem()), root(folder) {}
  std::string File(int i) const {
    std::ostringstream name;
    name << "f" << i << ".bin";
    return fs->BuildPath(fs->BuildPath(root, "data"), name.str());
  }
  std::string Temp() const { return fs->BuildPath(root, "temp"); }
  std::string Backup() const { return fs->BuildPath(root, "backup.zip"); }
  std::string Journal() const { return fs->BuildPath(root, "journal.txt"); }
  std::shared_ptr<FileSystem> fs;
  std::string root;
};

// What file i holds after period p (p = 0: before the first period).
std::string Content(int period, int file) {
  const size_t size = 2048 + static_cast<size_t>((file * 7 + period * 3) % 10) * 8000;
  uint32_t state = static_cast<uint32_t>(period * 7919 + file * 104729 + 1);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

// --- The worker ---

void WriteInChunks(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (size_t at = 0; at < bytes.size(); at += 4096) {
    out.write(bytes.data() + at, static_cast<std::streamsize>(std::min<size_t>(4096, bytes.size() - at)));
    out.flush();
  }
}

void RunWorker(const Layout& layout, bool keep_last_log) {
  std::ofstream journal(layout.Journal(), std::ios::app);
  const auto note = [&](const char* what, int period, int file = -1) {
    journal << what << ' ' << period;
    if (file >= 0) journal << ' ' << file;
    journal << std::endl;
  };
  for (int p = 1; p <= kPeriods; ++p) {
    clsFileRollbackCreate safe;
    safe.TempDir(layout.Temp());
    safe.BackupFile(layout.Backup());
    note("begin", p);
    safe.BeginSafety();
    for (int i = 0; i < kFiles; ++i) {
      note("safe", p, i);
      safe.MakeFileSafe(layout.File(i));
      note("change", p, i);
      WriteInChunks(layout.File(i), Content(p, i));
    }
    note("ending", p);
    safe.EndSafety(keep_last_log && p == kPeriods);
    note("ended", p);
  }
}

// Runs the worker instead of the tests when the program was started as one.
class WorkerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* folder = std::getenv(kWorkerFolder);
    if (folder == nullptr) return;
    int status = 0;
    try {
      RunWorker(Layout(folder), std::getenv(kWorkerKeepsLog) != nullptr);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "crash worker: %s\n", e.what());
      status = 1;
    }
    std::fflush(nullptr);
    std::_Exit(status);
  }
};
[[maybe_unused]] ::testing::Environment* const kWorker = ::testing::AddGlobalTestEnvironment(new WorkerEnvironment);
// The worker's test-framework chatter goes to a file in its folder rather
// than into the parent's report.
[[maybe_unused]] const bool kWorkerQuiet = [] {
  const char* folder = std::getenv(kWorkerFolder);
  return folder != nullptr && std::freopen((std::string(folder) + "/worker-output.txt").c_str(), "w", stdout) != nullptr;
}();

// --- The parent ---

struct Journal {
  int ended = 0;       // last period whose EndSafety returned
  int ending = 0;      // last period whose EndSafety was called
  std::string phase = "start";  // what the worker was doing when it stopped
};

Journal ReadJournal(const Layout& layout) {
  Journal j;
  std::ifstream in(layout.Journal());
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    int period = 0;
    words >> j.phase >> period;
    if (j.phase == "ended") j.ended = period;
    if (j.phase == "ending") j.ending = period;
  }
  return j;
}

// Assesses and rolls back; returns how many periods were listed.
int Recover(const Layout& layout) {
  if (!layout.fs->FolderExists(layout.Temp())) return 0;
  clsRollbackManager manager;
  manager.AssessRollback(layout.Temp());
  for (const SkippedLog& s : manager.SkippedLogs()) ADD_FAILURE() << "crash left a damaged log: " << s.error.what();
  for (const auto& log : *manager.FailedLogs()) {
    try {
      RestoreReport report;
      log->RollbackAndRemove(report);
    } catch (const Error& e) {
      ADD_FAILURE() << "rollback of " << log->LogFileName() << " failed: " << e.what();
    }
  }
  return manager.FailedLogs()->Count();
}

class CrashRecovery : public ::testing::Test {
 protected:
  // Runs the worker in a fresh folder, kills it after `delay` (never when
  // zero), recovers, and checks every file. Returns the worker's run time.
  std::chrono::microseconds Round(std::chrono::microseconds delay, bool keep_last_log) {
    TempDir dir;
    const Layout layout(dir.path());
    for (int i = 0; i < kFiles; ++i) WriteFile(layout.File(i), Content(0, i));
    std::vector<std::string> environment{std::string(kWorkerFolder) + "=" + dir.path()};
    if (keep_last_log) environment.push_back(std::string(kWorkerKeepsLog) + "=1");
    const auto start = std::chrono::steady_clock::now();
    ChildProcess child = ChildProcess::Start(
        {CurrentExecutablePath(), "--gtest_filter=CrashRecovery.*"}, environment);
    if (delay.count() > 0) {
      std::this_thread::sleep_for(delay);
      child.Kill();
    }
    const int status = child.Wait();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    const Journal journal = ReadJournal(layout);
    if (delay.count() == 0) {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(journal.ended, kPeriods);
    }
    ++phases_[journal.phase];

    const int listed = Recover(layout);
    EXPECT_EQ(Recover(layout), 0) << "a recovered period is still listed";
    if (journal.ended == kPeriods) {
      EXPECT_EQ(listed, 0) << "a finished period was listed";
    }
    // A period cut short inside EndSafety counts as finished when its log
    // was marked (nothing listed), as unfinished otherwise.
    const bool committed = listed == 0 && journal.ending > journal.ended;
    const int expected = committed ? journal.ending : journal.ended;
    for (int i = 0; i < kFiles; ++i) {
      EXPECT_TRUE(ReadFile(layout.File(i)) == Content(expected, i))
          << "file " << i << " does not hold period " << expected << "'s content; killed after " << delay.count()
          << " us in phase '" << journal.phase << "', " << listed << " period(s) listed";
    }
    return took;
  }

  std::map<std::string, int> phases_;
};

TEST_F(CrashRecovery, KilledAtRandomMomentsEveryChangedFileComesBack) {
  if (OnWindows()) GTEST_SKIP() << "killing a process at a random moment is tested on POSIX";
  const auto full = Round(std::chrono::microseconds(0), false);
  ASSERT_FALSE(HasFailure());
  std::random_device seed_source;
  const unsigned seed = seed_source();
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int64_t> when(1, full.count() * 11 / 10);
  const int rounds = Rounds();
  for (int round = 0; round < rounds && !HasFailure(); ++round) {
    Round(std::chrono::microseconds(when(rng)), round % 2 == 1);
    if (HasFailure()) std::printf("random seed %u, round %d\n", seed, round);
  }
  std::printf("%d kills, %d files checked after each; full run %lld us; kills by phase:", rounds, kFiles,
              static_cast<long long>(full.count()));
  for (const auto& [phase, count] : phases_) std::printf(" %s %d", phase.c_str(), count);
  std::printf("\n");
}

}  // namespace
}  // namespace bk::testing
