#include "stats/statistics_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "loopback_http_server.h"
#include "platform/event_loop.h"
#include "stats/daily_statistics.h"
#include "support/fake_clock.h"
#include "support/fake_timers.h"
#include "support/said_lines.h"
#include "support/temp_dir.h"

namespace lindra {
namespace {

using testing::kListPath;
using testing::kTimePath;
using testing::LoopbackHttpServer;
using testing::ReadFile;
using testing::RecordedRequest;
using testing::SaidLines;

constexpr const char* kQueryPath = "/stat/checkHeadID.asp";
constexpr const char* kUploadPath = "/stat/didLogSave.asp";

// The statistics server and the configuration server in one: DID 0212 belongs to
// H1234, the branch list names H1234, uploads are acknowledged unless refused.
class Peers {
 public:
  Peers()
      : server_([this](const RecordedRequest& r) -> std::optional<std::string> {
          if (r.path() == kQueryPath) return r.body == "did=0212" ? "H1234" : "UNKNOWN";
          if (r.path() == kUploadPath && refusals_ > 0 && refusals_--) {
            return dropRefused_ ? std::nullopt : std::optional<std::string>("FAIL");
          }
          if (r.path() == kUploadPath) return "200";
          if (r.path() == kTimePath) {
            HoldIfAsked();
            return "<BV_Lindra><time><hour>03</hour><min>30</min></time></BV_Lindra>";
          }
          if (r.path() == kListPath)
            return "<BV_Lindra><Branch><ID>H1234</ID><DID2>0299999999</DID2></Branch></BV_Lindra>";
          return "<html>404</html";
        }) {}
  ~Peers() { Release(); }

  // The next `count` uploads are refused, with "FAIL" or by closing without a reply.
  void RefuseUploads(int count, bool dropped = false) {
    dropRefused_ = dropped;
    refusals_ = count;
  }
  // The next upload-time read waits until Release(): a pass that takes long.
  void HoldNextTimeRead() { hold_ = true; }
  void Release() {
    std::lock_guard lock(gateMutex_);
    released_ = true;
    gate_.notify_all();
  }
  LoopbackHttpServer& server() { return server_; }

  // Waits until `count` upload-time reads have begun: the branch check's and one per
  // pass. A pass begins only once the one before has finished its bookkeeping.
  void WaitForTimeReads(size_t count) { WaitForRequests(kTimePath, count); }
  void WaitForRequests(const std::string& path, size_t count) {
    EXPECT_TRUE(server_.WaitFor([&path, count](const std::vector<RecordedRequest>& all) {
      size_t requests = 0;
      for (const auto& r : all) requests += r.path() == path;
      return requests >= count;
    })) << path
        << " " << count;
  }

 private:
  void HoldIfAsked() {
    if (!hold_.exchange(false)) return;
    std::unique_lock lock(gateMutex_);
    gate_.wait_for(lock, std::chrono::seconds(20), [this] { return released_; });
  }

  std::mutex gateMutex_;
  std::condition_variable gate_;
  bool released_ = false;
  std::atomic<bool> hold_{false};
  std::atomic<int> refusals_{0};
  std::atomic<bool> dropRefused_{false};
  LoopbackHttpServer server_;  // last: its thread ends before the members it uses
};

class StatisticsServiceTest : public ::testing::Test {
 protected:
  StatisticsServiceTest() { loop.Start(); }

  StatsSettings Settings(int port = 0) {
    if (!port) port = peers.server().port();
    return {"127.0.0.1", port, "127.0.0.1", port, logs.path(), state.path()};
  }
  // The scheduler's next pass, and the wait until it has begun (the n-th upload-time
  // read of the run).
  void Pass(size_t timeRead) {
    ASSERT_TRUE(timers.WaitForArmed(1));
    EXPECT_EQ(timers.NextDue(), kStatisticsPassInterval);
    EXPECT_EQ(timers.Advance(kStatisticsPassInterval), 1);
    peers.WaitForTimeReads(timeRead);
  }

  testing::TempDir logs, state;
  testing::FakeClock clock{{2026, 3, 14, 14, 0, 0, 0}};
  Peers peers;
  EventLoop loop{1};
  testing::FakeTimers timers{&clock};
  SaidLines said;
};

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

TEST_F(StatisticsServiceTest, ListedBranchReportsItsStartAndThenYesterday) {
  testing::WriteFile(logs / "Telephone_DEV01_260313.log",
                     "10:00:00.1[INFO ] [t-1] DEV01: T 010, 3, 0212, 100, ip, t, SENT:9\r\n");
  StatisticsService service(Settings(), clock, loop, timers, {said.Sink(), {}});
  service.StartReport({"0211", "0212", "0213"});
  ASSERT_TRUE(service.WaitForReport(std::chrono::seconds(20)));
  EXPECT_EQ(service.headId(), "H1234");
  EXPECT_TRUE(service.schedulerStarted());

  const auto queries = peers.server().requestsTo(kQueryPath);
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[1].body, "did=0212");
  const auto uploads = peers.server().requestsTo(kUploadPath);
  ASSERT_GE(uploads.size(), 1u);
  const std::string& started = uploads[0].body;
  EXPECT_TRUE(Contains(started, "filename=\"c:\\brenvo\\logs\\H1234_260314_Started.log\""));
  EXPECT_TRUE(Contains(started, "name=\"sWorkDay\"\r\n\r\n260314\r\n"));
  EXPECT_TRUE(Contains(started, "name=\"nAllCnt\"\r\n\r\n-1\r\n"));
  EXPECT_TRUE(Contains(started, "[14:00:00.000] HEADID: H1234\r\nc:\\brenvo\\logs\\Telephone_DEV01_260313.log - TRUE"));
  EXPECT_FALSE(std::filesystem::exists(logs / "H1234_260314_Started.log"));

  ASSERT_TRUE(timers.WaitForArmed(1));
  EXPECT_EQ(timers.Advance(kStatisticsPassInterval - std::chrono::milliseconds(1)), 0);
  EXPECT_EQ(peers.server().requestsTo(kTimePath).size(), 1u);  // the branch check's read only
  EXPECT_EQ(timers.Advance(std::chrono::milliseconds(1)), 1);
  peers.WaitForTimeReads(2);  // the first pass uploads yesterday
  Pass(3);
  const RecordedRequest day = peers.server().requestsTo(kUploadPath).at(1);
  EXPECT_TRUE(Contains(day.body, "name=\"sWorkDay\"\r\n\r\n260313\r\n"));
  EXPECT_TRUE(Contains(day.body, "DEV01 TOTAL CALLING COUNT: 1\r\nDEV01 BRENVO CALLING COUNT: 1\r\n"));
  EXPECT_FALSE(std::filesystem::exists(logs / "H1234_260313.log"));
  EXPECT_EQ(ReadLastUpdate(state.path()), "20260313");
  service.Stop();
  EXPECT_EQ(peers.server().requestsTo(kUploadPath).size(), 2u);
  EXPECT_TRUE(said.lines().empty()) << "nothing to say";
}

TEST_F(StatisticsServiceTest, RefusedDaySummaryStaysAndIsRetried) {
  testing::WriteFile(logs / "Telephone_DEV02_260313.log",
                     "10:00:00.1[INFO ] [t-1] DEV02: T 010, 3, 0212, 100, ip, t, SENT:9\r\n");
  peers.RefuseUploads(3);  // the StartedLog and the first two day summaries
  StatisticsService service(Settings(), clock, loop, timers, {said.Sink(), {}});
  service.StartReport({"0212"});
  ASSERT_TRUE(service.WaitForReport(std::chrono::seconds(20)));
  EXPECT_TRUE(std::filesystem::exists(logs / "H1234_260314_Started.log"));  // kept for the purge

  Pass(2);  // refused
  Pass(3);  // refused again
  // The pass writes its day summary anew before it uploads it: look once it has asked.
  peers.WaitForRequests(kUploadPath, 3);
  EXPECT_TRUE(std::filesystem::exists(logs / "H1234_260313.log"));
  EXPECT_EQ(ReadLastUpdate(state.path()), "00000000");
  Pass(4);  // acknowledged
  Pass(5);
  const auto uploads = peers.server().requestsTo(kUploadPath);
  ASSERT_EQ(uploads.size(), 4u);
  EXPECT_TRUE(Contains(uploads[3].body, "DEV02 TOTAL CALLING COUNT: 1\r\n"));
  EXPECT_FALSE(std::filesystem::exists(logs / "H1234_260313.log"));
  EXPECT_EQ(ReadLastUpdate(state.path()), "20260313");
  // Three refusals in a row and the acknowledgement: one line each way.
  EXPECT_EQ(said.lines(),
            (std::vector<std::string>{"[ERR] 통계 업로드 실패 : 응답 \"FAIL\"", "[WARN] 통계 업로드 복구"}));
}

TEST_F(StatisticsServiceTest, AnUploadThatFailsOnTheWayIsSaidWithWhatFailed) {
  testing::WriteFile(logs / "Telephone_DEV01_260313.log", "x T y\r\n");
  peers.RefuseUploads(2, true);  // the StartedLog and the first day summary
  std::mutex stateMutex;
  std::vector<StatisticsState> states;
  auto lastState = [&] {
    std::lock_guard lock(stateMutex);
    return states.empty() ? StatisticsState{} : states.back();
  };
  StatisticsService service(Settings(), clock, loop, timers, {said.Sink(), [&](const StatisticsState& state) {
                                                                std::lock_guard lock(stateMutex);
                                                                states.push_back(state);
                                                              }});
  service.StartReport({"0212"});
  ASSERT_TRUE(service.WaitForReport(std::chrono::seconds(20)));
  EXPECT_EQ(said.lines(), std::vector<std::string>{"[ERR] 통계 업로드 실패 : Empty reply from server"});
  EXPECT_EQ(lastState().lastFailure, "[ERR] 통계 업로드 실패 : Empty reply from server");
  EXPECT_FALSE(lastState().lastUpload.has_value());
  Pass(2);  // fails again: nothing more is said
  Pass(3);  // acknowledged
  Pass(4);
  EXPECT_EQ(said.lines(),
            (std::vector<std::string>{"[ERR] 통계 업로드 실패 : Empty reply from server", "[WARN] 통계 업로드 복구"}));
  EXPECT_EQ(lastState().lastFailure, "");
  EXPECT_TRUE(lastState().lastUpload.has_value());
  EXPECT_EQ(lastState().headId, service.headId());
  EXPECT_EQ(lastState().failedUploads, 2u) << "the start log and the day summary";
  EXPECT_EQ(lastState().uploads, 1u);
}

TEST_F(StatisticsServiceTest, YesterdayAlreadyReportedUploadsOnlyTheStartAndDuePassesNeverPileUp) {
  testing::WriteFile(logs / "Telephone_DEV01_260313.log", "x T y\r\n");
  testing::WriteFile(state / kBookkeepingFileName, "[UPDATE]\r\nLASTUPDATE=20260313\r\n");
  StatisticsService service(Settings(), clock, loop, timers, {said.Sink(), {}});
  service.StartReport({"0212"});
  ASSERT_TRUE(service.WaitForReport(std::chrono::seconds(20)));
  peers.HoldNextTimeRead();
  Pass(2);
  // Three passes fall due while the first waits for its server: one follows it.
  EXPECT_EQ(timers.Advance(3 * kStatisticsPassInterval), 3);
  peers.Release();
  peers.WaitForTimeReads(3);
  Pass(4);
  service.Stop();
  EXPECT_EQ(peers.server().requestsTo(kTimePath).size(), 4u);
  EXPECT_EQ(peers.server().requestsTo(kUploadPath).size(), 1u);
}

TEST_F(StatisticsServiceTest, UnlistedOrUnknownBranchGetsNoScheduler) {
  const struct {
    std::vector<std::string> dids;
    std::string headId;
    std::string said;
  } cases[] = {
      {{}, "", "[WARN] 통계 중지 : DEV01 대표전화 없음, 지점 ID를 묻지 못함"},
      {{"0211", "0219"}, "UNKNOWN", "[WARN] 통계 중지 : 대표전화 2개 모두 지점 ID 없음"},
  };
  for (const auto& c : cases) {
    SaidLines lines;
    StatisticsService service(Settings(), clock, loop, timers, {lines.Sink(), {}});
    service.StartReport(c.dids);
    ASSERT_TRUE(service.WaitForReport(std::chrono::seconds(20)));
    EXPECT_EQ(service.headId(), c.headId);
    EXPECT_FALSE(service.schedulerStarted());
    EXPECT_TRUE(peers.server().requestsTo(kListPath).empty());
    EXPECT_EQ(lines.lines(), std::vector<std::string>{c.said});
  }
  EXPECT_TRUE(peers.server().requestsTo(kUploadPath).empty());
}

TEST_F(StatisticsServiceTest, BranchMissingFromTheListGetsNoScheduler) {
  LoopbackHttpServer other([](const RecordedRequest& r) -> std::optional<std::string> {
    if (r.path() == kQueryPath) return "H7777";
    if (r.path() == kUploadPath) return "200";
    return "<BV_Lindra><Branch><ID>H1234</ID></Branch></BV_Lindra>";
  });
  StatisticsService service(Settings(other.port()), clock, loop, timers, {said.Sink(), {}});
  service.StartReport({"0212"});
  ASSERT_TRUE(service.WaitForReport(std::chrono::seconds(20)));
  EXPECT_EQ(service.headId(), "H7777");
  EXPECT_FALSE(service.schedulerStarted());
  EXPECT_EQ(other.requestsTo(kUploadPath).size(), 1u);
  EXPECT_TRUE(other.requestsTo(kTimePath).empty());
  EXPECT_EQ(said.lines(), std::vector<std::string>{"[WARN] 통계 중지 : 지점 목록에 H7777 없음"});
}

TEST_F(StatisticsServiceTest, StopEndsTheSchedulersWaitAtOnceAndItsTimer) {
  StatisticsService service(Settings(), clock, loop, timers, {said.Sink(), {}});
  service.StartReport({"0212"});
  ASSERT_TRUE(service.WaitForReport(std::chrono::seconds(20)));
  ASSERT_TRUE(service.schedulerStarted());
  ASSERT_TRUE(timers.WaitForArmed(1));
  service.Stop();
  service.Stop();
  EXPECT_EQ(timers.armedCount(), 0u);
}

TEST_F(StatisticsServiceTest, StopAbandonsAnExchangeWithASilentServer) {
  int port = 0;
  const UniqueFd silent = testing::ListenOnLoopback(port);  // accepts connections, never answers
  StatisticsService service(Settings(port), clock, loop, timers, {said.Sink(), {}});
  service.StartReport({"0212"});
  pollfd pending{silent.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&pending, 1, 20'000), 1);  // the query's connection is waiting for its answer
  service.Stop();
  EXPECT_TRUE(service.WaitForReport(std::chrono::seconds(0)));
  EXPECT_FALSE(service.schedulerStarted());
  EXPECT_TRUE(said.lines().empty()) << "an exchange given up at a stop is no failure";
}

}  // namespace
}  // namespace lindra
