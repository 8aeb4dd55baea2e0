#include "app/server_model.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <thread>

#include "device/channel_view.h"
#include "support/fake_clock.h"

namespace lindra {
namespace {

// Keeps every event, in the order the model handed them over.
class RecordingSink final : public EventSink {
 public:
  void Publish(const ServerEvent& event) override {
    std::lock_guard lock(mutex);
    events.push_back(event);
  }
  template <class Event>
  std::vector<Event> Of() {
    std::lock_guard lock(mutex);
    std::vector<Event> found;
    for (const ServerEvent& e : events)
      if (auto* wanted = std::get_if<Event>(&e)) found.push_back(*wanted);
    return found;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const auto& e : Of<event::MessageAdded>()) lines.push_back(e.line.line);
    return lines;
  }

  std::mutex mutex;
  std::vector<ServerEvent> events;
};

std::vector<std::string> LinesOf(const std::vector<MessageLine>& log) {
  std::vector<std::string> lines;
  for (const MessageLine& line : log) lines.push_back(line.line);
  return lines;
}

CallRecord Routed(int slotNo, std::vector<std::string> ips) {
  CallRecord call;
  call.slotNo = slotNo;
  call.routing = CallRouting::Routed;
  call.event.kind = "T";
  call.event.agentIps = ips;
  for (const std::string& ip : ips) call.pcs.push_back({ip, PcOutcome::Waiting});
  return call;
}

class ServerModelTest : public ::testing::Test {
 protected:
  ServerModelTest() { [[maybe_unused]] const ServerSnapshot empty = model_.Subscribe(sink_); }
  testing::TickingClock clock_;
  ServerModel model_{clock_, [](int slotNo, const StatusLine& line) {
                       return "DEV0" + std::to_string(slotNo) + " error " + std::to_string(*line.error);
                     }};
  RecordingSink sink_;
};

TEST_F(ServerModelTest, MessageLogKeepsTheNewestLinesStampedAndCut) {
  for (int i = 0; i < 25; ++i) model_.AddMessage(StatusLine::Info("line " + std::to_string(i)));
  std::vector<std::string> log = LinesOf(model_.MessageLog());
  ASSERT_EQ(log.size(), 20u) << "20 lines until the server is loaded";
  EXPECT_TRUE(std::regex_match(log.front(), std::regex(R"(\[10:00:00\.0\d\d\]line 5)"))) << log.front();
  EXPECT_TRUE(std::regex_match(log.back(), std::regex(R"(\[10:00:00\.0\d\d\]line 24)"))) << log.back();

  model_.ClearMessageLog(100);
  for (int i = 0; i < 150; ++i) model_.AddMessage(StatusLine::Info("line " + std::to_string(i)));
  log = LinesOf(model_.MessageLog());
  ASSERT_EQ(log.size(), 100u);
  EXPECT_TRUE(log.front().ends_with("]line 50")) << log.front();

  // 4096 characters are kept, counted as characters, not bytes.
  std::string longText;
  for (int i = 0; i < 5000; ++i) longText += "가";
  model_.AddMessage(StatusLine::Info(longText));
  const std::string line = model_.MessageLog().back().line;
  EXPECT_EQ(line.substr(line.find(']') + 1), longText.substr(0, 4096 * std::string("가").size()));
}

// A line keeps its severity and error number, and a link's line with a number gets
// the technician's detail; nothing is read back out of the text.
TEST_F(ServerModelTest, LinesCarrySeverityErrorAndALinkFailureItsDetail) {
  model_.channelView().LinkMessage(2, StatusLine::Error("[ERR] recv 실패 : 104", 104));
  model_.channelView().LinkMessage(2, StatusLine::Warning("[WARN] DEV02 Reconnected PBX : x, 1"));
  model_.channelView().Message(2, StatusLine::Error("[ERR] DEV02 상담원 PC 응답 없음: 127.0.0.3 (110)", 110));
  const auto added = sink_.Of<event::MessageAdded>();
  ASSERT_EQ(added.size(), 3u);
  EXPECT_EQ(added[0].line.severity, Severity::Error);
  EXPECT_EQ(added[0].line.error, 104);
  EXPECT_EQ(added[0].line.detail, "DEV02 error 104");
  EXPECT_EQ(added[1].line.severity, Severity::Warning);
  EXPECT_EQ(added[1].line.detail, "");
  EXPECT_EQ(added[2].line.error, 110);
  EXPECT_EQ(added[2].line.detail, "") << "an operator PC's failure is not the link's";
}

// Lines come from every channel thread at once: each sink sees them in the log's
// order, and the log's times never run backwards.
TEST_F(ServerModelTest, LinesFromManyThreadsReachTheSinkInTheLogsOrder) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < 2000; ++i)
        model_.AddMessage(StatusLine::Info("t" + std::to_string(t) + " " + std::to_string(i)));
    });
  for (auto& thread : threads) thread.join();

  const std::vector<std::string> log = LinesOf(model_.MessageLog());
  const std::vector<std::string> seen = sink_.Lines();
  ASSERT_EQ(seen.size(), 8000u);
  EXPECT_EQ(std::vector<std::string>(seen.end() - static_cast<long>(log.size()), seen.end()), log);
  for (size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1].substr(0, 14), seen[i].substr(0, 14)) << i;
}

// A call's outcome per PC decides whether it reached nobody, and counts once.
TEST_F(ServerModelTest, CallsCountPerSlotAndTheirOutcomesFollowPerPc) {
  ChannelView& channels = model_.channelView();
  channels.OperatorsFollowed(1, {{"201", "127.0.0.2", kNoColour}, {"201", "127.0.0.3", kNoColour}});
  const uint64_t first = channels.CallTaken(Routed(1, {"127.0.0.2", "127.0.0.3"}));
  CallRecord dropped;
  dropped.slotNo = 1;
  dropped.routing = CallRouting::UnknownTrunk;
  const uint64_t second = channels.CallTaken(dropped);
  EXPECT_EQ(second, first + 1);

  channels.CallOutcome(1, first, 0, "127.0.0.2", PcOutcome::NotSent);
  EXPECT_EQ(model_.Snapshot().slots[0].today, (SlotCounts{2, 0, 1, 1})) << "one PC may still take it";
  channels.CallOutcome(1, first, 1, "127.0.0.3", PcOutcome::NotSent);
  ServerSnapshot snapshot = model_.Snapshot();
  EXPECT_EQ(snapshot.slots[0].today, (SlotCounts{2, 0, 2, 2}));
  ASSERT_EQ(snapshot.recentCalls.size(), 2u);
  EXPECT_EQ(snapshot.recentCalls[0].id, first);
  EXPECT_EQ(snapshot.recentCalls[0].event.callId, first);
  EXPECT_EQ(snapshot.recentCalls[0].pcs,
            (std::vector<PcDelivery>{{"127.0.0.2", PcOutcome::NotSent}, {"127.0.0.3", PcOutcome::NotSent}}));
  EXPECT_TRUE(snapshot.operators[0][1].lastFailure.has_value());
  EXPECT_FALSE(snapshot.operators[0][1].lastSuccess.has_value());
  EXPECT_EQ(sink_.Of<event::CallUpdated>().size(), 2u);

  // The ring keeps the newest calls; an outcome for a call gone from it still counts.
  for (size_t i = 0; i < kRecentCallCapacity; ++i) channels.CallTaken(Routed(2, {"127.0.0.4"}));
  channels.CallOutcome(1, first, 0, "127.0.0.2", PcOutcome::Sent);
  snapshot = model_.Snapshot();
  ASSERT_EQ(snapshot.recentCalls.size(), kRecentCallCapacity);
  EXPECT_EQ(snapshot.recentCalls.front().id, second + 1);
  EXPECT_EQ(snapshot.slots[0].today.notified, 1);
  EXPECT_EQ(snapshot.slots[1].today.calls, static_cast<int>(kRecentCallCapacity));
}

// Rows that stay keep their history when the senders follow a changed table; colours
// name rows of the table last followed.
TEST_F(ServerModelTest, OperatorRowsKeepTheirHistoryAcrossAFollow) {
  ChannelView& channels = model_.channelView();
  channels.OperatorsFollowed(3, {{"201", "127.0.0.2", kNoColour}, {"202", "127.0.0.3", kNoColour}});
  const uint64_t call = channels.CallTaken(Routed(3, {"127.0.0.3"}));
  channels.CallOutcome(3, call, 1, "127.0.0.3", PcOutcome::Sent);
  channels.OperatorsFollowed(3, {{"202", "127.0.0.3", 0x1234}});
  channels.OperatorColour(3, 0, 0x5678);
  channels.OperatorColour(3, 1, 0x9999);  // a row the table no longer has

  const auto rows = model_.Snapshot().operators[2];
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].row, (OperatorState{"202", "127.0.0.3", 0x5678}));
  EXPECT_TRUE(rows[0].lastSuccess.has_value());
  const auto changed = sink_.Of<event::OperatorChanged>();
  ASSERT_EQ(changed.size(), 2u) << "the outcome and the one colour of a row that exists";
  EXPECT_EQ(changed.back().row, 0);
}

// A front end that comes late starts from the state, then hears what follows.
TEST_F(ServerModelTest, ALateSubscriberGetsTheSnapshotThenTheEvents) {
  LinkState retrying{LinkState::Phase::Retrying, 2, 111, "[ERR] connect 실패: 111"};
  model_.channelView().LinkStateChanged(4, retrying);
  model_.AddMessage(StatusLine::Info("before"));
  RecordingSink late;
  const ServerSnapshot snapshot = model_.Subscribe(late);
  EXPECT_EQ(snapshot.slots[3].link, retrying);
  EXPECT_EQ(snapshot.slots[3].slotNo, 4);
  EXPECT_EQ(LinesOf(snapshot.messageLog).size(), 1u);
  EXPECT_TRUE(late.events.empty());
  model_.AddMessage(StatusLine::Info("after"));
  model_.Unsubscribe(late);
  model_.AddMessage(StatusLine::Info("gone"));
  ASSERT_EQ(late.Lines().size(), 1u);
  EXPECT_TRUE(late.Lines()[0].ends_with("]after"));
}

// Today's counts and their spread over hours and numbers are of today: a new day
// starts them again; the totals since the start go on.
TEST(ServerModelDays, CountsStartAgainOnANewDay) {
  testing::FakeClock clock({2026, 3, 14, 23, 59, 59, 0});
  ServerModel model(clock, {});
  CallRecord call = Routed(1, {"127.0.0.2"});
  call.event.didNumber = "0211110000";
  model.channelView().CallTaken(call);
  const SlotState before = model.Snapshot().slots[0];
  EXPECT_EQ(before.today.calls, 1);
  EXPECT_EQ(before.todaySpread.perHour[23], 1);
  EXPECT_EQ(before.todaySpread.perDid, (std::map<std::string, int>{{"0211110000", 1}}));
  clock.Set({2026, 3, 15, 0, 0, 1, 0});
  EXPECT_EQ(model.Snapshot().slots[0].today.calls, 0);
  EXPECT_EQ(model.Snapshot().slots[0].todaySpread, CallSpread{});
  model.channelView().CallTaken(Routed(1, {"127.0.0.2"}));
  const SlotState after = model.Snapshot().slots[0];
  EXPECT_EQ(after.today.calls, 1);
  EXPECT_EQ(after.todaySpread.perHour[0], 1);
  EXPECT_TRUE(after.todaySpread.perDid.empty()) << "a call without a DID number counts under none";
  EXPECT_EQ(model.Totals()[0].calls, 2u);
}

// A reconnect is a retrying link that connects again; the first connect is none.
TEST(ServerModelTotals, ReconnectsAndDeliveriesPerPcCountSinceTheStart) {
  testing::FakeClock clock;
  ServerModel model(clock, {});
  ChannelView& channels = model.channelView();
  const LinkState connected{LinkState::Phase::Connected, 0, std::nullopt, ""};
  channels.LinkStateChanged(2, connected);
  for (int i = 0; i < 2; ++i) {
    channels.LinkStateChanged(2, {LinkState::Phase::Retrying, 1, 104, "[ERR] recv 실패 : 104"});
    channels.LinkStateChanged(2, connected);
  }
  const uint64_t id = channels.CallTaken(Routed(2, {"127.0.0.2", "127.0.0.3"}));
  channels.CallOutcome(2, id, 0, "127.0.0.2", PcOutcome::Sent);
  channels.CallOutcome(2, id, 1, "127.0.0.3", PcOutcome::NotSent);
  const SlotTotals totals = model.Totals()[1];
  EXPECT_EQ(totals.reconnects, 2u);
  EXPECT_EQ(totals.pcs, (std::map<std::string, PcTotals>{{"127.0.0.2", {1, 0}}, {"127.0.0.3", {0, 1}}}));
}

}  // namespace
}  // namespace lindra
