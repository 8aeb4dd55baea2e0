#pragma once
// Peers and a reporter for the notification tests: a recording SlotReporter, and
// TCP / UDP receivers on loopback addresses that play operator PCs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "notify/slot_reporter.h"
#include "platform/event_loop.h"
#include "platform/unique_fd.h"
#include "support/fake_timers.h"

namespace lindra::testing {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Waits on `cv` until `ready` holds, for at most `limit`; generous by default.
template <typename Pred>
bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Pred ready,
               std::chrono::milliseconds limit = 10s) {
  return cv.wait_for(lock, limit, ready);
}

class RecordingReporter final : public SlotReporter {
 public:
  struct AgentColour {
    size_t table;  // of followed(): the rows the reporter had last heard of
    int row;
    Colour colour;
  };
  struct Outcome {
    uint64_t callId;
    int row;
    std::string ip;
    PcOutcome outcome;
    bool operator==(const Outcome&) const = default;
  };
  struct Stamped {
    std::string line;
    SteadyClock::time_point at;
  };

  explicit RecordingReporter(int slot = 1) : slot_(slot) {}

  int slotNo() const override { return slot_; }
  void Message(lindra::StatusLine line) override {
    Add([&] { status_.push_back(std::move(line)); });
  }
  void ProgramLog(DeviceLogKind kind, std::string text) override {
    Add([&] { program_.emplace_back(kind, std::move(text)); });
  }
  void TelephoneLog(std::string line) override {
    Add([&] { telephone_.push_back({std::move(line), SteadyClock::now()}); });
  }
  void OperatorsFollowed(std::vector<OperatorState> rows) override {
    Add([&] { followed_.push_back(std::move(rows)); });
  }
  void OperatorColour(int row, Colour colour) override {
    Add([&] {
      ASSERT_FALSE(followed_.empty()) << "a colour before any rows";
      ASSERT_GE(row, 0);
      ASSERT_LT(static_cast<size_t>(row), followed_.back().size()) << "a colour for a row of another table";
      colours_.push_back({followed_.size() - 1, row, colour});
    });
  }
  void CallOutcome(uint64_t callId, int row, const std::string& ip, PcOutcome outcome) override {
    Add([&] { outcomes_.push_back({callId, row, ip, outcome}); });
  }

  // Waits until `ready` (called under the reporter's lock) holds.
  bool WaitFor(const std::function<bool()>& ready, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return WaitUntil(lock, changed_, ready, limit);
  }
  bool WaitForTelephoneLines(size_t count) {
    return WaitFor([&] { return telephone_.size() >= count; });
  }
  bool WaitForColours(Colour colour, size_t count) {
    return WaitFor([&] { return CountColour(colour) >= count; });
  }

  std::vector<lindra::StatusLine> statusLines() const { return Copy(status_); }
  std::vector<std::string> status() const {
    std::vector<std::string> texts;
    for (const auto& line : statusLines()) texts.push_back(line.text);
    return texts;
  }
  std::vector<std::pair<DeviceLogKind, std::string>> program() const { return Copy(program_); }
  std::vector<Stamped> telephone() const { return Copy(telephone_); }
  std::vector<std::string> telephoneLines() const {
    std::vector<std::string> lines;
    for (const auto& entry : telephone()) lines.push_back(entry.line);
    return lines;
  }
  std::vector<AgentColour> colours() const { return Copy(colours_); }
  std::vector<std::vector<OperatorState>> followed() const { return Copy(followed_); }
  std::vector<Outcome> outcomes() const { return Copy(outcomes_); }
  // Call only from a WaitFor predicate, or through colours().
  size_t CountColour(Colour colour) const {
    size_t n = 0;
    for (const auto& c : colours_) n += c.colour == colour;
    return n;
  }

 private:
  template <typename F>
  void Add(F add) {
    {
      std::lock_guard lock(mutex_);
      add();
    }
    changed_.notify_all();
  }
  template <typename T>
  T Copy(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  const int slot_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<lindra::StatusLine> status_;
  std::vector<std::pair<DeviceLogKind, std::string>> program_;
  std::vector<Stamped> telephone_;
  std::vector<std::vector<OperatorState>> followed_;
  std::vector<AgentColour> colours_;
  std::vector<Outcome> outcomes_;
};

inline sockaddr_in LoopbackAddress(const std::string& ip, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  return address;
}

inline int BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// An operator PC: a TCP listener on a loopback address and a free port that records
// every connection and the chunks received on it. Created refusing (bound, not
// listening: connects are refused) or listening; Listen() switches on.
class TcpReceiver {
 public:
  struct Connection {
    std::vector<std::string> chunks;
    bool closed = false;
    std::string Text() const {
      std::string all;
      for (const auto& c : chunks) all += c;
      return all;
    }
  };

  explicit TcpReceiver(const std::string& ip, bool listening = true, int port = 0, int backlog = 16)
      : backlog_(backlog) {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = LoopbackAddress(ip, port);
    bound_ = ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    port_ = BoundPort(listener_.get());
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) == 0) {
      stopRead_.Reset(pipeFds[0]);
      stopWrite_.Reset(pipeFds[1]);
    }
    if (listening) Listen();
  }
  ~TcpReceiver() {
    if (thread_.joinable()) {
      (void)!::write(stopWrite_.get(), "x", 1);
      thread_.join();
    }
  }

  bool bound() const { return bound_; }
  int port() const { return port_; }

  // Starts accepting; `accept` false keeps the backlog filling without accepting.
  void Listen(bool accept = true) {
    ::listen(listener_.get(), backlog_);
    if (accept) thread_ = std::thread([this] { Run(); });
  }

  // Closes every open connection from the receiving side (an operator program quitting).
  void CloseConnections() { (void)!::write(stopWrite_.get(), "c", 1); }

  bool WaitFor(const std::function<bool(const std::vector<Connection>&)>& ready,
               std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return WaitUntil(
        lock, changed_, [&] { return ready(connections_); }, limit);
  }
  // Waits for `count` connections that the sender has closed.
  bool WaitForClosed(size_t count) {
    return WaitFor([count](const auto& all) {
      size_t closed = 0;
      for (const auto& c : all) closed += c.closed;
      return closed >= count;
    });
  }
  std::vector<Connection> connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }
  // What the connections that carried anything carried, in the order they came.
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& c : connections())
      if (!c.Text().empty()) texts.push_back(c.Text());
    return texts;
  }

 private:
  void Run() {
    std::vector<UniqueFd> clients;
    std::vector<size_t> slots;  // index into connections_ per client
    for (;;) {
      std::vector<pollfd> fds{{stopRead_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
      for (auto& c : clients) fds.push_back({c.get(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 10'000) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        char command = 0;
        if (::read(stopRead_.get(), &command, 1) != 1 || command == 'x') return;
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < clients.size(); ++i) connections_[slots[i]].closed = true;
        clients.clear();
        slots.clear();
        changed_.notify_all();
        continue;
      }
      // Clients first: fds holds exactly the clients that were polled, in order.
      for (size_t i = clients.size(); i-- > 0;) {
        if (!(fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[2048];
        ssize_t n = ::recv(clients[i].get(), buffer, sizeof buffer, 0);
        std::lock_guard lock(mutex_);
        if (n > 0) {
          connections_[slots[i]].chunks.emplace_back(buffer, static_cast<size_t>(n));
        } else {
          connections_[slots[i]].closed = true;
          clients.erase(clients.begin() + static_cast<long>(i));
          slots.erase(slots.begin() + static_cast<long>(i));
        }
        changed_.notify_all();
      }
      if (fds[1].revents & POLLIN) {
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::lock_guard lock(mutex_);
          clients.emplace_back(fd);
          slots.push_back(connections_.size());
          connections_.emplace_back();
          changed_.notify_all();
        }
      }
    }
  }

  const int backlog_;
  UniqueFd listener_;
  UniqueFd stopRead_;
  UniqueFd stopWrite_;
  bool bound_ = false;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Connection> connections_;
};

// An operator PC that accepts connections and never reads what it is sent; its small
// receive buffer soon holds up a large send.
class SilentPc {
 public:
  explicit SilentPc(const std::string& ip) {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int small = 4096;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address = LoopbackAddress(ip, 0);
    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_.get(), 16);
    port_ = BoundPort(listener_.get());
  }
  int port() const { return port_; }
  // The next connection; invalid when none came within 10 s.
  UniqueFd Accept() {
    return UniqueFd(Readable(listener_.get()) ? ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
  }
  // Whether bytes (or the end) came on `fd` within 10 s.
  static bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 10'000) == 1;
  }

 private:
  UniqueFd listener_;
  int port_ = 0;
};

// A UDP socket bound to a loopback address (127.255.255.255 receives broadcasts).
class UdpReceiver {
 public:
  explicit UdpReceiver(const std::string& ip) {
    socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = LoopbackAddress(ip, 0);
    ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    port_ = BoundPort(socket_.get());
  }
  int port() const { return port_; }
  // The next datagram, or "<none>" when nothing came within the limit.
  std::string Receive(std::chrono::milliseconds limit = 10s) {
    pollfd p{socket_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return "<none>";
    char buffer[2048];
    ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, 0);
    return n < 0 ? "<error>" : std::string(buffer, static_cast<size_t>(n));
  }

 private:
  UniqueFd socket_;
  int port_ = 0;
};

}  // namespace lindra::testing
