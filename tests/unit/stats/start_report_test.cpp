#include "stats/start_report.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace lindra {
namespace {

TEST(StartReport, OnlySafeRepliesBeginningWithHAreIdentifiers) {
  const struct {
    std::string reply;
    bool id;
  } cases[] = {
      {"H1234", true},
      {"H1234\n", true},
      {"H", true},
      {"H 12 한국", true},
      {"", false},
      {"h1234", false},
      {"FAIL", false},
      {" H1234", false},
      {"H1234\n\n", false},
      {"H12\n34", false},
      {"H1234\r", false},
      {"H..", false},
      {"H../../etc/x", false},
      {"H/1", false},
      {"H\\1", false},
      {std::string("H1\0x", 4), false},
      {"H\t1", false},
      {"H1\x7f", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsHeadId(c.reply), c.id) << c.reply;
}

TEST(StartReport, HeadIdIsTheFirstIdentifierReplyInDidOrder) {
  const struct {
    std::vector<std::string> dids;
    std::vector<std::string> asked;
    std::string headId;
  } cases[] = {
      {{}, {}, ""},
      {{"1", "2", "3"}, {"1", "2"}, "H2"},  // replies: "NO", "H2", "H3"
      {{"1", "4"}, {"1", "4"}, "H4/.."},    // no identifier: the last reply stays
      {{"4", "2", "3"}, {"4", "2"}, "H2"},  // an unsafe reply does not end the search
  };
  const auto reply = [](const std::string& did) {
    return did == "1" ? std::string("NO") : did == "4" ? "H4/.." : "H" + did;
  };
  for (const auto& c : cases) {
    std::vector<std::string> asked;
    const std::string headId = FindHeadId(c.dids, [&](const std::string& did) {
      asked.push_back(did);
      return reply(did);
    });
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(headId, c.headId);
  }
}

TEST(StartReport, StartedLogTellsWhetherYesterdaysFirstTelephoneLogIsThere) {
  testing::TempDir logs;
  const LocalTime now{2026, 1, 1, 8, 5, 9, 42};
  EXPECT_EQ(StartedLogPath(logs.path(), "H1234", now), logs / "H1234_260101_Started.log");
  EXPECT_EQ(StartedLogText(now, "H1234", logs.path()),
            "[08:05:09.042] HEADID: H1234\r\nc:\\brenvo\\logs\\Telephone_DEV01_251231.log - FALSE");
  testing::WriteFile(logs / "Telephone_DEV01_251231.log", "");
  EXPECT_EQ(StartedLogText(now, "H1234", logs.path()),
            "[08:05:09.042] HEADID: H1234\r\nc:\\brenvo\\logs\\Telephone_DEV01_251231.log - TRUE");
}

}  // namespace
}  // namespace lindra
