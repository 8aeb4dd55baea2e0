#include "device/lan_link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <memory>

#include "text/strings.h"

namespace lindra {
namespace {

UniqueFd NewStreamSocket() { return UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)); }

bool IsHostName(const std::string& lanIp) {
  const unsigned char first = lanIp.empty() ? 0 : static_cast<unsigned char>(lanIp[0]);
  return (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first >= 0x80;
}

void EnableKeepalive(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &LanLink::kKeepIdleS, sizeof(int));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &LanLink::kKeepIntervalS, sizeof(int));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &LanLink::kKeepCount, sizeof(int));
}

}  // namespace

LanLink::~LanLink() { Stop(); }

std::string LanLink::Start(int deviceNo, const std::string& lanIp, int lanPort) {
  Stop();
  gate_.Arm();
  retryCount_ = 0;
  connected_ = false;
  auto socketFailure = [deviceNo](int error) {
    return text::Format("[ERR] DEV0%d LAN - socket 실패 ErrNo:%d", deviceNo, error);
  };
  auto connectFailure = [deviceNo](int error) {
    return text::Format("[ERR] DEV0%d LAN - connect 실패 ErrNo:%d", deviceNo, error);
  };

  UniqueFd socket = NewStreamSocket();
  if (!socket) return socketFailure(errno);
  // A port beyond 16 bits would silently become another port: refuse it instead.
  if (lanPort < 0 || lanPort > 65535) return connectFailure(EINVAL);

  peer_ = {};
  peer_.sin_family = AF_INET;
  peer_.sin_port = htons(static_cast<uint16_t>(lanPort));
  if (IsHostName(lanIp)) {
    // Resolved once: reconnects go to the same address.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(lanIp.c_str(), nullptr, &hints, &found); rc != 0)
      return socketFailure(rc == EAI_SYSTEM ? errno : rc);
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
    if (!found || !found->ai_addr) return connectFailure(EADDRNOTAVAIL);
    peer_.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  } else if (::inet_aton(lanIp.c_str(), &peer_.sin_addr) == 0) {
    // Not an address: never fall back on the all-ones (broadcast) address.
    return connectFailure(EINVAL);
  }

  if (const int error = Connect(socket.get())) return connectFailure(error);
  socket_ = std::move(socket);
  connected_ = true;
  return text::Format("[WARN] DEV0%d Connected PBX : %s, %d", deviceNo, lanIp.c_str(), lanPort);
}

int LanLink::Connect(int fd) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_) != 0) {
    if (errno != EINPROGRESS) return errno;
    switch (gate_.WaitFor(fd, POLLOUT, kConnectTimeoutMs)) {
      case RunGate::Wait::Ready:
        break;
      case RunGate::Wait::Timeout:
        return ETIMEDOUT;
      case RunGate::Wait::Stop:
        return ECANCELED;
      case RunGate::Wait::Error:
        return errno;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    if (error != 0) return error;
  }
  EnableKeepalive(fd);
  return 0;
}

void LanLink::Run(const ChunkHandler& onChunk, const StatusHandler& onStatus) {
  if (!gate_.Enter()) return;
  if (!connected_) {
    gate_.Leave();
    return;
  }
  std::array<char, kChunkBytes> chunk;
  for (;;) {
    // After a failed reconnect the socket is not connected, and a receive on it
    // fails at once.
    int recvError = ENOTCONN;
    if (connected_) {
      if (gate_.WaitFor(socket_.get(), POLLIN, -1) == RunGate::Wait::Stop) break;
      const ssize_t n = ::recv(socket_.get(), chunk.data(), chunk.size(), 0);
      if (n > 0) {
        onChunk(std::string_view(chunk.data(), static_cast<size_t>(n)));
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      // An orderly close is a loss like any other: the slot must not look connected
      // while nothing can arrive.
      recvError = n == 0 ? kOrderlyCloseError : errno;
    }
    if (gate_.stopRequested() || !Reconnect(recvError, onStatus)) break;
  }
  connected_ = false;
  if (gate_.Leave()) socket_.Reset();
}

bool LanLink::Reconnect(int recvError, const StatusHandler& onStatus) {
  onStatus(text::Format("[ERR] recv 실패 : %d", recvError));
  socket_.Reset();
  connected_ = false;
  onStatus(text::Format("[ERR] 기존 연결 에러/종료됨. 연결 재시도(%d회)", retryCount_ + 1));
  socket_ = NewStreamSocket();
  if (!socket_) {
    onStatus(text::Format("[ERR] socket 실패: %d", errno));
    return false;
  }
  const int error = Connect(socket_.get());
  if (gate_.stopRequested()) return false;
  if (error == 0) {
    connected_ = true;
    retryCount_ = 0;
    return true;
  }
  onStatus(text::Format("[ERR] connect 실패: %d", error));
  const bool stopped = gate_.Pause(kRetryPauseMs);
  ++retryCount_;
  return !stopped && retryCount_ < kMaxRetries;
}

void LanLink::Stop() {
  if (gate_.RequestStop()) socket_.Reset();
  connected_ = false;
}

}  // namespace lindra
