// Serial burst latency, lindra2d against this program: back-to-back frames written to
// a pseudo-terminal at the pace of a serial line, each routed to one operator PC on
// loopback; the time from each frame's last byte written to the operator's receipt.
// A frame is handed over at its terminator: where frames end in CR LF (LG) that is a
// character before the line's last byte, so the figures may be a little below zero.
// Usage: serial_burst_bench [FRAMES=20] [BAUD=9600] [MODEL=2] [GAP_MS=0]
//   MODEL: a serial model (7, 12 and 13 report no extension: their calls are
//   broadcast to 127.255.255.255; 12 without zero byte and 13 need GAP_MS > 0, as
//   only a quiet line tells their frames apart)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/lindra_ini.h"
#include "frames/frame_builder.h"
#include "frames/line_pacer.h"
#include "frames/pseudo_terminal.h"
#include "platform/child_process.h"
#include "platform/free_port.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using lindra::UniqueFd;

// One operator PC in per-event mode: one notification per connection, timed at its
// first byte and keyed by its whole text. With udp, the broadcast datagrams of a slot
// without operator table, one notification each.
class OperatorPc {
 public:
  OperatorPc(const char* address, int port, bool udp) : udp_(udp) {
    listener_.Reset(::socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        (!udp && ::listen(listener_.get(), 64) != 0))
      listener_.Reset();
    thread_ = std::thread([this] { Serve(); });
  }
  ~OperatorPc() {
    stop_ = true;
    thread_.join();
  }
  bool listening() const { return listener_.valid(); }
  std::map<std::string, Clock::time_point> arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd pfd{listener_.get(), POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      if (udp_) {
        char datagram[512];
        const ssize_t n = ::recv(listener_.get(), datagram, sizeof datagram, 0);
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        if (n > 0) arrivals_.emplace(std::string(datagram, static_cast<size_t>(n)), now);
        continue;
      }
      UniqueFd c(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      std::string text;
      Clock::time_point first{};
      char buffer[256];
      for (ssize_t n; (n = ::recv(c.get(), buffer, sizeof buffer, 0)) > 0;) {
        if (text.empty()) first = Clock::now();
        text.append(buffer, static_cast<size_t>(n));
      }
      if (text.empty()) continue;  // the sender's connection test
      std::lock_guard lock(mutex_);
      arrivals_.emplace(text, first);
    }
  }

  const bool udp_;
  UniqueFd listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, Clock::time_point> arrivals_;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

bool WaitForLine(lindra::ChildProcess& server, const std::string& text) {
  while (auto line = server.ReadLine(15s))
    if (line->find(text) != std::string::npos) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int baud = argc > 2 ? std::max(50, std::atoi(argv[2])) : 9600;
  const uint32_t model = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 2;
  const auto gap = std::chrono::milliseconds(argc > 4 ? std::max(0, std::atoi(argv[4])) : 0);

  const lindra::sim::PseudoTerminal terminal = lindra::sim::OpenPseudoTerminal();
  if (!terminal.master.valid()) {
    std::perror("openpty");
    return 1;
  }
  const UniqueFd& master = terminal.master;
  const std::string& path = terminal.path;

  // MCID and the CID-1000 boxes report no extension: their slot broadcasts.
  const bool broadcast = model == 7 || model == 12 || model == 13;
  const char* operatorAddress = broadcast ? "127.255.255.255" : "127.0.0.2";
  const int progPort = lindra::FreeTcpPort({"127.0.0.2"});
  OperatorPc operatorPc(operatorAddress, progPort, broadcast);
  if (!operatorPc.listening()) {
    std::fprintf(stderr, "cannot listen on %s:%d\n", operatorAddress, progPort);
    return 1;
  }
  lindra::testing::TempDir dir;
  std::array<lindra::SlotConfig, 4> slots{};
  for (auto& s : slots) s.progPort = progPort;
  slots[0].modelCode = model;
  slots[0].comPort = "COM1";
  slots[0].baudRate = baud;
  const bool callerIdBox = model >= 7;
  const std::string line = callerIdBox ? "1" : "701";
  lindra::testing::WriteFile(dir / "did.tbl", line + " 0211110000\r\n");
  if (!broadcast)
    lindra::testing::WriteFile(dir / "ip.tbl", (callerIdBox ? line : std::string("201")) + " 127.0.0.2\r\n");
  if (!lindra::SaveConfiguration(dir.path(), slots, "C00000")) return 1;
  lindra::ChildProcess server;
  const std::vector<std::string> args = {"--workdir",       dir.path().string(),
                                         "--log-dir",       (dir / "logs").string(),
                                         "--broadcast",     "127.255.255.255",
                                         "--stat-server",   "127.0.0.1:9",
                                         "--config-server", "127.0.0.1:9",
                                         "--codepage",      "UTF-8",
                                         "--serial",        std::string("COM1=") + path};
  if (!server.Start(LINDRA2D_PATH, args, lindra::ChildProcess::Output::Capture,
                    {"XDG_RUNTIME_DIR=" + dir.path().string()}) ||
      !WaitForLine(server, "Connected PBX")) {
    std::fprintf(stderr, "the server did not open the port\n");
    return 1;
  }
  std::this_thread::sleep_for(500ms);  // the sender's start-up connection test

  // Back to back: each frame starts on the line where the previous one ended.
  std::map<std::string, Clock::time_point> lastByte;
  auto start = Clock::now();
  for (int i = 0; i < frames; ++i) {
    lindra::sim::CallSpec call{'T', line, "201", "02" + std::to_string(30000000 + i), "12:00:00", ""};
    const std::string frame = lindra::sim::BuildFrame(model, call);
    const auto written = lindra::sim::WriteAtLineSpeed(master.get(), frame, baud, start);
    if (!written) return 1;
    lastByte["T|" + call.callerNumber + "|0211110000"] = *written;
    start += lindra::sim::LineTime(frame.size(), baud) + gap;
  }
  for (int wait = 0; wait < 100 && operatorPc.arrivals().size() < static_cast<size_t>(frames); ++wait)
    std::this_thread::sleep_for(100ms);

  std::vector<double> millis;
  for (const auto& [text, at] : operatorPc.arrivals())
    if (auto sent = lastByte.find(text); sent != lastByte.end())
      millis.push_back(std::chrono::duration<double, std::milli>(at - sent->second).count());
  std::printf(
      "serial burst: model %u, %d frames back to back at %d baud%s: %zu delivered; "
      "last byte to operator p50 %.1f ms, max %.1f ms\n",
      model, frames, baud, gap.count() ? (", gap " + std::to_string(gap.count()) + " ms").c_str() : "", millis.size(),
      Percentile(millis, 0.5), millis.empty() ? 0.0 : *std::max_element(millis.begin(), millis.end()));
  server.Terminate();
  return 0;
}
