#include "text/codec.h"

#include <gtest/gtest.h>

#include <string>

namespace lindra::text {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

// Every test leaves the process on UTF-8, the code page of an ASCII locale.
class CodecTest : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_TRUE(SetCodePage("UTF-8")); }
};

TEST_F(CodecTest, Utf8PageKeepsValidTextAndBytesOfEveryKind) {
  ASSERT_TRUE(SetCodePage(""));
  EXPECT_EQ(CodePage(), "UTF-8");
  const std::string korean = "대표전화 \xF0\x9F\x98\x80 ok";  // with a four-byte character
  EXPECT_EQ(ToInternal(korean), korean);
  EXPECT_EQ(ToExternal(korean), korean);
  std::string withNul("a\0b", 3);
  EXPECT_EQ(ToInternal(withNul), withNul);
}

TEST_F(CodecTest, Utf8PageReplacesEachInvalidByte) {
  ASSERT_TRUE(SetCodePage("UTF-8"));
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  } cases[] = {
      {"stray continuation", "a\x80z", "a" + kReplacement + "z"},
      {"lone high byte", "\xFF", kReplacement},
      {"cut at the end", "\xEA\xB0", kReplacement + kReplacement},
      {"overlong NUL", "\xC0\x80", kReplacement + kReplacement},
      {"overlong slash", "\xE0\x80\xAF", kReplacement + kReplacement + kReplacement},
      {"surrogate", "\xED\xA0\x80", kReplacement + kReplacement + kReplacement},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", kReplacement + kReplacement + kReplacement + kReplacement},
      {"lead byte F5", "\xF5\x80\x80\x80", kReplacement + kReplacement + kReplacement + kReplacement},
  };
  for (const auto& c : cases) EXPECT_EQ(ToInternal(c.in), c.out) << c.name;
}

TEST_F(CodecTest, Cp949RoundTripsKoreanAndMarksWhatItCannotHold) {
  ASSERT_TRUE(SetCodePage("CP949"));
  EXPECT_EQ(CodePage(), "CP949");
  const std::string edge = "\xB0\xA1\xB3\xAA";  // 가나 in CP949
  EXPECT_EQ(ToExternal("가나"), edge);
  EXPECT_EQ(ToInternal(edge), "가나");
  EXPECT_EQ(ToExternal("파일 저장 실패"), "\xC6\xC4\xC0\xCF \xC0\xFA\xC0\xE5 \xBD\xC7\xC6\xD0");
  // No Thai in CP949: one question mark per character, the rest intact.
  EXPECT_EQ(ToExternal("a\u0E01b\u0E02"), "a?b?");
  // A lead byte cut off at the end of a frame.
  EXPECT_EQ(ToInternal("x\xB0"), "x" + kReplacement);
  // ASCII is the same in every page.
  EXPECT_EQ(ToInternal("DEV01: READ ----->"), "DEV01: READ ----->");
}

TEST_F(CodecTest, LongTextSurvivesConversionGrowth) {
  ASSERT_TRUE(SetCodePage("CP949"));
  std::string internal;
  for (int i = 0; i < 5000; ++i) internal += "한";
  std::string external = ToExternal(internal);
  EXPECT_EQ(external.size(), 10000u);
  EXPECT_EQ(ToInternal(external), internal);
}

TEST_F(CodecTest, UnknownCodePageIsRefusedAndTheOldOneKept) {
  ASSERT_TRUE(SetCodePage("CP949"));
  EXPECT_FALSE(SetCodePage("NO-SUCH-CODEPAGE-42"));
  EXPECT_EQ(CodePage(), "CP949");
  EXPECT_TRUE(SetCodePage("ANSI_X3.4-1968"));  // the C locale's charset
  EXPECT_EQ(CodePage(), "UTF-8");
}

TEST_F(CodecTest, UpToNulCutsAtTheFirstZeroByte) {
  EXPECT_EQ(UpToNul(std::string_view("abc\0def", 7)), "abc");
  EXPECT_EQ(UpToNul("abc"), "abc");
  EXPECT_EQ(UpToNul(std::string_view("\0x", 2)), "");
  EXPECT_EQ(UpToNul(""), "");
}

}  // namespace
}  // namespace lindra::text
