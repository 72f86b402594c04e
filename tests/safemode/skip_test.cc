// Files the archive component cannot store: held open for writing by another
// program. The host gets 30000 and may retry once the file is free.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "component/process.h"
#include "log/rollback_log.h"
#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Another program that writes to a file: on Windows a write handle (sharing
// rules apply between handles of one process too); on POSIX a separate
// process holding a write lock, since record locks never conflict within
// one process.
class Writer {
 public:
  Writer(Scratch& s, const std::string& path) {
    if (OnWindows()) {
      handle_ = s.fs->Open(path, OpenMode::kReadWrite);
      return;
    }
    ready_ = s.dir / "writer.ready";
    release_ = s.dir / "writer.release";
    for (const std::string& stale : {ready_, release_}) {
      if (Exists(stale)) s.fs->RemoveFile(stale, true);
    }
    WriteFile(s.dir / "writer.py", R"(import fcntl, os, sys, time
f = open(sys.argv[1], 'r+b')
fcntl.lockf(f, fcntl.LOCK_EX)
open(sys.argv[2], 'w').close()
start = time.time()  # never outlive a test program that died
while not os.path.exists(sys.argv[3]) and time.time() - start < 120:
    time.sleep(0.02)
)");
    child_.emplace(ChildProcess::Start({"python3", s.dir / "writer.py", path, ready_, release_}));
    started_ = WaitFor([&] { return Exists(ready_); });
  }
  bool started() const { return OnWindows() || started_; }
  void Release() {
    handle_.reset();
    if (!child_) return;
    WriteFile(release_, "");
    if (child_->Wait() != 0) ADD_FAILURE() << "the writer process failed";
    child_.reset();
  }
  ~Writer() {
    if (!child_) return;
    child_->Kill();
    child_->Wait();
  }

 private:
  std::unique_ptr<File> handle_;
  std::optional<ChildProcess> child_;
  std::string ready_, release_;
  bool started_ = false;
};

TEST(SkippedFiles, AFileHeldByAnotherWriterIsUnableToOpenAndCanBeRetried) {
  Scratch s;
  const std::string held = s.Data("held.txt");
  WriteFile(held, "original");
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  safe.BeginSafety();
  {
    Writer writer(s, held);
    ASSERT_TRUE(writer.started());
    const Raised raised = Catch([&] { safe.MakeFileSafe(held); });
    EXPECT_EQ(raised.number, bkCreateErrorUnableToOpenFile);
    EXPECT_EQ(raised.source, "MakeFileSafe");
    EXPECT_EQ(raised.description, "Unable to open file");
    // The drive's archive and its log entry stay; the file is not listed.
    ASSERT_EQ(safe.log()->ZipCount(), 1);
    EXPECT_EQ(safe.log()->Zip(1)->FileCount(), 0);
    EXPECT_EQ(s.FilesIn(s.temp).size(), 2u);  // the log and the archive
    writer.Release();
  }
  safe.MakeFileSafe(held);
  EXPECT_EQ(safe.log()->Zip(1)->FileCount(), 1);

  WriteFile(held, "changed");
  safe.UndoSafetyOperations(true);
  EXPECT_EQ(ReadFile(held), "original");
}

// After a skip the archive's events stay connected to the object; ending the
// period or starting a new one releases that archive safely.
TEST(SkippedFiles, ArchivesReleasedWhileConnectedLeaveNoDanglingLink) {
  Scratch s;
  const std::string held = s.Data("held.txt");
  WriteFile(held, "held");
  WriteFile(s.Data("free.txt"), "free");
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  for (const bool end_first : {true, false}) {
    SCOPED_TRACE(end_first ? "EndSafety, then BeginSafety" : "BeginSafety after undo");
    safe.BeginSafety();
    {
      Writer writer(s, held);
      ASSERT_TRUE(writer.started());
      EXPECT_EQ(Catch([&] { safe.MakeFileSafe(held); }).number, bkCreateErrorUnableToOpenFile);
    }
    if (end_first) {
      safe.EndSafety();
    } else {
      safe.UndoSafetyOperations(true);
    }
    safe.BeginSafety();
    safe.MakeFileSafe(s.Data("free.txt"));
    EXPECT_EQ(safe.log()->Zip(1)->FileCount(), 1);
    safe.EndSafety();
  }
}

// A list is made safe in one step; each file is refused or skipped as a call
// of its own would be, the others are recorded in the order given, on both
// paths (packed in memory and streamed), and come back on undo.
TEST(SkippedFiles, AListRefusesAndSkipsEachFileAsAloneAndRecordsTheRest) {
  Scratch s;
  const std::string held = s.Data("held.txt");
  const std::vector<std::string> files = {s.Data("a.txt"), s.Data("missing.txt"), held, s.Data("sub/big.bin"),
                                          s.Data("empty.txt")};
  std::map<std::string, std::string> originals = {
      {files[0], "alpha"}, {held, "held"}, {files[3], NoiseBytes(3 << 20, 5)}, {files[4], ""}};
  for (const auto& [path, bytes] : originals) WriteFile(path, bytes);
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  safe.BeginSafety();
  std::vector<Progress> progress;
  std::vector<std::optional<Error>> results;
  {
    Writer writer(s, held);
    ASSERT_TRUE(writer.started());
    results = safe.MakeFilesSafe(files, [&](const Progress& p) { progress.push_back(p); });
  }
  ASSERT_EQ(results.size(), files.size());
  EXPECT_FALSE(results[0] || results[3] || results[4]);
  ASSERT_TRUE(results[1] && results[2]);
  EXPECT_EQ(results[1]->number(), bkCreateErrorFileNotFound);
  EXPECT_EQ(results[1]->description(), "File Not Found");
  EXPECT_EQ(results[2]->number(), bkCreateErrorUnableToOpenFile);
  EXPECT_EQ(results[2]->source(), "MakeFileSafe");
  // Files and bytes only go forward, the large file's bytes told as it is
  // read, and the last report counts everything (the missing file has none).
  uint64_t total = 0;
  for (const auto& [path, bytes] : originals) total += bytes.size();
  std::set<uint64_t> within_big;
  for (size_t i = 1; i < progress.size(); ++i) {
    EXPECT_LE(progress[i - 1].files_done, progress[i].files_done);
    EXPECT_LE(progress[i - 1].bytes_done, progress[i].bytes_done);
    if (progress[i].bytes_done > 9 && progress[i].bytes_done < 9 + originals[files[3]].size()) {
      within_big.insert(progress[i].bytes_done);
    }
  }
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().files_done, files.size());
  EXPECT_EQ(progress.back().files, files.size());
  EXPECT_EQ(progress.back().bytes, total);
  EXPECT_EQ(progress.back().bytes_done, total);
  EXPECT_GT(within_big.size(), 1u);

  auto on_disk = clsFileRollbackLog::Create(s.fs);
  on_disk->LoadFromFile(safe.log_file_name());
  ASSERT_EQ(on_disk->ZipCount(), 1);
  ASSERT_EQ(on_disk->Zip(1)->FileCount(), 3);
  // The log records each path as it was stored: absolute and normalised.
  EXPECT_EQ(on_disk->Zip(1)->FilePath(1), s.fs->GetAbsolutePathName(files[0]));
  EXPECT_EQ(on_disk->Zip(1)->FilePath(2), s.fs->GetAbsolutePathName(files[3]));
  EXPECT_EQ(on_disk->Zip(1)->FilePath(3), s.fs->GetAbsolutePathName(files[4]));

  for (const auto& [path, bytes] : originals) WriteFile(path, "changed");
  safe.UndoSafetyOperations(true);
  for (const std::string& path : {files[0], files[3], files[4]}) EXPECT_TRUE(ReadFile(path) == originals[path]) << path;
  EXPECT_EQ(ReadFile(held), "changed");
}

// The calls that keep nothing per file report the refused files in the
// list's (or walk's) order, whichever step refused them (a missing file is
// refused before a held one is met), and tell each other file once, in
// order, exactly as the log lists them; undo brings those back.
TEST(SkippedFiles, TheReportingCallsTellRefusalsInOrderAndEveryOtherFileOnce) {
  for (const bool tree : {true, false}) {
    SCOPED_TRACE(tree ? "MakeTreeSafeReporting" : "MakeFilesSafeReporting");
    Scratch s;
    const std::string top = s.Data("top");
    const auto in = [&](const std::string& folder, const char* name) { return s.fs->BuildPath(folder, name); };
    const std::string held = in(top, "b-held.txt");
    const std::vector<std::string> kept = {in(top, "a.txt"), in(top, "c.txt"), in(in(top, "sub"), "d.txt")};
    for (const std::string& path : kept) WriteFile(path, "original " + path);
    WriteFile(held, "held");
    clsFileRollbackCreate safe(s.fs);
    safe.TempDir(s.temp);
    safe.BackupFile(s.backup);
    safe.BeginSafety();
    std::vector<std::string> made;
    std::vector<RefusedFile> refused;
    {
      Writer writer(s, held);
      ASSERT_TRUE(writer.started());
      const SafeFileFn tell = [&](const std::string& path) { made.push_back(path); };
      refused = tree ? safe.MakeTreeSafeReporting(top, tell)
                     : safe.MakeFilesSafeReporting({kept[0], held, kept[1], in(top, "missing.txt"), kept[2]}, tell);
      writer.Release();
    }
    EXPECT_EQ(made, kept);
    ASSERT_EQ(refused.size(), tree ? 1u : 2u);
    EXPECT_EQ(refused[0].path, held);
    EXPECT_EQ(refused[0].error.number(), bkCreateErrorUnableToOpenFile);
    if (!tree) {
      EXPECT_EQ(refused[1].path, in(top, "missing.txt"));
      EXPECT_EQ(refused[1].error.number(), bkCreateErrorFileNotFound);
    }
    EXPECT_EQ(safe.log()->Zip(1)->FilePaths(), kept);
    for (const std::string& path : kept) WriteFile(path, "changed");
    safe.UndoSafetyOperations(true);
    for (const std::string& path : kept) EXPECT_EQ(ReadFile(path), "original " + path);
  }
}

}  // namespace
}  // namespace bk::testing
