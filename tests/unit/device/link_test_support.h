#pragma once
// Helpers of the link tests: a recorder that the test waits on, and loopback sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/link_handlers.h"
#include "platform/unique_fd.h"
#include "support/fake_timers.h"

namespace lindra::testing {

// Generous: the tests wait on conditions, never for a fixed time.
constexpr auto kPatience = std::chrono::seconds(20);

// Records what a link hands over, from any thread. The cut, down, up and ended
// events go into the status texts as "(cut)", "(down)", "(up)" and "(ended)", so their
// order among the lines shows; the error numbers of the lines, and the events that
// tell how the link's attempts go (retrying, reconnected, ended), are kept apart.
class Recorder {
 public:
  LinkHandlers Handlers() {
    return {.chunk = [this](std::string_view chunk) { Chunk(chunk); },
            .status = [this](StatusLine line) { Status(line.text, line.error); },
            .event = [this](const LinkEvent& event) { Event(event); }};
  }
  void Chunk(std::string_view chunk) {
    std::lock_guard lock(mutex_);
    chunks_.emplace_back(chunk);
    bytes_ += chunk;
    changed_.notify_all();
  }
  void Status(const std::string& text, std::optional<int> error) {
    std::lock_guard lock(mutex_);
    statuses_.push_back(text);
    errors_.push_back(error);
    changed_.notify_all();
  }
  void Event(const LinkEvent& event) {
    using Kind = LinkEvent::Kind;
    std::lock_guard lock(mutex_);
    if (event.kind == Kind::Retrying || event.kind == Kind::Reconnected || event.kind == Kind::Ended)
      progress_.push_back(event);
    static constexpr const char* kShown[] = {"(cut)", "(down)", "(up)", nullptr, nullptr, "(ended)"};
    if (const char* shown = kShown[static_cast<int>(event.kind)]) statuses_.push_back(shown);
    changed_.notify_all();
  }
  bool WaitBytes(size_t count) {
    return Wait([&] { return bytes_.size() >= count; });
  }
  bool WaitStatuses(size_t count) {
    return Wait([&] { return statuses_.size() >= count; });
  }
  std::vector<std::string> chunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
  }
  std::string bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
  }
  std::vector<std::string> statuses() const {
    std::lock_guard lock(mutex_);
    return statuses_;
  }
  // The error number of each status line, in order.
  std::vector<std::optional<int>> errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
  }
  std::vector<LinkEvent> progress() const {
    std::lock_guard lock(mutex_);
    return progress_;
  }

 private:
  bool Wait(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, done);
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> chunks_;
  std::string bytes_;
  std::vector<std::string> statuses_;
  std::vector<std::optional<int>> errors_;
  std::vector<LinkEvent> progress_;
};

inline LinkEvent Retrying(int attempt, int error, std::string text = {}) {
  return {LinkEvent::Kind::Retrying, attempt, error, std::move(text)};
}
inline LinkEvent Reconnected(int attempt, std::string text = {}) {
  return {LinkEvent::Kind::Reconnected, attempt, std::nullopt, std::move(text)};
}

inline sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

inline int PortOf(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

// A listening TCP socket on 127.0.0.1; port 0 picks a free one.
inline UniqueFd ListenOn(int port, int backlog = 16) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = Loopback(port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), backlog) != 0)
    fd.Reset();
  return fd;
}

// A blocking client connected to 127.0.0.1:port, or an empty fd.
inline UniqueFd ConnectTo(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fd.Reset();
  return fd;
}

// Closes a connection with a reset instead of an orderly close.
inline void Reset(UniqueFd& fd) {
  const linger abort{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  fd.Reset();
}

}  // namespace lindra::testing
