// ZIP64: a file over 4 GiB, entries beyond 4 GiB, more than 65,535 entries.
#include <gtest/gtest.h>

#include "component/zip/zip_reader.h"
#include "component/zip/zip_writer.h"
#include "zip_test_util.h"

namespace bk::testing {
namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

class Large : public ZipTest {
 protected:
  zip::Directory ReadDir() {
    auto file = fs->Open(archive_path, OpenMode::kRead);
    return zip::ReadDirectory(*file);
  }
};

TEST_F(Large, AFileOver4GiBRoundTrips) {
  if (OnWindows()) GTEST_SKIP() << "native only: writes 4 GiB";
  const std::string big = dir / "big.bin";
  const uint64_t size = k4GiB + 4321;
  {
    auto f = fs->Open(big, OpenMode::kCreate);
    f->Truncate(size);  // sparse: zeros but for three marks
    f->WriteAt(0, "head", 4);
    f->WriteAt(k4GiB - 2, "across", 6);
    f->WriteAt(size - 4, "tail", 4);
    f->Close();
  }
  archive.KeepPaths = false;
  ZipFile(big);
  ZipFile(MakeFile("after.txt", "after the big one"));
  const zip::Directory d = ReadDir();
  ASSERT_EQ(d.entries.size(), 2u);
  EXPECT_EQ(d.entries[0].size, size);
  EXPECT_EQ(d.entries[0].method, zip::kMethodDeflated);
  ExpectForeignReadersAccept(archive_path);

  fs->RemoveFile(big, true);
  archive.FilesToProcess = "";
  archive.DestinationFolder = dir.path();
  archive.Unzip();
  auto f = fs->Open(big, OpenMode::kRead);
  EXPECT_EQ(f->Size(), size);
  char buf[6] = {};
  f->ReadAt(k4GiB - 2, buf, 6);
  EXPECT_EQ(std::string(buf, 6), "across");
  f->ReadAt(size - 4, buf, 4);
  EXPECT_EQ(std::string(buf, 4), "tail");
  f->ReadAt(k4GiB / 2, buf, 6);
  EXPECT_EQ(std::string(buf, 6), std::string(6, '\0'));
}

TEST_F(Large, EntriesBeyond4GiBUseZip64Offsets) {
  if (OnWindows()) GTEST_SKIP() << "native only: a 4 GiB sparse archive";
  // An archive whose first entry is 4 GiB of zeros, stored, written sparse.
  {
    auto f = fs->Open(archive_path, OpenMode::kCreate);
    zip::Entry zeros;
    zeros.name = "zeros.bin";
    zeros.made_by = 3 << 8 | 45;
    zeros.external_attributes = 0100644u << 16;
    zeros.size = zeros.compressed_size = k4GiB + 1;
    const std::string block(1 << 20, '\0');
    for (uint64_t done = 0; done < zeros.size; done += block.size()) {
      zeros.crc = zip::Crc32(zeros.crc, block.data(), std::min<uint64_t>(block.size(), zeros.size - done));
    }
    const std::string header = zip::EncodeLocalHeader(zeros, true);
    f->WriteAt(0, header.data(), header.size());
    f->Truncate(header.size() + zeros.size);
    zip::WriteDirectory(*f, header.size() + zeros.size, zip::EncodeCentralRecord(zeros), 1);
    f->Close();
  }
  archive.KeepPaths = false;
  ZipFile(MakeFile("after.txt", "beyond 4 GiB"));
  const zip::Directory d = ReadDir();
  ASSERT_EQ(d.entries.size(), 2u);
  EXPECT_GT(d.entries[1].header_offset, k4GiB);
  EXPECT_GT(d.append_offset, k4GiB);
  ExpectForeignReadersAcceptEntry(archive_path, "after.txt");
  archive.FilesToProcess = "after.txt";
  archive.DestinationFolder = dir / "out";
  archive.Unzip();
  EXPECT_EQ(ReadFile(dir / "out/after.txt"), "beyond 4 GiB");
}

TEST_F(Large, MoreThan65535Entries) {
  constexpr size_t kCount = 65'536;
  std::vector<RawEntry> entries(kCount);
  for (size_t i = 0; i < kCount; ++i) entries[i].name = "e" + std::to_string(i);
  BuildArchive(archive_path, entries);
  archive.KeepPaths = false;
  ZipFile(MakeFile("last.txt", "the last one"));
  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), kCount + 1);
  EXPECT_EQ(names[kCount - 1], "e65535");
  EXPECT_EQ(names[kCount], "last.txt");
  ExpectForeignReadersAccept(archive_path);
  archive.FilesToProcess = "last.txt";
  archive.DestinationFolder = dir / "out";
  archive.Unzip();
  EXPECT_EQ(ReadFile(dir / "out/last.txt"), "the last one");
}

}  // namespace
}  // namespace bk::testing
