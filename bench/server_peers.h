#pragma once
// The peers of the whole-server benchmarks: lindra2d in a temporary folder, and
// operator PCs on loopback that note when each notification arrived. The program
// that includes this names the server with LINDRA2D_PATH.
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "config/lindra_ini.h"
#include "frames/frame_builder.h"
#include "platform/child_process.h"
#include "platform/free_port.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace lindra::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Operator PCs: each accepted connection carries one notification; its arrival time
// is kept under the text received. One thread per PC, as a PC's sender connects once
// at a time.
class Operators {
 public:
  Operators(int count, int port) {
    for (int i = 0; i < count; ++i) {
      UniqueFd listener = Listen(("127.0.0." + std::to_string(2 + i)).c_str(), port);
      if (!listener) std::fprintf(stderr, "cannot listen on 127.0.0.%d:%d\n", 2 + i, port);
      threads_.emplace_back([this, l = std::move(listener)] { Serve(l.get()); });
    }
  }
  ~Operators() {
    stop_ = true;
    for (auto& t : threads_) t.join();
  }
  size_t received() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::map<std::string, Clock::time_point> firstArrival() {
    std::lock_guard lock(mutex_);
    return first_;
  }

 private:
  void Serve(int listener) {
    while (!stop_) {
      pollfd pfd{listener, POLLIN, 0};
      if (poll(&pfd, 1, 100) <= 0) continue;
      UniqueFd c(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
      if (!c) continue;
      std::string text;
      char buffer[256];
      for (ssize_t n; (n = recv(c.get(), buffer, sizeof buffer, 0)) > 0;) text.append(buffer, static_cast<size_t>(n));
      if (text.empty()) continue;  // a probe
      const auto now = Clock::now();
      std::lock_guard lock(mutex_);
      ++count_;
      first_.emplace(text, now);
    }
  }

  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  size_t count_ = 0;
  std::map<std::string, Clock::time_point> first_;
};

struct Server {
  lindra::testing::TempDir dir;
  lindra::ChildProcess process;

  void Write(const std::string& name, const std::string& text) { lindra::testing::WriteFile(dir / name, text); }
  bool Start(const std::array<lindra::SlotConfig, 4>& slots, const std::vector<std::string>& extra = {}) {
    if (!lindra::SaveConfiguration(dir.path(), slots, "C00000")) return false;
    std::vector<std::string> args = {
        "--workdir",       dir.path().string(),     "--log-dir",     (dir / "logs").string(),
        "--broadcast",     "127.255.255.255",       "--stat-server", "127.0.0.1:9",
        "--config-server", "127.0.0.1:9",           "--codepage",    "UTF-8",
        "--state-dir",     (dir / "state").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return process.Start(LINDRA2D_PATH, args, lindra::ChildProcess::Output::Capture);
  }
  bool WaitFor(const std::string& text) {
    while (auto line = process.ReadLine(15s)) {
      if (line->find(text) != std::string::npos) return true;
      if (line->find("[ERR]") != std::string::npos) std::fprintf(stderr, "%s\n", line->c_str());
    }
    return false;
  }
  // CPU seconds and peak / current resident memory of the server.
  void Usage(double& cpuSeconds, long& peakKb, long& rssKb) {
    const ProcessUsage usage = UsageOf(process.pid());
    cpuSeconds = usage.cpuSeconds;
    peakKb = usage.peakKb;
    rssKb = usage.rssKb;
  }
};

inline std::array<lindra::SlotConfig, 4> EmptySlots(int progPort) {
  std::array<lindra::SlotConfig, 4> slots{};
  for (auto& s : slots) {
    s.progPort = progPort;
    s.lanIp = "127.0.0.1";
  }
  return slots;
}

// A port free on the loopback addresses of `operators` PCs, 127.0.0.2 upwards.
inline int FreePortOnAll(int operators) {
  std::vector<std::string> addresses;
  for (int i = 0; i < operators; ++i) addresses.push_back("127.0.0." + std::to_string(2 + i));
  return lindra::FreeTcpPort(addresses);
}

// Plays `calls` LAN-exchange calls (model 102, trunk 701 to extension 201, a caller of
// their own each) at `rate` a second on `link`; the notification each one makes, with
// when its frame was written. Empty when the link broke.
inline std::map<std::string, Clock::time_point> PlayCalls(const UniqueFd& link, int calls, double rate) {
  std::map<std::string, Clock::time_point> sent;
  const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  auto due = Clock::now();
  for (int i = 0; i < calls; ++i) {
    sim::CallSpec call{'T', "701", "201", "0" + std::to_string(3000000000LL + i), "12:00:00", ""};
    const std::string frame = sim::BuildFrame(102, call);
    std::this_thread::sleep_until(due);
    due += interval;
    sent["T|" + call.callerNumber + "|0211110000"] = Clock::now();
    if (::send(link.get(), frame.data(), frame.size(), MSG_NOSIGNAL) < 0) return {};
  }
  return sent;
}

// Microseconds from each frame's write to its notification's arrival.
inline std::vector<double> Latencies(const std::map<std::string, Clock::time_point>& sent,
                                     const std::map<std::string, Clock::time_point>& arrived) {
  std::vector<double> micros;
  for (const auto& [text, at] : arrived)
    if (auto s = sent.find(text); s != sent.end())
      micros.push_back(std::chrono::duration<double, std::micro>(at - s->second).count());
  return micros;
}

}  // namespace lindra::bench
