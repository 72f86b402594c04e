// Files stored and brought back: contents, names, paths, times, attributes.
#include <gtest/gtest.h>

#include <filesystem>

#include "component/error.h"
#include "component/fs/path_rules.h"
#include "component/zip/zip_reader.h"
#include "zip_test_util.h"

namespace bk::testing {
namespace {

constexpr uint32_t kWinReadOnly = 0x01, kWinHidden = 0x02;
constexpr int64_t kSecond = 1'000'000'000;

zip::Directory ReadDir(FileSystem& fs, const std::string& path) {
  auto file = fs.Open(path, OpenMode::kRead);
  return zip::ReadDirectory(*file);
}

class RoundTrip : public ZipTest {};

TEST_F(RoundTrip, ContentsOfEveryKindComeBackIdentical) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty.bin", ""},
      {"one.bin", "x"},
      {"random.bin", RandomBytes(3 * 1024 * 1024 + 17, 1)},  // past the store probe
      {"small random.bin", RandomBytes(70'000, 2)},
      {"text.txt", TextBytes(5 * 1024 * 1024)},
      {"d\xC3\xA9j\xC3\xA0 vu/\xC3\xBC\xC5\x8B\xC3\xAF \xE2\x9C\x93.txt", TextBytes(1000)},
  };
  std::vector<std::string> paths;
  for (const auto& [name, bytes] : files) paths.push_back(MakeFile("src/" + name, bytes));
  for (const auto& p : paths) ZipFile(p);

  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(names[i], fs->paths().PathBelowDrive(paths[i]));
    EXPECT_TRUE(names[i].ends_with("/src/" + files[i].first)) << names[i];
    EXPECT_EQ(names[i].find('\\'), std::string::npos);
    EXPECT_NE(names[i][0], '/');
  }
  const zip::Directory d = ReadDir(*fs, archive_path);
  EXPECT_EQ(d.entries[2].method, zip::kMethodStored);  // incompressible: stored
  EXPECT_EQ(d.entries[3].method, zip::kMethodStored);
  EXPECT_EQ(d.entries[4].method, zip::kMethodDeflated);
  EXPECT_LT(d.entries[4].compressed_size, d.entries[4].size / 10);
  EXPECT_EQ(d.entries[5].flags & zip::kFlagUtf8, zip::kFlagUtf8);
  EXPECT_EQ(d.entries[4].flags & zip::kFlagUtf8, 0);
  ExpectForeignReadersAccept(archive_path);

  archive.DestinationFolder = dir / "out";
  archive.FilesToProcess = "";
  EXPECT_EQ(archive.Unzip(), 0);
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string target = fs->BuildPath(archive.DestinationFolder, names[i]);
    EXPECT_EQ(ReadFile(fs->GetAbsolutePathName(target)), files[i].second) << names[i];
  }
}

TEST_F(RoundTrip, KeepPathsOffUsesBareNamesBothWays) {
  archive.KeepPaths = false;
  ZipFile(MakeFile("deep/er/a.txt", "a"));
  archive.KeepPaths = true;
  ZipFile(MakeFile("deep/b.txt", "b"));
  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "a.txt");
  EXPECT_TRUE(names[1].ends_with("/deep/b.txt"));

  archive.KeepPaths = false;
  archive.FilesToProcess = "";
  archive.DestinationFolder = dir / "flat";
  archive.Unzip();
  EXPECT_EQ(ReadFile(dir / "flat/a.txt"), "a");
  EXPECT_EQ(ReadFile(dir / "flat/b.txt"), "b");

  archive.KeepPaths = true;
  archive.DestinationFolder = dir / "tree";
  archive.Unzip();
  EXPECT_EQ(ReadFile(dir / "tree/a.txt"), "a");
  EXPECT_EQ(ReadFile(fs->BuildPath(dir / "tree", names[1])), "b");
  ExpectForeignReadersAccept(archive_path);
}

TEST_F(RoundTrip, RelativePathsResolveAgainstTheCurrentFolder) {
  MakeFile("cwd/rel.txt", "relative");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::u8path(dir / "cwd"));
  archive.KeepPaths = true;
  archive.FilesToProcess = "rel.txt";
  const int32_t result = archive.Zip();
  archive.ArchiveFileName = "relative.zip";  // a bare archive name, in the current folder
  archive.Zip();
  std::filesystem::current_path(previous);
  archive.ArchiveFileName = archive_path;
  EXPECT_EQ(result, 0);
  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], fs->paths().PathBelowDrive(dir / "cwd/rel.txt"));
  EXPECT_TRUE(Exists(dir / "cwd/relative.zip"));
}

TEST_F(RoundTrip, SelectionAndExclusionPickEntriesByName) {
  archive.KeepPaths = false;
  for (const char* name : {"one.txt", "two.txt", "Three.txt"}) ZipFile(MakeFile(name, name));
  archive.DestinationFolder = dir / "only";
  archive.FilesToProcess = "TWO.TXT";
  archive.Unzip();
  EXPECT_EQ(ReadFile(dir / "only/two.txt"), "two.txt");
  EXPECT_FALSE(Exists(dir / "only/one.txt"));
  EXPECT_FALSE(Exists(dir / "only/Three.txt"));

  archive.DestinationFolder = dir / "but";
  archive.FilesToProcess = "";
  archive.FilesToExclude = "three.txt";
  archive.Unzip();
  EXPECT_TRUE(Exists(dir / "but/one.txt"));
  EXPECT_TRUE(Exists(dir / "but/two.txt"));
  EXPECT_FALSE(Exists(dir / "but/Three.txt"));

  archive.DestinationFolder = dir / "none";
  archive.FilesToProcess = "missing.txt";
  archive.FilesToExclude = "";
  EXPECT_EQ(archive.Unzip(), 0);
  EXPECT_FALSE(Exists(dir / "none/one.txt"));
}

TEST_F(RoundTrip, ReplacesReadOnlyFilesAndRestoresTimesAndAttributes) {
  const std::string locked = MakeFile("attr/locked.txt", "original");
  const std::string other = MakeFile("attr/other.txt", "other");
  const int64_t t1 = 981'173'106 * kSecond;  // 2001-02-03 04:05:06 UTC
  const int64_t t2 = 1'700'000'001 * kSecond;
  fs->SetModifiedTime(locked, t1);
  fs->SetModifiedTime(other, t2);
  fs->SetAttributes(locked, OnWindows() ? kWinReadOnly : 0444);
  fs->SetAttributes(other, OnWindows() ? kWinHidden : 0750);
  ZipFile(locked);
  ZipFile(other);

  fs->SetAttributes(locked, OnWindows() ? 0x80 : 0644);
  WriteFile(locked, "changed and longer");
  fs->SetAttributes(locked, OnWindows() ? kWinReadOnly : 0444);
  archive.FilesToProcess = "";
  archive.DestinationFolder = fs->GetDriveName(locked);
  archive.Unzip();

  EXPECT_EQ(ReadFile(locked), "original");
  const FileStat a = fs->Stat(locked);
  const FileStat b = fs->Stat(other);
  EXPECT_EQ(a.modified_ns, t1);
  EXPECT_EQ(b.modified_ns, t2);
  EXPECT_TRUE(a.read_only);
  EXPECT_FALSE(b.read_only);
  if (OnWindows()) {
    EXPECT_EQ(b.attributes & kWinHidden, kWinHidden);
  } else {
    EXPECT_EQ(a.attributes & 07777, 0444u);
    EXPECT_EQ(b.attributes & 07777, 0750u);
  }
}

// A file made safe twice must come back as it was the first time.
TEST_F(RoundTrip, TheFirstEntryOfTheSameNameWins) {
  const std::string path = MakeFile("same.txt", "first version");
  ZipFile(path);
  WriteFile(path, "second");
  ZipFile(path);
  EXPECT_EQ(Names().size(), 2u);
  archive.FilesToProcess = "";
  archive.DestinationFolder = dir / "out";
  archive.Unzip();
  EXPECT_EQ(ReadFile(fs->BuildPath(dir / "out", Names()[0])), "first version");
  ExpectForeignReadersAccept(archive_path);
}

// Windows rules make names differing in letter case or separators one file;
// POSIX keeps them apart.
TEST_F(RoundTrip, TheFirstEntryOfTheSameFileWinsByThePlatformsRules) {
  BuildArchive(archive_path, {{"dir/Same.txt", "first"}, {"DIR\\same.txt", "second"}, {"dir/SAME.TXT", "third"}});
  archive.DestinationFolder = dir / "out";
  EXPECT_EQ(archive.Unzip(), 0);
  EXPECT_EQ(ReadFile(dir / "out/dir/Same.txt"), "first");
  if (OnWindows()) {
    EXPECT_EQ(fs->ListFiles(dir / "out/dir").size(), 1u);
    EXPECT_EQ(fs->ListFiles(dir / "out/dir")[0].name, "Same.txt");
  } else {
    EXPECT_EQ(ReadFile(dir / "out/DIR\\same.txt"), "second");
    EXPECT_EQ(ReadFile(dir / "out/dir/SAME.TXT"), "third");
  }
}

TEST(EntryNames, DecodedAsUtf8) {
  const std::string cp437 = "caf\x82 \xE1";  // not UTF-8: code page 437
  const std::string utf8 = "caf\xC3\xA9 \xC3\x9F";
  EXPECT_EQ(zip::DecodeName(cp437, 0, ""), utf8);
  EXPECT_EQ(zip::DecodeName(utf8, 0, ""), utf8);
  EXPECT_EQ(zip::DecodeName(cp437, zip::kFlagUtf8, ""), cp437);
  // The Unicode path field counts only while it describes this very name.
  const auto unicode_field = [](const std::string& raw, uint32_t crc_of) {
    std::string field;
    zip::ByteWriter w(field);
    w.U16(0x5455);  // another block first
    w.U16(1);
    w.U8(0);
    w.U16(0x7075);
    w.U16(static_cast<uint16_t>(5 + raw.size()));
    w.U8(1);
    w.U32(crc_of);
    w.Bytes(raw);
    return field;
  };
  const std::string path = "\xE2\x9C\x93 path";
  EXPECT_EQ(zip::DecodeName(cp437, 0, unicode_field(path, zip::Crc32(0, cp437.data(), cp437.size()))), path);
  EXPECT_EQ(zip::DecodeName(cp437, 0, unicode_field(path, 12345)), utf8);
  EXPECT_EQ(zip::DecodeName(cp437, 0, unicode_field(path, 0).substr(0, 12)), utf8);  // cut short
}

TEST_F(RoundTrip, UnwritableAndDamagedEntriesFailAfterTheOthers) {
  BuildArchive(archive_path,
               {{"good1.txt", "one"}, {"blocked", "x"}, {"bad.bin", RandomBytes(5000, 3)}, {"good2.txt", "two"}});
  // Damage the stored data of bad.bin, and put a folder where "blocked" goes.
  std::string bytes = ReadFile(archive_path);
  const zip::Entry bad = ReadDir(*fs, archive_path).entries[2];
  ASSERT_EQ(bad.method, zip::kMethodStored);
  bytes[bad.header_offset + zip::kLocalHeaderSize + bad.name.size() + 9 + 100] ^= 0x55;
  WriteFile(archive_path, bytes);
  fs->CreateFolder(dir / "out");
  fs->CreateFolder(dir / "out/blocked");

  std::vector<int32_t> reasons;
  archive.SkippingFile = [&](const SkippingFileArgs& a) { reasons.push_back(a.xReason); };
  archive.DestinationFolder = dir / "out";
  try {
    archive.Unzip();
    ADD_FAILURE() << "unzip reported success";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), errnum::kArchiveError);
    EXPECT_EQ(e.path(), "blocked");
  }
  EXPECT_EQ(reasons, (std::vector<int32_t>{static_cast<int32_t>(SkipReason::kCannotWrite),
                                           static_cast<int32_t>(SkipReason::kDamagedEntry)}));
  EXPECT_EQ(ReadFile(dir / "out/good1.txt"), "one");
  EXPECT_EQ(ReadFile(dir / "out/good2.txt"), "two");
  EXPECT_FALSE(Exists(dir / "out/bad.bin"));
  EXPECT_EQ(fs->ListFiles(dir / "out").size(), 2u);  // no temporary file left
}

}  // namespace
}  // namespace bk::testing
