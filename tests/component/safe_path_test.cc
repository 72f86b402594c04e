// Folders opened by walking their path (POSIX): a link on the way is followed
// only when it and the folder holding it are root's or the caller's and that
// folder is not writable by group or others; files to be made safe are read
// by the same rule. The operations on a folder's entries never follow a link
// at the entry. Not built for Windows.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "component/error.h"
#include "component/fs/file_system.h"
#include "component/zip/archive.h"
#include "support/error_of.h"
#include "support/temp_dir.h"

namespace bk::testing {
namespace {

constexpr uid_t kNobody = 65534;

TEST(SafePath, LinksAreFollowedOnlyWhereNoOtherUserCouldHavePlacedThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  struct Row {
    const char* what;
    uid_t holder_owner;
    mode_t holder_mode;
    uid_t link_owner;
    bool followed;
  };
  const Row rows[] = {
      {"root's link in root's folder", 0, 0755, 0, true},
      {"another user's link", 0, 0755, kNobody, false},
      {"in another user's folder", kNobody, 0755, 0, false},
      {"in a folder its group may write", 0, 0775, 0, false},
      {"in a shared folder, sticky or not", 0, 01777, 0, false},
  };
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string holder = dir / "holder", link = dir / "holder/link";
    WriteFile(dir / "target/f.txt", "reached");
    std::filesystem::create_directory(holder);
    std::filesystem::create_directory_symlink("../target", link);
    ASSERT_EQ(::chown(holder.c_str(), row.holder_owner, 0), 0);
    ASSERT_EQ(::chmod(holder.c_str(), row.holder_mode), 0);
    ASSERT_EQ(::lchown(link.c_str(), row.link_owner, 0), 0);
    ArchiveComponent zip(fs);  // making a file safe reads it by the same rule
    zip.ArchiveFileName = dir / "a.zip";
    zip.FilesToProcess = link + "/f.txt";
    EXPECT_EQ(zip.Zip(), row.followed ? 0 : static_cast<int32_t>(SkipReason::kCannotOpen));
    if (row.followed) {
      EXPECT_EQ(fs->OpenFolder(link, nullptr)->OpenEntry("f.txt", OpenMode::kRead)->ReadAll(), "reached");
      EXPECT_EQ(fs->ResolveLinks(link + "/f.txt"), dir / "target/f.txt");
      continue;
    }
    for (const Error& e : {ErrorOf([&] { fs->OpenFolder(link + "/deeper", nullptr); }),
                           ErrorOf([&] { fs->ResolveLinks(link + "/f.txt"); }),
                           ErrorOf([&] { fs->ResolveLinks(link); })}) {
      EXPECT_EQ(e.number(), errnum::kPermissionDenied);
      EXPECT_EQ(e.description(), "Permission denied: a link another user could have placed was refused");
      EXPECT_EQ(e.path(), link);
    }
  }
}

TEST(EntryOperations, NeverFollowALinkAtTheEntry) {
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  TempDir dir;
  const std::string outside = dir / "outside", link = dir / "inner/link";
  WriteFile(dir / "outside/keep.txt", "kept");
  ASSERT_EQ(::chmod(outside.c_str(), 0755), 0);
  std::filesystem::create_directory(dir / "inner");
  std::filesystem::create_directory_symlink("../outside", link);
  const FileStat before = fs->Stat(outside);
  auto folder = fs->OpenFolder(dir / "inner", nullptr);

  for (const auto& refused : std::vector<std::function<void()>>{
           [&] { folder->OpenSubfolder("link"); },
           [&] { folder->RemoveSubfolder("link"); },
       }) {
    const Error e = ErrorOf(refused);
    EXPECT_EQ(e.number(), errnum::kPathFileAccessError);
    EXPECT_EQ(e.description(), "Not a folder");
    EXPECT_EQ(e.path(), link);
  }
  EXPECT_EQ(ErrorOf([&] { folder->SetEntryMode("link", 0700); }).number(), errnum::kPathFileAccessError);
  EXPECT_EQ(ErrorOf([&] { folder->MakeFolder("link"); }).number(), errnum::kFileAlreadyExists);

  // Owner and time land on the link itself.
  const uint32_t owner = ::geteuid() == 0 ? kNobody : ::geteuid();
  folder->SetEntryOwner("link", owner, ::getegid());
  folder->SetEntryModifiedTime("link", 1'000'000'000);
  const FileStat own = folder->StatEntry("link");
  EXPECT_TRUE(own.is_symlink);
  EXPECT_EQ(own.owner, owner);
  EXPECT_EQ(own.modified_ns, 1'000'000'000);
  EXPECT_EQ(folder->ReadLink("link"), "../outside");
  // The folder itself, for an empty name.
  folder->SetEntryMode("", 0750);
  folder->SetEntryOwner("", owner, ::getegid());
  const FileStat inner = fs->Stat(dir / "inner");
  EXPECT_EQ(inner.attributes & 07777, 0750u);
  EXPECT_EQ(inner.owner, owner);

  const FileStat after = fs->Stat(outside);
  EXPECT_EQ(after.modified_ns, before.modified_ns);
  EXPECT_EQ(after.attributes, before.attributes);
  EXPECT_EQ(after.owner, before.owner);
  EXPECT_EQ(ReadFile(dir / "outside/keep.txt"), "kept");
  const std::vector<FolderItem> items = folder->ListEntries();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(items[0].stat.is_symlink);
}

TEST(EntryOperations, ExtendedAttributesRoundTripOnFilesFoldersAndEntries) {
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  TempDir dir;
  WriteFile(dir / "f.txt", "x");
  std::filesystem::create_directory(dir / "sub");
  auto file = fs->Open(dir / "f.txt", OpenMode::kReadWrite);
  try {
    file->SetExtendedAttribute("user.probe", "1");
  } catch (const Error& e) {
    if (e.native_code() != ENOTSUP && e.native_code() != EPERM) throw;
    GTEST_SKIP() << "the file system of " << dir.path() << " refuses user.* attributes";
  }
  file->RemoveExtendedAttribute("user.probe");
  auto folder = fs->OpenFolder(dir.path(), nullptr);
  auto sub = folder->OpenSubfolder("sub");
  using List = std::function<std::vector<ExtendedAttribute>()>;
  using Set = std::function<void(std::string_view, std::string_view)>;
  using Remove = std::function<void(std::string_view)>;
  struct Row {
    const char* what;
    Set set;  // through one way to the object,
    Remove remove;
    List list;  // read back through another
  };
  const Row rows[] = {
      {"open file, read as an entry", [&](auto a, auto v) { file->SetExtendedAttribute(a, v); },
       [&](auto a) { file->RemoveExtendedAttribute(a); }, [&] { return folder->EntryAttributes("f.txt"); }},
      {"folder entry, read as the folder itself", [&](auto a, auto v) { folder->SetEntryAttribute("sub", a, v); },
       [&](auto a) { folder->RemoveEntryAttribute("sub", a); }, [&] { return sub->EntryAttributes(""); }},
      {"folder itself, read as an entry", [&](auto a, auto v) { sub->SetEntryAttribute("", a, v); },
       [&](auto a) { sub->RemoveEntryAttribute("", a); }, [&] { return folder->EntryAttributes("sub"); }},
  };
  const auto users = [](std::vector<ExtendedAttribute> all) {
    std::erase_if(all, [](const ExtendedAttribute& a) { return !a.name.starts_with("user."); });
    return all;
  };
  // A value longer than a first read takes, with a NUL in it.
  const std::string binary = std::string("t\0wo", 4) + std::string(1000, 'x');
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    row.set("user.a", "one");
    row.set("user.b", binary);
    row.set("user.a", "uno");
    auto both = users(row.list());
    std::sort(both.begin(), both.end(), [](auto& x, auto& y) { return x.name < y.name; });
    EXPECT_EQ(both, (std::vector<ExtendedAttribute>{{"user.a", "uno"}, {"user.b", binary}}));
    row.remove("user.a");
    row.remove("user.a");  // already gone: nothing to do
    EXPECT_EQ(users(row.list()), (std::vector<ExtendedAttribute>{{"user.b", binary}}));
  }
  EXPECT_EQ(users(sub->EntryAttributes("")), (std::vector<ExtendedAttribute>{{"user.b", binary}}));
}

TEST(EntryOperations, BirthTimeWhereTheFileSystemKeepsOne) {
  std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  TempDir dir;
  const auto now = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const int64_t start = now();
  WriteFile(dir / "f.txt", "x");
  fs->SetModifiedTime(dir / "f.txt", 1'000'000'000);
  const int64_t born = fs->Stat(dir / "f.txt").birth_ns;
  if (born == 0) GTEST_SKIP() << "the file system of " << dir.path() << " keeps no birth time";
  EXPECT_GT(born, start - 60'000'000'000);  // coarse file-system clocks lag a little
  EXPECT_LE(born, now());
  auto folder = fs->OpenFolder(dir.path(), nullptr);
  EXPECT_EQ(fs->Open(dir / "f.txt", OpenMode::kRead)->Stat().birth_ns, born);
  EXPECT_EQ(folder->StatEntry("f.txt").birth_ns, born);
  EXPECT_EQ(folder->ListEntries().at(0).stat.birth_ns, born);
  EXPECT_NE(folder->StatEntry("").birth_ns, 0);
}

}  // namespace
}  // namespace bk::testing
