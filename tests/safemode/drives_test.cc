// Files on two roots: one drive archive per drive, each with its own marker,
// each restored to its own drive. Natively two folders act as drives through
// injected path rules; under Wine real drives C: and Z: are used as well.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "log/drive_marker.h"
#include "log/rollback_log.h"
#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

using Names = std::vector<std::string>;

struct TwoDrives {
  Scratch s;
  std::string a = s.dir / "driveA";
  std::string b = s.dir / "driveB";
  std::shared_ptr<FileSystem> fs = std::make_shared<TwoDriveFileSystem>(s.fs, a, b);
  std::vector<std::pair<std::string, std::string>> files = {
      {s.fs->BuildPath(a, "x/one.txt"), "one on A"},
      {s.fs->BuildPath(b, "two.txt"), "two on B"},
      {s.fs->BuildPath(a, "three.txt"), "three on A"},
  };
  clsFileRollbackCreate safe{fs};

  TwoDrives() {
    for (const auto& [path, bytes] : files) WriteFile(path, bytes);
    safe.TempDir(s.temp);
    safe.BackupFile(s.backup);
    safe.BeginSafety();
    for (const auto& file : files) safe.MakeFileSafe(file.first);
    for (const auto& file : files) WriteFile(file.first, "changed");
  }
  std::string Stem() const {
    const std::string name = s.fs->GetFileName(safe.log_file_name());
    return name.substr(0, name.size() - 4);
  }
};

TEST(TwoRoots, EachDriveGetsItsOwnArchiveEntryAndMarker) {
  TwoDrives d;
  auto log = d.safe.log();
  ASSERT_EQ(log->ZipCount(), 2);
  EXPECT_EQ(log->Zip(1)->ZipDrive(), d.a);
  EXPECT_EQ(log->Zip(1)->ZipId(), 1);
  EXPECT_EQ(log->Zip(1)->FileCount(), 2);
  EXPECT_EQ(log->Zip(2)->ZipDrive(), d.b);
  EXPECT_EQ(log->Zip(2)->ZipId(), 2);
  EXPECT_EQ(log->ZipByDrive(d.b)->FilePath(1), d.files[1].first);

  // The drive archives are complete ZIP files once the period is undone
  // (here keeping them); until then their directory may be deferred.
  d.safe.UndoSafetyOperations(true, false);
  for (const auto& [path, bytes] : d.files) EXPECT_EQ(ReadFile(path), bytes) << path;
  const ArchiveContents first = ReadArchive(log->Zip(1)->ZipName(), d.s.dir / "list-1");
  EXPECT_EQ(Utf16FileText(first.at(kDriveMarkerName)), d.a + "\r\n");
  EXPECT_EQ(first.at("x/one.txt"), "one on A");
  EXPECT_EQ(first.at("three.txt"), "three on A");
  const ArchiveContents second = ReadArchive(log->Zip(2)->ZipName(), d.s.dir / "list-2");
  EXPECT_EQ(Utf16FileText(second.at(kDriveMarkerName)), d.b + "\r\n");
  EXPECT_EQ(second.size(), 2u);
  EXPECT_EQ(d.s.FilesIn(d.s.temp).size(), 2u);
}

TEST(TwoRoots, TheBackupHoldsBothArchivesInOrder) {
  TwoDrives d;
  d.safe.EndSafety();
  const ArchiveContents backup = ReadArchive(d.s.backup, d.s.dir / "list");
  const std::string stem = d.Stem();
  EXPECT_EQ(backup.size(), 3u + RecordEntries(*d.s.fs));
  EXPECT_EQ(backup.count(stem + "-1.zip"), 1u);
  EXPECT_EQ(backup.count(stem + "-2.zip"), 1u);
  EXPECT_EQ(d.s.FilesIn(d.s.temp), Names{});
}

// Under Wine: C: holds the scratch folder, Z: maps the host's root.
TEST(TwoRoots, RealDrivesUnderWindowsRules) {
  if (!OnWindows()) GTEST_SKIP() << "needs drive letters";
  Scratch s;
  if (!s.fs->FolderExists("Z:\\tmp")) GTEST_SKIP() << "no Z: drive";
  const std::string z_folder = s.fs->BuildPath("Z:\\tmp", "bk-" + s.fs->GetTempName());
  const std::string on_c = s.Data("c.txt");
  const std::string lower_c = "c" + s.Data("lower.txt").substr(1);
  const std::string on_z = s.fs->BuildPath(z_folder, "z.txt");
  WriteFile(on_c, "on C");
  WriteFile(lower_c, "also on C");
  WriteFile(on_z, "on Z");

  clsFileRollbackCreate safe(s.fs);
  safe.TempDir(s.temp);
  safe.BackupFile(s.backup);
  safe.BeginSafety();
  safe.MakeFileSafe(on_c);
  safe.MakeFileSafe(on_z);
  safe.MakeFileSafe(lower_c);
  auto log = safe.log();
  ASSERT_EQ(log->ZipCount(), 2);
  EXPECT_EQ(log->Zip(1)->ZipDrive(), s.data.substr(0, 2));
  EXPECT_EQ(log->ZipByDrive("c:")->FileCount(), 2);
  EXPECT_EQ(log->Zip(2)->ZipDrive(), "Z:");

  for (const std::string& path : {on_c, lower_c, on_z}) WriteFile(path, "changed");
  safe.UndoSafetyOperations(true);
  EXPECT_EQ(ReadFile(on_c), "on C");
  EXPECT_EQ(ReadFile(lower_c), "also on C");
  EXPECT_EQ(ReadFile(on_z), "on Z");
  s.fs->RemoveFile(on_z, true);
  s.fs->RemoveFolder(z_folder);
}

}  // namespace
}  // namespace bk::testing
