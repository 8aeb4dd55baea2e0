#include "device/device_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>

#include "link_test_support.h"
#include "notify/routing_tables.h"
#include "platform/free_port.h"
#include "text/strings.h"

namespace lindra {
namespace {

using namespace std::chrono_literals;

// A slot whose every setting is present, so each case breaks exactly what it names.
SlotConfig Complete(uint32_t modelCode) {
  SlotConfig c;
  c.devUse = true;
  c.areaCode = "02";
  c.modelCode = modelCode;
  c.comPort = "COM1";
  c.baudRate = 9600;
  c.lanIp = "127.0.0.1";
  c.lanPort = 5100;
  c.progPort = 8001;
  return c;
}

// Records what a channel tells the server about its slot, from any thread.
class ChannelRecorder final : public ChannelView {
 public:
  void Message(int, StatusLine line) override {
    std::lock_guard lock(mutex_);
    messages_.push_back(std::move(line));
  }
  void LinkMessage(int slotNo, StatusLine line) override { Message(slotNo, std::move(line)); }
  void FrameReceived(int) override { ++frames; }
  uint64_t CallTaken(CallRecord call) override {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    changed_.notify_all();
    return 40 + calls_.size();
  }
  void CallOutcome(int, uint64_t, int, const std::string&, PcOutcome) override {}
  void OperatorsFollowed(int, std::vector<OperatorState>) override {}
  void OperatorColour(int, int, Colour) override {}
  void LinkStateChanged(int, LinkState state) override {
    std::lock_guard lock(mutex_);
    states_.push_back(std::move(state));
    changed_.notify_all();
  }
  bool WaitStates(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, testing::kPatience, [&] { return states_.size() >= count; });
  }
  bool WaitCalls(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, testing::kPatience, [&] { return calls_.size() >= count; });
  }
  std::vector<StatusLine> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<LinkState> states() const {
    std::lock_guard lock(mutex_);
    return states_;
  }
  std::vector<CallRecord> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  std::atomic<int> frames{0};

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<StatusLine> messages_;
  std::vector<LinkState> states_;
  std::vector<CallRecord> calls_;
};

using Phase = LinkState::Phase;

// Configuration checks come before anything is opened, in a fixed order, and the
// first that applies is the result.
TEST(DeviceChannel, StartChecksTheConfigurationInOrder) {
  struct Case {
    const char* what;
    SlotConfig config;
    std::string expected;
  };
  auto with = [](uint32_t model, auto change) {
    SlotConfig c = Complete(model);
    change(c);
    return c;
  };
  const Case cases[] = {
      {"no model, all else set", with(0, [](SlotConfig&) {}), "[ERR] Device가 선택되지 않았습니다."},
      {"no model, no program port", with(0, [](SlotConfig& c) { c.progPort = 0; }),
       "[ERR] Device가 선택되지 않았습니다."},
      {"no program port skips the port checks",
       with(2,
            [](SlotConfig& c) {
              c.progPort = 0;
              c.comPort.clear();
            }),
       "[ERR] Program Port가 설정되지 않았습니다."},
      {"serial without port",
       with(5,
            [](SlotConfig& c) {
              c.comPort.clear();
              c.baudRate = 0;
            }),
       "[ERR] Device의 RS232C 연결 포트가 설정되지 않았습니다."},
      {"serial without speed", with(13, [](SlotConfig& c) { c.baudRate = 0; }),
       "[ERR] Device의 RS232C 전송 속도가 설정되지 않았습니다."},
      {"serial ignores the LAN settings",
       with(2,
            [](SlotConfig& c) {
              c.lanIp.clear();
              c.baudRate = -1;
            }),
       "[ERR] Device의 RS232C 전송 속도가 설정되지 않았습니다."},
      {"LAN without address",
       with(102,
            [](SlotConfig& c) {
              c.lanIp.clear();
              c.lanPort = -1;
            }),
       "[ERR] Device의 Lan IP가 설정되지 않았습니다."},
      {"LAN with negative port",
       with(107,
            [](SlotConfig& c) {
              c.lanPort = -1;
              c.comPort.clear();
            }),
       "[ERR] Device의 Lan Port가 설정되지 않았습니다."},
      {"CTI without address", with(202, [](SlotConfig& c) { c.lanIp.clear(); }),
       "[ERR] Device의 Lan IP가 설정되지 않았습니다."},
      {"CTI with negative port", with(202, [](SlotConfig& c) { c.lanPort = -5; }),
       "[ERR] Device의 Lan Port가 설정되지 않았습니다."},
      {"code 1 names no device", with(1, [](SlotConfig&) {}), "[ERR] Device가 선택되지 않았습니다."},
      {"code 101 names no device", with(101, [](SlotConfig&) {}), "[ERR] Device가 선택되지 않았습니다."},
      {"code 201 names no device", with(201, [](SlotConfig&) {}), "[ERR] Device가 선택되지 않았습니다."},
      {"code 1 still needs a program port", with(1, [](SlotConfig& c) { c.progPort = 0; }),
       "[ERR] Program Port가 설정되지 않았습니다."},
  };
  testing::FakeTimeLoop loop;
  for (const Case& c : cases) {
    RoutingTables tables;
    ChannelRecorder view;
    ChannelEnvironment env;
    DeviceChannel channel(2, tables, loop.loop, view, std::move(env));
    channel.Configure(c.config);
    EXPECT_EQ(channel.Start(), LinkResult::Failed(c.expected)) << c.what;
    EXPECT_FALSE(channel.running()) << c.what;
    EXPECT_EQ(view.states(), (std::vector<LinkState>{{Phase::Off, 0, std::nullopt, c.expected}})) << c.what;
  }
}

TEST(DeviceChannel, AMissingSerialPortLeavesTheSlotNotRunning) {
  testing::FakeTimeLoop loop;
  RoutingTables tables;
  ChannelRecorder view;
  ChannelEnvironment env;
  env.serialPaths["COM3"] = "/nonexistent/lindra-test-tty";
  DeviceChannel channel(1, tables, loop.loop, view, std::move(env));
  SlotConfig config = Complete(2);
  config.comPort = "COM3";
  channel.Configure(config);
  const std::string failed = "[ERR] RS232C - CreateFile 실패 ErrNo:2";
  EXPECT_EQ(channel.Start(), LinkResult::Failed(failed, ENOENT));
  EXPECT_FALSE(channel.running());
  channel.Stop();  // nothing to stop: no status line is due
  EXPECT_EQ(view.states(), (std::vector<LinkState>{{Phase::Off, 0, ENOENT, failed}}));
  EXPECT_TRUE(view.messages().empty());
}

// Stopping on purpose is reported once, as the stop line and the state it leaves.
TEST(DeviceChannel, StopIsReportedOnce) {
  testing::FakeTimeLoop loop;
  RoutingTables tables;
  ChannelRecorder view;
  ChannelEnvironment env;
  env.timers = &loop.timers;
  env.clock = &loop.clock;
  DeviceChannel channel(4, tables, loop.loop, view, std::move(env));
  SlotConfig config = Complete(202);
  config.lanPort = 0;  // any free port
  channel.Configure(config);
  EXPECT_EQ(channel.Start(), LinkResult::Opened("[WARN] DEV04 CTI - Listen CTI Event : 0"));
  channel.BeginReading();
  EXPECT_TRUE(channel.running());

  channel.Stop();
  channel.Stop();
  EXPECT_FALSE(channel.running());
  const std::string stopped = "[WARN] CTI Server stopped ----------------------";
  EXPECT_EQ(view.messages(), std::vector<StatusLine>{StatusLine::Warning(stopped)});
  EXPECT_EQ(view.states(),
            (std::vector<LinkState>{{Phase::Connected, 0, std::nullopt, "[WARN] DEV04 CTI - Listen CTI Event : 0"},
                                    {Phase::Off, 0, std::nullopt, stopped}}));
}

// A LAN exchange that goes away: the link state follows the loss and each attempt;
// once the announced attempts are used up the slot is shown not connected while the
// link goes on trying, and connected when it is back.
TEST(DeviceChannel, ALinkRetryingInTheBackgroundShowsTheSlotDownUntilItIsBack) {
  UniqueFd exchange = testing::ListenOn(0);
  const int port = testing::PortOf(exchange.get());
  testing::FakeTimeLoop loop;
  RoutingTables tables;
  ChannelRecorder view;
  ChannelEnvironment env;
  env.timers = &loop.timers;
  env.clock = &loop.clock;
  DeviceChannel channel(1, tables, loop.loop, view, std::move(env));
  SlotConfig config = Complete(102);
  config.lanPort = port;
  channel.Configure(config);
  ASSERT_EQ(channel.Start(), LinkResult::Opened(text::Format("[WARN] DEV01 Connected PBX : 127.0.0.1, %d", port)));
  channel.BeginReading();
  UniqueFd peer(::accept4(exchange.get(), nullptr, nullptr, SOCK_CLOEXEC));
  exchange.Reset();
  testing::Reset(peer);

  ASSERT_TRUE(view.WaitStates(2));
  EXPECT_TRUE(channel.running()) << "announced attempts keep the slot shown connected";
  for (int attempt = 0; attempt < 3; ++attempt) EXPECT_EQ(loop.timers.AdvanceWhenDue(1000ms), 1);
  ASSERT_TRUE(view.WaitStates(5));
  EXPECT_FALSE(channel.running());
  exchange = testing::ListenOn(port);
  EXPECT_EQ(loop.timers.AdvanceWhenDue(1000ms), 1);  // the first quiet attempt
  ASSERT_TRUE(view.WaitStates(6));
  EXPECT_TRUE(channel.running());
  channel.Stop();
  const std::string stopped = "[WARN] CTI Server stopped ----------------------";
  EXPECT_EQ(view.states(),
            (std::vector<LinkState>{
                {Phase::Connected, 0, std::nullopt, text::Format("[WARN] DEV01 Connected PBX : 127.0.0.1, %d", port)},
                {Phase::Retrying, 0, ECONNRESET, "[ERR] recv 실패 : 104"},
                {Phase::Retrying, 1, ECONNREFUSED, "[ERR] connect 실패: 111"},
                {Phase::Retrying, 2, ECONNREFUSED, "[ERR] connect 실패: 111"},
                {Phase::Retrying, 3, ECONNREFUSED, "[ERR] DEV01 연결 재시도 3회 실패. 최대 5초 간격으로 재연결 시도"},
                {Phase::Connected, 0, std::nullopt, text::Format("[WARN] DEV01 Reconnected PBX : 127.0.0.1, %d", port)},
                {Phase::Off, 0, std::nullopt, stopped}}));
  // The lines carry the numbers they show.
  const std::vector<StatusLine> messages = view.messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[0], StatusLine::Error("[ERR] recv 실패 : 104", ECONNRESET));
  EXPECT_EQ(messages[1], StatusLine::Error("[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)"));
  EXPECT_EQ(messages[2], StatusLine::Error("[ERR] connect 실패: 111", ECONNREFUSED));
  EXPECT_EQ(messages.back(), StatusLine::Warning(stopped));
}

// Every message that reaches parsing counts as a frame, and every call it makes is
// taken, routed or dropped, with its rows and the operator PCs it waits for.
TEST(DeviceChannel, EachCallIsTakenAsARecordRoutedOrDropped) {
  testing::FakeTimeLoop loop;
  RoutingTables tables;
  tables.SetDids({{"701", "0212345678"}});
  tables.SetAgents({{"201", "127.0.0.9"}, {"201", "127.0.0.8"}});
  ChannelRecorder view;
  ChannelEnvironment env;
  env.timers = &loop.timers;
  env.clock = &loop.clock;
  DeviceChannel channel(3, tables, loop.loop, view, std::move(env));
  SlotConfig config = Complete(202);
  config.lanPort = FreeTcpPort();
  channel.Configure(config);
  ASSERT_TRUE(channel.Start().ok);
  channel.BeginReading();
  const std::string messages[] = {"201,701,0101234567", "201,999,0101234567"};  // extension, trunk, caller
  for (size_t i = 0; i < std::size(messages); ++i) {
    UniqueFd client = testing::ConnectTo(config.lanPort);
    ASSERT_TRUE(WriteAll(client.get(), messages[i]));
    ASSERT_TRUE(view.WaitCalls(i + 1));
  }
  channel.Stop();
  EXPECT_EQ(view.frames, 2);
  const std::vector<CallRecord> calls = view.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].slotNo, 3);
  EXPECT_EQ(calls[0].routing, CallRouting::Routed);
  EXPECT_EQ(calls[0].event.didNumber, "0212345678");
  EXPECT_EQ(calls[0].rows.size(), 2u);
  EXPECT_EQ(calls[0].pcs,
            (std::vector<PcDelivery>{{"127.0.0.9", PcOutcome::Waiting}, {"127.0.0.8", PcOutcome::Waiting}}));
  EXPECT_EQ(calls[1].routing, CallRouting::UnknownTrunk);
  EXPECT_EQ(calls[1].event.trunk, "999");
  EXPECT_EQ(calls[1].rows.size(), 1u);
  EXPECT_TRUE(calls[1].pcs.empty());
  EXPECT_TRUE(calls[1].ReachedNobody());
}

}  // namespace
}  // namespace lindra
