#include "component/collection.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/error_of.h"

namespace bk {
namespace {

using testing::NumberOf;


TEST(KeyedCollection, InsertionOrderPositionsFromOneAndEnumeration) {
  KeyedCollection<std::string> c;
  c.Add("first", "C:");
  c.Add("second");
  c.Add("third", "\\\\srv\\share");
  ASSERT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Item(1), "first");
  EXPECT_EQ(c.Item(2), "second");
  EXPECT_EQ(c.Item(3), "third");
  std::vector<std::string> seen;
  for (const std::string& s : c) seen.push_back(s);
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(NumberOf([&] { c.Item(0); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(NumberOf([&] { c.Item(4); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(NumberOf([&] { c.Item(-1); }), errnum::kSubscriptOutOfRange);
}

TEST(KeyedCollection, KeysIgnoreLetterCaseBeyondAscii) {
  KeyedCollection<int> c;
  c.Add(1, "c:");
  c.Add(2, "Élan");
  c.Add(3, "Диск");
  c.Add(4, "ΣΟΦΙΑ");
  EXPECT_EQ(c.Item("C:"), 1);
  EXPECT_EQ(c.Item("élan"), 2);
  EXPECT_EQ(c.Item("дИСК"), 3);
  EXPECT_EQ(c.Item("σοφια"), 4);
  EXPECT_EQ(NumberOf([&] { c.Add(5, "ÉLAN"); }), errnum::kDuplicateKey);
  EXPECT_EQ(NumberOf([&] { c.Add(5, "ДИСК"); }), errnum::kDuplicateKey);
  EXPECT_EQ(c.Count(), 4);
  EXPECT_EQ(NumberOf([&] { c.Item("D:"); }), errnum::kInvalidProcedureCall);
  EXPECT_EQ(c.Find("d:", nullptr), nullptr);
  ASSERT_NE(c.Find("C:", nullptr), nullptr);
  EXPECT_EQ(*c.Find("C:", nullptr), 1);
}

TEST(KeyedCollection, AddAtAPositionKeepsKeysWithTheirItems) {
  KeyedCollection<std::string> c;
  c.Add("b", "kb");
  c.Add("a", "ka", 1);
  c.Add("c", std::nullopt, 3);
  c.Add("ab", "kab", c.PositionOf("KB"));
  std::vector<std::string> seen;
  for (const std::string& item : c) seen.push_back(item);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "ab", "b", "c"}));
  EXPECT_EQ(c.PositionOf("kb"), 3);
  EXPECT_EQ(c.Item("kab"), "ab");
  EXPECT_EQ(NumberOf([&] { c.Add("x", std::nullopt, 0); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(NumberOf([&] { c.Add("x", std::nullopt, 6); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(NumberOf([&] { c.Add("x", "KA", 1); }), errnum::kDuplicateKey);
  EXPECT_EQ(NumberOf([&] { c.PositionOf("none"); }), errnum::kInvalidProcedureCall);
  EXPECT_EQ(c.Count(), 4);
}

TEST(KeyedCollection, RemoveByPositionAndKey) {
  KeyedCollection<int> c;
  for (int i = 1; i <= 4; ++i) c.Add(i * 10, std::string("k") + std::to_string(i));
  c.Remove(2);
  EXPECT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Item(2), 30);
  c.Remove("K4");
  EXPECT_EQ(c.Count(), 2);
  EXPECT_EQ(NumberOf([&] { c.Item("k4"); }), errnum::kInvalidProcedureCall);
  EXPECT_EQ(NumberOf([&] { c.Remove("k4"); }), errnum::kInvalidProcedureCall);
  EXPECT_EQ(NumberOf([&] { c.Remove(3); }), errnum::kSubscriptOutOfRange);
  // A removed key may be used again.
  c.Add(99, "k2");
  EXPECT_EQ(c.Item("K2"), 99);
  EXPECT_EQ(c.Item(3), 99);
}

}  // namespace
}  // namespace bk
