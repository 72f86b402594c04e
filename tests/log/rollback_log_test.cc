// clsFileRollbackLog: states, round trips through the file, errors.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "component/fs/file_system.h"
#include "log/log_test_util.h"
#include "log/rollback_log.h"
#include "support/temp_dir.h"

namespace bk {
namespace {

using testing::NumberOf;
using testing::ReadFile;
using testing::TempDir;
using testing::LoadLog;

class RollbackLogTest : public testing::NewLogTest {};

// Counts the files the log opens for writing, to prove a log writes nothing.
class CountingFileSystem : public ForwardingFileSystem {
 public:
  CountingFileSystem() : ForwardingFileSystem(DefaultFileSystem()) {}
  std::unique_ptr<File> Open(std::string_view path, OpenMode mode) override {
    if (mode != OpenMode::kRead) ++writes;
    return ForwardingFileSystem::Open(path, mode);
  }
  int writes = 0;
};

TEST(RollbackLog, EmptyLogFailsEveryMemberButLogFileNameAndWritesNothing) {
  auto fs = std::make_shared<CountingFileSystem>();
  auto log = clsFileRollbackLog::Create(fs);
  EXPECT_EQ(log->LogFileName(), "");
  const std::vector<std::function<void()>> members{
      [&] { log->StartDate(); },          [&] { log->TempPath(); },
      [&] { log->TempPath("x"); },        [&] { log->BackupDestFileName(); },
      [&] { log->BackupDestFileName("x"); }, [&] { log->ZipCount(); },
      [&] { log->Zip(1); },               [&] { log->ZipByDrive("C:"); },
      [&] { log->AddZip("a.zip", "C:"); }, [&] { log->Completed(); },
      [&] { log->Completed(true); }};
  for (size_t i = 0; i < members.size(); ++i) EXPECT_EQ(NumberOf(members[i]), errnum::kObjectNotSet) << i;
  log->SaveLog();
  EXPECT_EQ(fs->writes, 0);
}

TEST(RollbackLog, LogWithoutFileNameWorksInMemoryOnly) {
  auto fs = std::make_shared<CountingFileSystem>();
  auto log = clsFileRollbackLog::Create(fs);
  log->CreateLogFile("");
  log->TempPath("t");
  log->AddZip("a.zip", "C:")->AddFile("C:\\a.txt");
  log->Completed(true);
  EXPECT_EQ(log->Zip(1)->FilePath(1), "C:\\a.txt");
  EXPECT_TRUE(log->Completed());
  EXPECT_EQ(fs->writes, 0);
}

TEST(RollbackLog, EverythingComesBackFromTheFileInASecondObject) {
  TempDir dir;
  const std::string path = dir / "Safe 2002-02-11 14.03.44.xml";
  const std::vector<std::string> c_files{"C:\\Data\\a & b.txt", "C:\\Data\\<x>\t\"q\" 'y'\r\nz.txt",
                                         "C:\\\xE6\x97\xA5\xE6\x9C\xAC\\\xF0\x9F\x98\x80.txt"};
  auto log = clsFileRollbackLog::Create();
  const double before = OleDateFromLocalNow();
  log->CreateLogFile(path);
  const double after = OleDateFromLocalNow();
  log->TempPath("C:\\Temp\\");
  log->BackupDestFileName("D:\\Backup\\b & c.zip");
  auto c = log->AddZip("C:\\Temp\\Safe-1.zip", "C:");
  for (const auto& f : c_files) c->AddFile(f);
  log->AddZip("C:\\Temp\\Safe-2.zip", "\\\\server\\share")->AddFile("\\\\server\\share\\n.txt");
  log->Completed(true);

  auto copy = LoadLog(path);
  EXPECT_EQ(copy->LogFileName(), path);
  EXPECT_GE(copy->StartDate(), std::floor(before * 86400) / 86400 - 1e-9);
  EXPECT_LE(copy->StartDate(), after + 1e-9);
  EXPECT_NEAR(copy->StartDate(), log->StartDate(), 1e-9);
  EXPECT_EQ(copy->TempPath(), "C:\\Temp\\");
  EXPECT_EQ(copy->BackupDestFileName(), "D:\\Backup\\b & c.zip");
  EXPECT_TRUE(copy->Completed());
  ASSERT_EQ(copy->ZipCount(), 2);
  for (int32_t i = 1; i <= 2; ++i) {
    const auto a = log->Zip(i);
    const auto b = copy->Zip(i);
    EXPECT_EQ(b->Parent(), copy);
    EXPECT_EQ(b->ZipId(), i);
    EXPECT_EQ(b->ZipName(), a->ZipName());
    EXPECT_EQ(b->ZipDrive(), a->ZipDrive());
    ASSERT_EQ(b->FileCount(), a->FileCount());
    for (int32_t k = 1; k <= a->FileCount(); ++k) EXPECT_EQ(b->FilePath(k), a->FilePath(k));
  }
  EXPECT_EQ(copy->ZipByDrive("c:")->FileCount(), 3);
  EXPECT_EQ(copy->ZipByDrive("\\\\SERVER\\Share")->FilePath(1), "\\\\server\\share\\n.txt");
}

TEST_F(RollbackLogTest, SavingTwiceWithoutChangeWritesIdenticalFiles) {
  log->AddZip("z.zip", "C:")->AddFile("C:\\tab\there");
  const std::string first = ReadFile(path);
  log->SaveLog();
  EXPECT_EQ(ReadFile(path), first);
  // A loaded log saves the same text again.
  auto copy = LoadLog(path);
  copy->SaveLog();
  EXPECT_EQ(ReadFile(path), first);
}

TEST_F(RollbackLogTest, ZipLookupsAndTheirErrors) {
  EXPECT_EQ(log->ZipCount(), 0);
  const auto c = log->AddZip("c.zip", "C:");
  const auto d = log->AddZip("d.zip", "D:");
  const auto e = log->AddZip("e.zip", "E:");
  EXPECT_EQ(c->ZipId(), 1);
  EXPECT_EQ(d->ZipId(), 2);
  EXPECT_EQ(e->ZipId(), 3);
  EXPECT_EQ(log->Zip(2), d);
  EXPECT_EQ(log->ZipByDrive("d:"), d);
  EXPECT_EQ(NumberOf([&] { log->Zip(0); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(NumberOf([&] { log->Zip(4); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(NumberOf([&] { log->ZipByDrive("F:"); }), errnum::kInvalidProcedureCall);
}

TEST_F(RollbackLogTest, DuplicateDriveAddsNothingInMemoryOrOnDisk) {
  log->AddZip("c.zip", "C:");
  const std::string saved = ReadFile(path);
  EXPECT_EQ(NumberOf([&] { log->AddZip("other.zip", "c:"); }), errnum::kDuplicateKey);
  EXPECT_EQ(log->ZipCount(), 1);
  EXPECT_EQ(ReadFile(path), saved);
  // Any later save still writes one "ZipFile" only.
  log->TempPath("t");
  auto copy = LoadLog(path);
  EXPECT_EQ(copy->ZipCount(), 1);
  EXPECT_EQ(copy->Zip(1)->ZipName(), "c.zip");
}

TEST_F(RollbackLogTest, LoadedLogRefusesNewArchivesButTakesFilesAndMarks) {
  log->AddZip("c.zip", "C:");
  auto copy = LoadLog(path);
  const std::string saved = ReadFile(path);
  EXPECT_EQ(NumberOf([&] { copy->AddZip("d.zip", "D:"); }), errnum::kObjectNotSet);
  EXPECT_EQ(copy->ZipCount(), 1);
  EXPECT_EQ(ReadFile(path), saved);
  copy->Zip(1)->AddFile("C:\\x.txt");
  copy->TempPath("T");
  EXPECT_FALSE(copy->Completed());
  copy->Completed(true);
  auto third = LoadLog(path);
  EXPECT_EQ(third->Zip(1)->FilePath(1), "C:\\x.txt");
  EXPECT_EQ(third->TempPath(), "T");
  EXPECT_TRUE(third->Completed());
}

TEST(RollbackLog, NewLogLeavesTheOldFileAndDetachesTheOldEntries) {
  TempDir dir;
  auto log = clsFileRollbackLog::Create();
  log->CreateLogFile(dir / "first.xml");
  const auto old_entry = log->AddZip("c.zip", "C:");
  old_entry->AddFile("C:\\a.txt");
  const std::string first = ReadFile(dir / "first.xml");
  log->CreateLogFile(dir / "second.xml");
  EXPECT_EQ(log->LogFileName(), dir / "second.xml");
  EXPECT_EQ(log->ZipCount(), 0);
  EXPECT_EQ(old_entry->Parent(), nullptr);
  EXPECT_EQ(old_entry->FilePath(1), "C:\\a.txt") << "the entry still reads its element";
  EXPECT_EQ(NumberOf([&] { old_entry->AddFile("C:\\b.txt"); }), errnum::kObjectNotSet);
  EXPECT_EQ(old_entry->FileCount(), 1) << "a detached entry records nothing";
  EXPECT_EQ(ReadFile(dir / "first.xml"), first);
}

TEST_F(RollbackLogTest, EntryThatOutlivesItsLogNeverReachesIt) {
  const auto entry = log->AddZip("c.zip", "C:");
  const std::string saved = ReadFile(path);
  log.reset();
  EXPECT_EQ(entry->Parent(), nullptr);
  EXPECT_EQ(entry->ZipName(), "c.zip");
  EXPECT_EQ(NumberOf([&] { entry->AddFile("C:\\a.txt"); }), errnum::kObjectNotSet);
  EXPECT_EQ(entry->FileCount(), 0);
  EXPECT_EQ(ReadFile(path), saved);
}

TEST_F(RollbackLogTest, CompletedReadsFalseUntilSetAndASecondObjectAgrees) {
  EXPECT_FALSE(log->Completed());
  log->Completed(true);
  EXPECT_TRUE(log->Completed());
  auto copy = LoadLog(path);
  EXPECT_TRUE(copy->Completed());
  log->Completed(false);
  copy->LoadFromFile(path);
  EXPECT_FALSE(copy->Completed());
}

TEST_F(RollbackLogTest, TempPathAndBackupDestinationAreStoredOnFirstSet) {
  EXPECT_EQ(log->TempPath(), "");
  EXPECT_EQ(log->BackupDestFileName(), "");
  log->TempPath("C:\\T\\");
  log->BackupDestFileName("");
  const std::string text = testing::LogText(ReadFile(path));
  EXPECT_NE(text.find("<TempPath Value=\"C:\\T\\\""), std::string::npos) << text;
  EXPECT_NE(text.find("<BackupDestination Value=\"\""), std::string::npos) << text;
}

// A file's name is a name whatever its bytes: what XML cannot carry goes in
// "PathBytes", "Path" keeping a readable form; every valid name is as it was.
TEST_F(RollbackLogTest, NamesXmlCannotCarryTravelAsBytesAndValidNamesUnchanged) {
  const auto c = log->AddZip("c.zip", "C:");
  const struct {
    std::string name, path_attribute, bytes_attribute;
  } cases[] = {
      {"C:\\a\x01.txt", "C:\\a\uFFFD.txt", "C:\\a%01.txt"},
      {"C:\\bad\xFF.txt", "C:\\bad\uFFFD.txt", "C:\\bad%FF.txt"},
      {"C:\\\xED\xA0\x80%.txt", "C:\\\uFFFD\uFFFD\uFFFD%.txt", "C:\\%ED%A0%80%25.txt"},
      {"C:\\100% caf\u00E9 \uFFFD.txt", "C:\\100% caf\u00E9 \uFFFD.txt", ""},
  };
  for (const auto& k : cases) c->AddFile(k.name);
  const std::string text = testing::LogText(ReadFile(path));
  auto copy = LoadLog(path);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& k = cases[i];
    EXPECT_EQ(copy->Zip(1)->FilePath(static_cast<int32_t>(i + 1)), k.name);
    EXPECT_NE(text.find(" Path=\"" + k.path_attribute + "\""), std::string::npos) << k.path_attribute << text;
    if (!k.bytes_attribute.empty()) {
      EXPECT_NE(text.find("PathBytes=\"" + k.bytes_attribute + "\""), std::string::npos);
    }
  }
  size_t with_bytes = 0;
  for (size_t at = text.find("PathBytes="); at != std::string::npos; at = text.find("PathBytes=", at + 1)) ++with_bytes;
  EXPECT_EQ(with_bytes, 3u);
  // A "Path" edited by hand means what it says.
  const size_t at = text.find("bad\uFFFD.txt");
  std::string edited = text;
  edited.replace(at, 3, "fix");
  testing::WriteFile(path, edited);
  EXPECT_EQ(LoadLog(path)->Zip(1)->FilePath(2), "C:\\fix\uFFFD.txt");
}

TEST_F(RollbackLogTest, UnrepresentableValuesOtherThanNamesAreRefusedBeforeAnythingIsRecorded) {
  const auto c = log->AddZip("c.zip", "C:");
  const std::string saved = ReadFile(path);
  for (const std::string bad : {"C:\\a\x01.txt", "C:\\\xFF.txt", "C:\\\xED\xA0\x80.txt"}) {
    EXPECT_EQ(NumberOf([&] { log->AddZip(bad, "D:"); }), errnum::kUnrepresentableValue);
    EXPECT_EQ(NumberOf([&] { log->AddZip("d.zip", bad); }), errnum::kUnrepresentableValue);
    EXPECT_EQ(NumberOf([&] { log->TempPath(bad); }), errnum::kUnrepresentableValue);
    EXPECT_EQ(NumberOf([&] { c->ZipDrive(bad); }), errnum::kUnrepresentableValue);
  }
  EXPECT_EQ(log->ZipCount(), 1);
  EXPECT_EQ(c->ZipDrive(), "C:");
  log->SaveLog();
  EXPECT_EQ(ReadFile(path), saved);
}

TEST(RollbackLog, FailedSaveOfANewLogKeepsItInMemoryAndTheNextSaveWritesIt) {
  TempDir dir;
  const std::string path = dir / "missing/l.xml";
  auto log = clsFileRollbackLog::Create();
  EXPECT_NE(NumberOf([&] { log->CreateLogFile(path); }), 0);
  EXPECT_EQ(log->LogFileName(), path);
  testing::WriteFile(dir / "missing/other", "");
  log->AddZip("c.zip", "C:");
  auto copy = LoadLog(path);
  EXPECT_EQ(copy->ZipCount(), 1);
}

}  // namespace
}  // namespace bk
