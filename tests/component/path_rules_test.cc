#include "component/fs/path_rules.h"

#include <gtest/gtest.h>

namespace bk {
namespace {

struct Case {
  const char* input;
  const char* expected;
};

void ExpectEach(const char* what, const Case* cases, size_t n, std::string (*fn)(const char*)) {
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(fn(cases[i].input), cases[i].expected) << what << "(\"" << cases[i].input << "\")";
  }
}

const PathRules& Win() { return WindowsPathRules(); }
const PathRules& Posix() { return PosixPathRules(); }

TEST(WindowsPathRules, DriveNames) {
  const Case cases[] = {
      {"C:\\a\\b.txt", "C:"}, {"c:", "c:"}, {"C:relative", "C:"}, {"D:/x/y", "D:"},
      {"\\\\server\\share\\a.txt", "\\\\server\\share"}, {"\\\\server\\share", "\\\\server\\share"},
      {"//server/share/a", "//server/share"}, {"\\\\server", ""}, {"\\\\server\\", ""},
      {"a\\b.txt", ""}, {"\\a\\b", ""}, {"", ""}, {"1:\\a", ""},
  };
  ExpectEach("GetDriveName", cases, std::size(cases), [](const char* p) { return Win().GetDriveName(p); });
  EXPECT_TRUE(Win().IsAbsolute("C:\\a"));
  EXPECT_TRUE(Win().IsAbsolute("C:"));
  EXPECT_TRUE(Win().IsAbsolute("\\\\s\\share\\x"));
  EXPECT_FALSE(Win().IsAbsolute("\\a"));
  EXPECT_FALSE(Win().IsAbsolute("a"));
}

TEST(WindowsPathRules, BuildPathJoinsWithOneBackslash) {
  EXPECT_EQ(Win().BuildPath("C:\\A", "b.txt"), "C:\\A\\b.txt");
  EXPECT_EQ(Win().BuildPath("C:\\A\\", "b.txt"), "C:\\A\\b.txt");
  EXPECT_EQ(Win().BuildPath("C:\\A\\\\", "\\b.txt"), "C:\\A\\b.txt");
  EXPECT_EQ(Win().BuildPath("C:\\A/", "b"), "C:\\A\\b");
  // A bare drive stands for its root, never for the drive's current folder.
  EXPECT_EQ(Win().BuildPath("C:", "App\\a.txt"), "C:\\App\\a.txt");
  EXPECT_EQ(Win().BuildPath("C:\\", "a"), "C:\\a");
  EXPECT_EQ(Win().BuildPath("\\\\srv\\share", "a"), "\\\\srv\\share\\a");
  EXPECT_EQ(Win().BuildPath("", "a.txt"), "a.txt");
  EXPECT_EQ(Win().BuildPath("rel", "a.txt"), "rel\\a.txt");
}

TEST(WindowsPathRules, ParentFolderName) {
  const Case cases[] = {
      {"C:\\A\\B\\", "C:\\A"}, {"C:\\A\\B", "C:\\A"}, {"C:\\A", "C:\\"}, {"C:\\A\\", "C:\\"},
      {"C:\\", ""}, {"C:", ""}, {"C:/A/B", "C:/A"}, {"C:\\A\\\\B", "C:\\A"},
      {"\\\\srv\\share\\a\\b", "\\\\srv\\share\\a"}, {"\\\\srv\\share\\a", "\\\\srv\\share\\"},
      {"\\\\srv\\share", ""}, {"a\\b", "a"}, {"a", ""}, {"", ""}, {"\\a", "\\"},
  };
  ExpectEach("GetParentFolderName", cases, std::size(cases), [](const char* p) { return Win().GetParentFolderName(p); });
}

TEST(WindowsPathRules, FileAndExtensionNames) {
  const Case names[] = {
      {"C:\\A\\b.txt", "b.txt"}, {"C:\\A\\B\\", "B"}, {"C:\\", ""}, {"C:", ""}, {"\\\\srv\\share", ""},
      {"\\\\srv\\share\\x", "x"}, {"a/b", "b"}, {"name", "name"},
  };
  ExpectEach("GetFileName", names, std::size(names), [](const char* p) { return Win().GetFileName(p); });
  const Case extensions[] = {
      {"C:\\A\\Safe 2002-02-11 14.03.44.xml", "xml"}, {"C:\\A.dir\\file", ""}, {"a.tar.gz", "gz"},
      {"a.", ""}, {".profile", "profile"}, {"C:\\A\\b.XML\\", "XML"},
  };
  ExpectEach("GetExtensionName", extensions, std::size(extensions), [](const char* p) { return Win().GetExtensionName(p); });
}

TEST(WindowsPathRules, AbsoluteResolvesAgainstCurrentFolder) {
  EXPECT_EQ(Win().Absolute("b\\c.txt", "C:\\work"), "C:\\work\\b\\c.txt");
  EXPECT_EQ(Win().Absolute("..\\x", "C:\\work\\sub"), "C:\\work\\x");
  EXPECT_EQ(Win().Absolute("C:\\a\\.\\b\\..\\c\\", "D:\\cur"), "C:\\a\\c");
  EXPECT_EQ(Win().Absolute("C:/a//b", "D:\\cur"), "C:\\a\\b");
  EXPECT_EQ(Win().Absolute("C:\\..\\..", "D:\\cur"), "C:\\");
  EXPECT_EQ(Win().Absolute("C:", "D:\\cur"), "C:\\");
  EXPECT_EQ(Win().Absolute("\\top", "D:\\cur"), "D:\\top");
  EXPECT_EQ(Win().Absolute("\\\\srv\\share\\a\\..\\..\\b", "D:\\cur"), "\\\\srv\\share\\b");
}

TEST(WindowsPathRules, DriveRootAndPathBelowDrive) {
  EXPECT_EQ(Win().DriveRoot("C:"), "C:\\");
  EXPECT_EQ(Win().DriveRoot("\\\\srv\\share"), "\\\\srv\\share\\");
  EXPECT_EQ(Win().PathBelowDrive("C:\\App\\a.txt"), "App/a.txt");
  EXPECT_EQ(Win().PathBelowDrive("\\\\srv\\share\\d\\e.txt"), "d/e.txt");
  EXPECT_EQ(Win().Separator(), '\\');
}

TEST(PosixPathRules, DrivesAndJoins) {
  EXPECT_EQ(Posix().GetDriveName("/a/b.txt"), "/");
  EXPECT_EQ(Posix().GetDriveName("a/b.txt"), "");
  EXPECT_EQ(Posix().GetDriveName("C:\\a"), "");
  EXPECT_FALSE(Posix().IsSeparator('\\'));
  EXPECT_EQ(Posix().BuildPath("/a", "b"), "/a/b");
  EXPECT_EQ(Posix().BuildPath("/a//", "/b"), "/a/b");
  EXPECT_EQ(Posix().BuildPath("/", "b"), "/b");
  EXPECT_EQ(Posix().BuildPath("", "b"), "b");
  EXPECT_EQ(Posix().DriveRoot("/"), "/");
}

TEST(PosixPathRules, ParentFileAndExtension) {
  const Case parents[] = {
      {"/a/b", "/a"}, {"/a/b/", "/a"}, {"/a", "/"}, {"/", ""}, {"a/b", "a"}, {"a", ""}, {"//a", "/"},
      {"/a\\b", "/"},
  };
  ExpectEach("GetParentFolderName", parents, std::size(parents), [](const char* p) { return Posix().GetParentFolderName(p); });
  EXPECT_EQ(Posix().GetFileName("/a/b.txt"), "b.txt");
  EXPECT_EQ(Posix().GetFileName("/a\\b.txt"), "a\\b.txt");
  EXPECT_EQ(Posix().GetFileName("/"), "");
  EXPECT_EQ(Posix().GetExtensionName("/x.d/log.xml"), "xml");
}

TEST(PosixPathRules, AbsoluteAndBelowDrive) {
  EXPECT_EQ(Posix().Absolute("b/../c/./d/", "/cur"), "/cur/c/d");
  EXPECT_EQ(Posix().Absolute("/../x", "/cur"), "/x");
  EXPECT_EQ(Posix().Absolute("//a///b", "/cur"), "/a/b");
  EXPECT_EQ(Posix().Absolute("/", "/cur"), "/");
  EXPECT_EQ(Posix().PathBelowDrive("/srv/a.txt"), "srv/a.txt");
}

// Callers ask what files are like, never which platform this is.
TEST(PathRules, CapabilitiesOfEachPlatform) {
  struct Row {
    const char* what;
    bool (PathRules::*query)() const;
    bool windows, posix;
  } rows[] = {
      {"FoldsCase", &PathRules::FoldsCase, true, false},
      {"HasPosixModes", &PathRules::HasPosixModes, false, true},
      {"HasOwners", &PathRules::HasOwners, false, true},
      {"BackslashSeparates", &PathRules::BackslashSeparates, true, false},
      {"ReservesNames", &PathRules::ReservesNames, true, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ((Win().*row.query)(), row.windows) << row.what;
    EXPECT_EQ((Posix().*row.query)(), row.posix) << row.what;
  }
}

}  // namespace
}  // namespace bk
