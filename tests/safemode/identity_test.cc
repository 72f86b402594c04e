// The file that comes back is the file the host's programs know: the same
// file where it still exists (hard links and identity kept), one with the
// recorded owner, group and permissions where it is gone; links are never
// written through.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "safemode/file_rollback_create.h"
#include "tests/safemode/period_support.h"

namespace bk::testing {
namespace {

namespace stdfs = std::filesystem;

constexpr uint32_t kNobody = 65534;

struct Period {
  Scratch s;
  clsFileRollbackCreate safe{s.fs};
  Period() {
    safe.TempDir(s.temp);
    safe.BackupFile(s.backup);
  }
};

TEST(SameFile, AnExistingFileIsRewrittenInPlaceAndAMissingOneGetsItsOwnerBack) {
  Period p;
  Scratch& s = p.s;
  WriteFile(s.Data("linked.txt"), "linked original");
  stdfs::create_hard_link(s.Data("linked.txt"), s.Data("other name.txt"));
  WriteFile(s.Data("gone.txt"), "gone original");
  WriteFile(s.Data("readonly.txt"), "read-only original");
  const bool posix = !OnWindows();
  if (posix) {
    s.fs->SetAttributes(s.Data("gone.txt"), 0640);
    s.fs->SetOwner(s.Data("gone.txt"), kNobody, kNobody);
  }
  MakeReadOnly(s.Data("readonly.txt"));
  const FileState gone_before = Snapshot(*s.fs, s.Data("gone.txt"));
  const FileState readonly_before = Snapshot(*s.fs, s.Data("readonly.txt"));

  p.safe.BeginSafety();
  for (const char* name : {"linked.txt", "gone.txt", "readonly.txt"}) p.safe.MakeFileSafe(s.Data(name));
  WriteFile(s.Data("other name.txt"), "changed through the other name");
  s.fs->RemoveFile(s.Data("gone.txt"), true);
  s.fs->RemoveFile(s.Data("readonly.txt"), true);
  WriteFile(s.Data("readonly.txt"), "replaced");
  p.safe.UndoSafetyOperations(true);

  EXPECT_EQ(ReadFile(s.Data("linked.txt")), "linked original");
  EXPECT_EQ(ReadFile(s.Data("other name.txt")), "linked original");
  EXPECT_TRUE(stdfs::equivalent(s.Data("linked.txt"), s.Data("other name.txt")));
  EXPECT_EQ(Snapshot(*s.fs, s.Data("gone.txt")), gone_before);
  EXPECT_EQ(Snapshot(*s.fs, s.Data("readonly.txt")), readonly_before);
  if (posix) {
    const FileStat st = s.fs->Stat(s.Data("gone.txt"));
    EXPECT_EQ(st.attributes & 07777, 0640u);
    EXPECT_EQ(st.owner, kNobody);
    EXPECT_EQ(st.group, kNobody);
  }
  EXPECT_EQ(s.FilesIn(s.data), (std::vector<std::string>{"gone.txt", "linked.txt", "other name.txt", "readonly.txt"}));
}

// A link given to MakeFileSafe protects the file it points to and stays a
// link; a link found where a file is to be restored is replaced, and what it
// points to is never written.
TEST(SameFile, LinksAreNeverWrittenThrough) {
  if (OnWindows()) GTEST_SKIP() << "symbolic links need a privilege on Windows";
  Period p;
  Scratch& s = p.s;
  WriteFile(s.Data("real.txt"), "real original");
  stdfs::create_symlink(s.Data("real.txt"), s.Data("link.txt"));
  WriteFile(s.Data("target.txt"), "target original");
  WriteFile(s.dir / "elsewhere.txt", "not to be touched");

  p.safe.BeginSafety();
  p.safe.MakeFileSafe(s.Data("link.txt"));
  p.safe.MakeFileSafe(s.Data("target.txt"));
  EXPECT_EQ(p.safe.log()->Zip(1)->FilePath(1), s.Data("real.txt"));
  WriteFile(s.Data("link.txt"), "changed through the link");
  s.fs->RemoveFile(s.Data("target.txt"), true);
  stdfs::create_symlink(s.dir / "elsewhere.txt", s.Data("target.txt"));
  p.safe.UndoSafetyOperations(true);

  EXPECT_TRUE(stdfs::is_symlink(s.Data("link.txt")));
  EXPECT_EQ(ReadFile(s.Data("real.txt")), "real original");
  EXPECT_FALSE(stdfs::is_symlink(s.Data("target.txt")));
  EXPECT_EQ(ReadFile(s.Data("target.txt")), "target original");
  EXPECT_EQ(ReadFile(s.dir / "elsewhere.txt"), "not to be touched");
}

}  // namespace
}  // namespace bk::testing
