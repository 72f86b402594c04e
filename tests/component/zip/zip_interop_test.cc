// Archives written by Info-ZIP zip, read back by the component, and archives
// the component writes and appends to, checked by three foreign readers.
#include <gtest/gtest.h>

#include "component/zip/zip_reader.h"
#include "zip_test_util.h"

namespace bk::testing {
namespace {

class Interop : public ZipTest {
 protected:
  void SetUp() override {
    ZipTest::SetUp();
    if (!HaveTool("zip")) GTEST_SKIP() << "Info-ZIP zip is not available";
    MakeFile("in/text.txt", TextBytes(300'000));
    MakeFile("in/random.bin", RandomBytes(200'000, 7));
    MakeFile("in/sub/empty.txt", "");
    MakeFile("in/sub/name with spaces \xC3\xA9.txt", "accented");
  }

  // Runs a shell command in the folder of the test files.
  void InFolder(const std::string& command) {
    ASSERT_EQ(Shell("cd " + Quoted(dir / "in") + " && " + command), 0) << command;
  }

  void ExpectUnzipsLikeInput(const std::string& zip_file) {
    archive.ArchiveFileName = zip_file;
    archive.FilesToProcess = "";
    archive.DestinationFolder = dir / "out";
    EXPECT_EQ(archive.Unzip(), 0);
    for (const char* name : {"text.txt", "random.bin", "sub/empty.txt", "sub/name with spaces \xC3\xA9.txt"}) {
      EXPECT_EQ(ReadFile(dir / (std::string("out/") + name)), ReadFile(dir / (std::string("in/") + name))) << name;
    }
  }
};

TEST_F(Interop, ReadsDeflatedArchives) {
  InFolder("zip -q -r -6 " + Quoted(dir / "deflated.zip") + " .");
  ExpectUnzipsLikeInput(dir / "deflated.zip");
}

TEST_F(Interop, ReadsStoredArchives) {
  InFolder("zip -q -r -0 " + Quoted(dir / "stored.zip") + " .");
  ExpectUnzipsLikeInput(dir / "stored.zip");
}

TEST_F(Interop, ReadsStreamedArchivesWithDataDescriptors) {
  // Written to a pipe, zip cannot seek back: every entry has a data descriptor.
  InFolder("zip -q -r - . | cat > " + Quoted(dir / "streamed.zip"));
  {
    auto file = fs->Open(dir / "streamed.zip", OpenMode::kRead);
    const zip::Directory d = zip::ReadDirectory(*file);
    ASSERT_FALSE(d.entries.empty());
    EXPECT_NE(d.entries[0].flags & zip::kFlagDescriptor, 0);
  }
  ExpectUnzipsLikeInput(dir / "streamed.zip");

  // Standard input of unknown size: a ZIP64 entry named "-" with a descriptor.
  InFolder("cat text.txt | zip -q - - | cat > " + Quoted(dir / "stdin.zip"));
  archive.ArchiveFileName = dir / "stdin.zip";
  archive.DestinationFolder = dir / "stdin";
  archive.Unzip();
  EXPECT_EQ(ReadFile(dir / "stdin/-"), ReadFile(dir / "in/text.txt"));
}

TEST_F(Interop, AppendingToAForeignArchiveKeepsItValid) {
  InFolder("zip -q -r " + Quoted(archive_path) + " .");
  const size_t before = Names().size();
  archive.KeepPaths = false;
  ZipFile(MakeFile("added.txt", TextBytes(1234)));
  EXPECT_EQ(Names().size(), before + 1);
  ExpectForeignReadersAccept(archive_path);
  ASSERT_EQ(Shell("unzip -qq -o " + Quoted(archive_path) + " -d " + Quoted(dir / "check")), 0);
  EXPECT_EQ(ReadFile(dir / "check/added.txt"), TextBytes(1234));
}

// A list stored in one step, then one more entry, make archives the foreign
// readers accept and that unzip back.
TEST_F(Interop, ListsAndSingleEntriesGiveStandardArchives) {
  MakeFile("in/large.txt", TextBytes(3'000'000));
  const std::vector<std::string> names = {"text.txt", "random.bin", "sub/empty.txt", "large.txt"};
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back(dir / ("in/" + name));
  archive.KeepPaths = false;
  EXPECT_EQ(archive.ZipFiles(paths), std::vector<int32_t>(paths.size(), 0));
  ZipFile(dir / "in/sub/name with spaces \xC3\xA9.txt");
  ExpectForeignReadersAccept(archive_path);
  ASSERT_EQ(Shell("unzip -qq -o " + Quoted(archive_path) + " -d " + Quoted(dir / "check")), 0);
  for (const std::string& name : names) {
    EXPECT_EQ(ReadFile(dir / ("check/" + fs->GetFileName(name))), ReadFile(dir / ("in/" + name))) << name;
  }
}

}  // namespace
}  // namespace bk::testing
