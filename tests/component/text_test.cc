#include "component/text.h"

#include <gtest/gtest.h>

namespace bk::text {
namespace {

TEST(Text, Utf16RoundTripKeepsEveryUnit) {
  const std::u16string samples[] = {
      u"plain ASCII",
      u"C:\\Gr\u00FC\u00DFe\\\u0414\u0438\u0441\u043A",
      u"\U0001F600 beyond the BMP",
      std::u16string{u'a', 0xD800, u'b'},         // lone lead surrogate
      std::u16string{0xDC00, u'x'},               // lone trail surrogate
      std::u16string{u'x', 0xDBFF},               // lead surrogate at the end
      std::u16string{0xDC00, 0xD800},             // reversed pair stays two units
  };
  for (const std::u16string& s : samples) EXPECT_EQ(ToUtf16(ToUtf8(s)), s);
}

TEST(Text, Utf8EncodingOfPairsAndLoneSurrogates) {
  EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(ToUtf8(std::u16string{0xD800}), "\xED\xA0\x80");
  EXPECT_EQ(ToUtf16("\xC3\xA9"), u"\u00E9");
  // Bytes that are not UTF-8 become U+FFFD.
  EXPECT_EQ(ToUtf16("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(ToUtf16("\xC3"), u"\uFFFD");
}

TEST(Text, IsValidUtf8) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));        // surrogate code point
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));            // overlong
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));            // truncated
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));    // above U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\x80"));
}

TEST(Text, PercentEscapingIsExactAndRefusesWhatItNeverWrites) {
  const std::string every_byte = [] {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    return all;
  }();
  for (const bool non_ascii : {false, true}) {
    std::string escaped;
    AppendPercentEscaped(escaped, every_byte, non_ascii);
    EXPECT_EQ(PercentUnescaped(escaped), every_byte);
    for (const char c : escaped) {
      const auto u = static_cast<unsigned char>(c);
      EXPECT_TRUE(u >= 0x20 && u != 0x7F && (!non_ascii || u < 0x80)) << static_cast<int>(u);
    }
  }
  std::string text;
  AppendPercentEscaped(text, "a%b\t\xFF", true);
  EXPECT_EQ(text, "a%25b%09%FF");
  for (const char* bad : {"%", "%F", "%fF", "%GG", "a%2"}) EXPECT_FALSE(PercentUnescaped(bad)) << bad;
}

TEST(Text, OneLineTextNeitherBreaksTheLineNorSteersTheTerminal) {
  const std::pair<const char*, const char*> cases[] = {
      {"caf\xC3\xA9 50%", "caf\xC3\xA9 50%"},                  // UTF-8 without controls stays
      {"a\nb\x1B[2J\xC3\xA9", "a%0Ab%1B[2J\xC3\xA9"},           // C0: escaped, letters kept
      {"a\xC2\x9B" "2J\xC3\xA9", "a%C2%9B2J%C3%A9"},              // C1 (CSI): ASCII only
      {"bad\x9B" "2J", "bad%9B2J"},                               // not UTF-8: ASCII only
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(OnOneLine(in), out) << in;
}

TEST(Text, ReplacementCharactersStandForEachByteThatIsNotUtf8) {
  EXPECT_EQ(WithReplacementCharacters("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(WithReplacementCharacters("bad\xFF!"), "bad\uFFFD!");
  EXPECT_EQ(WithReplacementCharacters("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");  // a surrogate's bytes
  EXPECT_EQ(WithReplacementCharacters("\xE2\x82"), "\uFFFD\uFFFD");           // cut short
}

TEST(Text, CaseFolding) {
  EXPECT_TRUE(EqualsIgnoreCase("C:", "c:"));
  EXPECT_TRUE(EqualsIgnoreCase("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"));  // Été / éTÉ
  EXPECT_TRUE(EqualsIgnoreCase("\xD0\x81\xD0\x96", "\xD1\x91\xD0\xB6"));    // ЁЖ / ёж
  EXPECT_FALSE(EqualsIgnoreCase("a", "b"));
  EXPECT_FALSE(EqualsIgnoreCase("\xC3\x97", "\xC3\xB7"));  // × is not the capital of ÷
  EXPECT_EQ(FoldCase("\xC5\xB8"), "\xC3\xBF");             // Ÿ folds to ÿ
}

}  // namespace
}  // namespace bk::text
