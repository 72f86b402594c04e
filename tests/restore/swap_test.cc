// An entry swapped between the moment the rollback looked at it and the
// moment it acts on it, for every kind of step: after the plan was made, and
// inside the executor right before it touches the entry. Nothing outside the
// tree changes, the entry is reported as changed while the rollback ran, the
// rest of the tree comes back, and the rollback is not whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "log/period.h"
#include "restore/rollback.h"
#include "tests/restore/restore_support.h"

namespace bk::testing {
namespace {

namespace stdfs = std::filesystem;
constexpr uint32_t kNobody = 65534;

enum class Swap { kFile, kFolder, kLinkOutside, kFolderFromOutside, kHardLinkOutside, kFifo };

struct Case {
  const char* step;
  restore::Action action;
  bool in_place;
  const char* name;  // the entry the step acts on, in the tree
  uint32_t kinds;    // the executor's operation on it that the swap comes right before
};

// Owned by nobody, the tree; by root, what lies outside it.
struct SwapRig : TreePeriod {
  std::string outside = s.dir / "outside", secret = outside + "/secret.txt", folder = outside + "/folder";
  std::string aside = s.dir / "aside";
  std::shared_ptr<FaultInjectingFileSystem> disk = std::make_shared<FaultInjectingFileSystem>(s.fs);
  Listing recorded, outside_before;

  SwapRig() {
    WriteFile(tree + "/meta-dir/keep.txt", "kept");
    WriteFile(tree + "/made-dir/f.txt", "in a folder the change removes");
    WriteFile(tree + "/inplace.txt", "original, changed in place");
    WriteFile(tree + "/recreated.txt", "original, replaced by a rename");
    stdfs::create_symlink("meta-dir/keep.txt", tree + "/link");
    for (const auto& e : stdfs::recursive_directory_iterator(tree)) {
      EXPECT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0);
    }
    EXPECT_EQ(::chown(tree.c_str(), kNobody, kNobody), 0);
    stdfs::permissions(tree + "/meta-dir", stdfs::perms(0750));
    WriteFile(secret, "root's secret");
    stdfs::permissions(secret, stdfs::perms(0600));
    s.fs->OpenFolder(outside, nullptr)->SetEntryAttribute("secret.txt", "user.mark", "root's");
    for (const char* name : {"inner.txt", "f.txt", "keep.txt"}) WriteFile(folder + "/" + name, "root's");
    stdfs::permissions(folder, stdfs::perms(0700));
    disk->SetRealFlushes(false);
    recorded = ListTree(*s.fs, tree);
    outside_before = ListTree(*s.fs, outside);
    outside_before.erase("");
    Protect();
    // What a command run in the period did.
    WriteFile(tree + "/extra.txt", "added");
    WriteFile(tree + "/extra-dir/inner.txt", "added");
    stdfs::remove_all(tree + "/made-dir");
    stdfs::remove(tree + "/link");
    WriteFile(tree + "/inplace.txt", "changed in place");
    WriteFile(tree + "/recreated.txt.new", "replaced");
    stdfs::rename(tree + "/recreated.txt.new", tree + "/recreated.txt");
    stdfs::permissions(tree + "/meta-dir", stdfs::perms(0777));
  }

  void Put(Swap swap, const std::string& at) {
    if (stdfs::exists(stdfs::symlink_status(at))) stdfs::rename(at, aside);
    switch (swap) {
      case Swap::kFile: WriteFile(at, "planted"); break;
      case Swap::kFolder: stdfs::create_directory(at); break;
      case Swap::kLinkOutside: stdfs::create_directory_symlink(folder, at); break;
      case Swap::kFolderFromOutside: stdfs::rename(folder, at); break;
      case Swap::kHardLinkOutside: stdfs::create_hard_link(secret, at); break;
      case Swap::kFifo: ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); break;
    }
  }

  void Check(const Rolled& rolled, Swap swap, const std::string& name) {
    const std::string at = tree + "/" + name;
    const restore::Outcome* o = rolled.Of(at);
    ASSERT_NE(o, nullptr) << "not reported";
    EXPECT_TRUE(o->verb == restore::Verb::kNotRestored || o->verb == restore::Verb::kNotRemoved);
    EXPECT_EQ(o->error ? o->error->description() : "", "Permission denied: changed while the rollback ran");
    EXPECT_FALSE(rolled.summary.Whole());
    // Everything else came back.
    std::vector<std::string> differ;
    for (const std::string& path : Differences(ListTree(*s.fs, tree), recorded)) {
      if (path != name && !path.starts_with(name + "/")) differ.push_back(path);
    }
    EXPECT_EQ(differ, std::vector<std::string>{});
    if (swap == Swap::kFolderFromOutside && stdfs::is_directory(stdfs::symlink_status(at))) stdfs::rename(at, folder);
    Listing now = ListTree(*s.fs, outside);
    now.erase("");  // the test's own folder, whose entries it moved
    EXPECT_EQ(Differences(now, outside_before), std::vector<std::string>{});
  }
};

using restore::Action;
const Case kCases[] = {
    {"remove a file", Action::kRemove, false, "extra.txt", kFaultRemove},
    {"remove a folder and what it holds", Action::kRemoveFolder, false, "extra-dir", kFaultRemoveFolder},
    // The folder and the link just made, looked at to be checked.
    {"make a folder", Action::kMakeFolder, false, "made-dir", kFaultOpen},
    {"make a link", Action::kMakeLink, false, "link", kFaultStat},
    {"a folder's metadata", Action::kFolderMetadata, false, "meta-dir", kFaultOpen},
    {"a file rewritten in place", Action::kRestore, true, "inplace.txt", kFaultOpen},
    // The name looked at right before the copy is renamed over it.
    {"a file made again beside and renamed", Action::kRestore, false, "recreated.txt", kFaultStat},
};

// The step the plan has for the entry at `path`.
const restore::Step* StepAt(const restore::Plan& plan, const std::string& path) {
  for (const restore::Step& step : plan.steps) {
    if (plan.PathOf(step) == path) return &step;
  }
  return nullptr;
}
const Swap kSwaps[] = {Swap::kFile, Swap::kFolder, Swap::kLinkOutside, Swap::kFolderFromOutside,
                       Swap::kHardLinkOutside, Swap::kFifo};
const char* const kSwapNames[] = {"a file", "a folder", "a link to a folder outside", "a folder moved in from outside",
                                  "a hard link to a file outside", "a FIFO"};

TEST(Swap, AnEntrySwappedAfterThePlanOrInsideTheExecutorIsReportedAndNothingOutsideChanges) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to act as two users";
  for (const Case& c : kCases) {
    for (size_t k = 0; k < std::size(kSwaps); ++k) {
      for (const bool inside : {false, true}) {
        SCOPED_TRACE(std::string(c.step) + ", swapped for " + kSwapNames[k] +
                     (inside ? " inside the executor" : " after the plan"));
        SwapRig rig;
        const std::string at = rig.tree + "/" + c.name;
        bool swapped = false;
        const auto swap = [&] {
          rig.Put(kSwaps[k], at);
          swapped = true;
        };
        const Rolled rolled = rig.Roll(rig.disk, [&](const restore::Plan& plan) {
          const restore::Step* step = StepAt(plan, at);
          ASSERT_NE(step, nullptr);
          EXPECT_EQ(step->action, c.action);
          if (step->action == Action::kRestore) {
            EXPECT_EQ(plan.files[step->detail].in_place, c.in_place);
          }
          if (inside) {
            rig.disk->BeforeOperation(at, c.kinds, 1, swap);
          } else {
            swap();
          }
        });
        ASSERT_TRUE(swapped);
        rig.Check(rolled, kSwaps[k], c.name);
      }
    }
  }
}

// The rollback that met a swapped entry fails and keeps the period: its
// log, record and archive stay for a rollback run again.
TEST(Swap, TheRollbackFailsAndKeepsThePeriod) {
  if (!IsRoot()) GTEST_SKIP() << "needs root to act as two users";
  SwapRig rig;
  const std::string at = rig.tree + "/extra.txt";
  rig.disk->BeforeOperation(at, kFaultRemove, 1, [&] { rig.Put(Swap::kHardLinkOutside, at); });
  auto log = rig.Load(rig.disk);
  EXPECT_THROW(restore::Rollback(*log, {true, true, true}, {}), Error);
  const PeriodNames names = PeriodNames::OfLog(rig.log_path);
  for (const std::string& kept : {rig.log_path, names.Record(), names.Archive(1)}) EXPECT_TRUE(Exists(kept)) << kept;
  EXPECT_EQ(ReadFile(rig.secret), "root's secret");
}

}  // namespace
}  // namespace bk::testing
