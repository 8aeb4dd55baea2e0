#include "text/strings.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace lindra::text {
namespace {

TEST(LeadingIntTest, ReadsLikeTheCLibrarysConversion) {
  struct Case {
    std::string_view in;
    long long out;
  } cases[] = {
      {"", 0},
      {"abc", 0},
      {"5100", 5100},
      {"  5100  ", 5100},
      {"\t\r\n 42x", 42},
      {"+7", 7},
      {"-13", -13},
      {"12 34", 12},
      {"--5", 0},
      {"- 5", 0},
      {"+", 0},
      {"007", 7},
      {"9223372036854775807", LLONG_MAX},
      {"9223372036854775800", 9223372036854775800LL},
      {"9223372036854775799", 9223372036854775799LL},
      {"99999999999999999999999", LLONG_MAX},
      {"-9223372036854775807", -LLONG_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(LeadingInt(c.in), c.out) << "'" << c.in << "'";
}

TEST(LeadingIntTest, ThirtyTwoBitFormSaturates) {
  EXPECT_EQ(LeadingInt32("2147483647"), INT_MAX);
  EXPECT_EQ(LeadingInt32("2147483648"), INT_MAX);
  EXPECT_EQ(LeadingInt32("-2147483648"), INT_MIN);
  EXPECT_EQ(LeadingInt32("-99999999999"), INT_MIN);
  EXPECT_EQ(LeadingInt32("4294967296"), INT_MAX);
  EXPECT_EQ(LeadingInt32("COM1"), 0);
}

TEST(TrimTest, RemovesTheBlankSetAtBothEndsOnly) {
  EXPECT_EQ(Trim(" \t\r\n\v\fa b\f\v\n\r\t "), "a b");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(TrimView("x"), "x");
  EXPECT_EQ(Trim(std::string_view("\0a\0", 3)), std::string("\0a\0", 3));  // NUL is no blank
}

TEST(FormatTest, KeepsTheCLibrarysWidthsAndHasNoLengthLimit) {
  EXPECT_EQ(Format("DEV0%d_", 3), "DEV03_");
  EXPECT_EQ(Format("%02d%02d%02d", 26, 3, 7), "260307");
  EXPECT_EQ(Format("[%.4s]", "abcdefg"), "[abcd]");
  EXPECT_EQ(Format("[%4s]", "ab"), "[  ab]");
  EXPECT_EQ(Format("%X %x", 0xC0000005u, 255), "C0000005 ff");
  EXPECT_EQ(Format("100%%"), "100%");
  EXPECT_EQ(Format("%s", ""), "");
  std::string big(100000, 'x');
  EXPECT_EQ(Format("<%s>", big.c_str()), "<" + big + ">");
}

TEST(CutCharsTest, NeverSplitsAUtf8Character) {
  EXPECT_EQ(CutChars("가나다", 2), "가나");
  EXPECT_EQ(CutChars("a가b", 2), "a가");
  EXPECT_EQ(CutChars("abc", 0), "");
  EXPECT_EQ(CutChars("abc", 10), "abc");
  EXPECT_EQ(CutChars("", 3), "");
}

TEST(CompareTest, CaseInsensitiveEqualityAndUpperCase) {
  EXPECT_TRUE(EqualsIgnoreCase("Wardex", "WARDEX"));
  EXPECT_TRUE(EqualsIgnoreCase("", ""));
  EXPECT_FALSE(EqualsIgnoreCase("Wardex", "Wardex2"));
  EXPECT_FALSE(EqualsIgnoreCase("info", "inf0"));
  EXPECT_EQ(ToUpperAscii("level=Info 대표"), "LEVEL=INFO 대표");
  EXPECT_TRUE(AllDigits(""));
  EXPECT_TRUE(AllDigits("0123456789"));
  EXPECT_FALSE(AllDigits("12a"));
  EXPECT_FALSE(AllDigits(" 1"));
}

}  // namespace
}  // namespace lindra::text
