// A host's failed period: every change is undone from the drive archives,
// from the object itself or later from the log it left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "log/drive_marker.h"
#include "log/rollback_log.h"
#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

using Names = std::vector<std::string>;
constexpr int64_t kOldTime = 1500000000;  // 2017-07-14, a whole even second

void RemoveTree(const std::string& path) {
  std::filesystem::remove_all(std::filesystem::path(std::u8string(path.begin(), path.end())));
}

// Files of every kind a host changes, with their states before the period.
struct HostFiles {
  explicit HostFiles(Scratch& s) : s_(s) {
    Put("plain.txt", "plain text\r\n");
    Put("deleted.txt", "deleted by the host");
    Put("gone/deep/nested.txt", "in a folder the host removes");
    Put("big.bin", NoiseBytes(2 * 1024 * 1024 + 17, 3));
    Put("empty.txt", "");
    Put("readonly.txt", "read only");
    MakeReadOnly(s.Data("readonly.txt"));
    for (auto& [path, state] : before) state = Snapshot(*s.fs, path);
  }
  void Put(const std::string& name, const std::string& bytes) {
    const std::string path = s_.Data(name);
    WriteFile(path, bytes);
    s_.fs->SetModifiedTime(path, kOldTime * 1000000000);
    before[path] = {};
  }
  void MakeSafe(clsFileRollbackCreate& safe) {
    for (const auto& entry : before) safe.MakeFileSafe(entry.first);
  }
  void Change() {
    WriteFile(s_.Data("plain.txt"), "rewritten");
    MakeReadOnly(s_.Data("plain.txt"));
    s_.fs->RemoveFile(s_.Data("deleted.txt"), true);
    RemoveTree(s_.Data("gone"));
    WriteFile(s_.Data("big.bin"), "truncated");
    WriteFile(s_.Data("empty.txt"), "no longer empty");
    s_.fs->RemoveFile(s_.Data("readonly.txt"), true);
    WriteFile(s_.Data("readonly.txt"), "writable now");
  }
  void ExpectRestored() {
    for (const auto& [path, state] : before) {
      ASSERT_TRUE(s_.fs->FileExists(path)) << path;
      const FileState now = Snapshot(*s_.fs, path);
      EXPECT_EQ(now.bytes.size(), state.bytes.size()) << path;
      EXPECT_TRUE(now.bytes == state.bytes) << path;
      EXPECT_EQ(now.modified_s, state.modified_s) << path;
      EXPECT_EQ(now.read_only, state.read_only) << path;
    }
  }
  Scratch& s_;
  std::map<std::string, FileState> before;
};

class FailedPeriod : public ::testing::Test {
 protected:
  // Begins a period, makes every host file safe and changes them all.
  void MakeSafeAndChange() {
    Begin(safe);
    files.MakeSafe(safe);
    files.Change();
  }
  void Begin(clsFileRollbackCreate& object) {
    object.TempDir(s.temp);
    object.BackupFile(s.backup);
    object.BeginSafety();
    log_name = s.fs->GetFileName(object.log_file_name());
  }
  std::string Stem() const { return log_name.substr(0, log_name.size() - 4); }

  Scratch s;
  HostFiles files{s};
  clsFileRollbackCreate safe{s.fs};
  std::string log_name;
};

TEST_F(FailedPeriod, UndoPutsEveryFileBackAndDeletesTheArchives) {
  MakeSafeAndChange();
  safe.UndoSafetyOperations();

  files.ExpectRestored();
  EXPECT_FALSE(safe.SafeMode());
  // The record stays as long as the log it serves.
  EXPECT_EQ(s.FilesIn(s.temp), Names{log_name});
  auto log = clsFileRollbackLog::Create(s.fs);
  log->LoadFromFile(s.fs->BuildPath(s.temp, log_name));
  EXPECT_FALSE(log->Completed());
  const std::string root = s.fs->paths().DriveRoot(s.fs->GetDriveName(s.data));
  EXPECT_FALSE(s.fs->FileExists(s.fs->BuildPath(root, kDriveMarkerName)));
  EXPECT_FALSE(Exists(s.backup));
}

TEST_F(FailedPeriod, UndoCanKeepTheArchivesAndDeleteTheLog) {
  MakeSafeAndChange();
  safe.UndoSafetyOperations(true, false);

  files.ExpectRestored();
  EXPECT_EQ(s.FilesIn(s.temp), Names{Stem() + "-1.zip"});
  // The kept archive restores the same files again.
  files.Change();
  safe.log()->Rollback(false);
  files.ExpectRestored();
}

TEST_F(FailedPeriod, UndoOfAnEmptyPeriodTouchesNoFile) {
  WriteFile(s.Data("untouched.txt"), "left alone");
  Begin(safe);
  WriteFile(s.Data("untouched.txt"), "changed without being made safe");
  safe.UndoSafetyOperations(true);
  EXPECT_EQ(ReadFile(s.Data("untouched.txt")), "changed without being made safe");
  EXPECT_EQ(s.FilesIn(s.temp), Names{});

  // The object is idle again and starts a new period.
  EXPECT_FALSE(safe.SafeMode());
  safe.BeginSafety();
  EXPECT_TRUE(safe.SafeMode());
  EXPECT_TRUE(Exists(safe.log_file_name()));
}

TEST_F(FailedPeriod, ALogLeftByADestroyedObjectRollsBackLater) {
  {
    clsFileRollbackCreate crashed(s.fs);
    Begin(crashed);
    files.MakeSafe(crashed);
  }
  files.Change();
  EXPECT_EQ(s.FilesIn(s.temp), (Names{Stem() + "-1.zip", log_name}));

  auto log = clsFileRollbackLog::Create(s.fs);
  log->LoadFromFile(s.fs->BuildPath(s.temp, log_name));
  ASSERT_FALSE(log->Completed());
  log->Rollback();
  files.ExpectRestored();
  EXPECT_EQ(s.FilesIn(s.temp), Names{log_name});
}

// A period that ended while its tree was being listed left a record cut
// inside the listing: that tree is left out (nothing of it is removed) and
// the files the log lists still come back. The whole record puts it back.
TEST(RecordedTree, ARecordCutInsideATreesListingLeavesThatTreeOut) {
  Scratch s;
  WriteFile(s.Data("a.txt"), "original");
  WriteFile(s.Data("sub/b.txt"), "b");
  struct Cut {
    const char* what;
    int64_t before_end;  // bytes cut before the listing's closing line; -1: none
  };
  for (const Cut cut : {Cut{"before the closing line", 0}, Cut{"inside the last entry", 3}, Cut{"whole", -1}}) {
    SCOPED_TRACE(cut.what);
    std::string log_path;
    {
      clsFileRollbackCreate crashed(s.fs);
      crashed.TempDir(s.temp);
      crashed.BeginSafety();
      crashed.MakeTreeSafe(s.data);
      log_path = crashed.log_file_name();
    }
    const std::string record = PeriodNames::OfLog(log_path).Record();
    if (cut.before_end >= 0) {
      const std::string bytes = ReadFile(record);
      const size_t closing = bytes.find("\nt\t");
      ASSERT_NE(closing, std::string::npos);
      WriteFile(record, bytes.substr(0, closing + 1 - static_cast<size_t>(cut.before_end)));
    }
    WriteFile(s.Data("a.txt"), "changed");
    WriteFile(s.Data("added.txt"), "added");
    auto log = clsFileRollbackLog::Create(s.fs);
    log->LoadFromFile(log_path);
    RestoreReport report;
    log->RollbackAndRemove(report);
    EXPECT_EQ(ReadFile(s.Data("a.txt")), "original");
    EXPECT_EQ(Exists(s.Data("added.txt")), cut.before_end >= 0);
    EXPECT_EQ(report.removed.size(), cut.before_end >= 0 ? 0u : 1u);
    if (Exists(s.Data("added.txt"))) s.fs->RemoveFile(s.Data("added.txt"), true);
  }
}

}  // namespace
}  // namespace bk::testing
