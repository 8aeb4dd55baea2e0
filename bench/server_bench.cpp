// Whole-server figures, lindra2d against this program on loopback:
//   server_bench latency [CALLS] [RATE]   a LAN exchange's write to the operator PC's
//                                         receipt, per-event mode (p50 / p99 / max)
//   server_bench cti [MESSAGES]           CTI messages that become notifications to
//                                         10 operators per second, and peak memory
//   server_bench idle [SECONDS]           4 slots with 200 operator rows each and no
//                                         calls: CPU and resident memory
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/free_port.h"
#include "platform/unique_fd.h"
#include "server_peers.h"

namespace {

using lindra::bench::Clock;
using namespace std::chrono_literals;
using lindra::UniqueFd;

using lindra::bench::EmptySlots;
using lindra::bench::FreePortOnAll;
using lindra::bench::Listen;
using lindra::bench::Operators;
using lindra::bench::Percentile;
using lindra::bench::PortOf;
using lindra::bench::Server;

int Latency(int calls, double rate) {
  const int progPort = FreePortOnAll(1);
  Operators operators(1, progPort);
  UniqueFd exchange = Listen("127.0.0.1", 0);
  Server server;
  auto slots = EmptySlots(progPort);
  slots[0].modelCode = 102;
  slots[0].lanPort = PortOf(exchange);
  server.Write("did.tbl", "701 0211110000\r\n");
  server.Write("ip.tbl", "201 127.0.0.2\r\n");
  if (!server.Start(slots)) return 1;
  UniqueFd link(accept4(exchange.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!link) return 1;
  std::this_thread::sleep_for(500ms);  // let the sender's start-up connection test pass

  const auto sent = lindra::bench::PlayCalls(link, calls, rate);
  if (sent.empty()) return 1;
  for (int wait = 0; wait < 100 && operators.received() < static_cast<size_t>(calls); ++wait)
    std::this_thread::sleep_for(100ms);
  const std::vector<double> micros = lindra::bench::Latencies(sent, operators.firstArrival());
  std::printf("latency: %zu of %d calls delivered at %.0f calls/s; p50 %.0f us, p99 %.0f us, max %.0f us\n",
              micros.size(), calls, rate, Percentile(micros, 0.50), Percentile(micros, 0.99),
              micros.empty() ? 0.0 : *std::max_element(micros.begin(), micros.end()));
  server.process.Terminate();
  return 0;
}

int CtiThroughput(int messages) {
  const int operatorsCount = 10;
  const int progPort = FreePortOnAll(operatorsCount);
  Operators operators(operatorsCount, progPort);
  Server server;
  const int ctiPort = lindra::FreeTcpPort();
  auto slots = EmptySlots(progPort);
  slots[0].modelCode = 202;
  slots[0].lanPort = ctiPort;
  std::string rows;
  for (int i = 0; i < operatorsCount; ++i) rows += "201 127.0.0." + std::to_string(2 + i) + "\r\n";
  server.Write("did.tbl", "701 0211110000\r\n");
  server.Write("ip.tbl", rows);
  if (!server.Start(slots) || !server.WaitFor("Listen CTI Event")) {
    std::fprintf(stderr, "cti: the server did not start its slot\n");
    return 1;
  }
  std::this_thread::sleep_for(500ms);

  const auto start = Clock::now();
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(ctiPort));
  inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  for (int i = 0; i < messages; ++i) {
    UniqueFd c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(c.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return 1;
    const std::string message = "201,701,0" + std::to_string(3000000000LL + i);
    send(c.get(), message.data(), message.size(), MSG_NOSIGNAL);
  }
  const size_t expected = static_cast<size_t>(messages) * operatorsCount;
  for (int wait = 0; wait < 600 && operators.received() < expected; ++wait) std::this_thread::sleep_for(100ms);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  double cpu = 0;
  long peak = 0, rss = 0;
  server.Usage(cpu, peak, rss);
  std::printf(
      "cti: %d messages -> %zu of %zu notifications in %.2f s: %.0f messages/s, %.0f notifications/s; "
      "server peak RSS %ld KiB\n",
      messages, operators.received(), expected, seconds, messages / seconds,
      static_cast<double>(operators.received()) / seconds, peak);
  server.process.Terminate();
  return 0;
}

int Idle(int seconds) {
  Server server;
  // Below the ephemeral range, so that the 800 senders' own connections cannot take
  // a listening port before its slot binds it.
  int basePort = 20000 + static_cast<int>(getpid() % 5000) * 2;
  while (basePort < 32000 && !(Listen("0.0.0.0", basePort) && Listen("0.0.0.0", basePort + 1) &&
                               Listen("0.0.0.0", basePort + 2) && Listen("0.0.0.0", basePort + 3)))
    basePort += 4;
  // Nobody listens on the operator port: the senders' probes are refused at once.
  auto slots = EmptySlots(FreePortOnAll(1));
  for (int i = 0; i < 4; ++i) {
    slots[i].devUse = true;
    slots[i].modelCode = 202;
    slots[i].lanPort = basePort + i;
    std::string rows;
    for (int r = 0; r < 200; ++r) rows += std::to_string(200 + r) + " 127.0.1." + std::to_string(1 + r) + "\r\n";
    const std::string suffix = i == 0 ? "" : std::to_string(i + 1);
    server.Write("did" + suffix + ".tbl", "701 0211110000\r\n");
    server.Write("ip" + suffix + ".tbl", rows);
  }
  if (!server.Start(slots) || !server.WaitFor("DEV04 CTI - Listen CTI Event")) {
    std::fprintf(stderr, "idle: the server did not start its four slots\n");
    return 1;
  }
  std::this_thread::sleep_for(3s);  // the start-up connection tests of 800 senders
  double cpu0 = 0, cpu1 = 0;
  long peak = 0, rss = 0;
  server.Usage(cpu0, peak, rss);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  server.Usage(cpu1, peak, rss);
  std::printf("idle: 4 slots x 200 operator rows, %d s: %.3f s CPU = %.3f %% of one core; RSS %ld KiB\n", seconds,
              cpu1 - cpu0, 100.0 * (cpu1 - cpu0) / seconds, rss);
  server.process.Terminate();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "latency") return Latency(argc > 2 ? std::stoi(argv[2]) : 10000, argc > 3 ? std::stod(argv[3]) : 100);
  if (mode == "cti") return CtiThroughput(argc > 2 ? std::stoi(argv[2]) : 5000);
  if (mode == "idle") return Idle(argc > 2 ? std::stoi(argv[2]) : 30);
  std::fprintf(stderr, "usage: server_bench latency [CALLS] [RATE] | cti [MESSAGES] | idle [SECONDS]\n");
  return 2;
}
