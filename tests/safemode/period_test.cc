// A host's successful period: enter safe mode, make files safe, change them,
// leave with a backup archive.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/drive_marker.h"
#include "log/period.h"
#include "log/rollback_log.h"
#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

using Names = std::vector<std::string>;

std::string WithoutExtension(const std::string& name) { return name.substr(0, name.rfind('.')); }

std::shared_ptr<clsFileRollbackLog> LoadLog(Scratch& s, const std::string& path) {
  auto log = clsFileRollbackLog::Create(s.fs);
  log->LoadFromFile(path);
  return log;
}

TEST(SuccessfulPeriod, BackupHoldsTheDriveArchiveAndTheUnmarkedLog) {
  Scratch s;
  const std::string big = NoiseBytes(300000, 7);
  WriteFile(s.Data("a.txt"), "alpha");
  WriteFile(s.Data("sub/b.bin"), big);
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  safe.BeginSafety();
  const std::string log_path = safe.log_file_name();
  const std::string stem = WithoutExtension(s.fs->GetFileName(log_path));
  safe.MakeFileSafe(s.Data("a.txt"));
  safe.MakeFileSafe(s.Data("sub/b.bin"));
  WriteFile(s.Data("a.txt"), "changed by the host");
  safe.EndSafety(true);

  EXPECT_FALSE(safe.SafeMode());
  EXPECT_EQ(ReadFile(s.Data("a.txt")), "changed by the host");
  ArchiveContents backup = ReadArchive(s.backup, s.dir / "outer");
  ASSERT_EQ(backup.size(), 2u + RecordEntries(*s.fs));
  ASSERT_EQ(backup.count(stem + "-1.zip"), 1u);
  EXPECT_EQ(backup.count(stem + ".record"), RecordEntries(*s.fs));
  ASSERT_EQ(backup.count(stem + ".xml"), 1u);
  const std::string packed_log = Utf16FileText(backup[stem + ".xml"]);
  EXPECT_EQ(packed_log.find("Completed=\"True\""), std::string::npos) << packed_log;
  EXPECT_NE(packed_log.find(s.fs->GetAbsolutePathName(s.Data("sub/b.bin"))), std::string::npos) << packed_log;

  WriteFile(s.dir / "drive-1.zip", backup[stem + "-1.zip"]);
  ArchiveContents drive_zip = ReadArchive(s.dir / "drive-1.zip", s.dir / "inner");
  const PathRules& rules = s.fs->paths();
  const std::string drive = rules.GetDriveName(s.Data("a.txt"));
  EXPECT_EQ(Utf16FileText(drive_zip[kDriveMarkerName]), drive + "\r\n");
  EXPECT_EQ(drive_zip[rules.PathBelowDrive(s.Data("a.txt"))], "alpha");
  EXPECT_EQ(drive_zip[rules.PathBelowDrive(s.Data("sub/b.bin"))], big);
  EXPECT_EQ(drive_zip.size(), 3u);

  EXPECT_EQ(s.FilesIn(s.temp), Names{stem + ".xml"});
  auto kept = LoadLog(s, log_path);
  EXPECT_TRUE(kept->Completed());
  ASSERT_EQ(kept->ZipCount(), 1);
  EXPECT_EQ(kept->Zip(1)->FilePath(1), s.Data("a.txt"));
}

TEST(SuccessfulPeriod, EmptyPeriodReplacesTheBackupAndLeavesNothingBehind) {
  Scratch s;
  WriteFile(s.backup, "an older backup");
  WriteFile(s.dir / "cwd/keep.txt", "x");
  CurrentFolder cwd(s.dir / "cwd");
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  safe.BeginSafety();
  const std::string log_name = s.fs->GetFileName(safe.log_file_name());
  safe.EndSafety();

  EXPECT_EQ(s.FilesIn(s.temp), Names{});
  EXPECT_EQ(s.FilesIn(s.dir / "cwd"), Names{"keep.txt"});
  const ArchiveContents backup = ReadArchive(s.backup, s.dir / "outer");
  ASSERT_EQ(backup.size(), 1u + RecordEntries(*s.fs));
  EXPECT_EQ(backup.count(log_name), 1u);
  EXPECT_EQ(safe.log(), nullptr);
}

TEST(SuccessfulPeriod, BeginSafetyNamesThePeriodAndCreatesMissingFolders) {
  Scratch s;
  const std::string temp = s.dir / "x/y/z";
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(temp);
  safe.BackupFile(s.backup);
  safe.BeginSafety();
  EXPECT_TRUE(safe.SafeMode());
  const std::string log_path = safe.log_file_name();
  EXPECT_EQ(s.fs->GetParentFolderName(log_path), temp);
  EXPECT_TRUE(std::regex_match(s.fs->GetFileName(log_path),
                               std::regex(R"(Safe \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d\.xml)")))
      << log_path;
  EXPECT_TRUE(Exists(log_path));

  // The log keeps the destination of BeginSafety's moment; EndSafety copies
  // to the destination of its own.
  const std::string later = s.dir / "later.zip";
  safe.BackupFile(later);
  safe.EndSafety(true);
  EXPECT_TRUE(Exists(later));
  EXPECT_FALSE(Exists(s.backup));
  EXPECT_EQ(LoadLog(s, log_path)->BackupDestFileName(), s.backup);
}

// The stamp of the clock `seconds` from now (the precise clock, as LocalNow
// reads it; time() may lag a few milliseconds behind it).
std::string StampIn(int seconds) {
  const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) + seconds;
  const std::tm tm = *std::localtime(&t);
  return PeriodStamp(LocalDateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec});
}

// A taken name (a log, or another period's lock file) moves the period on to
// the clock's next second, read afresh: never to a second the clock has not
// reached when BeginSafety returns.
TEST(SuccessfulPeriod, TakenNamesWaitForTheClock) {
  Scratch s;
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  const std::string start = StampIn(0);
  while (StampIn(0) == start) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::vector<std::string> planted;
  for (int i = 0; i < 3; ++i) {
    planted.push_back(StampIn(i));
    WriteFile(s.fs->BuildPath(s.temp, "Safe " + planted.back() + (i == 1 ? ".lock" : ".xml")), "taken");
  }
  safe.BeginSafety();
  const std::string returned = PeriodStamp(LocalNow());
  const std::string name = s.fs->GetFileName(safe.log_file_name());
  EXPECT_GT(name, "Safe " + planted.back() + ".xml");
  EXPECT_LE(name, "Safe " + returned + ".xml");
  for (const std::string& stamp : planted) {
    EXPECT_EQ(ReadFile(s.fs->BuildPath(s.temp, "Safe " + stamp + (stamp == planted[1] ? ".lock" : ".xml"))), "taken");
  }
  // The log's start date is the reading that named it.
  LocalDateTime named;
  ASSERT_EQ(std::sscanf(name.c_str(), "Safe %d-%d-%d %d.%d.%d", &named.year, &named.month, &named.day, &named.hour,
                        &named.minute, &named.second),
            6);
  EXPECT_NEAR(safe.log()->StartDate(), OleDateFromLocal(named), 1e-9);
}

// Periods begun together claim distinct names, and a period never adds to an
// archive that already holds its archive's name: it takes the next number.
TEST(SuccessfulPeriod, PeriodsBegunTogetherAndPlantedArchivesNeverShareAFile) {
  Scratch s;
  WriteFile(s.Data("a.txt"), "a");
  std::vector<std::unique_ptr<clsFileRollbackCreate>> periods;
  std::set<std::string> logs;
  for (int i = 0; i < 4; ++i) {
    periods.push_back(std::make_unique<clsFileRollbackCreate>(s.fs));
    periods.back()->TempDir(s.temp);
    periods.back()->BeginSafety();
    logs.insert(periods.back()->log_file_name());
  }
  EXPECT_EQ(logs.size(), 4u);
  const std::string stem = WithoutExtension(periods[0]->log_file_name());
  WriteFile(stem + "-1.zip", "planted");
  periods[0]->MakeFileSafe(s.Data("a.txt"));
  WriteFile(s.Data("a.txt"), "changed");
  periods[0]->UndoSafetyOperations(true, true);
  EXPECT_EQ(ReadFile(s.Data("a.txt")), "a");
  EXPECT_EQ(ReadFile(stem + "-1.zip"), "planted");
  EXPECT_FALSE(Exists(stem + "-2.zip"));
}

TEST(SuccessfulPeriod, FilesOfOneDriveShareOneArchiveAndTheLogListsEachCall) {
  Scratch s;
  WriteFile(s.Data("a.txt"), "a");
  WriteFile(s.Data("rel.txt"), "relative");
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  safe.BeginSafety();
  const std::string stem = WithoutExtension(safe.log_file_name());
  safe.MakeFileSafe(s.Data("a.txt"));
  safe.MakeFileSafe(s.Data("a.txt"));
  {
    CurrentFolder cwd(s.data);
    safe.MakeFileSafe("rel.txt");
  }

  auto log = LoadLog(s, safe.log_file_name());
  ASSERT_EQ(log->ZipCount(), 1);
  auto zip = log->Zip(1);
  EXPECT_EQ(zip->ZipId(), 1);
  EXPECT_EQ(zip->ZipName(), stem + "-1.zip");
  EXPECT_EQ(zip->ZipDrive(), s.fs->GetDriveName(s.data));
  ASSERT_EQ(zip->FileCount(), 3);
  EXPECT_EQ(zip->FilePath(1), s.Data("a.txt"));
  EXPECT_EQ(zip->FilePath(2), s.Data("a.txt"));
  EXPECT_EQ(zip->FilePath(3), s.Data("rel.txt"));
  EXPECT_EQ(s.FilesIn(s.temp), (Names{s.fs->GetFileName(stem) + "-1.zip", s.fs->GetFileName(stem) + ".xml"}));

  // The relative file was stored and recorded under its absolute path, so it
  // comes back from any current folder.
  WriteFile(s.Data("rel.txt"), "changed");
  safe.UndoSafetyOperations();
  EXPECT_EQ(ReadFile(s.Data("rel.txt")), "relative");
}

// A relative temporary folder is resolved when the period begins: the log
// records absolute archive paths, so recovery works from any current folder.
// A period is live while its object is in safe mode: a rollback of its log
// from anywhere else is refused before anything is touched; once the object
// is gone the period is unfinished and rolls back.
TEST(SuccessfulPeriod, ALivePeriodIsNeverRolledBackAndARelativeFolderGivesAbsolutePaths) {
  Scratch s;
  WriteFile(s.Data("a.txt"), "original");
  auto safe = std::make_unique<clsFileRollbackCreate>(s.fs);
  {
    CurrentFolder cwd(s.dir.path());
    safe->TempDir("rollback");
    safe->BackupFile(s.backup);
    safe->BeginSafety();
    safe->MakeFileSafe(s.Data("a.txt"));
  }
  EXPECT_EQ(safe->TempDir(), std::string("rollback") + s.fs->paths().Separator());
  EXPECT_TRUE(s.fs->paths().IsAbsolute(safe->log_file_name()));
  EXPECT_EQ(s.fs->GetParentFolderName(safe->log_file_name()), s.temp);
  auto log = LoadLog(s, safe->log_file_name());
  EXPECT_TRUE(s.fs->paths().IsAbsolute(log->Zip(1)->ZipName()));

  WriteFile(s.Data("a.txt"), "changed");
  EXPECT_TRUE(log->IsLive());
  const Raised raised = Catch([&] { log->Rollback(); });
  EXPECT_EQ(raised.number, 70);
  EXPECT_EQ(raised.source, "VELMARBrightkeep");
  EXPECT_EQ(raised.description, "Permission denied: the period is still in progress");
  EXPECT_EQ(ReadFile(s.Data("a.txt")), "changed");
  EXPECT_EQ(s.FilesIn(s.temp).size(), 2u);  // the log and the archive

  safe.reset();
  EXPECT_FALSE(log->IsLive());
  log->Rollback();
  EXPECT_EQ(ReadFile(s.Data("a.txt")), "original");
}

}  // namespace
}  // namespace bk::testing
