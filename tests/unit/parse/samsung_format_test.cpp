#include <gtest/gtest.h>

#include "parse/parse_frame.h"
#include "parse_test_support.h"

namespace lindra {
namespace {

using testing::Columns;
using Kind = ParseLogEntry::Kind;

// A Samsung line: the caller column is 94 on models 2 and 102, 87 on the others.
std::string SamsungLine(uint32_t model, std::string_view marker, std::string_view at4, std::string_view at14,
                        std::string_view at46, std::string_view caller) {
  const bool dcs828 = model == 2 || model == 102;
  return Columns(
      dcs828 ? 106 : 98,
      {{0, "  1"}, {4, at4}, {14, at14}, {25, "12:34:56"}, {43, marker}, {46, at46}, {dcs828 ? 94u : 87u, caller}});
}

TEST(SamsungFormat, MarkerSetsKindOnEveryVariant) {
  const std::pair<std::string_view, std::string_view> markers[] = {{"T ", "R"}, {"IA", "T"}, {"I ", "H"}, {"A ", "N"}};
  for (uint32_t model : {2u, 3u, 4u, 102u, 103u, 104u, 106u, 107u}) {
    for (auto [marker, kind] : markers) {
      auto outcome =
          ParseFrame(SamsungLine(model, marker, "201 ", "7011", "", "0212345678"), 0, model, "", testing::kUtf8);
      ASSERT_TRUE(outcome.event) << model << " " << marker;
      EXPECT_EQ(outcome.event->kind, kind);
      EXPECT_EQ(outcome.event->extension, "201");
      EXPECT_EQ(outcome.event->callerNumber, "0212345678");
      EXPECT_EQ(outcome.event->receivedTime, "12:34:56");
      EXPECT_TRUE(outcome.log.empty());
    }
  }
}

TEST(SamsungFormat, UnknownMarkerIsRejectedWithItsBytes) {
  struct Case {
    std::string frame;
    std::string shown;
  } cases[] = {
      {SamsungLine(2, "XY", "201", "7011", "", "0212345678"), "XY"},
      {SamsungLine(4, "I-", "201", "7011", "", ""), "I-"},
      {std::string(44, ' '), " "},  // the frame ends inside the marker
      {"  1 201", ""},
  };
  for (const auto& c : cases) {
    auto outcome = ParseFrame(c.frame, c.frame.size(), 2, "031", testing::kUtf8);
    EXPECT_FALSE(outcome.event);
    ASSERT_EQ(outcome.log.size(), 1u);
    EXPECT_EQ(outcome.log[0], (ParseLogEntry{Kind::Error, "구분에러 : " + c.shown}));
    EXPECT_EQ(outcome.statusLine, "[ERR] 구분에러 : " + c.shown);
  }
}

TEST(SamsungFormat, ShortNumberColumnsAndTrunkChoice) {
  struct Case {
    uint32_t model;
    std::string_view at4, at14, at46;
    std::string trunk, extension;
  } cases[] = {
      {2, "201 ", "7011", "", "7011", "201"},
      {2, "2011", "701 ", "", "701", "2011"},
      {3, "201 ", "702 ", "    ", "702", "201"},   // no number at 46: the column at 14
      {3, "201 ", "702 ", "7033", "7033", "201"},  // a number at 46 wins
      {103, "201 ", "702 ", "A12 ", "702", "201"},
      {3, "201 ", "    ", "    ", "   ", "201"},  // both blank: the columns as read
      {2, "    ", "7011", "", "7011", "   "},
  };
  for (const auto& c : cases) {
    auto outcome = ParseFrame(SamsungLine(c.model, "IA", c.at4, c.at14, c.at46, ""), 0, c.model, "", testing::kUtf8);
    ASSERT_TRUE(outcome.event);
    EXPECT_EQ(outcome.event->trunk, c.trunk) << c.model << " " << c.at46;
    EXPECT_EQ(outcome.event->extension, c.extension);
  }
}

TEST(SamsungFormat, SecondNumberRedirectsOrStaysAsDid) {
  struct Case {
    uint32_t model;
    std::string_view at46;
    std::string trunk, did, entry;
  } cases[] = {
      {104, "1234", "1234", "", " Redirect [ 701] -> [1234]"},
      {4, "1234", "1234", "", " Redirect [ 701] -> [1234]"},
      {106, "123 ", "123", "", " Redirect [ 701] -> [123]"},
      {107, "123 ", "123", "", " Redirect [ 701] -> [123]"},
      {104, "123 ", "701", "123", ""},  // three characters redirect on OfficeServ only
      {4, "    ", "701", "", ""},
      {107, "12  ", "701", "12", ""},
      {106, " 12 ", "701", "12", ""},
  };
  for (const auto& c : cases) {
    auto outcome = ParseFrame(SamsungLine(c.model, "IA", "201", "701 ", c.at46, ""), 0, c.model, "", testing::kUtf8);
    ASSERT_TRUE(outcome.event);
    EXPECT_EQ(outcome.event->trunk, c.trunk) << c.model << " [" << c.at46 << "]";
    EXPECT_EQ(outcome.event->didNumber, c.did);
    if (c.entry.empty()) {
      EXPECT_TRUE(outcome.log.empty());
    } else {
      EXPECT_EQ(outcome.log, (std::vector<ParseLogEntry>{{Kind::Plain, c.entry}}));
    }
  }
}

TEST(SamsungFormat, BlankCallerTakesTheAreaCode) {
  auto line = SamsungLine(2, "IA", "201", "7011", "", "            ");
  EXPECT_EQ(ParseFrame(line, 0, 2, "031", testing::kUtf8).event->callerNumber, "031");
  EXPECT_EQ(ParseFrame(line, 0, 2, "", testing::kUtf8).event->callerNumber, "");
}

// A garbled line may carry any byte in its columns; none reaches a field. Octal
// escapes have three digits at most, so that a digit after them stays a digit.
TEST(SamsungFormat, ControlBytesAreLeftOutOfEveryField) {
  auto withTime = [](std::string line, std::string_view time) { return line.replace(25, 8, time); };
  struct Case {
    uint32_t model;
    std::string frame;
    CallEvent event;
  } cases[] = {
      {2,
       SamsungLine(2, "IA", "2\00101", "70\n1", "", "02\r1234\0335678"),
       {"T", "0212345678", "701", "", "201", {}, "12:34:56"}},
      {3,
       withTime(SamsungLine(3, "T ", "201 ", "", "7\17703", "\0010212345678"), "12:3\1774\t:"),
       {"R", "0212345678", "703", "", "201", {}, "12:34:"}},
      {104,
       SamsungLine(104, "I ", "201 ", "701 ", "1\0022 ", "0212345678"),
       {"H", "0212345678", "701", "12", "201", {}, "12:34:56"}},
  };
  for (const auto& c : cases) {
    auto outcome = ParseFrame(c.frame, 0, c.model, "", testing::kUtf8);
    ASSERT_TRUE(outcome.event) << c.model;
    EXPECT_EQ(*outcome.event, c.event) << c.model;
  }
}

// The device columns are not checked against the frame: a short frame leaves the
// fields beyond it empty and those across its end cut.
TEST(SamsungFormat, FieldsBeyondTheFrameAreEmptyOrCut) {
  auto line = SamsungLine(4, "IA", "201", "7011", "1234", "0212345678");
  auto outcome = ParseFrame(line.substr(0, 48), 48, 4, "", testing::kUtf8);
  ASSERT_TRUE(outcome.event);
  EXPECT_EQ(outcome.event->trunk, "7011");
  EXPECT_EQ(outcome.event->didNumber, "12");
  EXPECT_EQ(outcome.event->callerNumber, "");
  outcome = ParseFrame(line.substr(0, 92), 92, 4, "", testing::kUtf8);
  EXPECT_EQ(outcome.event->callerNumber, "02123");
}

}  // namespace
}  // namespace lindra
