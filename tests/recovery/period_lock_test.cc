// The live lock of a period, with the owner and a child's share as two opens
// of the lock file (as two processes hold it): the owner learns that the
// child is gone without ever letting its own lock go, and anyone can tell an
// owner that still runs from a child it left behind.
#include <gtest/gtest.h>

#include "component/fs/file_system.h"
#include "log/period_lock.h"
#include "support/temp_dir.h"

namespace bk::testing {
namespace {

TEST(PeriodLockTest, TheOwnerNeverLetsGoWhileItWaitsForItsChild) {
  const TempDir dir;
  const std::shared_ptr<FileSystem> fs = DefaultFileSystem();
  const std::string path = dir / "Safe 2030-01-01 00.00.00.lock";
  std::unique_ptr<PeriodLock> owner = PeriodLock::Claim(fs, path);
  std::unique_ptr<File> child = owner->ShareWithChild();

  EXPECT_FALSE(owner->TryAlone());
  EXPECT_FALSE(owner->WaitUntilAlone(std::chrono::milliseconds(120)));
  child.reset();  // the child ends before the owner asks again
  bool live = false;
  EXPECT_EQ(PeriodLock::Take(fs, path, {}, &live), nullptr);
  EXPECT_TRUE(live) << "a rollback took the period between the owner's tries";
  EXPECT_TRUE(owner->TryAlone());
  EXPECT_TRUE(owner->TryAlone());
  PeriodLock::Probe probe = PeriodLock::Look(fs, path, {});
  EXPECT_TRUE(probe.live && probe.owner_running);

  owner->Release();
  owner = PeriodLock::Claim(fs, path + "2");
  child = owner->ShareWithChild();
  owner->Release();  // the owner ends; what it started runs on
  probe = PeriodLock::Look(fs, path + "2", {});
  EXPECT_TRUE(probe.live);
  EXPECT_FALSE(probe.owner_running);
  child.reset();
  EXPECT_FALSE(PeriodLock::Look(fs, path + "2", {}).live);
  EXPECT_NE(PeriodLock::Take(fs, path + "2", {}, &live), nullptr);
}

}  // namespace
}  // namespace bk::testing
