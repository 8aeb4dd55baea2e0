// lindra2d as a service: what the service manager hears on its notification socket,
// what the journal reads, reloads of the routing tables, and the answers of the
// programs' information modes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <regex>

#include "config/lindra_ini.h"
#include "frames/frame_builder.h"
#include "model/device_model.h"
#include "platform/unique_fd.h"
#include "server_harness.h"
#include "text/strings.h"

namespace lindra::testing {
namespace {

// The service manager's end: a datagram socket at a path, every message kept with
// the time it arrived.
class ManagerSocket {
 public:
  explicit ManagerSocket(std::filesystem::path path) : path_(std::move(path)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.string().copy(address.sun_path, sizeof address.sun_path - 1);
    socket_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  std::string Environment() const { return "NOTIFY_SOCKET=" + path_.string(); }

  struct Message {
    std::string text;
    std::chrono::steady_clock::time_point at;
  };

  // Reads until a message after the previous match begins with `prefix`.
  bool WaitFor(const std::string& prefix, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      for (; cursor_ < messages_.size(); ++cursor_) {
        if (messages_[cursor_].text.starts_with(prefix)) {
          ++cursor_;
          return true;
        }
      }
      pollfd pfd{socket_.get(), POLLIN, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
        ADD_FAILURE() << "no message \"" << prefix << "\"; received:\n" << Received();
        return false;
      }
      char buffer[4096];
      const ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, 0);
      if (n > 0) messages_.push_back({std::string(buffer, static_cast<size_t>(n)), std::chrono::steady_clock::now()});
    }
  }

  std::vector<Message> Messages(const std::string& text) const {
    std::vector<Message> found;
    for (const auto& m : messages_)
      if (m.text == text) found.push_back(m);
    return found;
  }
  std::string Received() const {
    std::string all;
    for (const auto& m : messages_) all += m.text + "\n";
    return all;
  }

 private:
  std::filesystem::path path_;
  UniqueFd socket_;
  std::vector<Message> messages_;
  size_t cursor_ = 0;
};

std::array<SlotConfig, kSlotCount> OneSlot(uint32_t modelCode, int lanPort, int progPort) {
  auto slots = Slots(progPort);
  slots[0].modelCode = modelCode;
  slots[0].lanPort = lanPort;
  return slots;
}

// READY once the slot has been tried, a status line that follows the link, watchdog
// pings well inside the period, a reload bracketed by RELOADING and READY, STOPPING.
TEST(DaemonService, TellsTheServiceManagerItsStateAndFeedsTheWatchdog) {
  ServerHarness server;
  ManagerSocket manager(server.root() / "notify");
  Peer exchange({"exchange", "--model", "102", "--listen", "127.0.0.1:0", "--count", "0", "--hold", "60"});
  ASSERT_TRUE(SaveConfiguration(server.workDir(), OneSlot(102, exchange.port(), ClosedPort()), "C00001"));
  constexpr auto kPeriod = 1000ms;
  server.Start({}, {manager.Environment(), "WATCHDOG_USEC=" + std::to_string(kPeriod.count() * 1000)});

  ASSERT_TRUE(manager.WaitFor("READY=1"));
  ASSERT_TRUE(manager.WaitFor("STATUS=1 slot: 1 connected"));
  // The exchange goes away: the reconnects are refused, and after the last one the
  // slot is down.
  exchange.Stop();
  ASSERT_TRUE(manager.WaitFor("STATUS=1 slot: 0 connected"));
  EXPECT_TRUE(server.WaitFor("[ERR] connect 실패: 111"));
  server.process().Signal(SIGHUP);
  ASSERT_TRUE(manager.WaitFor("RELOADING=1\nMONOTONIC_USEC="));
  ASSERT_TRUE(manager.WaitFor("READY=1"));
  EXPECT_EQ(server.Stop(), 0);
  ASSERT_TRUE(manager.WaitFor("STOPPING=1"));

  // The manager restarts a server whose pings are a period apart; they come every half.
  const auto pings = manager.Messages("WATCHDOG=1");
  ASSERT_GE(pings.size(), 4u) << manager.Received();
  for (size_t i = 1; i < pings.size(); ++i) EXPECT_LT(pings[i].at - pings[i - 1].at, kPeriod) << "ping " << i;
}

// Under the journal the priority leads every line; a link failure's line names what
// its message-log text leaves out.
TEST(DaemonService, JournalLinesCarryTheirPriorityAndLinkFailuresTheirDetail) {
  ServerHarness server;
  const int closedPort = ClosedPort();
  ASSERT_TRUE(SaveConfiguration(server.workDir(), OneSlot(102, closedPort, ClosedPort()), "C00001"));
  server.Start({"--journal"});
  ASSERT_TRUE(server.WaitFor("일부 DEVICE가 연결되지 않았습니다."));
  EXPECT_EQ(server.Stop(), 0);

  // "<N>" and the text, without the "[HH:MM:SS.mmm]" between them.
  auto withoutTime = [](const std::string& line) { return line.substr(0, 3) + line.substr(line.find(']') + 1); };
  const auto& lines = server.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(withoutTime(lines[0]), "<4>[WARN] Starting server... Version:08/10/01");
  const std::string failure =
      "<3>[ERR] DEV01 LAN - connect 실패 ErrNo:111 (DEV01 model 102 (삼성 DCS 828(816i) LAN), "
      "127.0.0.1:" +
      std::to_string(closedPort) + ": Connection refused)";
  int failures = 0;
  for (const auto& line : lines) failures += line.starts_with("<3>[") && withoutTime(line) == failure;
  EXPECT_EQ(failures, 1) << server.Printed();
  EXPECT_EQ(server.CountLines("<4>일부 DEVICE가 연결되지 않았습니다."), 1);
}

// The exchange's end of a LAN link, played by the test so that each call leaves
// exactly when the test says.
class ExchangeEnd {
 public:
  ExchangeEnd() {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&at), length), 0);
    EXPECT_EQ(::listen(listener_.get(), 1), 0);
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.sin_port);
  }
  int port() const { return port_; }

  bool Accept(std::chrono::milliseconds timeout = 10s) {
    pollfd pfd{listener_.get(), POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) return false;
    link_.Reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    return link_.valid();
  }
  // One answered call of `model` on trunk 701 for extension 201.
  bool Call(uint32_t model, const std::string& callerNumber) {
    return WriteAll(link_.get(), sim::BuildFrame(model, {'T', "701", "201", callerNumber, "09:41:07", ""}));
  }

 private:
  UniqueFd listener_, link_;
  int port_ = 0;
};

// Tables changed on disk and SIGHUP, over a link that stays up: a table that cannot be
// read leaves the running one; an emptied operator table broadcasts, with a socket
// allowed to; operator rows read again notify those operators, with the new DID rows.
TEST(DaemonService, HangUpReloadsTheTablesAndTheNextCallFollowsThem) {
  ServerHarness server;
  ManagerSocket manager(server.root() / "notify");
  const int progPort = FreeTcpPort({"127.0.0.2", "127.0.0.3"});
  Peer operatorA = Operator("127.0.0.2", progPort);
  Peer operatorB = Operator("127.0.0.3", progPort);
  Peer everyone({"operator", "--udp", "--listen", "127.255.255.255:" + std::to_string(progPort), "--seconds", "120"});
  ExchangeEnd exchange;
  ASSERT_TRUE(SaveConfiguration(server.workDir(), OneSlot(102, exchange.port(), progPort), "C00001"));
  server.WriteTables({{"did.tbl", "701 0333330000\r\n"}, {"ip.tbl", "201 127.0.0.2\r\n"}});
  server.Start({}, {manager.Environment()});
  ASSERT_TRUE(exchange.Accept());
  ASSERT_TRUE(manager.WaitFor("READY=1"));
  // READY again once the reload, the senders' change included, is done.
  auto reload = [&server, &manager] {
    server.process().Signal(SIGHUP);
    ASSERT_TRUE(manager.WaitFor("RELOADING=1"));
    ASSERT_TRUE(manager.WaitFor("READY=1"));
  };

  ASSERT_TRUE(exchange.Call(102, "0311110001"));
  ASSERT_EQ(operatorA.Expect("|", 1), 1);

  std::filesystem::remove(server.workDir() / "ip.tbl");
  reload();
  EXPECT_TRUE(server.WaitFor("[ERR] DEV01 상담원IP 테이블 읽기 실패: 2 (ip.tbl)"));
  EXPECT_TRUE(server.WaitFor("[WARN] DEV01 기존 상담원IP 테이블 유지 (1)"));
  ASSERT_TRUE(exchange.Call(102, "0311110002"));
  ASSERT_EQ(operatorA.Expect("|", 2), 2);

  server.WriteTables({{"ip.tbl", ""}});
  reload();
  EXPECT_TRUE(server.WaitFor("[WARN] DEV01 상담원IP 테이블 읽기 완료: ip.tbl (0)"));
  EXPECT_TRUE(server.WaitFor("[WARN] DEV01 Broadcasting으로 전환"));
  ASSERT_TRUE(exchange.Call(102, "0311110003"));
  ASSERT_EQ(everyone.Expect("|", 1), 1);
  EXPECT_TRUE(server.WaitFor("send : 0 -> DID:0333330000, CID:0311110003"));

  server.WriteTables({{"did.tbl", "701 0344440000\r\n"}, {"ip.tbl", "201 127.0.0.3\r\n"}});
  reload();
  EXPECT_TRUE(server.WaitFor("[WARN] DEV01 상담원IP 테이블 읽기 완료: ip.tbl (1)"));
  EXPECT_TRUE(server.WaitFor("[WARN] DEV01 상담원별 전송으로 전환"));
  ASSERT_TRUE(exchange.Call(102, "0311110004"));
  ASSERT_EQ(operatorB.Expect("|", 1), 1);
  EXPECT_EQ(server.Stop(), 0);

  EXPECT_EQ(NotificationTexts(operatorA),
            (std::vector<std::string>{"T|0311110001|0333330000", "T|0311110002|0333330000"}));
  EXPECT_EQ(NotificationTexts(everyone), std::vector<std::string>{"T|0311110003|0333330000"});
  EXPECT_EQ(NotificationTexts(operatorB), std::vector<std::string>{"T|0311110004|0344440000"});
  EXPECT_EQ(server.CountLines("send 실패"), 0) << server.Printed();
  EXPECT_EQ(server.CountLines("Connected PBX"), 1) << "the link stayed up";
}

struct Answer {
  std::string program;
  std::vector<std::string> args;
  std::string printed;
  int status;
};

std::string ModelList() {
  std::string all;
  for (const DeviceModel& model : DeviceModels()) {
    const char* link = model.link == LinkKind::Serial ? "serial" : model.link == LinkKind::Lan ? "LAN" : "CTI";
    all += text::Format("%3u  %-6s  ", model.code, link) + std::string(model.displayName) + "\n";
  }
  return all;
}

// The modes that answer and end: nothing is started, nothing is written.
TEST(DaemonService, InformationModesAnswerAndEnd) {
  ServerHarness server;
  ASSERT_TRUE(SaveConfiguration(server.workDir(), OneSlot(202, 5100, 7001), "C00001"));
  WriteFile(server.workDir() / "did.tbl", "705 0333330000\r\n");
  WriteFile(server.workDir() / "ip.tbl", "203 127.0.0.2\r\n");
  const std::string work = server.workDir().string();
  std::vector<Answer> answers = {
      {LINDRA2D_PATH, {"--version"}, "lindra2d " LINDRA_VERSION "\n", 0},
      {LINDRA_SIM_PATH, {"--version"}, "lindra-sim " LINDRA_VERSION "\n", 0},
      {LINDRA2D_PATH, {"--list-models"}, ModelList(), 0},
      {LINDRA2D_PATH, {"--check-config", "--workdir", work}, "0 errors, 0 warnings\n", 0},
      {LINDRA2D_PATH,
       {"--check-config", "--workdir", work + "/missing"},
       work + "/missing/lindra.ini: error: not found (the server writes a default file, with no device, at its first "
              "start)\n1 error, 0 warnings\n",
       1},
  };
  answers.push_back({WARDEX_PATH, {"--version"}, "Wardex " LINDRA_VERSION "\n", 0});
#ifdef LINDRA2_PATH
  answers.push_back({LINDRA2_PATH, {"--version"}, "lindra2 " LINDRA_VERSION "\n", 0});
#endif
  for (const Answer& answer : answers) {
    ChildProcess program;
    ASSERT_TRUE(program.Start(answer.program, answer.args, ChildProcess::Output::Capture));
    const auto status = program.Wait(10s);
    ASSERT_TRUE(status.has_value()) << answer.args[0];
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == answer.status) << answer.args[0];
    EXPECT_EQ(program.DrainOutput(), answer.printed) << answer.args[0];
  }
  EXPECT_FALSE(std::filesystem::exists(server.workDir() / "missing"));
}

#ifdef LINDRA2_PATH
// The login's autostart entry starts no window next to a running service.
TEST(DaemonService, TheAutostartWindowStandsBackForARunningServer) {
  ServerHarness server;
  server.Start();
  ASSERT_TRUE(server.WaitFor("[WARN] Starting server"));
  ChildProcess window;
  auto args = server.BaseArgs();
  args.push_back("--autostart");
  ASSERT_TRUE(window.Start(LINDRA2_PATH, args, ChildProcess::Output::Capture, {"QT_QPA_PLATFORM=offscreen"}));
  const auto status = window.Wait(20s);
  ASSERT_TRUE(status.has_value()) << "the window started";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  // Other servers on a shared machine may be found first; the number is theirs then.
  const std::regex answer(
      R"(lindra2: a Lindra2 server runs already on this machine \(process \d+\); this login starts none\n)");
  const std::string printed = window.DrainOutput();
  EXPECT_TRUE(std::regex_match(printed, answer)) << printed;
  EXPECT_EQ(server.Stop(), 0);
}
#endif

}  // namespace
}  // namespace lindra::testing
