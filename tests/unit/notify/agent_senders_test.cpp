#include "notify/agent_senders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "notify_test_support.h"

namespace lindra {
namespace {

using testing::FakeTimeLoop;
using testing::RecordingReporter;
using testing::SilentPc;
using testing::TcpReceiver;
using namespace std::chrono_literals;

CallEvent Event(std::string kind, std::string caller, std::string extension, std::vector<std::string> ips,
                uint64_t callId = 0) {
  CallEvent event;
  event.callId = callId;
  event.kind = std::move(kind);
  event.callerNumber = std::move(caller);
  event.trunk = "701";
  event.didNumber = "0215881234";
  event.extension = std::move(extension);
  event.agentIps = std::move(ips);
  event.receivedTime = "09:05:07";
  return event;
}

SenderTimings Timings(int port) { return SenderTimings{port}; }

// The senders of a slot that connects with this operator table.
void StartRows(AgentSenders& senders, int progPort, const AgentList& rows) {
  senders.Follow(rows);
  senders.Start(progPort);
}

using Outcome = RecordingReporter::Outcome;

// The telephone-log line of a call of Event("T", caller, "201", ...) to 127.0.0.2.
std::string LineOf(const std::string& caller, int sent) {
  return TelephoneLine(1, Event("T", caller, "201", {}), "127.0.0.2", sent);
}

std::vector<Colour> ColoursOf(const RecordingReporter& reporter) {
  std::vector<Colour> colours;
  for (const auto& c : reporter.colours()) colours.push_back(c.colour);
  return colours;
}

// Operator PCs on 127.0.0.2 and 127.0.0.3 listening on one free port, as operator
// PCs of a slot do on its progPort.
struct OperatorPair {
  OperatorPair() {
    for (int attempt = 0; attempt < 20 && !second; ++attempt) {
      first = std::make_unique<TcpReceiver>("127.0.0.2");
      second = std::make_unique<TcpReceiver>("127.0.0.3", true, first->port());
      if (!second->bound()) second.reset();
    }
  }
  std::unique_ptr<TcpReceiver> first;
  std::unique_ptr<TcpReceiver> second;
};

// An operator PC whose listener's backlog is full: it drops further connection
// requests, so a connect to it hangs until it starts accepting.
struct HangingPc {
  explicit HangingPc(const std::string& ip) : pc(ip, false, 0, 0) {
    pc.Listen(false);
    sockaddr_in address = testing::LoopbackAddress(ip, pc.port());
    EXPECT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  int port() const { return pc.port(); }
  TcpReceiver pc;
  UniqueFd filler{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
};

// The senders' queues once they equal `expected`, or as they stand after a while: a
// connection counts its calls on its strand, after the lines of those it gave up.
std::vector<SenderQueue> QueuesOnceEqual(const AgentSenders& senders, const std::vector<SenderQueue>& expected) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::vector<SenderQueue> queues;
  while ((queues = senders.Queues()) != expected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  return queues;
}

// Lets the pause after a notification on a kept connection run out.
void PauseOver(FakeTimeLoop& time) {
  ASSERT_TRUE(time.timers.WaitForArmed(2));  // the probe and the pause
  time.timers.Advance(kPersistentGap);
}

// The senders of one operator row (extension 201, 127.0.0.2) on fake time, and its
// PC: a TcpReceiver that listens or is bound without listening (its connects are
// refused), or a HangingPc.
template <class Pc>
struct OneRow {
  template <class... PcSettings>
  explicit OneRow(int progPort, PcSettings... settings)
      : pc("127.0.0.2", settings...), senders(reporter, time.loop, time.timers, time.clock, Timings(pc.port())) {
    StartRows(senders, progPort, {{"201", "127.0.0.2"}});
  }
  Pc pc;
  RecordingReporter reporter;
  FakeTimeLoop time;
  AgentSenders senders;
};

TEST(NotificationText, BytesAndTelephoneLine) {
  CallEvent event = Event("T", "0212345678", "201", {"127.0.0.2"});
  EXPECT_EQ(NotificationBytes(event), "T|0212345678|0215881234");
  EXPECT_EQ(TelephoneLine(2, event, "127.0.0.2", 23),
            "DEV02: T 0212345678, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:23");
  event.kind = "";
  EXPECT_EQ(TelephoneLine(1, event, "127.0.0.2", -1),
            "DEV01:  0212345678, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:-1");
}

TEST(PerEventSender, ConnectsOnceAtStartThenOnceForEachEvent) {
  OneRow<TcpReceiver> row(7001, true);
  auto& [pc, reporter, time, senders] = row;
  ASSERT_TRUE(pc.WaitForClosed(1));  // the connection test of a new sender

  senders.DispatchToAgents(Event("T", "0212345678", "201", {"127.0.0.2"}, 1), 201);
  senders.DispatchToAgents(Event("H", "0212345678", "201", {"127.0.0.2"}, 2), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(2));
  ASSERT_TRUE(pc.WaitForClosed(3));

  auto connections = pc.connections();
  ASSERT_EQ(connections.size(), 3u);
  EXPECT_EQ(connections[0].Text(), "");
  EXPECT_EQ(connections[1].Text(), "T|0212345678|0215881234");
  EXPECT_EQ(connections[2].Text(), "H|0212345678|0215881234");
  EXPECT_EQ(reporter.telephoneLines(),
            (std::vector<std::string>{"DEV01: T 0212345678, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:23",
                                      "DEV01: H 0212345678, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:23"}));
  std::vector<Colour> expected;
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), {kAgentConnecting, kAgentConnected});
  EXPECT_EQ(ColoursOf(reporter), expected);
  EXPECT_EQ(reporter.outcomes(),
            (std::vector<Outcome>{{1, 0, "127.0.0.2", PcOutcome::Sent}, {2, 0, "127.0.0.2", PcOutcome::Sent}}));
  EXPECT_EQ(reporter.program().at(0).second, "IP LIST COUNT: 1");
  EXPECT_EQ(reporter.status(), std::vector<std::string>{});  // a PC that is there says nothing
}

TEST(PerEventSender, OperatorDownShowsFailureAndLogsMinusOne) {
  OneRow<TcpReceiver> row(7001, false);
  auto& [pc, reporter, time, senders] = row;
  ASSERT_TRUE(reporter.WaitForColours(kAgentFailed, 1));
  senders.DispatchToAgents(Event("T", "0212345678", "201", {"127.0.0.2"}, 5), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(1));
  EXPECT_EQ(reporter.telephoneLines()[0], "DEV01: T 0212345678, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:-1");
  EXPECT_EQ(reporter.outcomes(), (std::vector<Outcome>{{5, 0, "127.0.0.2", PcOutcome::NotSent}}));
  // An event that comes during the start test is sent over that attempt, so there
  // are one or two attempts, each shown connecting and then failed.
  std::vector<Colour> colours = ColoursOf(reporter);
  ASSERT_TRUE(colours.size() == 2 || colours.size() == 4) << colours.size();
  for (size_t i = 0; i < colours.size(); i += 2) {
    EXPECT_EQ(colours[i], kAgentConnecting);
    EXPECT_EQ(colours[i + 1], kAgentFailed);
  }
  for (const auto& c : reporter.colours()) EXPECT_EQ(c.row, 0);
  // Once for the change, however many attempts fail.
  EXPECT_EQ(reporter.statusLines(),
            std::vector<StatusLine>{StatusLine::Error("[ERR] DEV01 상담원 PC 응답 없음: 127.0.0.2 (111)", 111)});
}

TEST(PerEventSender, ProbesEveryProbeIntervalWhileIdle) {
  OneRow<TcpReceiver> row(7001, true);
  auto& [pc, reporter, time, senders] = row;
  ASSERT_TRUE(pc.WaitForClosed(1));  // the start test
  for (size_t probes = 1; probes <= 2; ++probes) {
    EXPECT_EQ(time.timers.NextDue(), kProbeInterval);
    EXPECT_EQ(time.timers.Advance(kProbeInterval - 1ms), 0);
    EXPECT_EQ(time.timers.Advance(1ms), 1);
    ASSERT_TRUE(pc.WaitForClosed(1 + probes));
  }
  senders.Stop();
  EXPECT_EQ(pc.connections().size(), 3u);
  for (const auto& connection : pc.connections()) EXPECT_EQ(connection.Text(), "");
  EXPECT_TRUE(reporter.telephoneLines().empty());
}

TEST(Dispatch, SelectsSendersByExtensionValueAndIp) {
  OperatorPair pcs;
  ASSERT_TRUE(pcs.second) << "no common free port on 127.0.0.2 and 127.0.0.3";
  RecordingReporter reporter;
  FakeTimeLoop time;
  AgentSenders senders(reporter, time.loop, time.timers, time.clock, Timings(pcs.first->port()));
  // The same PC with another extension; the extension's value selects.
  StartRows(senders, 7001, {{"201", "127.0.0.2"}, {"201", "127.0.0.3"}, {"0202", "127.0.0.2"}});
  // Every start test is over once its connection is closed.
  ASSERT_TRUE(pcs.first->WaitForClosed(2));
  ASSERT_TRUE(pcs.second->WaitForClosed(1));

  senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2", "127.0.0.3"}, 1), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(2));
  // An event without IPs (no extension) reaches nobody; the next one shows what came after it.
  senders.DispatchToAgents(Event("T", "222", "", {}, 2), 0);
  senders.DispatchToAgents(Event("T", "333", "202", {"127.0.0.2"}, 3), 202);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(3));
  ASSERT_TRUE(pcs.first->WaitForClosed(4));
  ASSERT_TRUE(pcs.second->WaitForClosed(2));

  auto texts = [](const TcpReceiver& pc) {
    std::vector<std::string> all = pc.Texts();
    std::sort(all.begin(), all.end());
    return all;
  };
  EXPECT_EQ(texts(*pcs.first), (std::vector<std::string>{"T|111|0215881234", "T|333|0215881234"}));
  EXPECT_EQ(texts(*pcs.second), (std::vector<std::string>{"T|111|0215881234"}));
  auto program = reporter.program();
  ASSERT_EQ(program.size(), 3u);
  EXPECT_EQ(program[1], std::make_pair(DeviceLogKind::Plain, std::string("IP LIST COUNT: 0")));
  EXPECT_EQ(reporter.telephoneLines().size(), 3u);
  // One outcome per PC a call was for, naming the row that took it.
  auto outcomes = reporter.outcomes();
  std::sort(outcomes.begin(), outcomes.end(),
            [](const Outcome& a, const Outcome& b) { return std::pair(a.callId, a.row) < std::pair(b.callId, b.row); });
  EXPECT_EQ(outcomes, (std::vector<Outcome>{{1, 0, "127.0.0.2", PcOutcome::Sent},
                                            {1, 1, "127.0.0.3", PcOutcome::Sent},
                                            {3, 2, "127.0.0.2", PcOutcome::Sent}}));
}

TEST(SenderTable, ARowThatStayedKeepsItsConnectionAndShowsItsColourOnItsNewPlace) {
  OperatorPair pcs;
  ASSERT_TRUE(pcs.second);
  RecordingReporter reporter;
  FakeTimeLoop time;
  AgentSenders senders(reporter, time.loop, time.timers, time.clock, Timings(pcs.first->port()));
  senders.Follow({{"201", "127.0.0.3"}, {"202", "127.0.0.2"}});  // not started: the rows are only kept
  senders.Start(kPersistentProgPort);
  ASSERT_TRUE(reporter.WaitForColours(kAgentConnected, 2));  // both connections open

  // The row above is deleted: the other one moves up with its open connection.
  senders.Follow({{"202", "127.0.0.2"}});
  ASSERT_TRUE(pcs.second->WaitForClosed(1));
  senders.DispatchToAgents(Event("T", "111", "202", {"127.0.0.2"}, 9), 202);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(1));
  ASSERT_TRUE(pcs.first->WaitFor([](const auto& all) { return !all.empty() && !all[0].chunks.empty(); }));
  EXPECT_EQ(pcs.first->connections().size(), 1u);
  // Its PC drops the connection; the one rebuilt for the next call is shown on row 1.
  pcs.first->CloseConnections();
  ASSERT_TRUE(pcs.first->WaitForClosed(1));
  PauseOver(time);
  senders.DispatchToAgents(Event("H", "111", "202", {"127.0.0.2"}, 10), 202);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(2));
  senders.Stop();

  const std::vector<OperatorState> both{{"201", "127.0.0.3", kNoColour}, {"202", "127.0.0.2", kNoColour}};
  EXPECT_EQ(reporter.followed(),
            (std::vector<std::vector<OperatorState>>{
                both, both, {{"202", "127.0.0.2", kAgentConnected}}, {{"202", "127.0.0.2", kNoColour}}}));
  size_t shownMovedUp = 0;
  for (const auto& c : reporter.colours()) {
    if (c.table == 2) {
      EXPECT_EQ(c.row, 0);
    }
    shownMovedUp += c.table == 2 && c.colour == kAgentConnected;
  }
  EXPECT_EQ(shownMovedUp, 1u);
  EXPECT_EQ(reporter.outcomes(),
            (std::vector<Outcome>{{9, 0, "127.0.0.2", PcOutcome::Sent}, {10, 0, "127.0.0.2", PcOutcome::Sent}}));
}

TEST(SenderTable, RowsBeyondTheCapacityHaveNoSenderUntilTheyMoveUp) {
  TcpReceiver pc("127.0.0.2");
  RecordingReporter reporter(3);
  FakeTimeLoop time;
  AgentSenders senders(reporter, time.loop, time.timers, time.clock, Timings(pc.port()));
  AgentList rows(kAgentSlotCapacity, AgentRow{"300", "127.0.0.9"});  // PCs that refuse
  rows.push_back({"201", "127.0.0.2"});
  StartRows(senders, 7001, rows);
  const StatusLine beyond = StatusLine::Error("[ERR] DEV03 상담원IP 테이블 초과: 201행 중 200행까지만 전송");
  EXPECT_EQ(reporter.statusLines().at(0), beyond);
  senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2"}), 201);  // for nobody

  rows.erase(rows.begin());
  senders.Follow(rows);
  ASSERT_TRUE(pc.WaitForClosed(1));  // the start test of the row's new sender
  senders.DispatchToAgents(Event("T", "222", "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(1));
  senders.Stop();
  EXPECT_EQ(reporter.telephoneLines(),
            std::vector<std::string>{"DEV03: T 222, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:16"});
  const auto lines = reporter.statusLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), beyond), 1);
  EXPECT_EQ(reporter.followed().at(1).size(), 201u);
}

TEST(SenderStop, CutsAPendingConnectShort) {
  OneRow<HangingPc> row(kPersistentProgPort);
  ASSERT_TRUE(row.reporter.WaitForColours(kAgentConnecting, 1));
  auto started = testing::SteadyClock::now();
  row.senders.Stop();
  EXPECT_LT(testing::SteadyClock::now() - started, 30s);
  EXPECT_EQ(ColoursOf(row.reporter), (std::vector<Colour>{kAgentConnecting}));  // nothing after the stop
}

TEST(SenderTimeLimits, AConnectThatHangsFailsAtTheConnectTimeLimit) {
  for (int progPort : {7001, kPersistentProgPort}) {
    OneRow<HangingPc> row(progPort);
    ASSERT_TRUE(row.reporter.WaitForColours(kAgentConnecting, 1));
    row.senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2"}), 201);
    EXPECT_EQ(row.time.timers.NextDue(), kConnectTimeLimit);
    EXPECT_EQ(row.time.timers.Advance(kConnectTimeLimit - 1ms), 0);
    EXPECT_EQ(row.time.timers.Advance(1ms), 1);
    ASSERT_TRUE(row.reporter.WaitForTelephoneLines(1)) << progPort;
    ASSERT_TRUE(row.reporter.WaitForColours(kAgentFailed, 1));
    EXPECT_EQ(row.reporter.telephoneLines(),
              std::vector<std::string>{"DEV01: T 111, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:-1"});
    EXPECT_EQ(ColoursOf(row.reporter), (std::vector<Colour>{kAgentConnecting, kAgentFailed})) << progPort;
  }
}

TEST(SenderTimeLimits, ASendToAPcThatStopsReadingFailsAtTheSendTimeLimitOrAtAStop) {
  // Twice what the sending socket may buffer at most here: the send cannot finish at once.
  const CallEvent large = Event("T", std::string(8 << 20, '1'), "201", {"127.0.0.2"});
  for (int progPort : {7001, kPersistentProgPort}) {
    for (bool stop : {false, true}) {
      SCOPED_TRACE(::testing::Message() << progPort << (stop ? " stopped" : " timed out"));
      SilentPc pc("127.0.0.2");
      RecordingReporter reporter;
      FakeTimeLoop time;
      AgentSenders senders(reporter, time.loop, time.timers, time.clock, Timings(pc.port()));
      StartRows(senders, progPort, {{"201", "127.0.0.2"}});
      UniqueFd connection = pc.Accept();  // the start test, kept in persistent mode
      ASSERT_TRUE(reporter.WaitForColours(kAgentConnected, 1));
      senders.DispatchToAgents(large, 201);
      if (progPort != kPersistentProgPort) connection = pc.Accept();
      ASSERT_TRUE(SilentPc::Readable(connection.get()));  // the notification is under way
      ASSERT_TRUE(time.timers.WaitForArmed(2));           // the probe and the send time limit
      EXPECT_EQ(time.timers.NextDue(), kSendTimeLimit);
      if (stop) {
        senders.Stop();
      } else {
        EXPECT_EQ(time.timers.Advance(kSendTimeLimit - 1ms), 0);
        EXPECT_TRUE(reporter.telephoneLines().empty());
        EXPECT_EQ(time.timers.Advance(1ms), 1);
        ASSERT_TRUE(reporter.WaitForTelephoneLines(1));
      }
      EXPECT_TRUE(reporter.telephoneLines() == std::vector<std::string>{TelephoneLine(1, large, "127.0.0.2", -1)});
    }
  }
}

TEST(PersistentSender, NotificationsFollowEachOtherOnOneConnectionAfterThePause) {
  OneRow<TcpReceiver> row(kPersistentProgPort, true);
  auto& [pc, reporter, time, senders] = row;
  ASSERT_TRUE(reporter.WaitForColours(kAgentConnected, 1));
  for (const char* caller : {"111", "222", "333"})
    senders.DispatchToAgents(Event("T", caller, "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(1));
  for (size_t sent = 2; sent <= 3; ++sent) {
    ASSERT_TRUE(time.timers.WaitForArmed(2));  // the probe and the pause
    EXPECT_EQ(time.timers.NextDue(), kPersistentGap);
    EXPECT_EQ(time.timers.Advance(kPersistentGap - 1ms), 0);
    EXPECT_EQ(reporter.telephoneLines().size(), sent - 1);
    EXPECT_EQ(time.timers.Advance(1ms), 1);
    ASSERT_TRUE(reporter.WaitForTelephoneLines(sent));
  }
  ASSERT_TRUE(pc.WaitFor([](const auto& all) { return !all.empty() && all[0].Text().size() >= 48; }));

  auto connections = pc.connections();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0].Text(), "T|111|0215881234T|222|0215881234T|333|0215881234");
  EXPECT_EQ(reporter.telephoneLines()[2], "DEV01: T 333, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:16");
}

TEST(PersistentSender, OperatorDownDropsEventsAndReconnectsWithTheNextEvent) {
  OneRow<TcpReceiver> row(kPersistentProgPort, false);
  auto& [pc, reporter, time, senders] = row;
  ASSERT_TRUE(reporter.WaitForColours(kAgentFailed, 1));

  senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(reporter.WaitForColours(kAgentFailed, 2));  // this event's connect failed: dropped
  pc.Listen();
  senders.DispatchToAgents(Event("T", "222", "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(2));
  ASSERT_TRUE(pc.WaitFor([](const auto& all) { return !all.empty() && !all[0].chunks.empty(); }));
  EXPECT_EQ(pc.connections()[0].Text(), "T|222|0215881234");
  EXPECT_EQ(reporter.telephoneLines(),
            (std::vector<std::string>{"DEV01: T 111, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:-1",
                                      "DEV01: T 222, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:16"}));
  EXPECT_EQ(ColoursOf(reporter), (std::vector<Colour>{kAgentConnecting, kAgentFailed, kAgentConnecting, kAgentFailed,
                                                      kAgentConnecting, kAgentConnected}));
  EXPECT_EQ(reporter.statusLines(),
            (std::vector<StatusLine>{StatusLine::Error("[ERR] DEV01 상담원 PC 응답 없음: 127.0.0.2 (111)", 111),
                                     StatusLine::Warning("[WARN] DEV01 상담원 PC 연결 복구: 127.0.0.2")}));
}

TEST(PersistentSender, RetriesAfterTheProbeIntervalWhileIdle) {
  OneRow<TcpReceiver> row(kPersistentProgPort, false);
  auto& [pc, reporter, time, senders] = row;
  ASSERT_TRUE(reporter.WaitForColours(kAgentFailed, 1));
  pc.Listen();
  EXPECT_EQ(time.timers.Advance(kProbeInterval - 1ms), 0);
  EXPECT_EQ(time.timers.Advance(1ms), 1);
  ASSERT_TRUE(reporter.WaitForColours(kAgentConnected, 1));
  ASSERT_TRUE(pc.WaitFor([](const auto& all) { return all.size() == 1; }));
}

TEST(PersistentSender, AModifiedRowsEventsReachItsNewPcNotTheOldConnection) {
  OperatorPair pcs;
  ASSERT_TRUE(pcs.second);
  RecordingReporter reporter;
  FakeTimeLoop time;
  AgentSenders senders(reporter, time.loop, time.timers, time.clock, Timings(pcs.first->port()));
  StartRows(senders, kPersistentProgPort, {{"201", "127.0.0.2"}});
  senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(1));

  senders.Follow({{"201", "127.0.0.3"}});
  ASSERT_TRUE(pcs.first->WaitForClosed(1));
  senders.DispatchToAgents(Event("T", "222", "201", {"127.0.0.3"}), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(2));
  ASSERT_TRUE(pcs.second->WaitFor([](const auto& all) { return all.size() == 1 && !all[0].chunks.empty(); }));
  EXPECT_EQ(pcs.second->connections()[0].Text(), "T|222|0215881234");
  ASSERT_EQ(pcs.first->connections().size(), 1u);
  EXPECT_EQ(pcs.first->connections()[0].Text(), "T|111|0215881234");
  EXPECT_EQ(reporter.telephoneLines()[1], "DEV01: T 222, 701, 0215881234, 201, 127.0.0.3, 09:05:07, SENT:16");
}

TEST(SenderTable, ARowModifiedDuringAConnectSendsItsWaitingAndNewCallsToItsNewPc) {
  for (int progPort : {7001, kPersistentProgPort}) {
    SCOPED_TRACE(progPort);
    // The sender's connect to the old PC hangs while a call waits; the row is modified
    // and given a call meanwhile, and the old PC starts accepting after that.
    HangingPc hanging("127.0.0.2");
    TcpReceiver& oldPc = hanging.pc;
    TcpReceiver newPc("127.0.0.3", true, oldPc.port());
    ASSERT_TRUE(newPc.bound());

    RecordingReporter reporter;
    FakeTimeLoop time;
    AgentSenders senders(reporter, time.loop, time.timers, time.clock, Timings(oldPc.port()));
    StartRows(senders, progPort, {{"201", "127.0.0.2"}});
    ASSERT_TRUE(reporter.WaitForColours(kAgentConnecting, 1));
    senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2"}, 1), 201);
    senders.Follow({{"201", "127.0.0.3"}});
    senders.DispatchToAgents(Event("T", "222", "201", {"127.0.0.3"}, 2), 201);
    oldPc.Listen();

    ASSERT_TRUE(reporter.WaitForTelephoneLines(1));
    if (progPort == kPersistentProgPort) {
      ASSERT_EQ(time.timers.AdvanceWhenDue(kPersistentGap), 1);
    }
    ASSERT_TRUE(reporter.WaitForTelephoneLines(2));
    EXPECT_EQ(reporter.telephoneLines(),
              (std::vector<std::string>{"DEV01: T 111, 701, 0215881234, 201, 127.0.0.3, 09:05:07, SENT:16",
                                        "DEV01: T 222, 701, 0215881234, 201, 127.0.0.3, 09:05:07, SENT:16"}));
    ASSERT_TRUE(newPc.WaitFor([](const auto& all) {
      size_t received = 0;
      for (const auto& c : all) received += c.Text().size();
      return received >= 32;
    }));
    std::string received;
    for (const auto& text : newPc.Texts()) received += text;
    EXPECT_EQ(received, "T|111|0215881234T|222|0215881234");
    for (const auto& connection : oldPc.connections()) EXPECT_EQ(connection.Text(), "");
    // The old PC's connect was given up before it had an outcome, and the new PC is reached.
    EXPECT_EQ(reporter.status(), std::vector<std::string>{});
    // Outcomes name the PC each call was routed to.
    EXPECT_EQ(reporter.outcomes(),
              (std::vector<Outcome>{{1, 0, "127.0.0.2", PcOutcome::Sent}, {2, 0, "127.0.0.3", PcOutcome::Sent}}));
  }
}

// A table rewritten in more than one row (a reload) modified no row: the senders left
// over end, and their waiting calls go to no other operator's PC.
TEST(SenderTable, RowsRewrittenTogetherEndTheirSendersAndDropTheirWaitingCalls) {
  HangingPc hanging("127.0.0.2");
  RecordingReporter reporter;
  FakeTimeLoop time;
  AgentSenders senders(reporter, time.loop, time.timers, time.clock, Timings(hanging.port()));
  StartRows(senders, 7001, {{"201", "127.0.0.2"}, {"202", "127.0.0.2"}});
  ASSERT_TRUE(reporter.WaitForColours(kAgentConnecting, 2));
  senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2"}, 1), 201);
  senders.Follow({{"301", "127.0.0.3"}, {"302", "127.0.0.4"}});
  ASSERT_TRUE(reporter.WaitForTelephoneLines(1));
  EXPECT_EQ(reporter.telephoneLines(),
            std::vector<std::string>{"DEV01: T 111, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:-1"});
  EXPECT_EQ(reporter.outcomes(), (std::vector<Outcome>{{1, -1, "127.0.0.2", PcOutcome::NotSent}}));
  senders.Stop();
}

TEST(PersistentSender, AConnectionTheOperatorClosedIsRebuiltBeforeTheNextSend) {
  OneRow<TcpReceiver> row(kPersistentProgPort, true);
  auto& [pc, reporter, time, senders] = row;
  senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(1));
  ASSERT_TRUE(pc.WaitFor([](const auto& all) { return !all.empty() && !all[0].chunks.empty(); }));
  pc.CloseConnections();
  ASSERT_TRUE(pc.WaitForClosed(1));
  PauseOver(time);

  senders.DispatchToAgents(Event("H", "111", "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(2));
  ASSERT_TRUE(pc.WaitFor([](const auto& all) { return all.size() == 2 && !all[1].chunks.empty(); }));
  EXPECT_EQ(pc.connections()[1].Text(), "H|111|0215881234");
  EXPECT_EQ(reporter.telephoneLines()[1], "DEV01: H 111, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:16");
}

TEST(PersistentSender, CallsWaitingWhenTheClosedConnectionCannotBeRebuiltAreLoggedAsNotSent) {
  auto pc = std::make_unique<TcpReceiver>("127.0.0.2");
  const int port = pc->port();
  RecordingReporter reporter;
  FakeTimeLoop time;
  AgentSenders senders(reporter, time.loop, time.timers, time.clock, Timings(port));
  StartRows(senders, kPersistentProgPort, {{"201", "127.0.0.2"}});
  senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(1));
  ASSERT_TRUE(pc->WaitFor([](const auto& all) { return !all.empty() && !all[0].chunks.empty(); }));
  pc.reset();  // the operator's program quits: its connection closes and its port refuses
  PauseOver(time);

  senders.DispatchToAgents(Event("T", "222", "201", {"127.0.0.2"}), 201);
  senders.DispatchToAgents(Event("H", "222", "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(reporter.WaitForTelephoneLines(3));
  EXPECT_EQ(reporter.telephoneLines(),
            (std::vector<std::string>{"DEV01: T 111, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:16",
                                      "DEV01: T 222, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:-1",
                                      "DEV01: H 222, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:-1"}));
  // A PC that was reached and is no longer.
  EXPECT_EQ(reporter.status(), std::vector<std::string>{"[ERR] DEV01 상담원 PC 응답 없음: 127.0.0.2 (111)"});
}

TEST(SenderStop, CallsStillWaitingAreLoggedAsNotSentWhenTheRowIsRemovedOrTheSendersStop) {
  enum class End { Stop, RowRemoved, RowStaysThenStop };
  for (int progPort : {7001, kPersistentProgPort}) {
    for (End end : {End::Stop, End::RowRemoved, End::RowStaysThenStop}) {
      SCOPED_TRACE(::testing::Message() << progPort << " " << static_cast<int>(end));
      // The sender's connect hangs and the calls wait.
      OneRow<HangingPc> row(progPort);
      ASSERT_TRUE(row.reporter.WaitForColours(kAgentConnecting, 1));
      row.senders.DispatchToAgents(Event("T", "111", "201", {"127.0.0.2"}, 1), 201);
      row.senders.DispatchToAgents(Event("H", "111", "201", {"127.0.0.2"}, 2), 201);
      if (end == End::RowStaysThenStop) {
        // A row added above: the waiting calls stay with their sender.
        row.senders.Follow({{"205", "127.0.0.4"}, {"201", "127.0.0.2"}});
        EXPECT_EQ(row.reporter.telephoneLines(), std::vector<std::string>{});
      }
      if (end == End::RowRemoved)
        row.senders.Follow({});
      else
        row.senders.Stop();
      EXPECT_EQ(row.reporter.telephoneLines(),
                (std::vector<std::string>{"DEV01: T 111, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:-1",
                                          "DEV01: H 111, 701, 0215881234, 201, 127.0.0.2, 09:05:07, SENT:-1"}));
      // The sender had left its row by then.
      EXPECT_EQ(row.reporter.outcomes(), (std::vector<Outcome>{{1, -1, "127.0.0.2", PcOutcome::NotSent},
                                                               {2, -1, "127.0.0.2", PcOutcome::NotSent}}));
    }
  }
}

TEST(SenderWaitLimit, ACallIsGivenUpAtTheWaitLimitAlsoDuringItsConnectAndNeverDeliveredLate) {
  OneRow<HangingPc> row(7001);
  testing::FakeTimers& timers = row.time.timers;
  ASSERT_TRUE(row.reporter.WaitForColours(kAgentConnecting, 1));  // the start test, from 0 s
  timers.Advance(1s);
  std::vector<std::string> expected;
  for (int n = 101; n <= 125; ++n) {
    row.senders.DispatchToAgents(Event("T", std::to_string(n), "201", {"127.0.0.2"}), 201);
    expected.push_back(LineOf(std::to_string(n), -1));
  }
  // Every failed connect takes the front call, the start test's at 3 s and then one
  // every 3 s: 20 calls by 60 s.
  ASSERT_EQ(timers.AdvanceWhenDue(2s), 1);
  for (int n = 2; n <= 20; ++n) ASSERT_EQ(timers.AdvanceWhenDue(kConnectTimeLimit), 1) << n;
  ASSERT_TRUE(row.reporter.WaitForTelephoneLines(20));
  ASSERT_TRUE(timers.WaitForArmed(3));  // the probe, the wait limit and the 21st connect's limit
  // At 61 s the other five have waited the limit, the front one during its connect.
  EXPECT_EQ(timers.Advance(kWaitLimit - 59s), 1);
  ASSERT_TRUE(row.reporter.WaitForTelephoneLines(25));
  EXPECT_EQ(row.reporter.telephoneLines(), expected);
  // That connect ends as a connection test, without a line of its own.
  ASSERT_EQ(timers.AdvanceWhenDue(2s), 1);
  ASSERT_TRUE(row.reporter.WaitForColours(kAgentFailed, 21));

  // The PC comes back: it gets the next call and none of those given up.
  row.pc.pc.Listen();
  row.senders.DispatchToAgents(Event("T", "200", "201", {"127.0.0.2"}), 201);
  ASSERT_TRUE(row.reporter.WaitForTelephoneLines(26));
  ASSERT_TRUE(row.pc.pc.WaitFor([](const auto& all) {
    return std::any_of(all.begin(), all.end(), [](const auto& c) { return c.closed && !c.chunks.empty(); });
  }));
  EXPECT_EQ(row.pc.pc.Texts(), std::vector<std::string>{"T|200|0215881234"});
  EXPECT_EQ(row.reporter.telephoneLines().back(), LineOf("200", 16));
  // One line when the PC is first not reached, one when it is again; none per call.
  EXPECT_EQ(row.reporter.status(), (std::vector<std::string>{"[ERR] DEV01 상담원 PC 응답 없음: 127.0.0.2 (110)",
                                                             "[WARN] DEV01 상담원 PC 연결 복구: 127.0.0.2"}));
}

TEST(SenderWaitLimit, AFullQueuePushesOutItsOldestOnceThePcDoesNotAnswer) {
  for (int progPort : {7001, kPersistentProgPort}) {
    SCOPED_TRACE(progPort);
    OneRow<HangingPc> row(progPort);
    ASSERT_TRUE(row.reporter.WaitForColours(kAgentConnecting, 1));
    std::vector<std::string> expected;
    auto dispatch = [&](size_t count) {
      for (size_t n = 0; n < count; ++n) {
        const std::string caller = std::to_string(1000 + expected.size());
        row.senders.DispatchToAgents(Event("T", caller, "201", {"127.0.0.2"}), 201);
        expected.push_back(LineOf(caller, -1));
      }
    };
    // Nothing is known of the PC during its start test: a burst waits whole. The
    // failed connect then takes the front call, or in persistent mode all of them.
    dispatch(kWaitingLimit + 2);
    const std::vector<SenderQueue> burst = {{201, "127.0.0.2", kWaitingLimit + 2}};
    EXPECT_EQ(QueuesOnceEqual(row.senders, burst), burst);
    ASSERT_EQ(row.time.timers.AdvanceWhenDue(kConnectTimeLimit), 1);
    const size_t taken = progPort == kPersistentProgPort ? kWaitingLimit + 2 : 1;
    ASSERT_TRUE(row.reporter.WaitForTelephoneLines(taken));
    EXPECT_EQ(row.reporter.telephoneLines(), std::vector<std::string>(expected.begin(), expected.begin() + taken));
    const std::vector<SenderQueue> left = {{201, "127.0.0.2", kWaitingLimit + 2 - taken}};
    EXPECT_EQ(QueuesOnceEqual(row.senders, left), left);
    // Now that the PC does not answer, calls beyond the limit push out the oldest.
    dispatch(taken);
    ASSERT_TRUE(row.reporter.WaitForTelephoneLines(taken + 2));
    EXPECT_EQ(row.reporter.telephoneLines(), std::vector<std::string>(expected.begin(), expected.begin() + taken + 2));
    const std::vector<SenderQueue> full = {{201, "127.0.0.2", kWaitingLimit}};
    EXPECT_EQ(QueuesOnceEqual(row.senders, full), full);
    // The rest wait, each to leave once with its line.
    row.senders.Stop();
    EXPECT_EQ(row.reporter.telephoneLines(), expected);
    EXPECT_EQ(row.senders.Queues(), std::vector<SenderQueue>{}) << "no sender runs";
  }
}

}  // namespace
}  // namespace lindra
