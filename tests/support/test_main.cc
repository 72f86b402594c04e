// Main of every test program. Besides GoogleTest's own report it prints one
// sentinel line with the counts, which the test runner reads: under Wine a
// crashed program's exit code cannot be trusted.
#include <gtest/gtest.h>

#include <cstdio>

#include "component/platform.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  bk::PlatformInit platform;
  const int rc = RUN_ALL_TESTS();
  const auto* unit = testing::UnitTest::GetInstance();
  std::printf("BK-TEST-RESULT passed=%d failed=%d skipped=%d\n", unit->successful_test_count(),
              unit->failed_test_count(), unit->skipped_test_count());
  std::fflush(stdout);
  return rc;
}
