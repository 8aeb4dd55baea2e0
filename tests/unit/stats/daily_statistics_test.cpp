#include "stats/daily_statistics.h"

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

using testing::ReadFile;
using testing::WriteFile;

struct Upload {
  std::string headId, workDay;
  int total = 0, used = 0;
  std::filesystem::path file;
  std::string content;
};

std::string CallLine(const char* time, const char* did, const char* extension, int sent = 27) {
  return text::Format("%s.4[INFO ] [t-2044] DEV01: T 01012345678, 3, %s, %s, 127.0.0.2, %s, SENT:%d\r\n", time, did,
                      extension, time, sent);
}

class DailyStatisticsTest : public ::testing::Test {
 protected:
  DayContext Context() const { return {logs.path(), state.path(), "H1234", "0299999999"}; }

  DayLogUploader Uploader() {
    return [this](const std::string& headId, const std::string& day, int total, int used,
                  const std::filesystem::path& file) {
      uploads.push_back({headId, day, total, used, file, ReadFile(file)});
      return reply;
    };
  }

  DailyStatistics Scheduler(UploadTime initial) {
    served = initial;
    return DailyStatistics(
        Context(), clock, initial,
        [this](UploadTime& time) {
          ++refreshes;
          time = served;
          return UploadTimeRead::Updated;
        },
        Uploader());
  }

  void WriteLog(int slot, const std::string& day, const std::string& content) {
    WriteFile(TelephoneLogPath(logs.path(), slot, day), content);
  }
  void SetLastUpdate(const std::string& day) {
    WriteFile(state / kBookkeepingFileName, "[UPDATE]\r\nLASTUPDATE=" + day + "\r\n");
  }
  void At(int hour, int minute, int second = 0) { clock.Set({2026, 3, 14, hour, minute, second, 0}); }

  testing::TempDir logs, state;
  testing::FakeClock clock{{2026, 3, 14, 14, 0, 0, 0}};
  std::vector<Upload> uploads;
  std::string reply = "COMPLETE";
  UploadTime served;
  int refreshes = 0;
};

TEST_F(DailyStatisticsTest, SummaryJoinsSlotsInOrderAndUploadCarriesTheLastReadSlot) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100") + CallLine("10:00:01", "0212", "100"));
  WriteLog(2, "260313", CallLine("11:00:00", "0299999999", "200") + "\r\n" + CallLine("11:00:00", "0213", "201", -1));
  WriteLog(1, "260314", CallLine("09:10:00", "0212", "100"));  // today's log day, not reported

  ASSERT_TRUE(RunDailyStatistics(Context(), clock, Uploader()));
  ASSERT_EQ(uploads.size(), 1u);
  const Upload& u = uploads[0];
  EXPECT_EQ(u.headId, "H1234");
  EXPECT_EQ(u.workDay, "260313");
  EXPECT_EQ(u.total, 2);
  EXPECT_EQ(u.used, 0);
  EXPECT_EQ(u.file, logs / "H1234_260313.log");
  EXPECT_EQ(u.content, CallLine("10:00:00", "0212", "100") + CallLine("10:00:01", "0212", "100") +
                           "DEV01 TOTAL CALLING COUNT: 1\r\nDEV01 BRENVO CALLING COUNT: 2\r\n" +
                           CallLine("11:00:00", "0299999999", "200") + CallLine("11:00:00", "0213", "201", -1) +
                           "DEV02 TOTAL CALLING COUNT: 2\r\nDEV02 BRENVO CALLING COUNT: 0\r\n");
  EXPECT_FALSE(std::filesystem::exists(u.file));
  EXPECT_EQ(ReadFile(state / kBookkeepingFileName), "[UPDATE]\r\nLASTUPDATE=20260313\r\n");
}

TEST_F(DailyStatisticsTest, OnlyReadableSlotsAreReported) {
  WriteLog(3, "260313", "12:00:00.0[INFO ] [t-1] send : 25 -> DID:0212, CID:010\r\n");
  ASSERT_TRUE(RunDailyStatistics(Context(), clock, Uploader()));
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].total, 0);
  EXPECT_EQ(uploads[0].content,
            "12:00:00.0[INFO ] [t-1] send : 25 -> DID:0212, CID:010\r\n"
            "DEV03 TOTAL CALLING COUNT: 0\r\nDEV03 BRENVO CALLING COUNT: 0\r\n");
}

TEST_F(DailyStatisticsTest, RefusedUploadKeepsTheSummaryAndTheBookkeeping) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  SetLastUpdate("20260310");
  reply = "FAIL";
  EXPECT_FALSE(RunDailyStatistics(Context(), clock, Uploader()));
  reply = "";
  EXPECT_FALSE(RunDailyStatistics(Context(), clock, Uploader()));
  EXPECT_EQ(uploads.size(), 2u);
  EXPECT_TRUE(std::filesystem::exists(logs / "H1234_260313.log"));
  EXPECT_EQ(ReadLastUpdate(state.path()), "20260310");
}

// The upload of 13 March is acknowledged after midnight: the 13th is done, the 14th
// is still to be reported.
TEST_F(DailyStatisticsTest, AcknowledgementAfterMidnightRecordsTheUploadedDay) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  At(23, 59, 59);
  std::string uploadedDay;
  const DayLogUploader slow = [&](const std::string&, const std::string& day, int, int, const std::filesystem::path&) {
    uploadedDay = day;
    clock.Set({2026, 3, 15, 0, 0, 1, 0});
    return std::string("COMPLETE");
  };
  ASSERT_TRUE(RunDailyStatistics(Context(), clock, slow));
  EXPECT_EQ(uploadedDay, "260313");
  EXPECT_EQ(ReadLastUpdate(state.path()), "20260313");
}

TEST_F(DailyStatisticsTest, NothingToReportWithoutAnyReadableLog) {
  WriteLog(1, "260312", CallLine("10:00:00", "0212", "100"));
  EXPECT_FALSE(RunDailyStatistics(Context(), clock, Uploader()));
  EXPECT_TRUE(uploads.empty());
  EXPECT_FALSE(std::filesystem::exists(logs / "H1234_260313.log"));
}

TEST_F(DailyStatisticsTest, YesterdaysLogsAreHeldByTheirWritersUntilNine) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  At(8, 59, 59);
  EXPECT_FALSE(RunDailyStatistics(Context(), clock, Uploader()));
  EXPECT_TRUE(uploads.empty());
  At(9, 0);
  EXPECT_TRUE(RunDailyStatistics(Context(), clock, Uploader()));
  EXPECT_EQ(uploads.size(), 1u);
}

TEST_F(DailyStatisticsTest, TextInTheCodePageSurvivesWhole) {
  const std::string previous = text::CodePage();
  ASSERT_TRUE(text::SetCodePage("CP949"));
  // A two-byte character across the 2048-byte mark must not be torn apart.
  const std::string korean = text::ToExternal("대표전화 상담원");
  const std::string line = std::string(2047, 'a') + korean + "\r\n";
  WriteLog(1, "260313", line);
  EXPECT_TRUE(RunDailyStatistics(Context(), clock, Uploader()));
  text::SetCodePage(previous);
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].content.substr(0, line.size()), line);
}

TEST_F(DailyStatisticsTest, MissingOrOddBookkeepingReadsAsNeverReported) {
  EXPECT_EQ(ReadLastUpdate(state.path()), "00000000");
  WriteFile(state / kBookkeepingFileName, "[update]\nlastupdate = 20260301 \n");
  EXPECT_EQ(ReadLastUpdate(state.path()), "20260301");
}

TEST_F(DailyStatisticsTest, StartAfterTheUploadTimeReportsAtTheFirstPass) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  SetLastUpdate("20260301");
  DailyStatistics statistics = Scheduler({3, 30});
  statistics.Begin();
  EXPECT_FALSE(statistics.settled());
  statistics.Pass();
  EXPECT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(statistics.settled());
  EXPECT_EQ(ReadLastUpdate(state.path()), "20260313");
  statistics.Pass();  // nothing newer to report
  EXPECT_EQ(uploads.size(), 1u);
  EXPECT_EQ(refreshes, 2);
}

TEST_F(DailyStatisticsTest, YesterdayAlreadyReportedUploadsNothing) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  SetLastUpdate("20260313");
  DailyStatistics statistics = Scheduler({3, 30});
  statistics.Begin();
  statistics.Pass();
  EXPECT_TRUE(uploads.empty());
  EXPECT_TRUE(statistics.settled());
}

TEST_F(DailyStatisticsTest, RefusedUploadIsRetriedEveryPassWithAFreshSummary) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  DailyStatistics statistics = Scheduler({3, 30});
  statistics.Begin();
  reply = "FAIL";
  statistics.Pass();
  EXPECT_FALSE(statistics.settled());
  WriteLog(2, "260313", CallLine("10:00:00", "0212", "100"));
  reply = "COMPLETE";
  statistics.Pass();
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_NE(uploads[1].content.find("DEV02 TOTAL"), std::string::npos);
  EXPECT_TRUE(statistics.settled());
}

TEST_F(DailyStatisticsTest, StartBeforeTheUploadTimeWaitsForItsMinute) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  At(8, 0);
  DailyStatistics statistics = Scheduler({10, 30});
  statistics.Begin();
  EXPECT_TRUE(statistics.settled());
  At(10, 29, 59);
  statistics.Pass();
  EXPECT_TRUE(uploads.empty());
  At(10, 30, 2);
  statistics.Pass();
  EXPECT_EQ(uploads.size(), 1u);
  At(10, 30, 5);  // the same minute again: checked, nothing newer
  statistics.Pass();
  EXPECT_EQ(uploads.size(), 1u);
}

TEST_F(DailyStatisticsTest, BeforeNineTheDayStaysPendingAndIsReportedAfterNine) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  At(2, 0);
  DailyStatistics statistics = Scheduler({3, 30});
  statistics.Begin();
  At(3, 30);
  statistics.Pass();
  EXPECT_FALSE(statistics.settled());
  At(8, 59);
  statistics.Pass();
  EXPECT_TRUE(uploads.empty());
  At(9, 0, 1);
  statistics.Pass();
  EXPECT_EQ(uploads.size(), 1u);
  EXPECT_TRUE(statistics.settled());
}

TEST_F(DailyStatisticsTest, StartAtTheUploadMinuteChecksAtTheFirstPass) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  DailyStatistics statistics = Scheduler({14, 0});
  statistics.Begin();
  EXPECT_TRUE(statistics.settled());
  statistics.Pass();
  EXPECT_EQ(uploads.size(), 1u);
}

TEST_F(DailyStatisticsTest, ChangedUploadTimeTakesEffectAtTheNextPass) {
  WriteLog(1, "260313", CallLine("10:00:00", "0212", "100"));
  At(9, 30);
  DailyStatistics statistics = Scheduler({10, 0});
  statistics.Begin();
  served = {11, 0};
  At(10, 0);
  statistics.Pass();
  EXPECT_TRUE(uploads.empty());
  EXPECT_EQ(statistics.uploadTime().hour, 11);
  At(11, 0);
  statistics.Pass();
  EXPECT_EQ(uploads.size(), 1u);
}

}  // namespace
}  // namespace lindra
