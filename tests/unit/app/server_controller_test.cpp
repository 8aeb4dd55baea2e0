#include "app/server_controller.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <mutex>

#include "platform/unique_fd.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace lindra {
namespace {

// Records what the controller says; RunLater keeps the work for the test to run.
class RecordingView final : public ControllerView {
 public:
  void Publish(const ServerEvent& event) override {
    std::lock_guard lock(mutex);
    std::visit(
        Overloaded{
            [this](const event::MessageAdded& e) { lines.push_back(e.line.line); },
            [this](const event::MessageBox& e) { boxes.push_back(e.text); },
            [this](const event::AutoConnectDone& e) { autoConnectDone.emplace_back(e.lastTriedIndex, e.allConnected); },
            [](const auto&) {},
        },
        event);
  }
  void RunLater(std::chrono::milliseconds delay, std::function<void()> work) override {
    std::lock_guard lock(mutex);
    laterDelays.push_back(delay);
    later.push_back(std::move(work));
  }

  std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<std::string> boxes;
  std::vector<std::pair<int, bool>> autoConnectDone;
  std::vector<std::chrono::milliseconds> laterDelays;
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
  testing::TickingClock clock_;
  RecordingView view_;
};

TEST_F(ServerControllerTest, AutomaticPassReportsAFailingSlotOnceThenConnectShowsItsOwnBox) {
  const RefusingPort exchange;
  WriteConfig("[DEVICE01]\r\nDEV_NAME=102\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=" + std::to_string(exchange.port) +
              "\r\n[CLIENT]\r\nPROG_PORT=7001\r\nCENTERID=C1\r\nENCRYPTION=Y\r\n");
  ServerController controller(Options(), view_, clock_);
  ASSERT_TRUE(controller.Start().autoConnectScheduled);
  std::function<void()> autoConnect;
  {
    std::lock_guard lock(view_.mutex);
    ASSERT_EQ(view_.later.size(), 1u);
    EXPECT_EQ(view_.laterDelays.front(), std::chrono::milliseconds(1500));
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
  ASSERT_EQ(controller.Start().problem, ServerController::LoadProblem::None);
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
