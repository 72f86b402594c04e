// A period whose work succeeded, ended by a host that must never see it
// undone: the backup kept in the temporary folder when it cannot go where
// asked; and names recorded as holding no file, which an undo clears.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "log/rollback_log.h"
#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

TEST(BackupEnd, ABackupThatCannotGoWhereAskedIsKeptAndThePeriodEnds) {
  Scratch s;
  WriteFile(s.Data("a.txt"), "before");
  const std::string asked = s.dir / "gone/out.zip";
  // The second period finds the first one's kept backup at the name.
  for (const std::string expected : {"out.zip", "out-2.zip"}) {
    clsFileRollbackCreate safe(s.fs);
    safe.TempDir(s.temp);
    safe.BackupFile(asked);
    safe.BeginSafety();
    safe.MakeFileSafe(s.Data("a.txt"));
    WriteFile(s.Data("a.txt"), "after");
    std::optional<Error> why;
    const std::string kept = safe.EndSafetyKeepingBackup(true, &why);
    EXPECT_EQ(kept, s.fs->BuildPath(s.temp, expected));
    ASSERT_TRUE(why.has_value());
    EXPECT_TRUE(why->IsNotFound()) << why->what();
    auto log = clsFileRollbackLog::Create(s.fs);
    log->LoadFromFile(safe.log_file_name());
    EXPECT_TRUE(log->Completed()) << "a change that succeeded is never left for a rollback";
    std::vector<std::string> kinds;
    for (const auto& [name, bytes] : ReadArchive(kept, s.dir / ("read-" + expected))) {
      kinds.push_back(name.substr(name.rfind('.')));
    }
    std::sort(kinds.begin(), kinds.end());
    const std::vector<std::string> with_record{".record", ".xml", ".zip"}, without{".xml", ".zip"};
    EXPECT_EQ(kinds, s.fs->paths().HasPosixModes() ? with_record : without);
    EXPECT_EQ(ReadFile(s.Data("a.txt")), "after");
  }
}

TEST(BackupEnd, AnUndoRemovesWhatWasMadeAtANameThatHeldNoFile) {
  Scratch s;
  WriteFile(s.Data("kept.txt"), "kept");
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  safe.BeginSafety();
  safe.MakeFileSafe(s.Data("kept.txt"));
  safe.RecordAbsentFiles({s.Data("new.txt"), s.Data("folder"), s.Data("never.txt")});
  WriteFile(s.Data("new.txt"), "made by the period");
  std::filesystem::create_directory(s.Data("folder"));
  WriteFile(s.Data("kept.txt"), "changed");
  RestoreReport report;
  safe.UndoReporting(report, true, true);
  EXPECT_FALSE(s.fs->FileExists(s.Data("new.txt")));
  EXPECT_EQ(report.removed, std::vector<std::string>{s.Data("new.txt")});
  EXPECT_TRUE(s.fs->FolderExists(s.Data("folder"))) << "a folder is never the period's to remove";
  ASSERT_EQ(report.left.size(), 1u);
  EXPECT_EQ(report.left[0].path(), s.Data("folder"));
  EXPECT_EQ(ReadFile(s.Data("kept.txt")), "kept");
}

}  // namespace
}  // namespace bk::testing
