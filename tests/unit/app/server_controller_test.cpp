#include "app/server_controller.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace lindra {
namespace {

// Each reading is one millisecond later than the one before.
class TickingClock final : public Clock {
 public:
  LocalTime Now() const override {
    const int ms = ticks_++;
    return {2026, 3, 14, 10, ms / 60'000 % 60, ms / 1000 % 60, ms % 1000};
  }
  int64_t SteadyMs() const override { return ticks_; }

 private:
  mutable std::atomic<int> ticks_{0};
};

// Records what the controller says; RunLater keeps the work for the test to run.
class RecordingView final : public ControllerView {
 public:
  void MessageAdded(const std::string& line) override {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  }
  void MessageLogCleared() override {}
  void ShowMessageBox(const std::string& text) override {
    std::lock_guard lock(mutex);
    boxes.push_back(text);
  }
  void CallRowsAdded(int, std::vector<CallRow>) override {}
  void AgentStateChanged(int, int, const std::string&, Colour) override {}
  void SlotStateChanged(int) override {}
  void AutoConnectDone(int lastTriedIndex, bool allConnected) override {
    std::lock_guard lock(mutex);
    autoConnectDone.emplace_back(lastTriedIndex, allConnected);
  }
  void RunLater(int delayMs, std::function<void()> work) override {
    std::lock_guard lock(mutex);
    laterDelays.push_back(delayMs);
    later.push_back(std::move(work));
  }

  std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<std::string> boxes;
  std::vector<std::pair<int, bool>> autoConnectDone;
  std::vector<int> laterDelays;
  std::vector<std::function<void()>> later;
};

// A loopback port that refuses connections: bound, never listened.
struct RefusingPort {
  RefusingPort() : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
  }
  UniqueFd fd;
  int port = 0;
};

class ServerControllerTest : public ::testing::Test {
 protected:
  ServerOptions Options() {
    ServerOptions options;
    options.workDir = dir_.path();
    options.logDir = dir_ / "logs";
    // The start report talks to a statistics server that refuses at once.
    options.statServer = options.configServer = HostPort{"127.0.0.1", refusing_.port};
    options.broadcastAddress = "127.255.255.255";
    return options;
  }
  void WriteConfig(const std::string& text) { std::ofstream(dir_ / "lindra.ini", std::ios::binary) << text; }

  testing::TempDir dir_;
  RefusingPort refusing_;
  TickingClock clock_;
  RecordingView view_;
};

TEST_F(ServerControllerTest, MessageLogKeepsTheNewestLinesStampedAndCut) {
  ServerController controller(Options(), view_, clock_);
  for (int i = 0; i < 25; ++i) controller.AddMessage("line " + std::to_string(i));
  std::vector<std::string> log = controller.MessageLog();
  ASSERT_EQ(log.size(), 20u) << "20 lines until the server is loaded";
  EXPECT_TRUE(std::regex_match(log.front(), std::regex(R"(\[10:00:00\.0\d\d\]line 5)"))) << log.front();
  EXPECT_TRUE(std::regex_match(log.back(), std::regex(R"(\[10:00:00\.0\d\d\]line 24)"))) << log.back();

  // 4096 characters are kept, counted as characters, not bytes.
  std::string longText;
  for (int i = 0; i < 5000; ++i) longText += "가";
  controller.AddMessage(longText);
  const std::string line = controller.MessageLog().back();
  EXPECT_EQ(line.substr(line.find(']') + 1), longText.substr(0, 4096 * std::string("가").size()));
}

TEST_F(ServerControllerTest, LoadedServerKeepsOneHundredLinesStartingWithTheVersion) {
  ServerController controller(Options(), view_, clock_);
  controller.AddMessage("before the load");
  controller.LoadServer();
  std::vector<std::string> log = controller.MessageLog();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log.front().ends_with("][WARN] Starting server... Version:08/10/01")) << log.front();
  for (int i = 0; i < 150; ++i) controller.AddMessage("line " + std::to_string(i));
  log = controller.MessageLog();
  ASSERT_EQ(log.size(), 100u);
  EXPECT_TRUE(log.front().ends_with("]line 50")) << log.front();
  EXPECT_TRUE(log.back().ends_with("]line 149")) << log.back();
}

// Status lines come from every channel thread at once: the front end must see them
// in the log's order, and the log's times never run backwards.
TEST_F(ServerControllerTest, LinesFromManyThreadsReachTheViewInTheLogsOrder) {
  ServerController controller(Options(), view_, clock_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&controller, t] {
      for (int i = 0; i < 2000; ++i) controller.AddMessage("t" + std::to_string(t) + " " + std::to_string(i));
    });
  for (auto& thread : threads) thread.join();

  std::vector<std::string> log = controller.MessageLog();
  std::lock_guard lock(view_.mutex);
  ASSERT_EQ(view_.lines.size(), 8000u);
  const std::vector<std::string> lastSeen(view_.lines.end() - static_cast<long>(log.size()), view_.lines.end());
  EXPECT_EQ(lastSeen, log);
  for (size_t i = 1; i < view_.lines.size(); ++i)
    ASSERT_LT(view_.lines[i - 1].substr(0, 14), view_.lines[i].substr(0, 14)) << "line " << i;
}

TEST_F(ServerControllerTest, AutomaticPassReportsAFailingSlotOnceThenConnectShowsItsOwnBox) {
  const RefusingPort exchange;
  WriteConfig("[DEVICE01]\r\nDEV_NAME=102\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=" + std::to_string(exchange.port) +
              "\r\n[CLIENT]\r\nPROG_PORT=7001\r\nCENTERID=C1\r\nENCRYPTION=Y\r\n");
  ServerController controller(Options(), view_, clock_);
  controller.LoadServer();
  ASSERT_TRUE(controller.StartDecision());
  std::function<void()> autoConnect;
  {
    std::lock_guard lock(view_.mutex);
    ASSERT_EQ(view_.later.size(), 1u);
    EXPECT_EQ(view_.laterDelays.front(), 1500);
    autoConnect = view_.later.front();
  }
  const std::string refused = "[ERR] DEV01 LAN - connect 실패 ErrNo:111";
  autoConnect();
  autoConnect();  // the timer fires once only; a late second tick does nothing
  {
    std::lock_guard lock(view_.mutex);
    EXPECT_EQ(view_.boxes, std::vector<std::string>{"일부 DEVICE가 연결되지 않았습니다."});
    EXPECT_EQ(view_.autoConnectDone, (std::vector<std::pair<int, bool>>{{0, false}}));
    EXPECT_TRUE(view_.lines.back().ends_with("]" + refused)) << view_.lines.back();
  }
  EXPECT_FALSE(controller.autoConnecting());
  EXPECT_FALSE(controller.IsRunning(0));

  controller.ConnectDevice(0);
  std::lock_guard lock(view_.mutex);
  EXPECT_EQ(view_.boxes, (std::vector<std::string>{"일부 DEVICE가 연결되지 않았습니다.", refused}));
}

// A confirmed setup reads the tables again without emptying them first: a file that
// cannot be read leaves the running rows; a slot without a model has none.
TEST_F(ServerControllerTest, ApplyingTheSetupKeepsATableItCannotRead) {
  WriteConfig(
      "[DEVICE01]\r\nDEV_NAME=2\r\n[DEVICE02]\r\nDEV_USE=Y\r\nDEV_NAME=2\r\n"
      "[CLIENT]\r\nPROG_PORT=7001\r\nCENTERID=C1\r\nENCRYPTION=Y\r\n");
  testing::WriteFile(dir_ / "did.tbl", "701 0211110000\r\n");
  testing::WriteFile(dir_ / "ip.tbl", "201 127.0.0.2\r\n");
  testing::WriteFile(dir_ / "did2.tbl", "702 0222220000\r\n");
  ServerController controller(Options(), view_, clock_);
  controller.LoadServer();
  std::filesystem::remove(dir_ / "ip.tbl");
  std::filesystem::remove(dir_ / "did.tbl");
  auto slots = controller.slotConfigs();
  slots[1].modelCode = 0;
  controller.ApplyDeviceSettings(slots);
  EXPECT_EQ(*controller.tables(0).Dids(), (DidList{{"701", "0211110000"}}));
  EXPECT_EQ(*controller.tables(0).Agents(), (AgentList{{"201", "127.0.0.2"}}));
  EXPECT_FALSE(controller.tables(0).broadcastMode());
  EXPECT_TRUE(controller.tables(1).Dids()->empty());
}

}  // namespace
}  // namespace lindra
