#include "notify/route_call_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "notify/table_editing.h"
#include "notify/trunk_range.h"

namespace lindra {
namespace {

const LocalTime kNow{2026, 3, 14, 9, 5, 7, 480};

CallEvent Event(std::string kind, std::string trunk, std::string extension = "201", std::string caller = "0212345678") {
  CallEvent event;
  event.kind = std::move(kind);
  event.trunk = std::move(trunk);
  event.extension = std::move(extension);
  event.callerNumber = std::move(caller);
  event.receivedTime = "09:05:07";
  return event;
}

TEST(TrunkMatching, RangesByWidthAndValueOtherSpecsByText) {
  struct Case {
    const char* trunkSpec;
    const char* trunk;
    bool matches;
  };
  const Case cases[] = {
      {"701:708", "701", true},
      {"701:708", "708", true},
      {"701:708", "705", true},
      {"701:708", "709", false},
      {"701:708", "700", false},
      {"701:708", "0701", false},
      {"1:9", "10", false},
      {"1:9", "5", true},
      {"701", "701", true},
      {"701", "0701", false},
      {":708", ":708", true},
      {":708", "708", false},
      {"701:708", "", false},
      {"0701:0708", "0705", true},
      // Long digit strings compare exactly instead of overflowing.
      {"99999999999999999990:99999999999999999999", "99999999999999999995", true},
      {"99999999999999999990:99999999999999999999", "99999999999999999989", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TrunkMatches(c.trunkSpec, c.trunk), c.matches) << c.trunkSpec << " / " << c.trunk;
}

TEST(TrunkMatching, DecimalComparisonReadsLeadingDigits) {
  EXPECT_EQ(CompareDecimal("0010", "10"), 0);
  EXPECT_EQ(CompareDecimal("", "0"), 0);
  EXPECT_EQ(CompareDecimal("708:9", "708"), 0);
  EXPECT_EQ(CompareDecimal("-5", "3"), -1);
  EXPECT_EQ(CompareDecimal("123456789012345678901234567890", "123456789012345678901234567891"), -1);
  EXPECT_EQ(CompareDecimal("9", "10"), -1);
}

class RouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tables.SetDids({{"701:708", "0215881234"}, {"703", "0299999999"}, {"800", "0317778888"}});
    tables.SetAgents({{"201", "127.0.0.2"}, {"202", "127.0.0.4"}, {"201", "127.0.0.3"}});
  }
  RouteResult Route(CallEvent event, uint32_t model = 102) {
    return RouteCallEvent(tables, model, std::move(event), kNow);
  }
  RoutingTables tables;
};

TEST_F(RouteTest, AnsweredCallReachesEveryOperatorOfItsExtensionWithOneRowEach) {
  RouteResult result = Route(Event("T", "703"));
  ASSERT_TRUE(result.routed);
  // The range row comes first and wins over the exact row for 703.
  EXPECT_EQ(result.routed->didNumber, "0215881234");
  EXPECT_EQ(result.routed->agentIps, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  std::vector<CallRow> expected{
      {{"703", "201", "0215881234", "127.0.0.2", "0212345678", "09:05:07.4", "받음"}, 0xF0E6D2, true},
      {{"703", "201", "0215881234", "127.0.0.3", "0212345678", "09:05:07.4", "받음"}, 0xF0E6D2, true},
  };
  EXPECT_EQ(result.rows, expected);
}

TEST_F(RouteTest, KindTextsAndColours) {
  struct Case {
    const char* kind;
    const char* text;
    Colour colour;
  };
  for (const Case& c : {Case{"H", "끊음", 0xF0F0C8}, Case{"R", "링", 0xE6E6E6}, Case{"N", "", kNoColour}}) {
    RouteResult result = Route(Event(c.kind, "800", "202"));
    ASSERT_EQ(result.rows.size(), 1u) << c.kind;
    EXPECT_EQ(result.rows[0].cells[6], c.text);
    EXPECT_EQ(result.rows[0].colour, c.colour);
  }
}

TEST_F(RouteTest, UnknownTrunkIsDroppedWithARowOnlyForAnsweredAndEndedCalls) {
  for (const char* kind : {"T", "H"}) {
    RouteResult result = Route(Event(kind, "709", "201", "12345678"));
    EXPECT_FALSE(result.routed);
    std::vector<CallRow> expected{{{"709", " ", " ", " ", "12345678", "09:05:07.4", "없음"}, 0xD2D2F0, false}};
    EXPECT_EQ(result.rows, expected) << kind;
  }
  for (const char* kind : {"R", "N"}) {
    RouteResult result = Route(Event(kind, "709"));
    EXPECT_FALSE(result.routed);
    EXPECT_TRUE(result.rows.empty()) << kind;
  }
}

TEST_F(RouteTest, ExtensionWithoutOperatorIsDroppedWithARowOnlyForAnsweredCalls) {
  RouteResult answered = Route(Event("T", "701", "299"));
  EXPECT_FALSE(answered.routed);
  std::vector<CallRow> expected{{{" ", "299", " ", " ", "0212345678", "09:05:07.4", "없음"}, 0xD2D2F0, false}};
  EXPECT_EQ(answered.rows, expected);

  RouteResult ended = Route(Event("H", "701", "299"));
  EXPECT_FALSE(ended.routed);
  EXPECT_TRUE(ended.rows.empty());
}

TEST_F(RouteTest, EmptyExtensionIsRoutedToNobodyWithoutRows) {
  RouteResult result = Route(Event("T", "701", ""));
  ASSERT_TRUE(result.routed);
  EXPECT_TRUE(result.routed->agentIps.empty());
  EXPECT_TRUE(result.rows.empty());
}

TEST_F(RouteTest, BroadcastModeSkipsOperatorsAndShowsOneRow) {
  tables.PublishAgents({}, true);
  RouteResult result = Route(Event("T", "800", "299", "0315551234"));
  ASSERT_TRUE(result.routed);
  EXPECT_TRUE(result.routed->agentIps.empty());
  EXPECT_TRUE(result.broadcast);
  std::vector<CallRow> expected{
      {{"800", "NONE", "0317778888", "BroadCast", "0315551234", "09:05:07.4", "받음"}, 0xF0E6D2, true}};
  EXPECT_EQ(result.rows, expected);
}

TEST_F(RouteTest, CallerNumberKeepsWhatTheParserGave) {
  // The parser has put area code 31 in front already; a second one would give 3131....
  EXPECT_EQ(Route(Event("T", "701", "201", "315551234")).routed->callerNumber, "315551234");
  EXPECT_EQ(Route(Event("T", "701", "201", "")).routed->callerNumber, "");
}

TEST_F(RouteTest, SecondNumberOfModels4And104ReplacesTrailingDigits) {
  struct Case {
    uint32_t model;
    const char* second;
    const char* did;
  };
  const Case cases[] = {
      {104, "77",
       "02158812"
       "77"},
      {4, "123",
       "0215881"
       "123"},
      {104, "", "0215881234"},
      {104, "12345678901", "12345678901"},
      {102, "77", "0215881234"},  // other models ignore it
      {104, "0215881234", "0215881234"},
  };
  for (const Case& c : cases) {
    CallEvent event = Event("T", "701");
    event.didNumber = c.second;
    EXPECT_EQ(Route(event, c.model).routed->didNumber, c.did) << c.model << " / " << c.second;
  }
}

TEST_F(RouteTest, TimeCellShowsTenthsOfASecond) {
  LocalTime late{2026, 3, 14, 23, 59, 59, 999};
  RouteResult result = RouteCallEvent(tables, 102, Event("T", "800", "202"), late);
  EXPECT_EQ(result.rows.at(0).cells[5], "23:59:59.9");
}

TEST(RouteUnderEdits, CtiCallsRoutedWhileTheWindowEditsBothTablesSeeWholeRows) {
  RoutingTables tables;
  tables.SetDids({{"705", "0333330000"}});
  tables.SetAgents({{"203", "127.0.0.2"}});
  std::atomic<bool> editing{true};
  // The window thread: every edit publishes new tables and lets the old ones go.
  std::thread window([&] {
    for (int i = 0; editing; ++i) {
      ModifyDidRow(tables, 0, "705", i % 2 ? "0333330000" : "0444440000");
      AddDidRow(tables, "700:704", "0555550000");
      DeleteDidRow(tables, 1);
      ModifyAgentRow(tables, 0, "203", i % 2 ? "127.0.0.2" : "127.0.0.3");
      AddAgentRow(tables, "203", "127.0.0.4");
      DeleteAgentRow(tables, 1);
    }
  });
  CallEvent call = Event("T", "705", "203");
  for (int n = 0; n < 20'000; ++n) {
    RouteResult result = RouteCallEvent(tables, 202, call, kNow);
    ASSERT_TRUE(result.routed) << n;
    const std::string& did = result.routed->didNumber;
    ASSERT_TRUE(did == "0333330000" || did == "0444440000") << n << " " << did;
    ASSERT_FALSE(result.routed->agentIps.empty()) << n;
    for (const std::string& ip : result.routed->agentIps)
      ASSERT_TRUE(ip == "127.0.0.2" || ip == "127.0.0.3" || ip == "127.0.0.4") << n << " " << ip;
  }
  editing = false;
  window.join();
}

}  // namespace
}  // namespace lindra
