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

LanLink::LanLink(LinkTimings timings) : timings_(timings) {}

LanLink::~LanLink() { Stop(); }

std::string LanLink::Start(int deviceNo, const std::string& lanIp, int lanPort) {
  Stop();
  gate_.Arm();
  connected_ = false;
  deviceNo_ = deviceNo;
  lanIp_ = lanIp;
  lanPort_ = lanPort;
  policy_ = ReconnectPolicy({kAnnouncedAttempts, timings_.retryPauseMs, timings_.quietRetryPauseMs});
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

void LanLink::Run(const LinkHandlers& handlers) {
  if (!gate_.Enter()) return;
  if (!connected_) {
    gate_.Leave();
    return;
  }
  std::array<char, kChunkBytes> chunk;
  for (;;) {
    if (gate_.WaitFor(socket_.get(), POLLIN, -1) == RunGate::Wait::Stop) break;
    const ssize_t n = ::recv(socket_.get(), chunk.data(), chunk.size(), 0);
    if (n > 0) {
      policy_.BytesReceived();
      handlers.chunk(std::string_view(chunk.data(), static_cast<size_t>(n)));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (gate_.stopRequested()) break;
    // An orderly close is a loss like any other: the slot must not look connected
    // while nothing can arrive.
    const int error = n == 0 ? kOrderlyCloseError : errno;
    socket_.Reset();
    connected_ = false;
    handlers.event(LinkEvent::StreamCut);
    if (!Reconnect(policy_.Lost(error), handlers)) break;
  }
  connected_ = false;
  if (gate_.Leave()) socket_.Reset();
}

bool LanLink::Reconnect(ReconnectPolicy::Step step, const LinkHandlers& handlers) {
  for (;;) {
    Follow(step, handlers);
    if (gate_.Pause(step.pauseMs)) return false;
    Follow(policy_.AttemptBegins(), handlers);
    socket_ = NewStreamSocket();
    if (!socket_) {
      handlers.status(text::Format("[ERR] socket 실패: %d", errno));
      return false;
    }
    const int error = Connect(socket_.get());
    if (gate_.stopRequested()) return false;
    if (error == 0) {
      connected_ = true;
      Follow(policy_.Connected(), handlers);
      return true;
    }
    socket_.Reset();
    step = policy_.AttemptFailed(error);
  }
}

void LanLink::Follow(const ReconnectPolicy::Step& step, const LinkHandlers& handlers) const {
  using Kind = ReconnectPolicy::NoticeKind;
  for (const ReconnectPolicy::Notice& notice : step.notices) {
    switch (notice.kind) {
      case Kind::Lost:
        handlers.status(text::Format("[ERR] recv 실패 : %d", notice.value));
        break;
      case Kind::Attempt:
        handlers.status(text::Format("[ERR] 기존 연결 에러/종료됨. 연결 재시도(%d회)", notice.value));
        break;
      case Kind::AttemptFailed:
        handlers.status(text::Format("[ERR] connect 실패: %d", notice.value));
        break;
      case Kind::GaveUp:
        handlers.status(text::Format("[ERR] DEV0%d 연결 재시도 %d회 실패. %d초마다 재연결 시도", deviceNo_,
                                     kAnnouncedAttempts, (timings_.quietRetryPauseMs + 999) / 1000));
        break;
      case Kind::Back:
        handlers.status(text::Format("[WARN] DEV0%d Reconnected PBX : %s, %d", deviceNo_, lanIp_.c_str(), lanPort_));
        break;
    }
  }
  if (step.shown == ReconnectPolicy::Shown::Down) handlers.event(LinkEvent::Down);
  if (step.shown == ReconnectPolicy::Shown::Up) handlers.event(LinkEvent::Up);
}

void LanLink::Stop() {
  if (gate_.RequestStop()) socket_.Reset();
  connected_ = false;
}

}  // namespace lindra
