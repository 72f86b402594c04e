// The period's record as a reboot and damage leave it: device numbers and
// the boot's id that no longer hold, bad lines of every kind, cuts.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <tuple>

#include "tests/restore/restore_support.h"

namespace bk::testing {
namespace {

namespace stdfs = std::filesystem;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

std::string Join(const std::vector<std::string>& parts, char separator, bool closed) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += parts[i] + (i + 1 < parts.size() || closed ? std::string(1, separator) : "");
  return text;
}

// After a reboot every device number the record holds is another, and so is
// the boot's id: the tree comes back whole all the same, and the file made
// safe is still the file there, rewritten in place (its link outside the
// tree sees the content come back).
TEST(Reboot, ATreeComesBackWholeWithTheDeviceNumbersAndBootIdOfAnotherBoot) {
  TreePeriod p;
  FillTree(p.tree);
  const std::string outside = p.s.dir / "outside-link.txt";
  stdfs::create_hard_link(p.tree + "/in-place.txt", outside);
  const Listing before = ListTree(*p.s.fs, p.tree);
  p.Protect();
  ChangeTree(p.tree);
  std::vector<std::string> lines = Split(ReadFile(p.Record()), '\n');
  for (std::string& line : lines) {
    std::vector<std::string> f = Split(line, '\t');
    if (f[0] == "brightkeep-record") f[3] = "another-boot";
    if (f[0] == "F" || f[0] == "T" || f[0] == "A") f[2] = std::to_string(std::stoull(f[2]) + 1);
    line = Join(f, '\t', false);
  }
  WriteFile(p.Record(), Join(lines, '\n', true));

  const Rolled rolled = p.Roll();
  EXPECT_TRUE(rolled.summary.Whole());
  EXPECT_EQ(Differences(ListTree(*p.s.fs, p.tree), before), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(outside), "original in-place.txt");
}

// Two trees and a file named alone, changed, with the lines an earlier
// rollback left appended to the record.
struct TwoTrees : TreePeriod {
  std::string two = s.dir / "two", listed = s.dir / "listed.txt";
  Listing one_before, two_before;
  std::vector<std::string> lines;

  TwoTrees() {
    trees.push_back(two);
    FillTree(tree);
    FillTree(two);
    WriteFile(listed, "listed");
    one_before = ListTree(*s.fs, tree);
    two_before = ListTree(*s.fs, two);
    Protect({listed});
    ChangeTree(tree);
    ChangeTree(two);
    WriteFile(listed, "changed");
    lines = Split(ReadFile(Record()), '\n');
    lines.push_back("D\tr\t" + s.dir / "nowhere");
    lines.push_back("W");
  }
  // The index of the first (or last) line of the kind.
  size_t Find(const std::string& kind, bool last) const {
    size_t found = lines.size();
    for (size_t i = 0; i < lines.size() && (last || found == lines.size()); ++i) {
      if (Split(lines[i], '\t')[0] == kind) found = i;
    }
    EXPECT_LT(found, lines.size()) << kind;
    return found;
  }
  // Where the tree's listing begins and ends.
  std::pair<size_t, size_t> Listed(bool second) const { return {Find("T", second), Find("t", second)}; }
};

enum class How { kBad, kCut, kUnknownVersion, kTreeCutShort };

struct Damage {
  How how;
  const char* kind;
  bool last;  // the last line of the kind, else the first
};

TEST(DamagedRecord, TheListedFilesComeBackADamagedTreeIsReportedAndACutTreeNeverHidesTheNext) {
  std::vector<Damage> cases{{How::kUnknownVersion, "", false}, {How::kTreeCutShort, "t", false}};
  for (const How how : {How::kBad, How::kCut}) {
    for (const char* kind : {"T", "E", "F", "t", "P", "A", "D", "W"}) cases.push_back({how, kind, false});
    cases.push_back({how, "F", true});  // a file named alone
  }
  for (const Damage& d : cases) {
    TwoTrees p;
    const size_t at = d.how == How::kUnknownVersion ? 0 : p.Find(d.kind, d.last);
    SCOPED_TRACE(std::string("how ") + std::to_string(static_cast<int>(d.how)) + ", line " +
                 std::to_string(at + 1) + ": " + p.lines[at]);
    const auto [one_begins, one_ends] = p.Listed(false);
    const auto [two_begins, two_ends] = p.Listed(true);
    std::vector<std::string> lines = p.lines;
    bool one_back = true, two_back = true, whole = true;
    std::string report;
    switch (d.how) {
      case How::kBad:
        lines[at] = std::string(d.kind) + "\t?\t?";
        one_back = at < one_begins || at > one_ends;
        two_back = at < two_begins || at > two_ends;
        whole = false;
        report = "damaged at line " + std::to_string(at + 1) + ": ";
        if (at == one_begins) report += "the tree that begins there is not put back";
        if (at > one_begins && at <= one_ends) report += "the tree " + p.tree + " is not put back";
        break;
      case How::kCut:
        lines[at].resize(lines[at].size() / 2);
        lines.resize(at + 1);
        one_back = one_ends < at;
        two_back = two_ends < at;
        break;
      case How::kUnknownVersion:
        lines[0] = "brightkeep-record\t99\tuser.\tboot\t0";
        one_back = two_back = whole = false;
        report = "an unknown version (99)";
        break;
      case How::kTreeCutShort:
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
        one_back = false;
        break;
    }
    WriteFile(p.Record(), Join(lines, '\n', d.how != How::kCut));

    const Rolled rolled = p.Roll();
    EXPECT_EQ(rolled.summary.Whole(), whole);
    size_t reports = 0;
    for (const restore::Outcome& o : rolled.outcomes) {
      if (o.verb == restore::Verb::kNotRestored && o.path == p.Record()) {
        ++reports;
        EXPECT_NE(o.error->description().find(report), std::string::npos) << o.error->description();
      }
    }
    EXPECT_EQ(reports, report.empty() ? 0u : 1u);
    EXPECT_EQ(ReadFile(p.listed), "listed");
    for (const auto& [top, back, before] : {std::tuple{p.tree, one_back, &p.one_before},
                                             std::tuple{p.two, two_back, &p.two_before}}) {
      if (back) {
        EXPECT_EQ(Differences(ListTree(*p.s.fs, top), *before), std::vector<std::string>{}) << top;
        continue;
      }
      EXPECT_TRUE(Exists(top + "/added.txt")) << top << ": a tree that is not put back is left as it is";
      for (const char* file : {"in-place.txt", "replaced.txt", "removed.txt", "gone/inner.txt"}) {
        EXPECT_EQ(ReadFile(top + "/" + file), std::string("original ") + file);
      }
    }
  }
}

}  // namespace
}  // namespace bk::testing
