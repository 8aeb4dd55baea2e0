// What the operator senders cost: idle CPU and memory of four slots with 200
// operator rows each, and how fast dispatched events reach ten operator PCs.
//
//   notify_bench [IDLE_SECONDS] [EVENTS]      (defaults 10 and 2,000)
//
// Operator PCs are listeners on 127.0.0.2 .. 127.0.0.11 sharing one free port; the
// idle senders all target 127.0.0.2. Everything stays on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "notify/agent_senders.h"
#include "platform/event_loop.h"
#include "platform/timer.h"
#include "platform/unique_fd.h"
#include "text/strings.h"

namespace {

using namespace std::chrono_literals;
using lindra::AgentSenders;
using lindra::CallEvent;
using lindra::Colour;
using lindra::DeviceLogKind;
using lindra::EventLoop;
using lindra::SenderTimings;
using lindra::SteadyTimerMaker;
using lindra::UniqueFd;
using SteadyClock = std::chrono::steady_clock;

class QuietReporter final : public lindra::SlotReporter {
 public:
  int slotNo() const override { return 1; }
  void Message(lindra::StatusLine) override {}
  void ProgramLog(DeviceLogKind, std::string) override {}
  void TelephoneLog(std::string) override { telephone.fetch_add(1); }
  void OperatorsFollowed(std::vector<lindra::OperatorState>) override {}
  void CallOutcome(uint64_t, int, const std::string&, lindra::PcOutcome) override {}
  void OperatorColour(int, Colour colour) override {
    if (colour != lindra::kAgentConnected) return;
    {
      std::lock_guard lock(mutex_);
      ++connected_;
    }
    changed_.notify_all();
  }
  long connected() {
    std::lock_guard lock(mutex_);
    return connected_;
  }
  bool WaitForConnected(long count, std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return connected_ >= count; });
  }
  std::atomic<long> telephone{0};

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long connected_ = 0;
};

// Operator PCs: one listener per address on a common port. Counts notifications
// (non-empty connections, or bytes on kept connections) and wakes a waiter.
class OperatorFarm {
 public:
  OperatorFarm(int count) {
    for (int attempt = 0; attempt < 20 && listeners_.size() < static_cast<size_t>(count); ++attempt) {
      listeners_.clear();
      for (int i = 0; i < count; ++i) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        address.sin_addr.s_addr = htonl(0x7F000002 + i);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd.get(), 1024) != 0)
          break;
        if (i == 0) {
          socklen_t length = sizeof address;
          ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
          port_ = ntohs(address.sin_port);
        }
        listeners_.push_back(std::move(fd));
      }
      if (listeners_.size() < static_cast<size_t>(count)) port_ = 0;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) == 0) {
      stopRead_.Reset(pipeFds[0]);
      stopWrite_.Reset(pipeFds[1]);
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~OperatorFarm() {
    (void)!::write(stopWrite_.get(), "x", 1);
    thread_.join();
  }
  int port() const { return port_; }
  bool ok() const { return port_ != 0; }
  long received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  bool WaitForReceived(long count, std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return received_ >= count; });
  }
  std::vector<SteadyClock::time_point> receiptTimes() {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  struct Client {
    UniqueFd fd;
    size_t bytes = 0;
  };
  void Run() {
    std::vector<Client> clients;
    for (;;) {
      std::vector<pollfd> fds{{stopRead_.get(), POLLIN, 0}};
      for (auto& l : listeners_) fds.push_back({l.get(), POLLIN, 0});
      for (auto& c : clients) fds.push_back({c.fd.get(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 1000) <= 0) continue;
      if (fds[0].revents) return;
      for (size_t i = 1; i <= listeners_.size(); ++i) {
        if (!fds[i].revents) continue;
        int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) clients.push_back({UniqueFd(fd), 0});
      }
      size_t first = 1 + listeners_.size();
      std::vector<size_t> closed;
      for (size_t i = first; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        Client& client = clients[i - first];
        char buffer[4096];
        ssize_t n = ::recv(client.fd.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
          client.bytes += static_cast<size_t>(n);
          continue;
        }
        closed.push_back(i - first);
      }
      std::lock_guard lock(mutex_);
      for (auto it = closed.rbegin(); it != closed.rend(); ++it) {
        if (clients[*it].bytes > 0) {
          ++received_;
          times_.push_back(SteadyClock::now());
        }
        clients.erase(clients.begin() + static_cast<long>(*it));
      }
      if (!closed.empty()) changed_.notify_all();
    }
  }

  int port_ = 0;
  std::vector<UniqueFd> listeners_;
  UniqueFd stopRead_;
  UniqueFd stopWrite_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  long received_ = 0;
  std::vector<SteadyClock::time_point> times_;
};

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long StatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string name;
  long value = 0;
  while (status >> name) {
    if (name == key) {
      status >> value;
      return value;
    }
    std::getline(status, name);
  }
  return -1;
}

CallEvent Event(int n, const std::vector<std::string>& ips) {
  CallEvent event;
  event.kind = "T";
  event.callerNumber = lindra::text::Format("02%08d", n);
  event.trunk = "701";
  event.didNumber = "0215881234";
  event.extension = "201";
  event.agentIps = ips;
  event.receivedTime = "12:00:00";
  return event;
}

void IdleCost(EventLoop& loop, int progPort, int idleSeconds) {
  OperatorFarm farm(1);
  if (!farm.ok()) return (void)std::printf("no free port\n");
  SenderTimings timings;
  timings.portOverride = farm.port();
  std::vector<std::unique_ptr<QuietReporter>> reporters;
  std::vector<std::unique_ptr<AgentSenders>> slots;
  long rssBefore = StatusKiB("VmRSS:");
  for (int s = 0; s < 4; ++s) {
    reporters.push_back(std::make_unique<QuietReporter>());
    slots.push_back(std::make_unique<AgentSenders>(*reporters.back(), loop, SteadyTimerMaker::Instance(),
                                                   lindra::SystemClock::Instance(), timings));
    lindra::AgentList rows;
    for (int row = 0; row < 200; ++row) rows.push_back({std::to_string(200 + row), "127.0.0.2"});
    slots.back()->Follow(rows);
    slots.back()->Start(progPort);
  }
  // Every sender makes its start connection first (bounded wait).
  for (auto& r : reporters) r->WaitForConnected(200, 30s);
  auto connected = [&] {
    long n = 0;
    for (auto& r : reporters) n += r->connected();
    return n;
  };
  std::this_thread::sleep_for(500ms);  // let the start-up work settle before measuring

  double cpuStart = CpuSeconds();
  auto wallStart = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  double cpu = CpuSeconds() - cpuStart;
  std::chrono::duration<double> wall = SteadyClock::now() - wallStart;
  std::printf(
      "idle %-10s 4 x 200 senders (%ld connected): CPU %.4f s over %.1f s = %.3f %% of one core; "
      "RSS +%ld KiB (total %ld KiB), threads %ld\n",
      progPort == lindra::kPersistentProgPort ? "persistent" : "per-event", connected(), cpu, wall.count(),
      100.0 * cpu / wall.count(), StatusKiB("VmRSS:") - rssBefore, StatusKiB("VmRSS:"), StatusKiB("Threads:"));
  auto stopStart = SteadyClock::now();
  for (auto& slot : slots) slot->Stop();
  std::chrono::duration<double, std::milli> stop = SteadyClock::now() - stopStart;
  std::printf("stop of 4 x 200 senders: %.1f ms\n", stop.count());
}

void Throughput(EventLoop& loop, int events) {
  constexpr int kOperators = 10;
  OperatorFarm farm(kOperators);
  if (!farm.ok()) return (void)std::printf("no free port for 10 operators\n");
  QuietReporter reporter;
  SenderTimings timings;
  timings.portOverride = farm.port();
  AgentSenders senders(reporter, loop, SteadyTimerMaker::Instance(), lindra::SystemClock::Instance(), timings);
  std::vector<std::string> ips;
  lindra::AgentList rows;
  for (int i = 0; i < kOperators; ++i) {
    ips.push_back(lindra::text::Format("127.0.0.%d", 2 + i));
    rows.push_back({"201", ips.back()});
  }
  senders.Follow(rows);
  senders.Start(7001);
  reporter.WaitForConnected(kOperators, 10s);

  // Latency: one event at a time, dispatch to receipt by all ten operators.
  std::vector<double> latencies;
  long expected = 0;
  for (int i = 0; i < std::min(events, 1000); ++i) {
    auto start = SteadyClock::now();
    senders.DispatchToAgents(Event(i, ips), 201);
    expected += kOperators;
    if (!farm.WaitForReceived(expected, 10s)) break;
    latencies.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty())
    std::printf(
        "latency dispatch -> received by all 10 (per-event, %zu events): p50 %.0f us, p99 %.0f us, max %.0f us\n",
        latencies.size(), latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100], latencies.back());

  // Throughput: a burst of events, each to all ten operators.
  long before = farm.received();
  auto start = SteadyClock::now();
  for (int i = 0; i < events; ++i) senders.DispatchToAgents(Event(i, ips), 201);
  bool all = farm.WaitForReceived(before + static_cast<long>(events) * kOperators, 120s);
  std::chrono::duration<double> elapsed = SteadyClock::now() - start;
  long delivered = farm.received() - before;
  std::printf(
      "throughput: %d events x 10 operators: %ld notifications in %.2f s = %.0f notifications/s%s; "
      "max RSS %ld KiB\n",
      events, delivered, elapsed.count(), delivered / elapsed.count(), all ? "" : " (incomplete)", StatusKiB("VmHWM:"));
}

}  // namespace

int main(int argc, char** argv) {
  int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  int events = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2000;
  std::printf("notify_bench on %u cores\n", std::thread::hardware_concurrency());
  // The senders run on one loop, as in the server.
  EventLoop loop;
  loop.Start();
  IdleCost(loop, 7001, idleSeconds);
  IdleCost(loop, lindra::kPersistentProgPort, idleSeconds);
  Throughput(loop, events);
  return 0;
}
