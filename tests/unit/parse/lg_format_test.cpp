#include <gtest/gtest.h>

#include "parse/parse_frame.h"
#include "parse_test_support.h"

namespace lindra {
namespace {

using testing::Columns;
using Kind = ParseLogEntry::Kind;

std::string Answered(size_t width, std::initializer_list<std::pair<size_t, std::string_view>> fields) {
  auto line = Columns(width, fields);
  line[0] = line[1] = '\x06';
  return line;
}

std::vector<ParseLogEntry> Entries(std::initializer_list<std::string> texts) {
  std::vector<ParseLogEntry> entries;
  for (const auto& t : texts) entries.push_back({Kind::Plain, t});
  return entries;
}

TEST(LgFormat, RingingLineReadsTrunkByShortNumberRule) {
  struct Case {
    std::string_view trunkColumns;
    std::string trunk;
  } cases[] = {{"7012", "7012"}, {"701 ", "701"}, {" 71 ", "71"}};
  for (const auto& c : cases) {
    auto line = Columns(18, {{1, c.trunkColumns}, {7, " 0212345678"}});
    line[0] = '\x07';
    auto outcome = ParseFrame(line, line.size(), 5, "", testing::kUtf8);
    ASSERT_TRUE(outcome.event);
    EXPECT_EQ(outcome.event->kind, "R");
    EXPECT_EQ(outcome.event->trunk, c.trunk);
    EXPECT_EQ(outcome.event->callerNumber, "0212345678");
    EXPECT_TRUE(outcome.log.empty());
  }
}

TEST(LgFormat, AnsweredLayoutFollowsTheDashes) {
  struct Case {
    uint32_t model;
    std::string frame;
    std::vector<ParseLogEntry> log;
  } cases[] = {
      // '-' at 19 (older) wins over the one at 23.
      {5, Answered(33, {{2, "701 "}, {8, "0212345678"}, {19, "-"}, {23, "-"}, {26, "-> 2011"}}),
       Entries({"LDK50 OLD", "T", "701", "2011", "0212345678"})},
      {5, Answered(30, {{2, "7012"}, {8, "0312345678"}, {20, "-> 201 "}}),
       Entries({"LDK50 OLD", "T", "7012", "201", "0312345678"})},
      {105, Answered(30, {{2, "7012"}, {8, "0312345678"}, {20, "->  201"}}),
       Entries({"LDK50 OLD", "T", "7012", "201", "0312345678"})},
      {6, Answered(30, {{2, "7012"}, {8, "0312345678"}, {20, "-> 2011"}}),
       Entries({"LDK50 OLD", "T", "7012", "2011", "0312345678"})},
      // Newer, '-' at 22: a ten-byte number; the Keyphone's trunk is a byte narrower.
      {6, Answered(30, {{8, "7010212345678"}, {22, "-> 2011"}}),
       Entries({"LG Digital Keyphone", "T", "701", "2011", "0212345678"})},
      {5, Answered(30, {{8, "7010212345678"}, {22, "-> 2011"}}),
       Entries({"LDK50 NEW", "T", "7010", "2011", "212345678"})},
      {105, Answered(31, {{8, "7012"}, {12, "01012345678"}, {24, "->  201"}}),
       Entries({"LDK50 NEW", "T", "7012", "201", "01012345678"})},
      // The number right after the arrow, in both layouts.
      {5, Answered(30, {{2, "7012"}, {8, "0312345678"}, {20, "->2011"}}),
       Entries({"LDK50 OLD", "T", "7012", "2011", "0312345678"})},
      {6, Answered(30, {{2, "7012"}, {8, "0312345678"}, {20, "->201 9"}}),
       Entries({"LDK50 OLD", "T", "7012", "201", "0312345678"})},
      {105, Answered(31, {{8, "7012"}, {12, "01012345678"}, {24, "->2011"}}),
       Entries({"LDK50 NEW", "T", "7012", "2011", "01012345678"})},
      // No arrow after offset 15: no extension, still an event.
      {5, Answered(30, {{8, "7012"}, {12, "0212345678"}, {23, "-"}}),
       Entries({"LDK50 NEW", "T", "7012", "", "0212345678"})},
      // Neither layout: the kind alone, and no model tag.
      {5, Answered(30, {{2, "7012"}, {8, "0212345678"}}), Entries({"T", "", "", ""})},
  };
  for (const auto& c : cases) {
    auto outcome = ParseFrame(c.frame, c.frame.size(), c.model, "", testing::kUtf8);
    ASSERT_TRUE(outcome.event);
    EXPECT_EQ(outcome.log, c.log) << c.model << " " << c.frame;
    EXPECT_EQ(outcome.event->trunk, c.log[c.log.size() - 3].text);
    EXPECT_EQ(outcome.event->extension, c.log[c.log.size() - 2].text);
    EXPECT_EQ(outcome.event->callerNumber, c.log.back().text);
  }
}

TEST(LgFormat, EndedLineIsTestedAfterAnswered) {
  auto line = Columns(51, {{5, "201 "}, {11, "7012"}, {33, "09:41"}, {39, "I"}, {40, "0212345678"}});
  line[0] = '\x06';
  line[1] = '\x05';
  auto outcome = ParseFrame(line, line.size(), 6, "", testing::kUtf8);
  ASSERT_TRUE(outcome.event);
  EXPECT_EQ(*outcome.event, (CallEvent{"H", "0212345678", "7012", "", "201", {}, "09:41"}));
  EXPECT_TRUE(outcome.log.empty());
}

// A garbled line may carry any byte in its columns; none reaches a field. Octal
// escapes have three digits at most, so that a digit after them stays a digit.
TEST(LgFormat, ControlBytesAreLeftOutOfEveryField) {
  auto ringing = Columns(18, {{1, "70\0011"}, {7, " 02\0331234567"}});
  ringing[0] = '\x07';
  auto ended = Columns(51, {{5, "2\17701"}, {11, "7\n12"}, {33, "09\00141"}, {39, "I"}, {40, "02\00212345678"}});
  ended[0] = '\x06';
  ended[1] = '\x05';
  struct Case {
    uint32_t model;
    std::string frame;
    CallEvent event;
  } cases[] = {
      {5, ringing, {"R", "021234567", "701", "", "", {}, ""}},
      {5,
       Answered(30, {{2, "7\00112"}, {8, "031\n234567"}, {20, "-> 2\1771"}}),
       {"T", "031234567", "712", "", "21", {}, ""}},
      {6, Answered(30, {{8, "7\0371021\0012345678"}, {22, "-> 2011"}}), {"T", "021234567", "71", "", "2011", {}, ""}},
      {105, ended, {"H", "0212345678", "712", "", "201", {}, "0941"}},
  };
  for (const auto& c : cases) {
    auto outcome = ParseFrame(c.frame, c.frame.size(), c.model, "", testing::kUtf8);
    ASSERT_TRUE(outcome.event) << c.model;
    EXPECT_EQ(*outcome.event, c.event) << c.model << " " << c.frame;
  }
}

TEST(LgFormat, UnrecognisedLineShowsItsFirstByte) {
  struct Case {
    std::string frame;
    std::string shown;
  } cases[] = {
      {"X" + std::string(45, ' '), "X"}, {"\x06 " + std::string(20, ' '), "\x06"}, {std::string("\0ab", 3), ""}};
  for (const auto& c : cases) {
    auto outcome = ParseFrame(c.frame, c.frame.size(), 105, "031", testing::kUtf8);
    EXPECT_FALSE(outcome.event);
    EXPECT_EQ(outcome.log, (std::vector<ParseLogEntry>{{Kind::Level0, "구분에러 : " + c.shown}}));
    EXPECT_EQ(outcome.statusLine, "[ERR] 구분에러 : " + c.shown);
  }
}

}  // namespace
}  // namespace lindra
