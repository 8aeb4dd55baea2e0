#include "notify/tcp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <string>

namespace lindra::net {
namespace {

bool SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

timeval ToTimeval(std::chrono::milliseconds ms) {
  return timeval{static_cast<time_t>(ms.count() / 1000), static_cast<suseconds_t>((ms.count() % 1000) * 1000)};
}

int WaitConnected(int fd, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    if (error != 0) return error;
    // A connect cut short by shutdown() reports no error; only a peer name proves it.
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return ECONNABORTED;
    return 0;
  }
}

}  // namespace

std::optional<sockaddr_in> Ipv4Address(std::string_view dotted, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, std::string(dotted).c_str(), &address.sin_addr) != 1) return std::nullopt;
  return address;
}

int ConnectWithin(int fd, const sockaddr_in& address, std::chrono::milliseconds timeout,
                  std::chrono::milliseconds sendTimeout) {
  if (!SetNonBlocking(fd, true)) return errno;
  int error = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    error = errno == EINPROGRESS ? WaitConnected(fd, timeout) : errno;
  if (error == 0 && !SetNonBlocking(fd, false)) error = errno;
  if (error != 0) return error;
  timeval limit = ToTimeval(sendTimeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  return 0;
}

int SendAll(int fd, std::string_view bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    sent += static_cast<size_t>(n);
  }
  return static_cast<int>(sent);
}

bool PeerHasClosed(int fd) {
  char discard[512];
  // Bounded, so that a peer that keeps sending cannot hold the sender here.
  for (int reads = 0; reads < 64; ++reads) {
    ssize_t n = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n == 0) return true;
    return errno != EAGAIN && errno != EWOULDBLOCK;
  }
  return false;
}

}  // namespace lindra::net
