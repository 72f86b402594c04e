// The errors a host receives from the safe-mode object, and what each leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

using Names = std::vector<std::string>;

void ExpectRaised(const Raised& raised, int32_t number, const std::string& source,
                  const std::string& description) {
  EXPECT_EQ(raised.number, number);
  EXPECT_EQ(raised.source, source);
  EXPECT_EQ(raised.description, description);
}

TEST(SafeModeErrors, ANewObjectIsIdleAndTempDirEndsWithTheSeparator) {
  Scratch s;
  clsFileRollbackCreate safe(s.fs);
  EXPECT_FALSE(safe.SafeMode());
  EXPECT_EQ(safe.TempDir(), "");
  EXPECT_EQ(safe.BackupFile(), "");

  const std::string sep(1, s.fs->paths().Separator());
  safe.TempDir(s.temp);
  EXPECT_EQ(safe.TempDir(), s.temp + sep);
  safe.TempDir(s.temp + sep);
  EXPECT_EQ(safe.TempDir(), s.temp + sep);
  safe.TempDir("");
  EXPECT_EQ(safe.TempDir(), sep);
  safe.BackupFile("kept as given");
  EXPECT_EQ(safe.BackupFile(), "kept as given");
}

TEST(SafeModeErrors, FileNotFoundCreatesNoArchive) {
  Scratch s;
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BeginSafety();
  const std::string log_name = s.fs->GetFileName(safe.log_file_name());
  WriteFile(s.Data("present.txt"), "x");
  for (const std::string& path : {s.Data("missing.txt"), s.data, std::string()}) {
    SCOPED_TRACE(path);
    ExpectRaised(Catch([&] { safe.MakeFileSafe(path); }), bkCreateErrorFileNotFound, "MakeFileSafe",
                 "File Not Found");
  }
  EXPECT_EQ(s.FilesIn(s.temp), Names{log_name});
  EXPECT_EQ(safe.log()->ZipCount(), 0);
}

// A tree that holds the period's own files is refused before anything of it
// is recorded or stored: its rollback would remove them.
TEST(SafeModeErrors, ATreeHoldingThePeriodsFilesIsRefused) {
  Scratch s;
  WriteFile(s.Data("a.txt"), "x");
  for (const bool backup_inside : {false, true}) {
    SCOPED_TRACE(backup_inside);
    clsFileRollbackCreate safe(s.fs);
    safe.TempDir(backup_inside ? s.temp : s.Data("rollback"));
    safe.BackupFile(backup_inside ? s.Data("out.zip") : s.backup);
    safe.BeginSafety();
    const std::string what = backup_inside ? "backup file" : "temporary folder";
    ExpectRaised(Catch([&] { safe.MakeTreeSafe(s.data); }), 70, "MakeTreeSafe",
                 "Permission denied: the " + what + " lies inside the tree");
    EXPECT_EQ(safe.log()->ZipCount(), 0);
    safe.UndoSafetyOperations(true, true);
  }
  ExpectRaised(Catch([&] { clsFileRollbackCreate(s.fs).MakeTreeSafe(s.data); }), 91, kLibrarySource,
               "Object variable or With block variable not set");
}

TEST(SafeModeErrors, SafeModeStateErrors) {
  Scratch s;
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  ExpectRaised(Catch([&] { safe.UndoSafetyOperations(); }), bkCreateErrorNotInSafeMode,
               "UndoSafetyOperations", "Not in safe mode");

  safe.BeginSafety();
  const std::string log_path = safe.log_file_name();
  WriteFile(s.Data("a.txt"), "a");
  safe.MakeFileSafe(s.Data("a.txt"));
  const Names before = s.FilesIn(s.temp);
  ExpectRaised(Catch([&] { safe.BeginSafety(); }), bkCreateErrorAlreadyInSafeMode, "BeginSafety",
               "Already in safe mode");
  EXPECT_TRUE(safe.SafeMode());
  EXPECT_EQ(safe.log_file_name(), log_path);
  EXPECT_EQ(s.FilesIn(s.temp), before);

  safe.UndoSafetyOperations();
  ExpectRaised(Catch([&] { safe.UndoSafetyOperations(); }), bkCreateErrorNotInSafeMode,
               "UndoSafetyOperations", "Not in safe mode");
  safe.BeginSafety();
  safe.EndSafety();
  ExpectRaised(Catch([&] { safe.UndoSafetyOperations(); }), bkCreateErrorNotInSafeMode,
               "UndoSafetyOperations", "Not in safe mode");
}

TEST(SafeModeErrors, NoOpenPeriodIsObjectNotSetAndWritesNothing) {
  Scratch s;
  WriteFile(s.Data("a.txt"), "a");
  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  // The existence test comes first.
  EXPECT_EQ(Catch([&] { safe.MakeFileSafe(s.Data("missing.txt")); }).number, bkCreateErrorFileNotFound);
  EXPECT_EQ(Catch([&] { safe.MakeFileSafe(s.Data("a.txt")); }).number, errnum::kObjectNotSet);
  EXPECT_EQ(Catch([&] { safe.EndSafety(); }).number, errnum::kObjectNotSet);
  EXPECT_FALSE(safe.SafeMode());
  EXPECT_FALSE(s.fs->FolderExists(s.temp));
  EXPECT_FALSE(Exists(s.backup));

  safe.BeginSafety();
  safe.EndSafety();
  const Names after_period = s.FilesIn(s.temp);
  EXPECT_EQ(Catch([&] { safe.MakeFileSafe(s.Data("a.txt")); }).number, errnum::kObjectNotSet);
  EXPECT_EQ(Catch([&] { safe.EndSafety(); }).number, errnum::kObjectNotSet);
  EXPECT_EQ(s.FilesIn(s.temp), after_period);
}

TEST(SafeModeErrors, AFolderWithoutExistingAncestorIsBadFileName) {
  Scratch s;
  clsFileRollbackCreate never_set(s.fs);
  EXPECT_EQ(Catch([&] { never_set.BeginSafety(); }).number, errnum::kBadFileNameOrNumber);
  EXPECT_FALSE(never_set.SafeMode());
  EXPECT_EQ(never_set.log(), nullptr);

  EXPECT_EQ(Catch([&] { CreateFolderPath(*s.fs, ""); }).number, errnum::kBadFileNameOrNumber);
  if (OnWindows()) {
    // A drive letter that no Wine prefix maps.
    EXPECT_EQ(Catch([&] { CreateFolderPath(*s.fs, "Q:\\no\\such\\drive\\"); }).number,
              errnum::kBadFileNameOrNumber);
  }
}

TEST(SafeModeErrors, CreateFolderPathCreatesFromTheTopDown) {
  Scratch s;
  const std::string sep(1, s.fs->paths().Separator());
  const std::string deep = s.dir / "A/B/C";
  CreateFolderPath(*s.fs, deep + sep);
  EXPECT_TRUE(s.fs->FolderExists(deep));
  CreateFolderPath(*s.fs, deep);  // an existing folder is left as it is
  EXPECT_TRUE(s.fs->FolderExists(deep));
}

// Another period starting at the same moment makes a folder between the look
// and the creation: the folder it made is taken, whatever else holds the
// name is refused.
TEST(SafeModeErrors, CreateFolderPathTakesAFolderMadeMeanwhile) {
  class Racing : public ForwardingFileSystem {
   public:
    Racing(std::shared_ptr<FileSystem> target, bool file) : ForwardingFileSystem(std::move(target)), file_(file) {}
    void CreateFolder(std::string_view path) override {
      file_ ? target().Open(path, OpenMode::kCreateNew)->Close() : target().CreateFolder(path);
      ForwardingFileSystem::CreateFolder(path);
    }

   private:
    bool file_;
  };
  for (const bool file : {false, true}) {
    Scratch s;
    const std::string deep = s.dir / (file ? "F/G" : "A/B");
    Racing racing(s.fs, file);
    if (file) {
      EXPECT_EQ(Catch([&] { CreateFolderPath(racing, deep); }).number, errnum::kFileAlreadyExists);
      EXPECT_TRUE(s.fs->FileExists(s.dir / "F"));
    } else {
      CreateFolderPath(racing, deep);
      EXPECT_TRUE(s.fs->FolderExists(deep));
    }
  }
}

}  // namespace
}  // namespace bk::testing
