#pragma once
// A raw HTTP server on a loopback address (a free port) for the statistics tests: it
// records every request byte for byte and answers as a handler chooses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "text/strings.h"

namespace lindra::testing {

// The configuration server's two documents.
inline constexpr const char* kTimePath = "/_callRcvStat/BV_Lindra_uploadTime.xml";
inline constexpr const char* kListPath = "/_callRcvStat/BV_Lindra_UpdateList.xml";

struct RecordedRequest {
  std::string head;  // request line and headers, up to and including the empty line
  std::string body;
  std::string raw() const { return head + body; }
  std::string path() const {
    const size_t start = head.find(' ') + 1;
    return head.substr(start, head.find(' ', start) - start);
  }
};

// A bound, listening socket on `address` (of 127.0.0.0/8) with a port chosen by the
// system; the accepted connections get `receiveBuffer` bytes of buffer when it is not 0.
inline UniqueFd ListenOnLoopback(int& port, int receiveBuffer = 0, const char* address = "127.0.0.1") {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd && receiveBuffer > 0) ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address, &addr.sin_addr) != 1 || (ntohl(addr.sin_addr.s_addr) >> 24) != 127) return {};
  socklen_t len = sizeof addr;
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd.get(), 16) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return {};
  port = ntohs(addr.sin_port);
  return fd;
}

// A slow line: the server takes at most `bytes` per read, through a small receive
// buffer, and pauses before the next read.
struct ReadPace {
  size_t bytes = 0;
  std::chrono::milliseconds pause{0};
};

// An answer: a body after a plain "HTTP/1.0 200 OK" head, or a redirect (in HTTP/1.1,
// as web servers answer today).
struct LoopbackReply {
  LoopbackReply(std::string body) : body(std::move(body)) {}  // implicit: a handler may answer with a body alone
  static LoopbackReply Redirect(int status, const std::string& location, std::string body = "moved") {
    LoopbackReply reply(std::move(body));
    reply.statusLine = "HTTP/1.1 " + std::to_string(status) + " Moved";
    reply.location = location;
    return reply;
  }
  std::string statusLine = "HTTP/1.0 200 OK";
  std::string location;
  std::string body;
};

// One thread serves the connections one after another. A request is recorded (and
// waiters woken) before the handler runs; the handler returns the answer, or nullopt
// to close without any reply. Called by the test thread and its own server thread;
// mutex_ guards the record.
class LoopbackHttpServer {
 public:
  using Handler = std::function<std::optional<LoopbackReply>(const RecordedRequest&)>;

  explicit LoopbackHttpServer(Handler handler, std::optional<ReadPace> pace = std::nullopt,
                              const char* address = "127.0.0.1")
      : handler_(std::move(handler)), pace_(pace), wake_(::eventfd(0, EFD_CLOEXEC)) {
    listener_ = ListenOnLoopback(port_, pace ? static_cast<int>(pace->bytes) : 0, address);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackHttpServer() {
    const uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
    thread_.join();
  }

  int port() const { return port_; }
  std::vector<RecordedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Requests whose path is `path`, in arrival order.
  std::vector<RecordedRequest> requestsTo(const std::string& path) const {
    std::vector<RecordedRequest> found;
    for (auto& r : requests())
      if (r.path() == path) found.push_back(r);
    return found;
  }
  bool WaitFor(const std::function<bool(const std::vector<RecordedRequest>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return done(requests_); });
  }

 private:
  // Waits for `fd` to become readable; false when the server is being destroyed.
  bool WaitReadable(int fd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    return ::poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN);
  }

  void Serve() {
    while (WaitReadable(listener_.get())) {
      UniqueFd peer(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!peer) continue;
      std::optional<RecordedRequest> request = Read(peer.get());
      if (!request) continue;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(*request);
      }
      arrived_.notify_all();
      if (const std::optional<LoopbackReply> answer = handler_(*request)) {
        const std::string location = answer->location.empty() ? "" : "Location: " + answer->location + "\r\n";
        const std::string reply = text::Format("%s\r\n%sContent-Length: %zu\r\n\r\n", answer->statusLine.c_str(),
                                               location.c_str(), answer->body.size()) +
                                  answer->body;
        // A client that gave up has closed its end: no SIGPIPE for the test.
        for (size_t sent = 0; sent < reply.size();) {
          const ssize_t n = ::send(peer.get(), reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<size_t>(n);
        }
        ::shutdown(peer.get(), SHUT_WR);
      }
      arrived_.notify_all();
    }
  }

  std::optional<RecordedRequest> Read(int fd) const {
    std::string data;
    size_t headEnd = std::string::npos;
    size_t want = 0;
    char buffer[65536];
    while (headEnd == std::string::npos || data.size() < headEnd + want) {
      if (!WaitReadable(fd)) return std::nullopt;
      const ssize_t n = ::recv(fd, buffer, pace_ ? std::min(pace_->bytes, sizeof buffer) : sizeof buffer, 0);
      if (pace_) std::this_thread::sleep_for(pace_->pause);
      if (n <= 0) return std::nullopt;
      data.append(buffer, static_cast<size_t>(n));
      if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
        headEnd += 4;
        const size_t at = data.find("Content-Length: ");
        if (at != std::string::npos && at < headEnd) want = static_cast<size_t>(text::LeadingInt(data.substr(at + 16)));
      }
    }
    return RecordedRequest{data.substr(0, headEnd), data.substr(headEnd)};
  }

  Handler handler_;
  std::optional<ReadPace> pace_;
  UniqueFd wake_;
  UniqueFd listener_;
  int port_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<RecordedRequest> requests_;
  std::thread thread_;
};

}  // namespace lindra::testing
