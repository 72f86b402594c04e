// Entry names that would write outside the destination folder are refused
// before anything is written.
#include <gtest/gtest.h>

#include "component/error.h"
#include "component/zip/zip_extract.h"
#include "zip_test_util.h"

namespace bk::testing {
namespace {

// By every rules; by DOS paths ("\\" separates, "C:" is a drive: Windows,
// and an archive from anywhere); by Windows' reserved names; by none.
TEST(EntryNames, UnsafeNamesByEachRules) {
  const char* everywhere[] = {"/etc/passwd", "//server/share/x", "../x", "a/../../x", "a/..", "..", ""};
  const char* by_dos_paths[] = {"\\windows\\x.dll", "\\\\server\\share\\x", "C:/x.txt", "c:x.txt",
                                "a\\..\\..\\x", "x\\..\\y"};
  const char* by_reserved_names[] = {"CON", "dir/nul.txt", "aux", "Com1.log", "lpt9", "x/a:b", "x/file.txt:stream"};
  const char* safe[] = {"a.txt", "dir/sub/a.txt", "dir/", "..a", "a..", "a/.../b", "./a", "console.txt", "com10"};
  // Windows, an archive from anywhere, POSIX.
  for (const auto& [dos, reserved] : {std::pair{true, true}, std::pair{true, false}, std::pair{false, false}}) {
    for (const char* name : everywhere) EXPECT_TRUE(zip::IsUnsafeName(name, dos, reserved)) << name;
    for (const char* name : by_dos_paths) EXPECT_EQ(zip::IsUnsafeName(name, dos, reserved), dos) << name;
    for (const char* name : by_reserved_names) EXPECT_EQ(zip::IsUnsafeName(name, dos, reserved), reserved) << name;
    for (const char* name : safe) EXPECT_FALSE(zip::IsUnsafeName(name, dos, reserved)) << name;
  }
  EXPECT_TRUE(zip::IsUnsafeName(std::string("a\0b", 3), false, false));
}

class Hostile : public ZipTest {
 protected:
  // Unzips an archive of a harmless entry and `entry`, expecting a refusal
  // with nothing written.
  void ExpectRefused(const RawEntry& entry) {
    SCOPED_TRACE(entry.name);
    BuildArchive(archive_path, {{"harmless.txt", "fine"}, entry});
    const std::string out = dir / "out";
    archive.DestinationFolder = out;
    archive.FilesToProcess = "";
    archive.KeepPaths = true;
    try {
      archive.Unzip();
      ADD_FAILURE() << "unzip wrote a hostile entry";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), errnum::kArchiveError);
      EXPECT_EQ(e.path(), entry.name);
    }
    EXPECT_FALSE(Exists(out)) << "something was written";
    EXPECT_FALSE(Exists(dir / "escaped.txt"));
    archive.KeepPaths = false;  // bare names do not make a hostile archive acceptable
    EXPECT_THROW(archive.Unzip(), Error);
    EXPECT_FALSE(Exists(out));
  }
};

TEST_F(Hostile, EveryKindOfEscapeIsRefused) {
  const std::string absolute = (dir / "escaped.txt");
  std::string posix_absolute = absolute;
  for (char& c : posix_absolute) c = c == '\\' ? '/' : c;
  const std::vector<std::string> names = {
      "../escaped.txt", "sub/../../escaped.txt", "sub\\..\\..\\escaped.txt", posix_absolute, "/escaped.txt",
      "\\escaped.txt", "//server/share/escaped.txt", "\\\\server\\share\\escaped.txt", "C:/escaped.txt",
      "C:escaped.txt", std::string("nul\0.txt", 8),
  };
  for (const std::string& name : names) ExpectRefused({name, "evil"});
  if (OnWindows()) {
    ExpectRefused({"CON", "evil"});
    ExpectRefused({"sub/escaped.txt:stream", "evil"});
  }
}

TEST_F(Hostile, SymbolicLinkEntriesAreRefused) {
  ExpectRefused({"link", "/etc", 3 << 8 | 20, 0120777u << 16});
}

TEST_F(Hostile, OnlySelectedEntriesAreChecked) {
  BuildArchive(archive_path, {{"harmless.txt", "fine"}, {"../escaped.txt", "evil"}});
  archive.DestinationFolder = dir / "out";
  archive.FilesToProcess = "harmless.txt";
  EXPECT_EQ(archive.Unzip(), 0);
  EXPECT_EQ(ReadFile(dir / "out/harmless.txt"), "fine");
  archive.FilesToProcess = "";
  archive.FilesToExclude = "../escaped.txt";
  EXPECT_EQ(archive.Unzip(), 0);
  EXPECT_FALSE(Exists(dir / "escaped.txt"));
}

TEST_F(Hostile, AnEntryInflatingBeyondItsSizeIsDamaged) {
  BuildArchive(archive_path, {{"bomb.txt", TextBytes(1'000'000)}});
  // Claim 1,000 bytes in the central record; the data inflates to far more.
  std::string bytes = ReadFile(archive_path);
  const size_t central = bytes.rfind(std::string("PK\x01\x02", 4));
  bytes[central + 24] = static_cast<char>(0xE8);
  bytes[central + 25] = 0x03;
  bytes[central + 26] = bytes[central + 27] = 0;
  WriteFile(archive_path, bytes);
  archive.DestinationFolder = dir / "out";
  std::vector<int32_t> reasons;
  archive.SkippingFile = [&](const SkippingFileArgs& a) { reasons.push_back(a.xReason); };
  EXPECT_THROW(archive.Unzip(), Error);
  EXPECT_EQ(reasons, std::vector<int32_t>{static_cast<int32_t>(SkipReason::kDamagedEntry)});
  EXPECT_FALSE(Exists(dir / "out/bomb.txt"));
}

}  // namespace
}  // namespace bk::testing
