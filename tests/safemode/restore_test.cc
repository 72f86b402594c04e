// Restoring an archive through a log: what the drive marker must hold, and
// what a restore that cannot finish leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "component/zip/archive.h"
#include "log/drive_marker.h"
#include "log/rollback_log.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

using Names = std::vector<std::string>;

// A drive archive made by hand, with any marker text, holding `files`.
std::string MakeDriveArchive(Scratch& s, const std::string& name, const std::string* marker_text,
                             const std::vector<std::string>& files) {
  FileSystem& fs = *s.fs;
  if (!fs.FolderExists(s.temp)) fs.CreateFolder(s.temp);
  const std::string archive = fs.BuildPath(s.temp, name);
  const std::string marker = fs.BuildPath(s.temp, kDriveMarkerName);
  ArchiveComponent zip(s.fs);
  zip.ArchiveFileName = archive;
  if (marker_text) {
    auto writer = fs.CreateTextFile(marker, true, true);
    if (!marker_text->empty()) writer->WriteLine(*marker_text);
    writer->Close();
    zip.KeepPaths = false;
    zip.FilesToProcess = marker;
    EXPECT_EQ(zip.Zip(), 0);
    fs.RemoveFile(marker, true);
  }
  zip.KeepPaths = true;
  for (const std::string& file : files) {
    zip.FilesToProcess = file;
    EXPECT_EQ(zip.Zip(), 0);
  }
  return archive;
}

// Writes two data files and stores them in a drive archive with a true marker.
std::string TwoFileArchive(Scratch& s, const std::string& first, const std::string& second) {
  const std::string drive = s.fs->GetDriveName(s.data);
  WriteFile(s.Data(first), first + " original");
  WriteFile(s.Data(second), second + " original");
  return MakeDriveArchive(s, "drive-1.zip", &drive, {s.Data(first), s.Data(second)});
}

std::shared_ptr<clsFileRollbackLog> NewLog(Scratch& s) {
  auto log = clsFileRollbackLog::Create(s.fs);
  log->CreateLogFile(s.fs->BuildPath(s.temp, "Safe by hand.xml"));
  return log;
}

TEST(Restore, AMarkerThatNamesNoDriveIsRefusedBeforeAnyFileIsWritten) {
  Scratch s;
  const std::string file = s.Data("a.txt");
  WriteFile(file, "original");
  const std::string foreign_drive = OnWindows() ? "/" : "C:";
  const std::vector<std::string> markers = {"", "not a drive", s.data, foreign_drive};
  for (const std::string& text : markers) {
    SCOPED_TRACE("marker \"" + text + "\"");
    const std::string archive = MakeDriveArchive(s, "bad-1.zip", &text, {file});
    WriteFile(file, "changed");
    auto log = NewLog(s);
    log->AddZip(archive, "any");
    const Raised raised = Catch([&] { log->Rollback(); });
    EXPECT_EQ(raised.number, errnum::kArchiveError);
    EXPECT_NE(raised.description.find("drive"), std::string::npos) << raised.description;
    EXPECT_EQ(ReadFile(file), "changed");
    EXPECT_EQ(s.FilesIn(s.temp), (Names{"Safe by hand.xml", "bad-1.zip"}));
    s.fs->RemoveFile(archive, true);
  }
}

// Both fail with not-found before any file is written: an archive without a
// marker, and (in a log of two) a missing first archive, which also leaves
// the second one alone.
TEST(Restore, AMissingMarkerOrArchiveStopsTheRollbackBeforeAnyWrite) {
  Scratch s;
  const std::string drive = s.fs->GetDriveName(s.data);
  WriteFile(s.Data("a.txt"), "original");
  const std::string unmarked = MakeDriveArchive(s, "nomarker-1.zip", nullptr, {s.Data("a.txt")});
  const std::string present = MakeDriveArchive(s, "present-2.zip", &drive, {s.Data("a.txt")});
  WriteFile(s.Data("a.txt"), "changed");
  for (const std::string& first : {unmarked, s.fs->BuildPath(s.temp, "missing-1.zip")}) {
    SCOPED_TRACE(first);
    auto log = NewLog(s);
    log->AddZip(first, "first");
    log->AddZip(present, "second");
    EXPECT_EQ(Catch([&] { log->Rollback(); }).number, errnum::kFileNotFound);
    EXPECT_EQ(ReadFile(s.Data("a.txt")), "changed");
    EXPECT_TRUE(Exists(present));
  }
  EXPECT_TRUE(Exists(unmarked));
}

// Only the files the log lists are written; the marker, not the entry's
// ZipDrive, decides the drive.
TEST(Restore, TheMarkerDecidesTheDriveAndOnlyListedFilesComeBack) {
  Scratch s;
  const std::string archive = TwoFileArchive(s, "listed.txt", "unlisted.txt");
  WriteFile(s.Data("listed.txt"), "x");
  WriteFile(s.Data("unlisted.txt"), "y");
  auto log = NewLog(s);
  auto entry = log->AddZip(archive, s.fs->GetDriveName(s.data));
  entry->AddFile(s.Data("listed.txt"));
  entry->ZipDrive(OnWindows() ? "Q:" : "elsewhere");
  log->Rollback();
  EXPECT_EQ(ReadFile(s.Data("listed.txt")), "listed.txt original");
  EXPECT_EQ(ReadFile(s.Data("unlisted.txt")), "y");
  EXPECT_FALSE(Exists(archive));
  EXPECT_TRUE(Exists(log->LogFileName()));
}

// Flips one byte of `bytes` where the archive stores them.
void DamageStoredCopy(const std::string& archive, const std::string& bytes) {
  std::string zip = ReadFile(archive);
  const size_t at = zip.find(bytes.substr(100, 64));
  ASSERT_NE(at, std::string::npos);
  zip[at] = static_cast<char>(zip[at] ^ 0x55);
  WriteFile(archive, zip);
}

// Files that cannot come back (not stored, damaged copy, a folder in the
// way) do not stop the others or the later archive; the rollback then fails
// with one error that counts and names them, and every archive stays.
TEST(Restore, EveryFileThatCanComeBackDoesAndTheRestAreToldInOneError) {
  Scratch s;
  const std::string drive = s.fs->GetDriveName(s.data);
  const std::string noise = NoiseBytes(5000, 3);
  WriteFile(s.Data("damaged.bin"), noise);
  const std::string first = TwoFileArchive(s, "blocked.txt", "fine.txt");
  {
    ArchiveComponent zip(s.fs);
    zip.ArchiveFileName = first;
    zip.FilesToProcess = s.Data("damaged.bin");
    ASSERT_EQ(zip.Zip(), 0);
  }
  DamageStoredCopy(first, noise);
  WriteFile(s.Data("later.txt"), "later original");
  const std::string second = MakeDriveArchive(s, "drive-2.zip", &drive, {s.Data("later.txt")});
  s.fs->RemoveFile(s.Data("blocked.txt"), true);
  WriteFile(s.Data("blocked.txt/inside.txt"), "in the way");
  for (const char* name : {"fine.txt", "damaged.bin", "later.txt"}) WriteFile(s.Data(name), "changed");

  auto log = NewLog(s);
  auto one = log->AddZip(first, "one");
  for (const char* name : {"blocked.txt", "never stored.txt", "damaged.bin", "fine.txt"}) one->AddFile(s.Data(name));
  log->AddZip(second, "two")->AddFile(s.Data("later.txt"));

  RestoreReport report;
  const Raised raised = Catch([&] { log->RestoreFiles(report); });
  EXPECT_EQ(raised.number, errnum::kArchiveError);
  EXPECT_EQ(raised.description.rfind("3 files could not be restored: " + s.Data("blocked.txt") + " (", 0), 0u)
      << raised.description;
  EXPECT_NE(raised.description.find("damaged (CRC"), std::string::npos) << raised.description;
  EXPECT_EQ(report.restored, (Names{s.Data("fine.txt"), s.Data("later.txt")}));
  ASSERT_EQ(report.failed.size(), 3u);
  EXPECT_EQ(report.failed[1].path(), s.Data("never stored.txt"));
  EXPECT_EQ(ReadFile(s.Data("fine.txt")), "fine.txt original");
  EXPECT_EQ(ReadFile(s.Data("later.txt")), "later original");
  EXPECT_EQ(ReadFile(s.Data("damaged.bin")), "changed");
  EXPECT_EQ(ReadFile(s.Data("blocked.txt/inside.txt")), "in the way");
  EXPECT_FALSE(Exists(s.Data("never stored.txt")));
  EXPECT_EQ(Catch([&] { log->Rollback(true); }).number, errnum::kArchiveError);
  EXPECT_TRUE(Exists(first));
  EXPECT_TRUE(Exists(second));
}

TEST(Restore, ALogWithoutEntriesDoesNothingAndAnEmptyLogIsNotSet) {
  Scratch s;
  auto memory_only = clsFileRollbackLog::Create(s.fs);
  memory_only->CreateLogFile("");
  EXPECT_EQ(Catch([&] { memory_only->Rollback(); }).number, -1);

  auto empty = clsFileRollbackLog::Create(s.fs);
  EXPECT_EQ(Catch([&] { empty->Rollback(); }).number, errnum::kObjectNotSet);
}

}  // namespace
}  // namespace bk::testing
