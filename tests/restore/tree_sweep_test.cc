// The rollback of a changed tree with the disk failing at each of its
// operations in turn, once or from then on: whatever the first run did or
// left, a second run on a sound disk brings the tree back whole.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/restore/restore_support.h"

namespace bk::testing {
namespace {

// Rolls the tree back with the disk failing at operation n, then again on a
// sound disk while the period is left; false once n lies past the last
// operation of the first run.
bool SweepPoint(uint64_t n, bool from_then_on) {
  TreePeriod p;
  FillTree(p.tree);
  const Listing before = ListTree(*p.s.fs, p.tree);
  auto disk = std::make_shared<FaultInjectingFileSystem>(p.s.fs);
  disk->SetRealFlushes(false);
  p.Protect();
  ChangeTree(p.tree);
  disk->FailAt(n, kFaultAny, from_then_on);
  RestoreReport report;
  try {
    p.Load(disk)->RollbackAndRemove(report);
  } catch (const Error&) {
    // Left for the second run.
  }
  const bool fired = disk->fault_fired();
  if (Exists(p.log_path)) {
    RestoreReport again;
    EXPECT_NO_THROW(p.Load(p.quick)->RollbackAndRemove(again));
  }
  EXPECT_EQ(Differences(ListTree(*p.s.fs, p.tree), before), std::vector<std::string>{});
  return fired;
}

// Every operation natively; every 10th under Wine, where file operations
// cost several times more.
TEST(TreeSweep, AnErrorAtEveryOperationOnceOrFromThenOnThenASecondRunBringsTheTreeBackWhole) {
  const uint64_t stride = SweepStride();
  for (const bool from_then_on : {false, true}) {
    uint64_t n = 1, points = 0;
    for (bool fired = true; fired && !::testing::Test::HasFailure(); n += stride, ++points) {
      SCOPED_TRACE(std::string(from_then_on ? "errors from" : "an error at") + " operation " + std::to_string(n));
      fired = SweepPoint(n, from_then_on);
    }
    std::printf("tree sweep, %s: %llu points\n", from_then_on ? "errors from then on" : "an error once",
                static_cast<unsigned long long>(points));
  }
}

}  // namespace
}  // namespace bk::testing
