// The backup of a period on a file system that shares blocks: on the same
// file system it shares the files' blocks and takes no room of its own;
// elsewhere its copies are compressed.
#include <gtest/gtest.h>

#include "component/zip/zip_reader.h"
#include "safemode/file_rollback_create.h"
#include "support/reflink_mount.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

struct BackupRig {
  ReflinkMount mount;
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  std::string file = mount.path() + "/data/big.bin";

  // Makes the file safe in a period whose temporary folder is on the mount,
  // changes it and ends the period with its backup at `backup`.
  void Period(const std::string& backup) {
    clsFileRollbackCreate safe(fs);
    safe.TempDir(mount.path() + "/rollback");
    safe.BackupFile(backup);
    safe.BeginSafety();
    safe.MakeFileSafe(file);
    WriteFile(file, "changed");
    safe.EndSafety();
    EXPECT_TRUE(Scratch().FilesIn(mount.path() + "/rollback").empty());
  }

  // The drive archive inside the backup: its method, and the file's copy in it.
  std::pair<zip::Entry, std::string> DriveArchive(const std::string& backup, const std::string& scratch) {
    const ArchiveContents outer = ReadArchive(backup, scratch + "/outer");
    auto archive = fs->Open(backup, OpenMode::kRead);
    for (const zip::Entry& e : zip::ReadDirectory(*archive).entries) {
      if (e.name.ends_with(".xml")) continue;
      WriteFile(scratch + "/drive.zip", outer.at(e.name));
      const ArchiveContents inner = ReadArchive(scratch + "/drive.zip", scratch + "/inner");
      return {e, inner.at(fs->paths().PathBelowDrive(file))};
    }
    ADD_FAILURE() << "no drive archive in " << backup;
    return {};
  }
};

TEST(BackupClone, OnTheSameFileSystemTheBackupSharesTheBlocks) {
  BackupRig rig;
  if (!rig.mount.mounted()) GTEST_SKIP() << rig.mount.reason();
  const std::string backup = rig.mount.path() + "/out.zip";
  WriteFile(backup, "the previous backup");
  const std::string bytes = NoiseBytes(6'000'000, 1);
  WriteFile(rig.file, bytes);
  const unsigned long long free_before = rig.mount.FreeBytes();
  rig.Period(backup);
  // The file's old blocks now belong to the backup alone; nothing was copied.
  EXPECT_LT(free_before - rig.mount.FreeBytes(), 1'000'000u);
  EXPECT_EQ(Scratch().FilesIn(rig.mount.path()), (std::vector<std::string>{"out.zip"}));
  TempDir scratch;
  const auto [entry, copy] = rig.DriveArchive(backup, scratch.path());
  EXPECT_EQ(entry.method, zip::kMethodStored);
  EXPECT_TRUE(copy == bytes);
}

TEST(BackupClone, OnAnotherFileSystemTheBackupIsCompressed) {
  BackupRig rig;
  if (!rig.mount.mounted()) GTEST_SKIP() << rig.mount.reason();
  TempDir elsewhere;
  // Text after more than the 2 MiB of a start that does not shrink, as in a
  // drive archive whose first entries are compressed.
  const std::string bytes = NoiseBytes(2'500'000, 2) + std::string(4'000'000, 'x');
  WriteFile(rig.file, bytes);
  rig.Period(elsewhere / "out.zip");
  const auto [entry, copy] = rig.DriveArchive(elsewhere / "out.zip", elsewhere / "scratch");
  EXPECT_EQ(entry.method, zip::kMethodDeflated);
  EXPECT_LT(entry.compressed_size, 3'000'000u);
  EXPECT_TRUE(copy == bytes);
}

}  // namespace
}  // namespace bk::testing
