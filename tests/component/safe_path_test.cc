// Folders opened by walking their path (POSIX): a link on the way is followed
// only when it and the folder holding it are root's or the caller's and that
// folder is not writable by group or others; files to be made safe are read
// by the same rule. Not built for Windows.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace
}  // namespace bk::testing
