// Drive archives are complete standard ZIP files whenever a call of the
// safe-mode object returns, or raises: a host may open them at any moment of
// a period. A scripted period on two drives (small files packed in memory,
// files over 1 MiB streamed, a list with a missing file, then EndSafety or
// UndoSafetyOperations) runs with the disk failing once at every operation
// in turn (under Wine, where file operations cost several times more, every
// 10th; BK_SWEEP_STRIDE sets the step); after every call each drive archive
// must open through its end record and central directory, every entry
// intact. Natively Python's zipfile reads them too after every call of the
// run without failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/fault_injection.h"
#include "component/zip/zip_reader.h"
#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

// Opens the archive as a strict reader does: through the end record only.
::testing::AssertionResult OpensStrictly(FileSystem& fs, const std::string& path) {
  std::unique_ptr<File> file = fs.Open(path, OpenMode::kReadRegular);
  zip::Directory dir;
  if (!zip::ReadCompleteDirectory(*file, &dir)) return ::testing::AssertionFailure() << "no end record";
  for (const zip::Entry& e : dir.entries) {
    if (!zip::ExtractEntry(*file, file->Size(), e, [](const char*, size_t) {})) {
      return ::testing::AssertionFailure() << "entry " << e.name << " is damaged";
    }
  }
  return ::testing::AssertionSuccess();
}

bool PythonReads(const std::vector<std::string>& archives) {
  std::string command =
      "python3 -c \"import sys, zipfile\nfor p in sys.argv[1:]:\n  assert zipfile.ZipFile(p).testzip() is None, p\"";
  for (const std::string& a : archives) command += " \"" + a + "\"";
  return std::system(command.c_str()) == 0;
}

struct Rig {
  Scratch s;
  std::string a = s.dir / "driveA";
  std::string b = s.dir / "driveB";
  std::shared_ptr<FaultInjectingFileSystem> disk = std::make_shared<FaultInjectingFileSystem>(s.fs);
  bool python = false;  // also read with Python's zipfile

  Rig() {
    WriteFile(a + "/small.txt", "a small file packed in memory");
    WriteFile(a + "/big.bin", NoiseBytes(1'300'000, 1));  // streamed: over 1 MiB
    WriteFile(b + "/list/one.txt", std::string(5000, 'x'));
    WriteFile(b + "/list/big.bin", NoiseBytes(1'100'000, 2));
    disk->SetRealFlushes(false);
  }

  std::vector<std::string> DriveArchives() {
    static const std::regex kDriveArchive("Safe .*-[0-9]+\\.zip");
    std::vector<std::string> out;
    for (const std::string& name : s.FilesIn(s.temp)) {
      if (std::regex_match(name, kDriveArchive)) out.push_back(s.fs->BuildPath(s.temp, name));
    }
    return out;
  }

  // Runs a call, then checks every drive archive whether it returned or not.
  bool Call(const char* what, const std::function<void()>& call) {
    bool returned = true;
    try {
      call();
    } catch (const Error&) {
      returned = false;
    }
    const std::vector<std::string> archives = DriveArchives();
    for (const std::string& archive : archives) {
      EXPECT_TRUE(OpensStrictly(*s.fs, archive)) << what << ": " << archive;
    }
    if (python) {
      EXPECT_TRUE(PythonReads(archives)) << what;
    }
    return returned;
  }

  void RunPeriod(bool end) {
    clsFileRollbackCreate safe(std::make_shared<TwoDriveFileSystem>(disk, a, b));
    safe.TempDir(s.temp);
    safe.BackupFile(s.backup);
    if (!Call("BeginSafety", [&] { safe.BeginSafety(); })) return;
    Call("MakeFileSafe, small", [&] { safe.MakeFileSafe(a + "/small.txt"); });
    Call("MakeFileSafe, streamed", [&] { safe.MakeFileSafe(a + "/big.bin"); });
    Call("MakeFilesSafe", [&] {
      safe.MakeFilesSafe({b + "/list/one.txt", b + "/list/big.bin", b + "/missing.txt", a + "/small.txt"});
    });
    if (end) {
      Call("EndSafety", [&] { safe.EndSafety(true); });
    } else {
      Call("UndoSafetyOperations", [&] { safe.UndoSafetyOperations(true, false); });
    }
  }
};

TEST(ArchiveContract, DriveArchivesAreCompleteAfterEveryCallAndEveryFailure) {
  for (const bool end : {true, false}) {
    {
      Rig rig;
      rig.python = !OnWindows();
      rig.RunPeriod(end);
      ASSERT_EQ(rig.DriveArchives().size(), end ? 0u : 2u) << "the period did not run as scripted";
    }
    const uint64_t stride = SweepStride();
    uint64_t n = 1;
    for (bool fired = true; fired && !::testing::Test::HasFailure(); n += stride) {
      SCOPED_TRACE(std::string(end ? "EndSafety" : "UndoSafetyOperations") + ", failure at operation " +
                   std::to_string(n));
      Rig rig;
      rig.disk->FailAt(n);
      rig.RunPeriod(end);
      fired = rig.disk->fault_fired();
    }
    EXPECT_GT(n, 200u) << "the sweep met too few operations";
    std::printf("archive contract, %s: %llu runs, one failure each, %llu operations apart\n",
                end ? "EndSafety" : "Undo", static_cast<unsigned long long>((n - 1) / stride),
                static_cast<unsigned long long>(stride));
  }
}

}  // namespace
}  // namespace bk::testing
