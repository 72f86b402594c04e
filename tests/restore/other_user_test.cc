// What another user, or another file system, puts where a rollback will
// write: a file the period's command gave away or opened to others, a new
// file at a freed file number, a file system mounted at a tree's root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "tests/restore/restore_support.h"

namespace bk::testing {
namespace {

namespace stdfs = std::filesystem;

void GiveAway(const std::string& file) {
  constexpr uint32_t kNobody = 65534;
  ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
}

struct Tmpfs {
  std::string at;
  bool mounted = ::mount("brightkeep-test", at.c_str(), "tmpfs", 0, "mode=0755") == 0;
  ~Tmpfs() {
    if (mounted) ::umount2(at.c_str(), MNT_DETACH);
  }
};

// After a reboot a file system mounted at a tree's root is not the folder
// made safe: nothing on it is removed or written, and the tree is reported.
// A root the command made again on the same file system is the tree's.
TEST(Reboot, AFileSystemMountedAtATreesRootSinceIsLeftAlone) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to mount";
  for (const bool mounted : {true, false}) {
    SCOPED_TRACE(mounted ? "mounted at the root" : "root made again");
    TreePeriod p;
    FillTree(p.tree);
    const Listing before = ListTree(*p.s.fs, p.tree);
    p.Protect();
    ChangeTree(p.tree);
    EditRecord(p.Record(), [](std::vector<std::string>& f) {
      if (f[0] == "brightkeep-record") f[3] = "another-boot";
    });
    std::optional<Tmpfs> disk;
    if (mounted && !disk.emplace(p.tree).mounted) GTEST_SKIP() << "tmpfs cannot be mounted here";
    if (!mounted) stdfs::rename(p.tree, p.s.dir / "old-tree");
    WriteFile(p.tree + "/added.txt", "on the file system found there");
    const Listing found = ListTree(*p.s.fs, p.tree);

    const Rolled rolled = p.Roll();
    EXPECT_EQ(rolled.summary.Whole(), !mounted);
    EXPECT_EQ(Differences(ListTree(*p.s.fs, p.tree), mounted ? found : before), std::vector<std::string>{});
    if (mounted) {
      ASSERT_NE(rolled.Of(p.tree), nullptr);
      EXPECT_NE(rolled.Of(p.tree)->error->description().find("mounted at its root"), std::string::npos);
    }
  }
}

// Only the very file made safe, still owned and guarded as it was, is
// rewritten in place: a file given to another user or opened to others, a
// new file that took the freed file number (no birth time tells them
// apart), or any file of a period without a record comes back as a new
// file, and a descriptor opened on it before never sees what was made safe.
TEST(InPlace, OnlyTheFileMadeSafeAndGuardedAsItWasIsRewrittenInPlace) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to give files away";
  using Change = void (*)(const TreePeriod&, const std::string&);
  const struct {
    const char* what;
    bool in_place;
    Change change;
  } cases[] = {
      {"its content only", true, [](const TreePeriod&, const std::string&) {}},
      {"given to another user", false, [](const TreePeriod&, const std::string& file) { GiveAway(file); }},
      {"made writable by others", false,
       [](const TreePeriod&, const std::string& file) { stdfs::permissions(file, stdfs::perms(0666)); }},
      {"a period without a record", false, [](const TreePeriod& p, const std::string&) { stdfs::remove(p.Record()); }},
      {"another user's new file at its file number", false,
       [](const TreePeriod& p, const std::string& file) {
         stdfs::remove(file);
         WriteFile(file, "changed");
         GiveAway(file);
         const std::string number = std::to_string(p.s.fs->Stat(file).file_id);
         EditRecord(p.Record(), [&](std::vector<std::string>& f) {
           if (f[0] == "F") f[3] = number, f[5] = "0";  // no birth time
         });
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TreePeriod p;
    p.trees.clear();
    const std::string file = p.s.dir / "secret.conf";
    WriteFile(file, "made safe");
    stdfs::permissions(file, stdfs::perms(0600));
    p.Protect({file});
    WriteFile(file, "changed");
    c.change(p, file);
    const int held = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(held, 0);

    const Rolled rolled = p.Roll(p.quick, [&](const restore::Plan& plan) {
      ASSERT_EQ(plan.files.size(), 1u);
      EXPECT_EQ(plan.files[0].in_place, c.in_place);
    });
    char seen[16] = {};
    EXPECT_GT(::pread(held, seen, sizeof seen - 1, 0), 0);
    ::close(held);
    EXPECT_TRUE(rolled.summary.Whole());
    EXPECT_EQ(std::string(seen), c.in_place ? "made safe" : "changed");
    EXPECT_EQ(ReadFile(file), "made safe");
    EXPECT_EQ(p.s.fs->Stat(file).owner, 0);
  }
}

}  // namespace
}  // namespace bk::testing
