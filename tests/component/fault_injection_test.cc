#include "support/fault_injection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

#include "support/temp_dir.h"

namespace bk {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::set<std::string> FilesIn(FileSystem& fs, const std::string& folder) {
  std::set<std::string> out;
  for (const auto& e : fs.ListFiles(folder)) out.insert(e.name);
  return out;
}

void WriteThrough(FileSystem& fs, const std::string& path, OpenMode mode, std::string_view bytes, bool sync) {
  auto f = fs.Open(path, mode);
  f->WriteAt(0, bytes.data(), bytes.size());
  if (sync) f->Sync();
  f->Close();
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::shared_ptr<FaultInjectingFileSystem> fs_ = std::make_shared<FaultInjectingFileSystem>(DefaultFileSystem());
  std::string At(std::string_view name) const { return fs_->BuildPath(dir_.path(), name); }
};

// Fails each step of a durable replace in turn, then lets it run clean: the
// target always holds the old or the new content, never a mixture, and no
// temporary file stays behind.
TEST_F(FaultInjectionTest, DurableReplaceFailingAtEveryOperation) {
  const std::string target = At("log.xml");
  uint64_t n = 1;
  for (;; ++n) {
    ASSERT_LT(n, 100u);
    WriteFile(target, "old content");
    fs_->FailAt(n, kFaultAny, false, errnum::kDiskFull);
    bool failed = false;
    try {
      fs_->ReplaceFileDurably(target, "new content, longer");
    } catch (const Error& e) {
      failed = true;
      EXPECT_EQ(e.number(), errnum::kDiskFull) << "step " << n;
    }
    const bool fired = fs_->fault_fired();
    fs_->ClearFault();
    EXPECT_EQ(failed, fired) << "step " << n;
    const std::string now = ReadFile(target);
    EXPECT_TRUE(now == "old content" || now == "new content, longer") << "step " << n << ": " << now;
    EXPECT_EQ(FilesIn(*fs_, dir_.path()), std::set<std::string>{"log.xml"}) << "step " << n;
    if (!fired) {
      EXPECT_EQ(now, "new content, longer");
      break;
    }
  }
  // Open, write, sync, close, rename, sync of the folder at least.
  EXPECT_GE(n, 7u);
}

TEST_F(FaultInjectionTest, ChosenKindsOnlyAndPersistentFaults) {
  const std::string target = At("t.txt");
  WriteFile(target, "old");
  fs_->FailAt(1, kFaultSync);
  EXPECT_THROW(fs_->ReplaceFileDurably(target, "new"), Error);
  EXPECT_TRUE(fs_->fault_fired());
  EXPECT_EQ(fs_->operation_count(), 1u);
  EXPECT_EQ(ReadFile(target), "old");
  EXPECT_EQ(FilesIn(*fs_, dir_.path()), std::set<std::string>{"t.txt"});

  // From the second rename on, every rename fails.
  fs_->FailAt(2, kFaultRename, true, errnum::kPermissionDenied);
  fs_->ReplaceFileDurably(target, "one");
  for (int i = 0; i < 3; ++i) {
    try {
      fs_->ReplaceFileDurably(target, "two");
      ADD_FAILURE() << "rename did not fail";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), errnum::kPermissionDenied);
      EXPECT_EQ(e.description(), "Permission denied");
    }
  }
  EXPECT_EQ(fs_->operation_count(), 4u);
  EXPECT_EQ(ReadFile(target), "one");
  fs_->ClearFault();
  fs_->ReplaceFileDurably(target, "three");
  EXPECT_EQ(ReadFile(target), "three");
}

TEST_F(FaultInjectionTest, PowerCutLosesUnsyncedWritesOnly) {
  WriteFile(At("pre.txt"), "there before");
  WriteThrough(*fs_, At("a.txt"), OpenMode::kCreate, "synced", true);
  fs_->SyncFolder(dir_.path());
  WriteThrough(*fs_, At("a.txt"), OpenMode::kReadWrite, "LOST!!", false);
  WriteThrough(*fs_, At("b.txt"), OpenMode::kCreate, "no sync", false);
  WriteThrough(*fs_, At("pre.txt"), OpenMode::kCreate, "kept", true);
  fs_->SyncFolder(dir_.path());
  EXPECT_EQ(ReadFile(At("a.txt")), "LOST!!");
  fs_->PowerCut();
  EXPECT_EQ(ReadFile(At("a.txt")), "synced");
  // The name of b.txt was flushed with its folder, its data never was.
  EXPECT_EQ(ReadFile(At("b.txt")), "");
  EXPECT_EQ(ReadFile(At("pre.txt")), "kept");
}

// Files flushed together are one counted operation: failed, it makes none of
// them durable; run, it makes each durable and no other.
TEST_F(FaultInjectionTest, FilesSyncedTogether) {
  WriteFile(At("a.txt"), "a old");
  WriteFile(At("b.txt"), "b old");
  WriteFile(At("c.txt"), "c old");
  std::vector<std::unique_ptr<File>> open;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    open.push_back(fs_->Open(At(name), OpenMode::kReadWrite));
    open.back()->WriteAt(0, "new!!", 5);
  }
  fs_->FailAt(1, kFaultSync);
  EXPECT_THROW(fs_->SyncFiles({open[0].get(), open[1].get()}), Error);
  EXPECT_TRUE(fs_->fault_fired());
  fs_->ClearFault();
  fs_->SyncFiles({open[0].get(), open[1].get()});
  EXPECT_EQ(fs_->operation_count(), 2u);
  for (auto& f : open) f->Close();
  fs_->PowerCut();
  EXPECT_EQ(ReadFile(At("a.txt")), "new!!");
  EXPECT_EQ(ReadFile(At("b.txt")), "new!!");
  EXPECT_EQ(ReadFile(At("c.txt")), "c old");
}

TEST_F(FaultInjectionTest, PowerCutUndoesEntryChangesOfUnsyncedFolders) {
  WriteFile(At("target.txt"), "old");
  WriteFile(At("gone.txt"), "removed but back");
  WriteThrough(*fs_, At("tmp.txt"), OpenMode::kCreateNew, "new", true);
  fs_->RenameFile(At("tmp.txt"), At("target.txt"));
  fs_->RemoveFile(At("gone.txt"), true);
  fs_->CreateFolder(At("sub"));
  WriteThrough(*fs_, fs_->BuildPath(At("sub"), "inner.txt"), OpenMode::kCreateNew, "x", true);
  fs_->SyncFolder(At("sub"));
  EXPECT_EQ(ReadFile(At("target.txt")), "new");
  fs_->PowerCut();
  EXPECT_EQ(ReadFile(At("target.txt")), "old");
  EXPECT_EQ(ReadFile(At("gone.txt")), "removed but back");
  EXPECT_FALSE(Exists(At("tmp.txt")));
  EXPECT_FALSE(Exists(At("sub")));
}

// An open folder's entries follow the same model, counted and failed as the
// same operations by path; folders it creates are undone with their parent.
TEST_F(FaultInjectionTest, EntriesOfAnOpenFolderFollowTheModel) {
  for (const bool synced : {false, true}) {
    SCOPED_TRACE(synced ? "folder synced" : "folder not synced");
    TempDir dir;
    const std::string sub = fs_->BuildPath(dir.path(), "sub");
    std::vector<std::string> created;
    std::unique_ptr<Folder> folder = fs_->OpenFolder(sub, &created);
    EXPECT_EQ(created, std::vector<std::string>{sub});
    WriteFile(fs_->BuildPath(sub, "gone.txt"), "removed");
    fs_->SyncFolder(dir.path());
    fs_->SyncFolder(sub);
    auto file = folder->OpenEntry("tmp.txt", OpenMode::kCreatePrivate);
    file->WriteAt(0, "new", 3);
    file->Sync();
    file->SetModifiedTime(1013436224LL * 1000000000LL);  // counted, as by path
    file->Close();
    folder->RenameEntry("tmp.txt", "target.txt");
    folder->RemoveEntry("gone.txt");
    fs_->FailAt(1, kFaultSyncFolder);
    EXPECT_THROW(folder->Sync(), Error);
    fs_->ClearFault();
    if (synced) folder->Sync();
    fs_->PowerCut();
    EXPECT_EQ(FilesIn(*fs_, sub), synced ? std::set<std::string>{"target.txt"} : std::set<std::string>{"gone.txt"});
  }
}

// Whole trees through an open folder: each operation is counted and failed
// by its kind, subfolders opened through the wrapper are wrapped too, and a
// folder made in a folder never synced is gone after a power cut.
TEST_F(FaultInjectionTest, TreeOperationsOfAnOpenFolderAreCountedByKind) {
  WriteFile(At("f.txt"), "x");
  std::unique_ptr<Folder> folder = fs_->OpenFolder(dir_.path(), nullptr);
  std::unique_ptr<Folder> sub;
  struct Row {
    const char* what;
    uint32_t kind;
    std::function<void()> run;
  };
  const Row rows[] = {
      {"make a folder", kFaultCreateFolder, [&] { folder->MakeFolder("sub"); }},
      {"open it", kFaultOpen, [&] { sub = folder->OpenSubfolder("sub"); }},
      {"its own time", kFaultSetTimes, [&] { sub->SetEntryModifiedTime("", 1013436224LL * 1000000000LL); }},
      {"list", kFaultList, [&] { folder->ListEntries(); }},
      {"a file's mode", kFaultSetAttributes,
       [&] { folder->SetEntryMode("f.txt", folder->StatEntry("f.txt").attributes); }},
      {"remove it", kFaultRemoveFolder, [&] { folder->RemoveSubfolder("sub"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs_->FailAt(1, row.kind);
    EXPECT_THROW(row.run(), Error);
    EXPECT_TRUE(fs_->fault_fired());
    fs_->ClearFault();
    row.run();
  }
  folder->MakeFolder("unsynced");
  fs_->PowerCut();
  EXPECT_FALSE(Exists(At("unsynced")));
  EXPECT_EQ(ReadFile(At("f.txt")), "x");
}

TEST_F(FaultInjectionTest, PowerCutKeepsWhatWasSynced) {
  WriteFile(At("target.txt"), "old");
  WriteThrough(*fs_, At("tmp.txt"), OpenMode::kCreateNew, "new", true);
  fs_->RenameFile(At("tmp.txt"), At("target.txt"));
  fs_->CreateFolder(At("sub"));
  fs_->SyncFolder(dir_.path());
  auto open = fs_->Open(At("target.txt"), OpenMode::kRead);
  fs_->PowerCut();
  EXPECT_EQ(ReadFile(At("target.txt")), "new");
  EXPECT_TRUE(Exists(At("sub")));
  EXPECT_FALSE(Exists(At("tmp.txt")));
  // Files opened before the cut belong to the lost machine.
  char c;
  EXPECT_THROW(open->ReadAt(0, &c, 1), Error);
}

// Stops a durable replace, then a durable create, at every step in turn (that
// operation and every later one failing, as in a process killed there), then
// cuts the power. After the stop and after the cut, a replaced name holds the
// old or the new content and a created one nothing or the whole new content,
// never a part; after the cut no temporary file is left.
TEST_F(FaultInjectionTest, DurableWritesStoppedAtEveryStepThenPowerCut) {
  const std::string target = At("log.xml");
  const auto every_step = [&](auto reset, auto write, auto intact) {
    for (uint64_t n = 1;; ++n) {
      ASSERT_LT(n, 100u);
      reset();
      fs_->FailAt(n, kFaultAny, true);
      try {
        write();
      } catch (const Error&) {
      }
      const bool fired = fs_->fault_fired();
      fs_->ClearFault();
      EXPECT_TRUE(intact()) << "stopped at step " << n;
      fs_->PowerCut();
      EXPECT_TRUE(intact()) << "power cut at step " << n;
      const std::set<std::string> left = FilesIn(*fs_, dir_.path());
      EXPECT_TRUE(left.empty() || left == std::set<std::string>{"log.xml"}) << "step " << n;
      if (!fired) {
        EXPECT_EQ(ReadFile(target), "new");
        return;
      }
    }
  };
  every_step([&] { WriteFile(target, "old"); }, [&] { fs_->ReplaceFileDurably(target, "new"); },
             [&] { return ReadFile(target) == "old" || ReadFile(target) == "new"; });
  every_step([&] { std::filesystem::remove(target); }, [&] { fs_->CreateFileDurably(target, "new"); },
             [&] { return !Exists(target) || ReadFile(target) == "new"; });
}

TEST_F(FaultInjectionTest, WrapperOutlivesItsOwnerThroughSharedOwnership) {
  std::unique_ptr<File> file;
  {
    auto fs = std::make_shared<FaultInjectingFileSystem>(DefaultFileSystem());
    file = fs->Open(At("late.txt"), OpenMode::kCreate);
  }
  file->WriteAt(0, "ok", 2);
  file->Sync();
  file->Close();
  EXPECT_EQ(ReadFile(At("late.txt")), "ok");
}

}  // namespace
}  // namespace bk
