// What a rollback touches: a run again after one that stopped part-way goes
// on where it stopped, only what changed is restored, and each name comes
// back from its own entry.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/restore/restore_support.h"

namespace bk::testing {
namespace {

size_t Count(const std::string& text, const std::string& line) {
  size_t n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

// A file fails in the first run; a file that run restored is edited again;
// the second run restores neither that one nor anything else the first did
// (and says how many), brings back the rest and ends the journal.
TEST(Resume, ARollbackRunAgainGoesOnWhereItStoppedAndNeverRestoresAFileTwice) {
  TreePeriod p;
  FillTree(p.tree);
  const Listing before = ListTree(*p.s.fs, p.tree);
  p.Protect();
  ChangeTree(p.tree);
  const std::string failing = p.s.fs->BuildPath(p.tree, "replaced.txt"), edited = p.s.fs->BuildPath(p.tree, "in-place.txt");
  auto disk = std::make_shared<FaultInjectingFileSystem>(p.s.fs);
  disk->SetRealFlushes(false);
  disk->BeforeOperation(failing + ".brightkeep-restore", kFaultOpen, 1,
                        [&] { throw Error::Standard(errnum::kPathFileAccessError, failing); });
  const Rolled first = p.Roll(disk);
  ASSERT_FALSE(first.summary.Whole());
  ASSERT_NE(first.Of(failing), nullptr);
  EXPECT_EQ(first.Of(failing)->verb, restore::Verb::kNotRestored);
  EXPECT_EQ(ReadFile(edited), "original in-place.txt");
  WriteFile(edited, "edited after the first run");
  // The files restored: changed in place, removed, in a folder removed.
  const size_t done = Count(ReadFile(p.Record()), "\nD\tr\t");
  EXPECT_EQ(done, 3u);

  const Rolled second = p.Roll();
  EXPECT_TRUE(second.summary.Whole());
  EXPECT_EQ(second.summary.done_before, done);
  EXPECT_EQ(ReadFile(edited), "edited after the first run");
  std::vector<std::string> differ = Differences(ListTree(*p.s.fs, p.tree), before);
  EXPECT_EQ(differ, std::vector<std::string>{"in-place.txt"});
  EXPECT_TRUE(ReadFile(p.Record()).ends_with("\nW\n"));
}

// Nothing of a file changes without its change time moving on: a file left
// as it was is not touched (its change time stays), one whose content was
// changed and whose size and time were put back by hand is restored.
TEST(Unchanged, OnlyWhatChangedIsTouched) {
  TreePeriod p;
  const std::string same = p.s.fs->BuildPath(p.tree, "same.txt"), sneaky = p.s.fs->BuildPath(p.tree, "sneaky.txt");
  WriteFile(same, "as it was");
  WriteFile(sneaky, "original");
  p.Protect();
  const FileStat same_before = p.s.fs->Stat(same);
  const int64_t sneaky_time = p.s.fs->Stat(sneaky).modified_ns;
  WriteFile(sneaky, "ORIGINAL");
  p.s.fs->SetModifiedTime(sneaky, sneaky_time);
  ASSERT_EQ(p.s.fs->Stat(sneaky).size, 8u);

  const Rolled rolled = p.Roll();
  EXPECT_TRUE(rolled.summary.Whole());
  ASSERT_NE(rolled.Of(same), nullptr);
  EXPECT_EQ(rolled.Of(same)->verb, restore::Verb::kUnchanged);
  EXPECT_EQ(p.s.fs->Stat(same).changed_ns, same_before.changed_ns);
  ASSERT_NE(rolled.Of(sneaky), nullptr);
  EXPECT_EQ(rolled.Of(sneaky)->verb, restore::Verb::kRestored);
  EXPECT_EQ(ReadFile(sneaky), "original");
}

// On Linux "\" is a character of a name like any other: "a\b" and the file
// "b" in the folder "a" are two files, each restored from its own entry.
TEST(Names, ABackslashIsAnOrdinaryCharacterOfAName) {
  if (OnWindows()) GTEST_SKIP() << "\\ separates names on Windows";
  TreePeriod p;
  WriteFile(p.tree + "/share/a\\b", "backslash");
  WriteFile(p.tree + "/share/a/b", "slash");
  const Listing before = ListTree(*p.s.fs, p.tree);
  p.Protect();
  WriteFile(p.tree + "/share/a\\b", "changed");
  WriteFile(p.tree + "/share/a/b", "changed");
  const Rolled rolled = p.Roll();
  EXPECT_TRUE(rolled.summary.Whole());
  EXPECT_EQ(Differences(ListTree(*p.s.fs, p.tree), before), std::vector<std::string>{});
}

}  // namespace
}  // namespace bk::testing
