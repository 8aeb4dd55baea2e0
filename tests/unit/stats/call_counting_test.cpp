#include "stats/call_counting.h"

#include <gtest/gtest.h>

#include <vector>

#include "text/strings.h"

namespace lindra {
namespace {

constexpr const char* kDid2 = "0299999999";

// A telephone-log line as the slot's writer puts it on disk.
std::string CallLine(const char* time, char kind, const char* did, const char* extension, int sent = 27) {
  return text::Format("%s.4[INFO ] [t-2044] DEV01: %c 01012345678, 3, %s, %s, 127.0.0.2, 2026-03-13 %s, SENT:%d\r\n",
                      time, kind, did, extension, time, sent);
}

SlotCounts Count(const std::vector<std::string>& lines, const std::string& did2 = kDid2) {
  std::string text;
  for (const auto& line : lines) text += line;
  std::string summary;
  return CollectSlotLog(text, 1, did2, summary);
}

TEST(CallCounting, CountsByTheRulesOfRepeatsDid2AndDelivery) {
  const struct {
    const char* name;
    std::vector<std::string> lines;
    int total, brenvo;
  } cases[] = {
      {"repeat within one second counts once",
       {CallLine("10:00:00", 'T', "0212345678", "100"), CallLine("10:00:01", 'T', "0212345678", "100")},
       1,
       2},
      {"a third call two seconds after the counted one counts again",
       {CallLine("10:00:00", 'T', "0212345678", "100"), CallLine("10:00:01", 'T', "0212345678", "100"),
        CallLine("10:00:03", 'T', "0212345678", "100")},
       2,
       3},
      {"a repeat does not move the reference time",
       {CallLine("10:00:00", 'T', "0212345678", "100"), CallLine("10:00:01", 'T', "0212345678", "100"),
        CallLine("10:00:02", 'T', "0212345678", "100")},
       2,
       3},
      {"same second on the branch's own DID2 counts every line, never BRENVO",
       {CallLine("10:00:00", 'T', kDid2, "100"), CallLine("10:00:01", 'T', kDid2, "100")},
       2,
       0},
      {"undelivered call counts in total only", {CallLine("11:00:00", 'T', "0212345678", "100", -1)}, 1, 0},
      {"undelivered repeat counts in neither",
       {CallLine("11:00:00", 'T', "0212345678", "100"), CallLine("11:00:00", 'T', "0212345678", "100", -1)},
       1,
       1},
      {"another extension in the same second is another call",
       {CallLine("12:00:00", 'T', "0212345678", "100"), CallLine("12:00:00", 'T', "0212345678", "101")},
       2,
       2},
      {"only kind T counts",
       {CallLine("12:00:00", 'R', "0212345678", "100"), CallLine("12:00:05", 'H', "0212345678", "100"),
        CallLine("12:00:09", 'N', "0212345678", "100")},
       0,
       0},
      {"broadcast lines hold no call", {"12:00:00.1[INFO ] [t-7] send : 25 -> DID:0212, CID:010\r\n"}, 0, 0},
      {"nothing between adjacent commas is a field",
       {"10:00:00.1[INFO ] [t-7] DEV01: T 010,, 7, 0299999999, 100, 127.0.0.2, t, SENT:5\r\n"},
       1,
       0},
      {"lines with too few fields count with empty DID and extension", {"DEV01: T 010\n", "09:30:00 T x\n"}, 2, 2},
  };
  for (const auto& c : cases) {
    const SlotCounts counts = Count(c.lines);
    EXPECT_EQ(counts.total, c.total) << c.name;
    EXPECT_EQ(counts.brenvo, c.brenvo) << c.name;
  }
}

TEST(CallCounting, BranchWithoutDid2) {
  // Every call with a DID differs from an empty DID2; a call without DID does not.
  const SlotCounts withDid =
      Count({CallLine("10:00:00", 'T', "0212", "100"), CallLine("10:00:01", 'T', "0212", "100")}, "");
  EXPECT_EQ(withDid.total, 1);
  EXPECT_EQ(withDid.brenvo, 2);
  const SlotCounts withoutDid = Count({CallLine("10:00:00", 'T', "", "100"), CallLine("10:00:01", 'T', "", "100")}, "");
  EXPECT_EQ(withoutDid.total, 2);
  EXPECT_EQ(withoutDid.brenvo, 0);
}

TEST(CallCounting, SummaryHoldsTrimmedLinesThenCountLines) {
  std::string summary = "before\r\n";
  const std::string log = "  first line \r\n\r\n\n\t\r\n" + CallLine("10:00:00", 'T', "0212", "100") + "last";
  const SlotCounts counts = CollectSlotLog(log, 3, kDid2, summary);
  EXPECT_EQ(counts.total, 1);
  EXPECT_EQ(summary, "before\r\nfirst line\r\n" + CallLine("10:00:00", 'T', "0212", "100") +
                         "last\r\nDEV03 TOTAL CALLING COUNT: 1\r\nDEV03 BRENVO CALLING COUNT: 1\r\n");
}

TEST(CallCounting, EmptyLogStillGivesCountLines) {
  std::string summary;
  CollectSlotLog("", 2, kDid2, summary);
  EXPECT_EQ(summary, "DEV02 TOTAL CALLING COUNT: 0\r\nDEV02 BRENVO CALLING COUNT: 0\r\n");
}

}  // namespace
}  // namespace lindra
