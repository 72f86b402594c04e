// Assessment of a temporary folder: which files are taken for logs, which
// logs are listed, what is skipped and why, and the life of the collections.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/fault_injection.h"
#include "log/rollback_log.h"
#include "recovery/rollback_manager.h"
#include "safemode/file_rollback_create.h"
#include "support/temp_dir.h"

namespace bk::testing {
namespace {

std::shared_ptr<clsFileRollbackLog> WriteLog(const std::string& path, bool completed) {
  auto log = clsFileRollbackLog::Create();
  log->CreateLogFile(path);
  if (completed) log->Completed(true);
  return log;
}

// A log file written by hand (UTF-8 is accepted as well as UTF-16).
std::string HandLog(const std::string& root_attributes, const std::string& zips) {
  return "<VELMARFileRollbackLog Version=\"1.0\"" + root_attributes +
         "><StartDate Value=\"37298.5859259259\"/><TempPath/><BackupDestination Value=\"\"/><ZipFiles>" + zips +
         "</ZipFiles></VELMARFileRollbackLog>";
}

std::string DataFile(const TempDir& dir, int i) {
  std::string name = "data/file";
  name += std::to_string(i);
  return dir / (name + ".txt");
}

std::set<std::string> ListedPaths(const clsRollbackManager& manager) {
  std::set<std::string> paths;
  for (const auto& log : *manager.FailedLogs()) paths.insert(log->LogFileName());
  return paths;
}

std::map<std::string, std::string> SkippedErrors(const clsRollbackManager& manager) {
  std::map<std::string, std::string> out;
  for (const SkippedLog& s : manager.SkippedLogs()) out[s.path] = std::to_string(s.error.number());
  return out;
}

TEST(RollbackManager, FreshManagerHasNoCollectionAndAnEmptyFolderGivesAnEmptyOne) {
  TempDir dir;
  clsRollbackManager manager;
  EXPECT_EQ(manager.FailedLogs(), nullptr);
  WriteFile(dir / "notes.txt", "not a log");
  manager.AssessRollback(dir.path());
  ASSERT_NE(manager.FailedLogs(), nullptr);
  EXPECT_EQ(manager.FailedLogs()->Count(), 0);
  EXPECT_TRUE(manager.SkippedLogs().empty());
}

TEST(RollbackManager, ListsOnlyLogsNotMarkedCompleted) {
  TempDir dir;
  const std::string open = dir / "Safe 2002-02-11 14.03.44.xml";
  WriteLog(open, false);
  WriteLog(dir / "Safe 2002-02-11 15.00.00.xml", true);
  // Marks as stored by other writers: "true" in lower case and a non-zero
  // number read as completed; a word that is no boolean reads as not.
  WriteFile(dir / "Safe lower.xml", HandLog(" Completed=\"true\"", ""));
  WriteFile(dir / "Safe number.xml", HandLog(" Completed=\"-1\"", ""));
  WriteFile(dir / "Safe word.xml", HandLog(" Completed=\"maybe\"", ""));

  clsRollbackManager manager;
  manager.AssessRollback(dir.path());
  EXPECT_EQ(ListedPaths(manager), (std::set<std::string>{open, dir / "Safe word.xml"}));
  EXPECT_TRUE(manager.SkippedLogs().empty());
}

TEST(RollbackManager, TakesOnlySafeDotXmlNamesDirectlyInTheFolder) {
  TempDir dir;
  WriteLog(dir / "model.xml", false);
  const std::string open_log = ReadFile(dir / "model.xml");
  // Every one of these holds a loadable unfinished log: listing one would
  // show it was taken for a log.
  // Names differ beyond letter case, for file systems that ignore it.
  for (const char* name : {"safe 1.xml", "SAFE 2.xml", "Safe 3.XML", "Safe 4.Xml", "Safe 5.xml.bak", "Saf.xml",
                           "Safe", "Safe.xmlx", "xSafe 6.xml"}) {
    WriteFile(dir / name, open_log);
  }
  WriteFile(dir / "sub/Safe 4.xml", open_log);
  WriteFile(dir / "Safety.xml", open_log);
  WriteFile(dir / "Safe.old.xml", open_log);
  WriteFile(dir / "Safe.xml", open_log);
  // Not a candidate, so not tried and not reported either.
  WriteFile(dir / "safe broken.xml", "<not a log");

  clsRollbackManager manager;
  manager.AssessRollback(dir.path());
  EXPECT_EQ(ListedPaths(manager),
            (std::set<std::string>{dir / "Safety.xml", dir / "Safe.old.xml", dir / "Safe.xml"}));
  EXPECT_TRUE(manager.SkippedLogs().empty());
}

TEST(RollbackManager, SkipsCandidatesThatFailToLoadAndReportsWhy) {
  TempDir dir;
  WriteLog(dir / "Safe 1.xml", false);
  WriteLog(dir / "Safe 9.xml", false);
  WriteFile(dir / "Safe 3.xml", "<VELMARFileRollbackLog><StartDate");
  WriteFile(dir / "Safe 4.xml", "");
  WriteFile(dir / "Safe 5.xml", HandLog("", "<ZipFile ZipId=\"1\" Name=\"a.zip\" Drive=\"C:\"/>"
                                            "<ZipFile ZipId=\"2\" Name=\"b.zip\" Drive=\"c:\"/>"));

  clsRollbackManager manager;
  manager.AssessRollback(dir.path());
  EXPECT_EQ(ListedPaths(manager), (std::set<std::string>{dir / "Safe 1.xml", dir / "Safe 9.xml"}));
  const auto skipped = SkippedErrors(manager);
  ASSERT_EQ(skipped.size(), 3u);
  EXPECT_EQ(skipped.at(dir / "Safe 3.xml"), std::to_string(errnum::kXmlParseError));
  EXPECT_EQ(skipped.count(dir / "Safe 4.xml"), 1u);
  EXPECT_EQ(skipped.at(dir / "Safe 5.xml"), std::to_string(errnum::kDuplicateKey));
  for (const SkippedLog& s : manager.SkippedLogs()) EXPECT_FALSE(s.error.description().empty()) << s.path;

  // The next assessment reports only its own skips.
  DefaultFileSystem()->RemoveFile(dir / "Safe 3.xml", true);
  DefaultFileSystem()->RemoveFile(dir / "Safe 4.xml", true);
  DefaultFileSystem()->RemoveFile(dir / "Safe 5.xml", true);
  manager.AssessRollback(dir.path());
  EXPECT_TRUE(manager.SkippedLogs().empty());
}

TEST(RollbackManager, AFolderThatCannotBeOpenedLeavesThePreviousAssessment) {
  TempDir dir;
  WriteLog(dir / "Safe 1.xml", false);
  WriteFile(dir / "Safe 2.xml", "garbage");
  auto faults = std::make_shared<FaultInjectingFileSystem>(DefaultFileSystem());
  clsRollbackManager manager(faults);

  try {
    manager.AssessRollback(dir / "missing");
    ADD_FAILURE() << "a missing folder was assessed";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), errnum::kPathNotFound);
  }
  EXPECT_EQ(manager.FailedLogs(), nullptr);

  manager.AssessRollback(dir.path());
  const auto first = manager.FailedLogs();
  ASSERT_EQ(first->Count(), 1);
  EXPECT_THROW(manager.AssessRollback(dir / "missing"), Error);
  faults->FailAt(1, kFaultList);
  EXPECT_THROW(manager.AssessRollback(dir.path()), Error);
  EXPECT_EQ(manager.FailedLogs(), first);
  EXPECT_EQ(first->Count(), 1);
  EXPECT_EQ(manager.SkippedLogs().size(), 1u);
}

TEST(RollbackManager, EachAssessmentGivesANewCollectionAndEarlierOnesKeepTheirItems) {
  TempDir a, b;
  WriteLog(a / "Safe 1.xml", false);
  WriteLog(a / "Safe 2.xml", false);
  WriteLog(b / "Safe 3.xml", false);
  clsRollbackManager manager;
  manager.AssessRollback(a.path());
  const auto first = manager.FailedLogs();
  const auto first_item = first->Item(1);
  manager.AssessRollback(b.path());
  const auto second = manager.FailedLogs();
  ASSERT_NE(second, first);
  EXPECT_EQ(second->Count(), 1);
  EXPECT_EQ(second->Item(1)->LogFileName(), b / "Safe 3.xml");
  ASSERT_EQ(first->Count(), 2);
  EXPECT_EQ(first->Item(1), first_item);
  EXPECT_EQ(first_item->ZipCount(), 0);  // still loaded and usable

  manager.AssessRollback(b.path());
  EXPECT_NE(manager.FailedLogs(), second);
  EXPECT_EQ(second->Count(), 1);
}

TEST(RollbackManager, AssessmentChangesNoFile) {
  TempDir dir;
  WriteLog(dir / "Safe 1.xml", false);
  WriteLog(dir / "Safe 2.xml", true);
  WriteFile(dir / "Safe 3.xml", "garbage");
  WriteFile(dir / "Safe 4.xml", HandLog(" Completed=\"maybe\"", ""));
  auto fs = DefaultFileSystem();
  std::map<std::string, std::pair<std::string, int64_t>> before;
  for (const auto& e : fs->ListFiles(dir.path())) before[e.path] = {ReadFile(e.path), fs->Stat(e.path).modified_ns};

  clsRollbackManager manager;
  manager.AssessRollback(dir.path());
  ASSERT_EQ(manager.FailedLogs()->Count(), 2);
  std::map<std::string, std::pair<std::string, int64_t>> after;
  for (const auto& e : fs->ListFiles(dir.path())) after[e.path] = {ReadFile(e.path), fs->Stat(e.path).modified_ns};
  EXPECT_EQ(after, before);
}

// Two hosts stopped in the middle of their periods; a later start rolls both
// back from the logs they left.
TEST(RollbackManager, RollingBackEveryListedLogRestoresEveryUnfinishedPeriod) {
  TempDir dir;
  const std::string temp = dir / "rollback";
  std::map<std::string, std::string> original;
  for (int i = 0; i < 4; ++i) {
    const std::string path = DataFile(dir, i);
    original[path] = "original " + std::to_string(i);
    WriteFile(path, original[path]);
  }
  for (int period = 0; period < 2; ++period) {
    clsFileRollbackCreate host;
    host.TempDir(temp);
    host.BackupFile(dir / "backup.zip");
    host.BeginSafety();
    for (int i = period * 2; i < period * 2 + 2; ++i) {
      const std::string path = DataFile(dir, i);
      host.MakeFileSafe(path);
      WriteFile(path, "changed");
    }
    // The host goes away without ending or undoing its period.
  }

  clsRollbackManager manager;
  manager.AssessRollback(temp);
  ASSERT_EQ(manager.FailedLogs()->Count(), 2);
  for (const auto& log : *manager.FailedLogs()) log->Rollback();
  for (const auto& [path, bytes] : original) EXPECT_EQ(ReadFile(path), bytes) << path;
  // The archives are gone, the logs stay until the host removes them.
  std::vector<std::string> left;
  for (const auto& e : DefaultFileSystem()->ListFiles(temp)) left.push_back(DefaultFileSystem()->GetExtensionName(e.name));
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"xml", "xml"}));
}

}  // namespace
}  // namespace bk::testing
