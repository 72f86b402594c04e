// Large files stored sharing their blocks with the archive: entries that any
// reader takes, a copy that a later change of the file leaves alone, the
// "changed while reading" check, and compression where blocks cannot be
// shared.
#include <gtest/gtest.h>

#include <functional>

#include "component/error.h"
#include "component/zip/zip_reader.h"
#include "component/zip/zip_writer.h"
#include "support/reflink_mount.h"
#include "zip_test_util.h"

namespace bk::testing {
namespace {

// What the archive's clones do: copy the bytes (so that the layout of cloned
// entries is checked on any file system) or refuse; `after` runs after each.
struct Cloning {
  int attempts = 0;
  bool refuse = false;
  std::function<void()> after;
};

class CopyCloningFile : public ForwardingFile {
 public:
  CopyCloningFile(std::unique_ptr<File> inner, Cloning& cloning) : ForwardingFile(std::move(inner)), c_(cloning) {}
  void CloneRangeFrom(File& source, uint64_t from, uint64_t at, uint64_t n) override {
    ++c_.attempts;
    if (c_.refuse) throw Error::Standard(errnum::kPathFileAccessError, path());
    EXPECT_EQ(at % zip::kCloneBlock, 0u);
    EXPECT_EQ(n % zip::kCloneBlock, 0u);
    std::string bytes(n, '\0');
    EXPECT_EQ(source.ReadAt(from, bytes.data(), n), n);
    WriteAt(at, bytes.data(), n);
    if (c_.after) c_.after();
  }

 private:
  Cloning& c_;
};

class CopyCloningFileSystem : public ForwardingFileSystem {
 public:
  CopyCloningFileSystem(std::shared_ptr<FileSystem> target, Cloning& cloning)
      : ForwardingFileSystem(std::move(target)), c_(cloning) {}
  std::unique_ptr<File> Open(std::string_view path, OpenMode mode) override {
    return std::make_unique<CopyCloningFile>(target().Open(path, mode), c_);
  }

 private:
  Cloning& c_;
};

// The entry's method and where its data starts.
std::pair<uint16_t, uint64_t> MethodAndData(const std::string& archive, const std::string& name) {
  auto file = DefaultFileSystem()->Open(archive, OpenMode::kRead);
  for (const zip::Entry& e : zip::ReadDirectory(*file).entries) {
    if (e.name != name) continue;
    zip::LocalHeader h;
    EXPECT_TRUE(zip::DecodeLocalHeader(zip::ReadBytes(*file, e.header_offset, zip::kLocalHeaderSize), &h));
    return {e.method, e.header_offset + zip::kLocalHeaderSize + h.name_length + h.extra_length};
  }
  ADD_FAILURE() << "no entry " << name;
  return {};
}

class Clone : public ZipTest {
 protected:
  std::string EntryOf(const std::string& path) { return fs->paths().PathBelowDrive(path); }
  std::string Read(ArchiveComponent& component, const std::string& path) {
    return component.ReadEntry(EntryOf(path), 1 << 30);
  }

  Cloning cloning;
  ArchiveComponent cloner{std::make_shared<CopyCloningFileSystem>(fs, cloning)};
};

TEST_F(Clone, LargeFilesAreStoredAlignedWithTheirTailAndCrc) {
  struct Case {
    const char* name;
    std::string bytes;
    bool cloned;
  };
  const Case cases[] = {
      {"small.txt", TextBytes(zip::kCloneThreshold - 1), false},
      {"exact.bin", RandomBytes(zip::kCloneThreshold, 1), true},
      {"tail.txt", TextBytes(zip::kCloneThreshold + 3 * zip::kCloneBlock + 17), true},
      {"large.bin", RandomBytes(3'000'005, 2), true},
  };
  std::vector<std::string> paths;
  for (const Case& c : cases) paths.push_back(MakeFile(c.name, c.bytes));
  cloner.ArchiveFileName = archive_path;
  EXPECT_EQ(cloner.ZipFiles(paths), std::vector<int32_t>(paths.size(), 0));
  EXPECT_EQ(cloning.attempts, 3);
  EXPECT_TRUE(cloner.StoredClones());
  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const auto [method, data] = MethodAndData(archive_path, EntryOf(paths[i]));
    EXPECT_EQ(method, cases[i].cloned ? zip::kMethodStored : zip::kMethodDeflated);
    if (cases[i].cloned) {
      EXPECT_EQ(data % zip::kCloneBlock, 0u);
    }
    EXPECT_TRUE(Read(archive, paths[i]) == cases[i].bytes);
  }
  ExpectForeignReadersAccept(archive_path);
}

TEST_F(Clone, ARefusedCloneIsCompressedAndNotTriedAgain) {
  cloning.refuse = true;
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) paths.push_back(MakeFile("f" + std::to_string(i), TextBytes(200'000 + i)));
  cloner.ArchiveFileName = archive_path;
  EXPECT_EQ(cloner.ZipFiles(paths), std::vector<int32_t>(3, 0));
  cloner.FilesToProcess = MakeFile("later", TextBytes(300'000));
  EXPECT_EQ(cloner.Zip(), 0);
  EXPECT_EQ(cloning.attempts, 1);
  EXPECT_FALSE(cloner.StoredClones());
  paths.push_back(cloner.FilesToProcess);
  for (const std::string& path : paths) {
    EXPECT_EQ(MethodAndData(archive_path, EntryOf(path)).first, zip::kMethodDeflated);
    EXPECT_TRUE(Read(archive, path) == ReadFile(path));
  }
  ExpectForeignReadersAccept(archive_path);
}

TEST_F(Clone, AFileChangedWhileClonedIsSkipped) {
  const std::string path = MakeFile("busy.bin", RandomBytes(500'000, 3));
  cloning.after = [&] { fs->SetModifiedTime(path, fs->Stat(path).modified_ns + 5'000'000'000); };
  std::vector<SkippingFileArgs> events;
  cloner.SkippingFile = [&](const SkippingFileArgs& a) { events.push_back(a); };
  cloner.ArchiveFileName = archive_path;
  cloner.FilesToProcess = path;
  EXPECT_EQ(cloner.Zip(), static_cast<int32_t>(SkipReason::kChangedWhileReading));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(Names().empty());
}

// On a file system that shares blocks: the archive takes no room for them,
// and rewriting the file leaves the archive's copy as it was.
TEST_F(Clone, SharedBlocksKeepTheCopyWhenTheFileChanges) {
  ReflinkMount mount;
  if (!mount.mounted()) GTEST_SKIP() << mount.reason();
  const std::string path = mount.path() + "/data.bin";
  const std::string bytes = RandomBytes(8'000'100, 4);
  WriteFile(path, bytes);
  const unsigned long long free_before = mount.FreeBytes();
  archive.ArchiveFileName = mount.path() + "/archive.zip";
  ZipFile(path);
  EXPECT_LT(free_before - mount.FreeBytes(), 1'000'000u) << "the archive holds a copy of its own";
  EXPECT_TRUE(archive.StoredClones());
  {
    auto writer = fs->Open(path, OpenMode::kReadWrite);
    writer->WriteAt(4096, TextBytes(2'000'000).data(), 2'000'000);
    writer->Sync();
  }
  EXPECT_TRUE(Read(archive, path) == bytes);
  ExpectForeignReadersAccept(archive.ArchiveFileName);
}

}  // namespace
}  // namespace bk::testing
