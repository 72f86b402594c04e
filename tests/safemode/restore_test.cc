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

TEST(Restore, AFileThatCannotBePutBackKeepsTheArchive) {
  Scratch s;
  const std::string archive = TwoFileArchive(s, "blocked.txt", "fine.txt");
  // A folder with content now stands where the file was.
  s.fs->RemoveFile(s.Data("blocked.txt"), true);
  WriteFile(s.Data("blocked.txt/inside.txt"), "in the way");
  WriteFile(s.Data("fine.txt"), "changed");

  auto log = NewLog(s);
  log->AddZip(archive, "any");
  EXPECT_NE(Catch([&] { log->Rollback(true); }).number, -1);
  EXPECT_TRUE(Exists(archive));
  EXPECT_EQ(ReadFile(s.Data("fine.txt")), "fine.txt original");
  EXPECT_EQ(s.FilesIn(s.temp), (Names{"Safe by hand.xml", "drive-1.zip"}));
}

TEST(Restore, TheMarkerDecidesTheDriveAndUnlistedFilesComeBackToo) {
  Scratch s;
  const std::string archive = TwoFileArchive(s, "listed.txt", "unlisted.txt");
  WriteFile(s.Data("listed.txt"), "x");
  WriteFile(s.Data("unlisted.txt"), "y");
  auto log = NewLog(s);
  auto entry = log->AddZip(archive, s.fs->GetDriveName(s.data));
  entry->AddFile(s.Data("listed.txt"));
  entry->AddFile(s.Data("never stored.txt"));
  entry->ZipDrive(OnWindows() ? "Q:" : "elsewhere");
  log->Rollback();
  EXPECT_EQ(ReadFile(s.Data("listed.txt")), "listed.txt original");
  EXPECT_EQ(ReadFile(s.Data("unlisted.txt")), "unlisted.txt original");
  EXPECT_FALSE(Exists(s.Data("never stored.txt")));
  EXPECT_FALSE(Exists(archive));
  EXPECT_TRUE(Exists(log->LogFileName()));
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
