// The platform's file system, natively and (cross-built) under Wine.
// Expectations that differ between the platforms are chosen by the path
// rules in force.
#include "component/fs/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <vector>

#include "component/error.h"
#include "support/error_of.h"
#include "support/temp_dir.h"

namespace bk {
namespace {

using testing::ErrorOf;

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

bool OnWindows() { return &NativePathRules() == &WindowsPathRules(); }

// The error an action raises; fails the test when it raises none.

void MakeReadOnly(FileSystem& fs, const std::string& path) {
  const uint32_t a = fs.Stat(path).attributes;
  fs.SetAttributes(path, OnWindows() ? (a | 0x1u) : (a & ~0222u));
  ASSERT_TRUE(fs.Stat(path).read_only);
}

std::set<std::string> Names(const std::vector<FolderEntry>& entries) {
  std::set<std::string> out;
  for (const auto& e : entries) out.insert(e.name);
  return out;
}

class FileSystemTest : public ::testing::Test {
 protected:
  std::shared_ptr<FileSystem> fs_ = DefaultFileSystem();
  TempDir dir_;
  std::string At(std::string_view name) const { return fs_->BuildPath(dir_.path(), name); }
};

TEST_F(FileSystemTest, FailuresCarryStandardNumbersPathAndNativeCode) {
  WriteFile(At("a.txt"), "a");
  const Error missing = ErrorOf([&] { fs_->Open(At("none.txt"), OpenMode::kRead); });
  EXPECT_EQ(missing.number(), errnum::kFileNotFound);
  EXPECT_EQ(missing.description(), "File not found");
  EXPECT_EQ(missing.path(), At("none.txt"));
  EXPECT_NE(missing.native_code(), 0);

  EXPECT_EQ(ErrorOf([&] { fs_->Open(At("no\\x.txt"), OpenMode::kRead); }).number(),
            OnWindows() ? errnum::kPathNotFound : errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->Open(At("nodir/x.txt"), OpenMode::kCreate); }).number(), errnum::kPathNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->Stat(At("none")); }).number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->Stat(At("nodir/none")); }).number(), errnum::kPathNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->Open(At("a.txt"), OpenMode::kCreateNew); }).number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(ErrorOf([&] { fs_->CreateFolder(dir_.path()); }).number(), errnum::kFileAlreadyExists);
  EXPECT_EQ(ErrorOf([&] { fs_->CreateFolder(At("x/y")); }).number(), errnum::kPathNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->ListFiles(At("x")); }).number(), errnum::kPathNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->RemoveFile(At("none"), true); }).number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->CopyFileTo(At("none"), At("b"), true); }).number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->CopyFileTo(At("a.txt"), At("x/b"), true); }).number(), errnum::kPathNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->RenameFile(At("none"), At("b")); }).number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { fs_->RenameFile(At("a.txt"), At("x/b")); }).number(), errnum::kPathNotFound);
  // A folder is no file: opening it is refused, deleting it as a file finds none.
  fs_->CreateFolder(At("sub"));
  EXPECT_EQ(ErrorOf([&] { fs_->Open(At("sub"), OpenMode::kRead); }).number(), errnum::kPermissionDenied);
  EXPECT_EQ(ErrorOf([&] { fs_->RemoveFile(At("sub"), true); }).number(), errnum::kFileNotFound);
  EXPECT_TRUE(fs_->FolderExists(At("sub")));
}

TEST_F(FileSystemTest, ExistenceStatAndTimes) {
  WriteFile(At("f.bin"), "12345");
  fs_->CreateFolder(At("sub"));
  EXPECT_TRUE(fs_->FileExists(At("f.bin")));
  EXPECT_FALSE(fs_->FileExists(At("sub")));
  EXPECT_TRUE(fs_->FolderExists(At("sub")));
  EXPECT_FALSE(fs_->FolderExists(At("f.bin")));
  EXPECT_FALSE(fs_->FolderExists(""));
  const FileStat st = fs_->Stat(At("f.bin"));
  EXPECT_EQ(st.size, 5u);
  EXPECT_FALSE(st.is_folder);
  EXPECT_FALSE(st.read_only);
  EXPECT_TRUE(fs_->Stat(At("sub")).is_folder);

  const int64_t when = 1013436224LL * 1000000000LL;  // 2002-02-11 14:03:44 UTC
  fs_->SetModifiedTime(At("f.bin"), when);
  EXPECT_EQ(fs_->Stat(At("f.bin")).modified_ns, when);
  fs_->RemoveFolder(At("sub"));
  EXPECT_FALSE(fs_->FolderExists(At("sub")));
}

// An open folder's entries, and metadata set on an open file.
TEST_F(FileSystemTest, FolderEntriesAndMetadataOnTheOpenFile) {
  std::vector<std::string> created;
  const std::string inner = fs_->BuildPath(At("a"), "b");
  std::unique_ptr<Folder> folder = fs_->OpenFolder(inner, &created);
  EXPECT_EQ(created, (std::vector<std::string>{At("a"), inner}));
  EXPECT_EQ(folder->path(), inner);
  EXPECT_EQ(ErrorOf([&] { fs_->OpenFolder(At("none/x"), nullptr); }).number(), errnum::kPathNotFound);

  std::unique_ptr<File> file = folder->OpenEntry("new.txt", OpenMode::kCreatePrivate);
  file->WriteAt(0, "abc", 3);
  const int64_t when = 1013436224LL * 1000000000LL;
  file->SetModifiedTime(when);
  file->SetAttributes(OnWindows() ? 0x1u : 0444u);
  file->Close();
  const FileStat st = folder->StatEntry("new.txt");
  EXPECT_EQ(st.modified_ns, when);
  EXPECT_TRUE(st.read_only);
  EXPECT_EQ(ErrorOf([&] { folder->OpenEntry("new.txt", OpenMode::kCreateNew); }).number(),
            errnum::kFileAlreadyExists);
  EXPECT_EQ(ErrorOf([&] { folder->OpenEntry("../a.txt", OpenMode::kCreateNew); }).number(),
            errnum::kBadFileNameOrNumber);

  std::unique_ptr<File> rewrite = folder->OpenForRewrite("new.txt");  // read-only: made writable
  rewrite->WriteAt(0, "xyz", 3);
  rewrite->Close();
  folder->RenameEntry("new.txt", "renamed.txt");
  folder->Sync();
  EXPECT_EQ(ReadFile(fs_->BuildPath(inner, "renamed.txt")), "xyz");
  folder->RemoveEntry("renamed.txt");
  EXPECT_EQ(ErrorOf([&] { folder->StatEntry("renamed.txt"); }).number(), errnum::kFileNotFound);
}

// Whole trees through open folders: subfolders made, listed, opened and
// removed by name.
TEST_F(FileSystemTest, SubfoldersThroughOpenFolders) {
  std::unique_ptr<Folder> top = fs_->OpenFolder(dir_.path(), nullptr);
  top->MakeFolder("sub");
  EXPECT_EQ(ErrorOf([&] { top->MakeFolder("sub"); }).number(), errnum::kFileAlreadyExists);
  if (!OnWindows()) {
    EXPECT_EQ(top->StatEntry("sub").attributes & 0777, 0700u);
  }
  std::unique_ptr<Folder> sub = top->OpenSubfolder("sub");
  EXPECT_EQ(sub->path(), At("sub"));
  std::unique_ptr<File> file = sub->OpenEntry("f.txt", OpenMode::kCreateNew);
  file->WriteAt(0, "abc", 3);
  file->Close();
  const int64_t when = 1013436224LL * 1000000000LL;
  sub->SetEntryModifiedTime("", when);

  const std::vector<FolderItem> items = top->ListEntries();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, "sub");
  EXPECT_TRUE(items[0].stat.is_folder);
  EXPECT_EQ(items[0].stat.modified_ns, when);
  const std::vector<FolderItem> inner = sub->ListEntries();
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].name, "f.txt");
  EXPECT_EQ(inner[0].stat.size, 3u);
  EXPECT_FALSE(inner[0].stat.is_folder);

  const Error file_as_folder = ErrorOf([&] { sub->OpenSubfolder("f.txt"); });
  EXPECT_EQ(file_as_folder.number(), errnum::kPathFileAccessError);
  EXPECT_EQ(file_as_folder.description(), "Not a folder");
  EXPECT_EQ(file_as_folder.path(), fs_->BuildPath(At("sub"), "f.txt"));
  EXPECT_EQ(ErrorOf([&] { top->OpenSubfolder("none"); }).number(), errnum::kFileNotFound);
  EXPECT_EQ(ErrorOf([&] { top->RemoveSubfolder("sub"); }).number(), errnum::kPermissionDenied);
  EXPECT_EQ(ErrorOf([&] { top->OpenSubfolder("sub/f.txt"); }).number(), errnum::kBadFileNameOrNumber);
  sub->RemoveEntry("f.txt");
  top->RemoveSubfolder("sub");
  EXPECT_TRUE(top->ListEntries().empty());
}

// Links made and read back through an open folder, which never follows one
// where a folder is expected.
TEST_F(FileSystemTest, LinksThroughOpenFolders) {
  std::unique_ptr<Folder> top = fs_->OpenFolder(dir_.path(), nullptr);
  top->MakeFolder("sub");
  try {
    top->MakeLink("link", "sub", /*folder_target=*/true);
  } catch (const Error& e) {
    if (!OnWindows() || e.number() != errnum::kPermissionDenied) throw;
    GTEST_SKIP() << "this account or platform makes no symbolic links (" << e.native_code() << ")";
  }
  EXPECT_EQ(top->ReadLink("link"), "sub");
  EXPECT_TRUE(top->StatEntry("link").is_symlink);
  EXPECT_EQ(ErrorOf([&] { top->MakeLink("link", "other", false); }).number(), errnum::kFileAlreadyExists);
  for (const auto& refused : std::vector<std::function<void()>>{
           [&] { top->OpenSubfolder("link"); },
           [&] { top->RemoveSubfolder("link"); },
           [&] { top->ReadLink("sub"); },
       }) {
    EXPECT_EQ(ErrorOf(refused).number(), errnum::kPathFileAccessError);
  }
  EXPECT_TRUE(fs_->FolderExists(At("sub")));
}

TEST_F(FileSystemTest, ReadOnlyFileNeedsForceToBeDeleted) {
  WriteFile(At("ro.txt"), "keep");
  MakeReadOnly(*fs_, At("ro.txt"));
  EXPECT_EQ(ErrorOf([&] { fs_->RemoveFile(At("ro.txt"), false); }).number(), errnum::kPermissionDenied);
  EXPECT_EQ(ErrorOf([&] { fs_->Open(At("ro.txt"), OpenMode::kReadWrite); }).number(), errnum::kPermissionDenied);
  EXPECT_EQ(ErrorOf([&] { fs_->Open(At("ro.txt"), OpenMode::kCreate); }).number(), errnum::kPermissionDenied);
  EXPECT_EQ(ReadFile(At("ro.txt")), "keep");
  fs_->RemoveFile(At("ro.txt"), true);
  EXPECT_FALSE(fs_->FileExists(At("ro.txt")));
}

TEST_F(FileSystemTest, CopyKeepsBytesTimeAndAttributes) {
  WriteFile(At("src.bin"), std::string("a\0b\xFF", 4));
  const int64_t when = 1000000000LL * 1000000000LL;
  fs_->SetModifiedTime(At("src.bin"), when);
  fs_->CopyFileTo(At("src.bin"), At("copy.bin"), false);
  EXPECT_EQ(ReadFile(At("copy.bin")), std::string("a\0b\xFF", 4));
  EXPECT_EQ(fs_->Stat(At("copy.bin")).modified_ns, when);

  WriteFile(At("other.bin"), "other");
  EXPECT_EQ(ErrorOf([&] { fs_->CopyFileTo(At("other.bin"), At("copy.bin"), false); }).number(), errnum::kFileAlreadyExists);
  fs_->CopyFileTo(At("other.bin"), At("copy.bin"), true);
  EXPECT_EQ(ReadFile(At("copy.bin")), "other");
  // Copying a file onto itself must not truncate it.
  EXPECT_EQ(ErrorOf([&] { fs_->CopyFileTo(At("other.bin"), At("other.bin"), true); }).number(), errnum::kPermissionDenied);
  EXPECT_EQ(ReadFile(At("other.bin")), "other");

  MakeReadOnly(*fs_, At("copy.bin"));
  EXPECT_EQ(ErrorOf([&] { fs_->CopyFileTo(At("src.bin"), At("copy.bin"), true); }).number(), errnum::kPermissionDenied);
  EXPECT_EQ(ReadFile(At("copy.bin")), "other");
  // A read-only source gives a read-only copy.
  fs_->CopyFileTo(At("copy.bin"), At("copy2.bin"), false);
  EXPECT_TRUE(fs_->Stat(At("copy2.bin")).read_only);
}

TEST_F(FileSystemTest, RenameReplacesEvenAReadOnlyTarget) {
  WriteFile(At("new.txt"), "new");
  WriteFile(At("old.txt"), "old");
  MakeReadOnly(*fs_, At("old.txt"));
  fs_->RenameFile(At("new.txt"), At("old.txt"));
  EXPECT_EQ(ReadFile(At("old.txt")), "new");
  EXPECT_FALSE(fs_->FileExists(At("new.txt")));
}

TEST_F(FileSystemTest, ListFilesGivesFilesOnlyWithNameAndPath) {
  // "Диск é" and U+1F600, which UTF-16 stores as a surrogate pair.
  const std::string unicode_name = "\xD0\x94\xD0\xB8\xD1\x81\xD0\xBA \xC3\xA9\xF0\x9F\x98\x80.txt";
  for (const char* name : {"b.txt", "a.xml", "Safe 1.xml"}) WriteFile(At(name), name);
  WriteFile(At(unicode_name), "u");
  fs_->CreateFolder(At("folder.xml"));
  const auto entries = fs_->ListFiles(dir_.path());
  EXPECT_EQ(Names(entries), (std::set<std::string>{"b.txt", "a.xml", "Safe 1.xml", unicode_name}));
  for (const auto& e : entries) EXPECT_EQ(e.path, At(e.name));
  EXPECT_TRUE(fs_->ListFiles(At("folder.xml")).empty());
}

TEST_F(FileSystemTest, PositionalIoSizeTruncateAndSync) {
  auto f = fs_->Open(At("data"), OpenMode::kCreate);
  f->WriteAt(4, "xyz", 3);
  EXPECT_EQ(f->Size(), 7u);
  char buffer[16] = {};
  EXPECT_EQ(f->ReadAt(0, buffer, sizeof buffer), 7u);
  EXPECT_EQ(std::string(buffer, 7), std::string("\0\0\0\0xyz", 7));
  EXPECT_EQ(f->ReadAt(7, buffer, 4), 0u);
  f->Truncate(5);
  f->Sync();
  EXPECT_EQ(f->Stat().size, 5u);
  EXPECT_EQ(f->path(), At("data"));
  f->Close();
  EXPECT_EQ(ErrorOf([&] { f->Size(); }).number(), errnum::kBadFileNameOrNumber);
  EXPECT_EQ(ReadFile(At("data")), std::string("\0\0\0\0x", 5));
}

TEST_F(FileSystemTest, ReadDenyingWritersFailsWhileAWriterHoldsTheFile) {
  WriteFile(At("held.txt"), "x");
  {
    auto reader = fs_->Open(At("held.txt"), OpenMode::kRead);
    fs_->Open(At("held.txt"), OpenMode::kReadDenyWriters)->Close();
  }
  auto writer = fs_->Open(At("held.txt"), OpenMode::kReadWrite);
  EXPECT_EQ(ErrorOf([&] { fs_->Open(At("held.txt"), OpenMode::kReadDenyWriters); }).number(), errnum::kPermissionDenied);
  writer->Close();
  fs_->Open(At("held.txt"), OpenMode::kReadDenyWriters)->Close();
}

TEST_F(FileSystemTest, UnicodeTextFilesWithBomAndCrLf) {
  auto w = fs_->CreateTextFile(At("marker.txt"), true, true);
  w->WriteLine("C:");
  w->Write("\xC3\xA9\xF0\x9F\x98\x80");  // é and U+1F600
  w->WriteLine("");
  w->Close();
  EXPECT_EQ(ReadFile(At("marker.txt")),
            std::string("\xFF\xFE" "C\0:\0\r\0\n\0\xE9\0\x3D\xD8\x00\xDE\r\0\n\0", 20));
  EXPECT_EQ(ErrorOf([&] { fs_->CreateTextFile(At("marker.txt"), false, true); }).number(), errnum::kFileAlreadyExists);

  auto r = fs_->OpenTextFile(At("marker.txt"));
  EXPECT_EQ(r->ReadLine(), "C:");
  EXPECT_FALSE(r->AtEndOfStream());
  EXPECT_EQ(r->ReadLine(), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_TRUE(r->AtEndOfStream());
  const Error past = ErrorOf([&] { r->ReadLine(); });
  EXPECT_EQ(past.number(), errnum::kInputPastEndOfFile);
  EXPECT_EQ(past.description(), "Input past end of file");
  r->Close();
}

TEST_F(FileSystemTest, TextReaderAcceptsLfAndAMissingFinalBreak) {
  WriteFile(At("lf.txt"), std::string("\xFF\xFE" "a\0\n\0\r\0\n\0b\0\r\0c\0", 16));
  auto r = fs_->OpenTextFile(At("lf.txt"));
  EXPECT_EQ(r->ReadLine(), "a");
  EXPECT_EQ(r->ReadLine(), "");
  EXPECT_EQ(r->ReadLine(), "b\rc");
  EXPECT_EQ(ErrorOf([&] { r->ReadLine(); }).number(), errnum::kInputPastEndOfFile);

  WriteFile(At("empty.txt"), "");
  EXPECT_EQ(ErrorOf([&] { fs_->OpenTextFile(At("empty.txt"))->ReadLine(); }).number(), errnum::kInputPastEndOfFile);
  EXPECT_EQ(ErrorOf([&] { fs_->OpenTextFile(At("missing.txt")); }).number(), errnum::kFileNotFound);
}

TEST_F(FileSystemTest, TextWriterBuffersUntilFlushAndWritesUtf8WithoutUnicode) {
  auto w = fs_->CreateTextFile(At("plain.txt"), false, false);
  w->WriteLine("\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(ReadFile(At("plain.txt")), "");
  w->Flush();
  EXPECT_EQ(ReadFile(At("plain.txt")), "\xC3\xA9t\xC3\xA9\r\n");
  w->WriteLine("2");
  w->Close();
  EXPECT_EQ(ReadFile(At("plain.txt")), "\xC3\xA9t\xC3\xA9\r\n2\r\n");
  EXPECT_EQ(ErrorOf([&] { w->WriteLine("late"); }).number(), errnum::kBadFileNameOrNumber);
}

TEST_F(FileSystemTest, ReplaceFileDurablyLeavesOnlyTheTarget) {
  fs_->ReplaceFileDurably(At("log.xml"), "first");
  EXPECT_EQ(ReadFile(At("log.xml")), "first");
  MakeReadOnly(*fs_, At("log.xml"));
  fs_->ReplaceFileDurably(At("log.xml"), "second");
  EXPECT_EQ(ReadFile(At("log.xml")), "second");
  EXPECT_EQ(Names(fs_->ListFiles(dir_.path())), std::set<std::string>{"log.xml"});
  EXPECT_EQ(ErrorOf([&] { fs_->ReplaceFileDurably(At("nodir/log.xml"), "x"); }).number(), errnum::kPathNotFound);
}

// What a period writes in a folder others can write: exclusive creation never
// follows a planted link, and the regular-only opens refuse anything but a
// regular file at once.
TEST_F(FileSystemTest, ExclusiveCreationAndRegularOnlyOpensIgnorePlantedEntries) {
  WriteFile(At("victim.txt"), "precious");
  fs_->CreateFolder(At("folder"));
  EXPECT_EQ(ErrorOf([&] { fs_->Open(At("victim.txt"), OpenMode::kCreatePrivate); }).number(), errnum::kFileAlreadyExists);
  for (const OpenMode mode : {OpenMode::kReadRegular, OpenMode::kReadWriteRegular}) {
    const Error folder = ErrorOf([&] { fs_->Open(At("folder"), mode); });
    EXPECT_EQ(folder.number(), errnum::kPathFileAccessError);
    EXPECT_EQ(folder.description(), "Not a regular file");
  }
  EXPECT_EQ(fs_->Open(At("victim.txt"), OpenMode::kReadRegular)->ReadAll(), "precious");

  std::error_code no_links;
  std::filesystem::create_symlink(At("victim.txt"), At("link"), no_links);
  if (!no_links) {
    EXPECT_EQ(ErrorOf([&] { fs_->Open(At("link"), OpenMode::kCreateNew); }).number(), errnum::kFileAlreadyExists);
    EXPECT_EQ(ErrorOf([&] { fs_->CreateFileDurably(At("link"), "planted"); }).number(), errnum::kFileAlreadyExists);
    EXPECT_EQ(ErrorOf([&] { fs_->Open(At("link"), OpenMode::kReadRegular); }).description(), "Not a regular file");
    EXPECT_EQ(ErrorOf([&] { fs_->Open(At("link"), OpenMode::kReadWriteRegular); }).description(), "Not a regular file");
    EXPECT_EQ(ReadFile(At("victim.txt")), "precious");
  }
  if (!OnWindows()) {
    fs_->CreateFileDurably(At("private.xml"), "mine");
    EXPECT_EQ(ErrorOf([&] { fs_->CreateFileDurably(At("private.xml"), "again"); }).number(),
              errnum::kFileAlreadyExists);
    EXPECT_EQ(ReadFile(At("private.xml")), "mine");
    for (const FolderEntry& e : fs_->ListFiles(dir_.path())) EXPECT_FALSE(e.name.starts_with("private.xml.")) << e.name;
    EXPECT_EQ(fs_->Stat(At("private.xml")).attributes & 0777, 0600u);
    EXPECT_EQ(fs_->Open(At("private.xml"), OpenMode::kReadRegular)->Stat().owner, fs_->Stat(At("victim.txt")).owner);
  }
}

TEST_F(FileSystemTest, NamesAbsolutePathsAndTempNames) {
  const std::string abs = fs_->GetAbsolutePathName("x");
  EXPECT_TRUE(fs_->paths().IsAbsolute(abs));
  EXPECT_EQ(fs_->GetFileName(abs), "x");
  EXPECT_EQ(fs_->GetAbsolutePathName("a/../x"), abs);
  EXPECT_EQ(fs_->GetAbsolutePathName(At("s/./t/..")), At("s"));
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    const std::string n = fs_->GetTempName();
    ASSERT_EQ(n.size(), 12u) << n;
    EXPECT_EQ(n.substr(0, 3), "rad");
    EXPECT_EQ(n.substr(8), ".tmp");
    EXPECT_EQ(n.find_first_not_of("0123456789ABCDEF", 3), 8u) << n;
    names.insert(n);
  }
  EXPECT_GT(names.size(), 1u);
}

TEST(NumberedName, TakenNamesAreNumberedBeforeTheExtensionOfTheFileName) {
  const struct {
    const char* path;
    int n;
    const char* expected;
  } cases[] = {
      {"/b/x.zip", 0, "/b/x.zip"},         {"/b/x.zip", 1, "/b/x-2.zip"},
      {"/b/x.tar.zip", 2, "/b/x.tar-3.zip"}, {"/b.d/x", 1, "/b.d/x-2"},
      {"/b/.hidden", 1, "/b/.hidden-2"},   {"x.zip", 9, "x-10.zip"},
  };
  for (const auto& c : cases) EXPECT_EQ(NumberedName(c.path, c.n), c.expected) << c.path << " " << c.n;
}

TEST_F(FileSystemTest, PathsLongerThan260Characters) {
  std::vector<std::string> chain{dir_.path()};
  while (chain.back().size() < 300) {
    chain.push_back(fs_->BuildPath(chain.back(), std::string(40, static_cast<char>('a' + chain.size()))));
    fs_->CreateFolder(chain.back());
  }
  const std::string folder = chain.back();
  const std::string file = fs_->BuildPath(folder, "long name.txt");
  auto w = fs_->CreateTextFile(file, false, true);
  w->WriteLine("deep");
  w->Close();
  EXPECT_TRUE(fs_->FileExists(file));
  EXPECT_EQ(fs_->OpenTextFile(file)->ReadLine(), "deep");
  const std::string copy = fs_->BuildPath(folder, "copy.txt");
  fs_->CopyFileTo(file, copy, false);
  fs_->ReplaceFileDurably(copy, "replaced");
  EXPECT_EQ(Names(fs_->ListFiles(folder)), (std::set<std::string>{"long name.txt", "copy.txt"}));
  EXPECT_EQ(fs_->Stat(copy).size, 8u);
  fs_->RemoveFile(copy, false);
  fs_->RemoveFile(file, false);
  // The whole chain goes through the interface under test, deepest first:
  // the test folder's own clean-up then never meets a long path.
  for (auto it = chain.rbegin(); it + 1 != chain.rend(); ++it) fs_->RemoveFolder(*it);
  EXPECT_FALSE(fs_->FolderExists(chain[1]));
}

}  // namespace
}  // namespace bk
