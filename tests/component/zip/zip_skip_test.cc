// Files that cannot be stored are skipped: the SkippingFile event, the reason
// as result, and an archive left exactly as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "component/error.h"
#include "component/process.h"
#include "zip_test_util.h"

namespace bk::testing {
namespace {

enum class Tamper { kFailOpen, kFailRead, kAppend, kTruncate, kTouch };

// A file whose second read fails or changes the file under the reader.
class TamperedFile : public ForwardingFile {
 public:
  TamperedFile(std::unique_ptr<File> inner, FileSystem& fs, Tamper tamper)
      : ForwardingFile(std::move(inner)), fs_(fs), tamper_(tamper) {}
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) override {
    if (++reads_ == 2) Act();
    return ForwardingFile::ReadAt(offset, buffer, n);
  }

 private:
  void Act() {
    if (tamper_ == Tamper::kFailRead) throw Error::Standard(errnum::kPathFileAccessError, path());
    if (tamper_ == Tamper::kTouch) {
      fs_.SetModifiedTime(path(), target().Stat().modified_ns + 5'000'000'000);
      return;
    }
    auto writer = fs_.Open(path(), OpenMode::kReadWrite);
    if (tamper_ == Tamper::kAppend) writer->WriteAt(writer->Size(), "more", 4);
    if (tamper_ == Tamper::kTruncate) writer->Truncate(writer->Size() / 2);
  }

  FileSystem& fs_;
  Tamper tamper_;
  int reads_ = 0;
};

// Files to store are opened through their folder.
class TamperingFolder : public ForwardingFolder {
 public:
  TamperingFolder(std::unique_ptr<Folder> inner, FileSystem& fs, std::string path, Tamper tamper)
      : ForwardingFolder(std::move(inner)), fs_(fs), path_(std::move(path)), tamper_(tamper) {}
  std::unique_ptr<File> OpenEntry(std::string_view name, OpenMode mode) override {
    if (fs_.BuildPath(path(), name) != path_) return target().OpenEntry(name, mode);
    if (tamper_ == Tamper::kFailOpen) throw Error::Standard(errnum::kPermissionDenied, path_);
    return std::make_unique<TamperedFile>(target().OpenEntry(name, mode), fs_, tamper_);
  }

 private:
  FileSystem& fs_;
  std::string path_;
  Tamper tamper_;
};

class TamperingFileSystem : public ForwardingFileSystem {
 public:
  TamperingFileSystem(std::shared_ptr<FileSystem> target, std::string path, Tamper tamper)
      : ForwardingFileSystem(std::move(target)), path_(std::move(path)), tamper_(tamper) {}
  std::unique_ptr<Folder> OpenFolder(std::string_view path, std::vector<std::string>* created) override {
    return std::make_unique<TamperingFolder>(target().OpenFolder(path, created), target(), path_, tamper_);
  }

 private:
  std::string path_;
  Tamper tamper_;
};

class Skip : public ZipTest {
 protected:
  void SetUp() override {
    ZipTest::SetUp();
    ZipFile(MakeFile("earlier.txt", "stored before"));
    before_ = ReadFile(archive_path);
    archive.SkippingFile = [this](const SkippingFileArgs& a) { events_.push_back(a); };
  }

  // Zips `path` with `component`, expecting it skipped for `reason` and the
  // archive unchanged.
  void ExpectSkipped(ArchiveComponent& component, const std::string& path, SkipReason reason) {
    component.ArchiveFileName = archive_path;
    component.FilesToProcess = path;
    component.SkippingFile = archive.SkippingFile;
    events_.clear();
    EXPECT_EQ(component.Zip(), static_cast<int32_t>(reason));
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_EQ(events_[0].xReason, static_cast<int32_t>(reason));
    EXPECT_EQ(events_[0].sFilenameOnDisk, path);
    EXPECT_EQ(events_[0].sFilename, fs->paths().PathBelowDrive(path));
    EXPECT_EQ(ReadFile(archive_path), before_) << "the archive changed";
    EXPECT_EQ(Names().size(), 1u);
  }

  std::string before_;
  std::vector<SkippingFileArgs> events_;
};

TEST_F(Skip, FilesThatCannotBeOpenedOrAreNotFiles) {
  ExpectSkipped(archive, dir / "missing.txt", SkipReason::kCannotOpen);
  fs->CreateFolder(dir / "folder");
  ExpectSkipped(archive, dir / "folder", SkipReason::kNotAFile);
  const std::string path = MakeFile("denied.txt", "x");
  ArchiveComponent failing(std::make_shared<TamperingFileSystem>(fs, path, Tamper::kFailOpen));
  ExpectSkipped(failing, path, SkipReason::kCannotOpen);
  failing.IncludeOpenFiles = false;
  ExpectSkipped(failing, path, SkipReason::kCannotOpen);
  if (HaveTool("mkfifo")) {  // opening a pipe for reading would wait for a writer
    ASSERT_EQ(Shell("mkfifo " + Quoted(dir / "pipe")), 0);
    ExpectSkipped(archive, dir / "pipe", SkipReason::kNotAFile);
  }
}

TEST_F(Skip, FilesThatFailOrChangeWhileStored) {
  const std::string path = MakeFile("busy.txt", TextBytes(900'000));  // several reads
  const std::pair<Tamper, SkipReason> cases[] = {
      {Tamper::kFailRead, SkipReason::kReadError},
      {Tamper::kAppend, SkipReason::kChangedWhileReading},
      {Tamper::kTruncate, SkipReason::kChangedWhileReading},
      {Tamper::kTouch, SkipReason::kChangedWhileReading},
  };
  for (const auto& [tamper, reason] : cases) {
    SCOPED_TRACE(static_cast<int>(tamper));
    WriteFile(path, TextBytes(900'000));
    ArchiveComponent component(std::make_shared<TamperingFileSystem>(fs, path, tamper));
    ExpectSkipped(component, path, reason);
  }
  const std::string random = MakeFile("busy.bin", RandomBytes(3'000'000, 5));  // stored after the probe
  ArchiveComponent component(std::make_shared<TamperingFileSystem>(fs, random, Tamper::kAppend));
  ExpectSkipped(component, random, SkipReason::kChangedWhileReading);
  ExpectForeignReadersAccept(archive_path);
}

TEST_F(Skip, AFileHeldOpenForWritingIsSkippedUnlessOpenFilesAreIncluded) {
  const std::string path = MakeFile("open.txt", "being written");
  {
    auto writer = fs->Open(path, OpenMode::kReadWrite);
    archive.IncludeOpenFiles = false;
    ExpectSkipped(archive, path, SkipReason::kOpenByAnotherProgram);
    archive.IncludeOpenFiles = true;
    ZipFile(path);
  }
  archive.IncludeOpenFiles = false;
  ZipFile(path);  // no longer open
  EXPECT_EQ(Names().size(), 3u);
}

TEST_F(Skip, AFileLockedByAnotherProcessIsSkipped) {
  if (!HaveTool("python3")) GTEST_SKIP() << "needs python3 to hold a lock from another process";
  const std::string path = MakeFile("locked.txt", "locked by another process");
  const std::string marker = dir / "locked.marker";
  ChildProcess child = ChildProcess::Start(
      {"python3", "-c",
       "import fcntl, sys, time\n"
       "f = open(sys.argv[1], 'r+')\n"
       "fcntl.lockf(f, fcntl.LOCK_EX)\n"
       "open(sys.argv[2], 'w').close()\n"
       "time.sleep(60)\n",
       path, marker});
  for (int i = 0; i < 500 && !Exists(marker); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(Exists(marker)) << "the child did not take its lock";
  archive.IncludeOpenFiles = false;
  ExpectSkipped(archive, path, SkipReason::kOpenByAnotherProgram);
  archive.IncludeOpenFiles = true;
  ZipFile(path);
  child.Kill();
  child.Wait();
  EXPECT_EQ(Names().size(), 2u);
}

TEST_F(Skip, EventCarriesTheFileDescription) {
  const std::string path = MakeFile("described.txt", "12345");
  const int64_t mtime = 1'600'000'000'000'000'000;
  fs->SetModifiedTime(path, mtime);
  ArchiveComponent refusing(std::make_shared<TamperingFileSystem>(fs, path, Tamper::kFailOpen));
  refusing.ArchiveFileName = archive_path;
  refusing.FilesToProcess = path;
  std::vector<SkippingFileArgs> events;
  refusing.SkippingFile = [&](const SkippingFileArgs& a) { events.push_back(a); };
  EXPECT_EQ(refusing.Zip(), static_cast<int32_t>(SkipReason::kCannotOpen));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].lSize, 5);
  EXPECT_FALSE(events[0].bEncrypted);
  // 2020-09-13 12:26:40 UTC: within a day of that date whatever the time zone.
  EXPECT_NEAR(events[0].dtLastModified, 44087.5, 1.0);
}

}  // namespace
}  // namespace bk::testing
