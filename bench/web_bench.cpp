// The event stream's cost and delay, lindra2d against this program on loopback:
//   web_bench [SECONDS] [RATE] [CLIENTS]   (default 30 s at 50 calls/s, 20 clients)
// A LAN exchange plays calls to one operator PC, once without stream clients and once
// with CLIENTS readers of /api/events attached; both servers serve the console. It
// prints the exchange-to-operator latency of both runs and their ratio, and the stream
// delay: the exchange's write of a call to a client's receipt of its call event (the
// server's event comes after the frame is read, so this bounds its delay from above).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/free_port.h"
#include "platform/unique_fd.h"
#include "server_peers.h"

namespace {

using namespace std::chrono_literals;
using lindra::UniqueFd;
using lindra::bench::Clock;
using lindra::bench::Percentile;

UniqueFd ConnectTo(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return {};
  return fd;
}

// One reader of the event stream: the response's body (chunked or not) split into
// events; each call event's caller is noted with when it arrived.
class StreamClient {
 public:
  explicit StreamClient(int port) : fd_(ConnectTo(port)) {
    const std::string request =
        "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nAccept: text/event-stream\r\n\r\n";
    if (fd_) ::send(fd_.get(), request.data(), request.size(), MSG_NOSIGNAL);
  }
  int fd() const { return fd_.get(); }
  bool attached() const { return attached_; }
  const std::map<std::string, Clock::time_point>& calls() const { return calls_; }

  // Reads what is there; false when the stream ended.
  bool Read() {
    char buffer[65536];
    const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    const auto now = Clock::now();
    raw_.append(buffer, static_cast<size_t>(n));
    if (!headersDone_) {
      const size_t end = raw_.find("\r\n\r\n");
      if (end == std::string::npos) return true;
      chunked_ = raw_.substr(0, end).find("chunked") != std::string::npos;
      raw_.erase(0, end + 4);
      headersDone_ = true;
    }
    Unframe();
    for (size_t end; (end = body_.find("\n\n")) != std::string::npos; body_.erase(0, end + 2))
      Event(body_.substr(0, end), now);
    return true;
  }

 private:
  void Unframe() {
    if (!chunked_) {
      body_ += raw_;
      raw_.clear();
      return;
    }
    while (true) {
      if (chunkLeft_ == 0) {
        const size_t line = raw_.find("\r\n");
        if (line == std::string::npos) return;
        if (line == 0) {  // the CR LF that ends a chunk's data
          raw_.erase(0, 2);
          continue;
        }
        chunkLeft_ = std::stoul(raw_.substr(0, line), nullptr, 16);
        raw_.erase(0, line + 2);
        if (chunkLeft_ == 0) return;
      }
      const size_t take = std::min(chunkLeft_, raw_.size());
      if (take == 0) return;
      body_.append(raw_, 0, take);
      raw_.erase(0, take);
      chunkLeft_ -= take;
    }
  }

  void Event(const std::string& event, Clock::time_point at) {
    if (event.starts_with("event: snapshot")) attached_ = true;
    if (!event.starts_with("event: call\n")) return;
    const std::string key = "\"caller\":\"";
    const size_t from = event.find(key);
    if (from == std::string::npos) return;
    const size_t to = event.find('"', from + key.size());
    calls_.emplace(event.substr(from + key.size(), to - from - key.size()), at);
  }

  UniqueFd fd_;
  std::string raw_, body_;
  bool headersDone_ = false, chunked_ = false, attached_ = false;
  size_t chunkLeft_ = 0;
  std::map<std::string, Clock::time_point> calls_;
};

// The clients, read by one thread with poll, as a browser's reads cost the server the
// same whoever makes them.
class StreamClients {
 public:
  StreamClients(int count, int port) {
    for (int i = 0; i < count; ++i) clients_.push_back(std::make_unique<StreamClient>(port));
    thread_ = std::thread([this] { Serve(); });
  }
  ~StreamClients() {
    stop_ = true;
    thread_.join();
  }
  bool WaitAttached(std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      {
        std::lock_guard lock(mutex_);
        bool all = true;
        for (const auto& c : clients_) all = all && c->attached();
        if (all) return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  size_t Received(size_t calls) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& c : clients_) n += std::min(calls, c->calls().size());
    return n;
  }
  // Microseconds from each call's write to each client's receipt of its event.
  std::vector<double> Delays(const std::map<std::string, Clock::time_point>& sent) {
    std::lock_guard lock(mutex_);
    std::vector<double> micros;
    for (const auto& c : clients_)
      for (const auto& [caller, at] : c->calls())
        if (auto s = sent.find("T|" + caller + "|0211110000"); s != sent.end())
          micros.push_back(std::chrono::duration<double, std::micro>(at - s->second).count());
    return micros;
  }

 private:
  void Serve() {
    std::vector<pollfd> fds;
    for (const auto& c : clients_) fds.push_back({c->fd(), POLLIN, 0});
    while (!stop_) {
      if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
      std::lock_guard lock(mutex_);
      for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents && !clients_[i]->Read()) fds[i].fd = -1;
    }
  }

  std::vector<std::unique_ptr<StreamClient>> clients_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::thread thread_;
};

struct RunFigures {
  std::vector<double> latency;  // exchange to operator, us
  std::vector<double> delay;    // exchange to stream client, us
  size_t delivered = 0, streamed = 0;
};

bool Run(int calls, double rate, int clientCount, RunFigures& figures) {
  const int progPort = lindra::bench::FreePortOnAll(1);
  lindra::bench::Operators operators(1, progPort);
  UniqueFd exchange = lindra::bench::Listen("127.0.0.1", 0);
  const int httpPort = lindra::FreeTcpPort();
  lindra::bench::Server server;
  auto slots = lindra::bench::EmptySlots(progPort);
  slots[0].modelCode = 102;
  slots[0].lanPort = lindra::bench::PortOf(exchange);
  server.Write("did.tbl", "701 0211110000\r\n");
  server.Write("ip.tbl", "201 127.0.0.2\r\n");
  if (!server.Start(slots, {"--http", "127.0.0.1:" + std::to_string(httpPort)})) return false;
  UniqueFd link(::accept4(exchange.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!link) return false;
  for (int wait = 0; wait < 100 && !ConnectTo(httpPort); ++wait) std::this_thread::sleep_for(50ms);
  std::optional<StreamClients> clients;
  if (clientCount > 0) {
    clients.emplace(clientCount, httpPort);
    if (!clients->WaitAttached(10s)) {
      std::fprintf(stderr, "web_bench: the stream clients did not get their snapshot\n");
      return false;
    }
  }
  std::this_thread::sleep_for(500ms);  // let the sender's start-up connection test pass

  const auto sent = lindra::bench::PlayCalls(link, calls, rate);
  if (sent.empty()) return false;
  const size_t streamed = static_cast<size_t>(calls) * static_cast<size_t>(clientCount);
  for (int wait = 0; wait < 100 && (operators.received() < static_cast<size_t>(calls) ||
                                    (clients && clients->Received(calls) < streamed));
       ++wait)
    std::this_thread::sleep_for(100ms);
  figures.latency = lindra::bench::Latencies(sent, operators.firstArrival());
  figures.delivered = figures.latency.size();
  if (clients) {
    figures.delay = clients->Delays(sent);
    figures.streamed = figures.delay.size();
  }
  clients.reset();
  server.process.Terminate();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::stod(argv[1]) : 30;
  const double rate = argc > 2 ? std::stod(argv[2]) : 50;
  const int clientCount = argc > 3 ? std::stoi(argv[3]) : 20;
  const int calls = static_cast<int>(seconds * rate);
  RunFigures alone, watched;
  if (!Run(calls, rate, 0, alone) || !Run(calls, rate, clientCount, watched)) {
    std::fprintf(stderr, "web_bench: a run did not complete\n");
    return 1;
  }
  auto ms = [](const std::vector<double>& v, double p) { return Percentile(v, p) / 1000.0; };
  std::printf("%d calls at %.0f calls/s (%.0f s)\n", calls, rate, seconds);
  std::printf("exchange to operator, no stream clients: %zu delivered; p50 %.2f ms, p99 %.2f ms\n", alone.delivered,
              ms(alone.latency, 0.50), ms(alone.latency, 0.99));
  std::printf("exchange to operator, %d stream clients: %zu delivered; p50 %.2f ms, p99 %.2f ms\n", clientCount,
              watched.delivered, ms(watched.latency, 0.50), ms(watched.latency, 0.99));
  std::printf("ratio with / without clients: p50 x%.2f, p99 x%.2f\n",
              ms(watched.latency, 0.50) / std::max(1e-9, ms(alone.latency, 0.50)),
              ms(watched.latency, 0.99) / std::max(1e-9, ms(alone.latency, 0.99)));
  std::printf("stream delay (exchange write to client receipt): %zu of %zu events; p50 %.2f ms, p99 %.2f ms\n",
              watched.streamed, static_cast<size_t>(calls) * static_cast<size_t>(clientCount), ms(watched.delay, 0.50),
              ms(watched.delay, 0.99));
  return 0;
}
