#include "device/device_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "link_test_support.h"
#include "notify/routing_tables.h"
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

// Counts what a channel tells the front end about its slot.
class SlotStateCounter final : public ChannelView {
 public:
  void CallRowsAdded(int, std::vector<CallRow>) override {}
  void AgentStateChanged(int, int, const std::string&, Colour) override {}
  void SlotStateChanged(int) override {
    std::lock_guard lock(mutex_);
    ++slotStateChanges;
    changed_.notify_all();
  }
  bool WaitChanges(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, testing::kPatience, [&] { return slotStateChanges >= count; });
  }

  std::atomic<int> slotStateChanges{0};

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

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
    DeviceChannel channel(2, tables, loop.loop, ChannelEnvironment{});
    channel.Configure(c.config);
    EXPECT_EQ(channel.Start(), LinkResult::Failed(c.expected)) << c.what;
    EXPECT_FALSE(channel.running()) << c.what;
  }
}

TEST(DeviceChannel, AMissingSerialPortLeavesTheSlotNotRunning) {
  testing::FakeTimeLoop loop;
  RoutingTables tables;
  ChannelEnvironment env;
  env.serialPaths["COM3"] = "/nonexistent/lindra-test-tty";
  DeviceChannel channel(1, tables, loop.loop, std::move(env));
  SlotConfig config = Complete(2);
  config.comPort = "COM3";
  channel.Configure(config);
  EXPECT_EQ(channel.Start(), LinkResult::Failed("[ERR] RS232C - CreateFile 실패 ErrNo:2"));
  EXPECT_FALSE(channel.running());
  channel.Stop();  // nothing to stop: no status line is due
}

// Stopping on purpose is reported once as the stop line; only a reader that ends by
// itself tells the front end that the slot changed.
TEST(DeviceChannel, StopIsReportedOnceAndIsNoNewsOfALostLink) {
  testing::FakeTimeLoop loop;
  RoutingTables tables;
  SlotStateCounter view;
  std::mutex mutex;
  std::vector<std::string> statusLines;
  ChannelEnvironment env;
  env.view = &view;
  env.addMessage = [&](const std::string& line) {
    std::lock_guard lock(mutex);
    statusLines.push_back(line);
  };
  env.timers = &loop.timers;
  env.clock = &loop.clock;
  DeviceChannel channel(4, tables, loop.loop, std::move(env));
  SlotConfig config = Complete(202);
  config.lanPort = 0;  // any free port
  channel.Configure(config);
  EXPECT_EQ(channel.Start(), LinkResult::Opened("[WARN] DEV04 CTI - Listen CTI Event : 0"));
  channel.BeginReading();
  EXPECT_TRUE(channel.running());

  channel.Stop();
  channel.Stop();
  EXPECT_FALSE(channel.running());
  EXPECT_EQ(view.slotStateChanges, 0);
  std::lock_guard lock(mutex);
  EXPECT_EQ(statusLines, std::vector<std::string>{"[WARN] CTI Server stopped ----------------------"});
}

// A LAN exchange that goes away: once the announced attempts are used up the slot is
// shown not connected while the link goes on trying, and connected when it is back.
TEST(DeviceChannel, ALinkRetryingInTheBackgroundShowsTheSlotDownUntilItIsBack) {
  UniqueFd exchange = testing::ListenOn(0);
  const int port = testing::PortOf(exchange.get());
  testing::FakeTimeLoop loop;
  RoutingTables tables;
  SlotStateCounter view;
  ChannelEnvironment env;
  env.view = &view;
  env.addMessage = [](const std::string&) {};
  env.timers = &loop.timers;
  env.clock = &loop.clock;
  DeviceChannel channel(1, tables, loop.loop, std::move(env));
  SlotConfig config = Complete(102);
  config.lanPort = port;
  channel.Configure(config);
  ASSERT_EQ(channel.Start(), LinkResult::Opened(text::Format("[WARN] DEV01 Connected PBX : 127.0.0.1, %d", port)));
  channel.BeginReading();
  UniqueFd peer(::accept4(exchange.get(), nullptr, nullptr, SOCK_CLOEXEC));
  exchange.Reset();
  testing::Reset(peer);

  for (int attempt = 0; attempt < 3; ++attempt) EXPECT_EQ(loop.timers.AdvanceWhenDue(1000ms), 1);
  ASSERT_TRUE(view.WaitChanges(1));
  EXPECT_FALSE(channel.running());
  exchange = testing::ListenOn(port);
  EXPECT_EQ(loop.timers.AdvanceWhenDue(1000ms), 1);  // the first quiet attempt
  ASSERT_TRUE(view.WaitChanges(2));
  EXPECT_TRUE(channel.running());
  channel.Stop();
  EXPECT_EQ(view.slotStateChanges, 2);
}

}  // namespace
}  // namespace lindra
