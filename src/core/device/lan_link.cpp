#include "device/lan_link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <future>

#include "device/reconnect_policy.h"
#include "platform/resolver.h"
#include "text/strings.h"

namespace lindra {
namespace {

using std::chrono::milliseconds;

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

// One configured exchange and the connection to it, from Start to Stop. Everything
// runs on the strand; a pending receive or connect holds the session alive, the
// timers (owned here) never fire once it is gone. Once closed it calls no handler again.
class LanLink::Session : public std::enable_shared_from_this<Session> {
 public:
  struct Outcome {
    bool socketFailed = false;  // no socket could be made: error is of the socket
    int error = 0;              // else 0 (connected) or the connect's errno
  };

  Session(const Strand& strand, TimerMaker& timers, int deviceNo, std::string lanIp, int lanPort,
          asio::ip::tcp::endpoint peer)
      : socket_(strand),
        deviceNo_(deviceNo),
        lanIp_(std::move(lanIp)),
        lanPort_(lanPort),
        peer_(peer),
        policy_({kAnnouncedAttempts, kRetryPauseMs, kQuietFirstPauseMs, kQuietMaxPauseMs}),
        connectTimer_(timers.Create(strand)),
        pauseTimer_(timers.Create(strand)) {}

  // Makes a socket and connects it within kConnectTimeoutMs; `done` hears how it went
  // (also when the session was closed meanwhile).
  void Connect(std::function<void(Outcome)> done) {
    asio::error_code ec;
    socket_.open(asio::ip::tcp::v4(), ec);
    if (ec) return done({true, ec.value()});
    timedOut_ = false;
    connectTimer_->Start(milliseconds(kConnectTimeoutMs), [this] {
      timedOut_ = true;
      CloseSocket();
    });
    socket_.async_connect(peer_, [self = shared_from_this(), done = std::move(done)](const asio::error_code& ec) {
      self->connectTimer_->Stop();
      const int error = self->closed_ ? ECANCELED : self->timedOut_ ? ETIMEDOUT : ec.value();
      if (error == 0)
        EnableKeepalive(self->socket_.native_handle());
      else
        self->CloseSocket();
      done({false, error});
    });
  }

  void Begin(LinkHandlers handlers) {
    if (closed_) return;
    handlers_ = std::move(handlers);
    Read();
  }

  void Close() {
    closed_ = true;
    CloseSocket();
    connectTimer_->Stop();
    pauseTimer_->Stop();
  }

 private:
  void CloseSocket() {
    asio::error_code ignored;
    socket_.close(ignored);
  }

  void Read() {
    socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](const asio::error_code& ec, size_t n) {
      self->Received(ec, n);
    });
  }

  void Received(const asio::error_code& ec, size_t n) {
    if (closed_) return;
    if (!ec) {
      policy_.BytesReceived();
      handlers_.chunk(std::string_view(chunk_.data(), n));
      if (!closed_) Read();
      return;
    }
    // An orderly close is a loss like any other: the slot must not look connected
    // while nothing can arrive.
    const int error = ec == asio::error::eof ? kOrderlyCloseError : ec.value();
    CloseSocket();
    handlers_.event(LinkEvent::StreamCut);
    Retry(policy_.Lost(error));
  }

  void Retry(const ReconnectPolicy::Step& step) {
    Follow(step);
    if (!closed_) pauseTimer_->Start(milliseconds(step.pauseMs), [this] { Attempt(); });
  }

  void Attempt() {
    Follow(policy_.AttemptBegins());
    if (closed_) return;
    Connect([this](Outcome outcome) {
      if (closed_) return;
      if (outcome.socketFailed) {
        handlers_.status(text::Format("[ERR] socket 실패: %d", outcome.error));
        if (!closed_) handlers_.event(LinkEvent::Ended);
      } else if (outcome.error == 0) {
        Follow(policy_.Connected());
        if (!closed_) Read();
      } else {
        Retry(policy_.AttemptFailed(outcome.error));
      }
    });
  }

  void Follow(const ReconnectPolicy::Step& step) {
    using Kind = ReconnectPolicy::NoticeKind;
    for (const ReconnectPolicy::Notice& notice : step.notices) {
      if (closed_) return;
      switch (notice.kind) {
        case Kind::Lost:
          handlers_.status(text::Format("[ERR] recv 실패 : %d", notice.value));
          break;
        case Kind::Attempt:
          handlers_.status(text::Format("[ERR] 기존 연결 에러/종료됨. 연결 재시도(%d회)", notice.value));
          break;
        case Kind::AttemptFailed:
          handlers_.status(text::Format("[ERR] connect 실패: %d", notice.value));
          break;
        case Kind::GaveUp:
          handlers_.status(text::Format("[ERR] DEV0%d 연결 재시도 %d회 실패. 최대 %d초 간격으로 재연결 시도", deviceNo_,
                                        kAnnouncedAttempts, kQuietMaxPauseMs / 1000));
          break;
        case Kind::Back:
          handlers_.status(text::Format("[WARN] DEV0%d Reconnected PBX : %s, %d", deviceNo_, lanIp_.c_str(), lanPort_));
          break;
      }
    }
    if (closed_) return;
    if (step.shown == ReconnectPolicy::Shown::Down) handlers_.event(LinkEvent::Down);
    if (step.shown == ReconnectPolicy::Shown::Up) handlers_.event(LinkEvent::Up);
  }

  asio::ip::tcp::socket socket_;
  const int deviceNo_;
  const std::string lanIp_;  // as configured, for the line of a link that is back
  const int lanPort_;
  const asio::ip::tcp::endpoint peer_;  // resolved once: reconnects go to the same address
  ReconnectPolicy policy_;              // this slot's own count
  LinkHandlers handlers_;
  std::unique_ptr<Timer> connectTimer_;
  std::unique_ptr<Timer> pauseTimer_;  // before the next attempt
  std::array<char, kChunkBytes> chunk_;
  bool timedOut_ = false;
  bool closed_ = false;
};

LanLink::LanLink(const Strand& strand, TimerMaker& timers) : strand_(strand), timers_(timers) {}

LanLink::~LanLink() { Stop(); }

LinkResult LanLink::Start(int deviceNo, const std::string& lanIp, int lanPort) {
  Stop();
  auto socketFailure = [deviceNo](int error) {
    return LinkResult::Failed(text::Format("[ERR] DEV0%d LAN - socket 실패 ErrNo:%d", deviceNo, error));
  };
  auto connectFailure = [deviceNo](int error) {
    return LinkResult::Failed(text::Format("[ERR] DEV0%d LAN - connect 실패 ErrNo:%d", deviceNo, error));
  };
  // A port beyond 16 bits would silently become another port: refuse it instead.
  if (lanPort < 0 || lanPort > 65535) return connectFailure(EINVAL);
  asio::ip::address_v4 address;
  if (IsHostName(lanIp)) {
    const Ipv4Lookup found = LookUpIpv4(lanIp);
    if (found.lookupError) return socketFailure(found.lookupError);
    if (!found.address) return connectFailure(EADDRNOTAVAIL);
    address = *found.address;
  } else if (auto numeric = NumericIpv4(lanIp)) {
    address = *numeric;
  } else {
    return connectFailure(EINVAL);
  }

  auto session = std::make_shared<Session>(strand_, timers_, deviceNo, lanIp, lanPort,
                                           asio::ip::tcp::endpoint(address, static_cast<uint16_t>(lanPort)));
  std::promise<Session::Outcome> connected;
  asio::post(strand_, [session, &connected] {
    session->Connect([&connected](Session::Outcome outcome) { connected.set_value(outcome); });
  });
  const Session::Outcome outcome = connected.get_future().get();
  if (outcome.error == 0) {
    session_ = std::move(session);
    return LinkResult::Opened(text::Format("[WARN] DEV0%d Connected PBX : %s, %d", deviceNo, lanIp.c_str(), lanPort));
  }
  RunOn(strand_, [&session] { session.reset(); });  // the session ends on its strand
  return outcome.socketFailed ? socketFailure(outcome.error) : connectFailure(outcome.error);
}

void LanLink::Begin(LinkHandlers handlers) {
  if (!session_) return;
  asio::post(strand_,
             [session = session_, handlers = std::move(handlers)]() mutable { session->Begin(std::move(handlers)); });
}

void LanLink::Stop() {
  if (!session_) return;
  RunOn(strand_, [this] {
    session_->Close();
    session_.reset();
  });
}

}  // namespace lindra
