#include "device/lan_link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <future>

#include "device/reconnecting_session.h"
#include "platform/resolver.h"
#include "text/strings.h"

namespace lindra {
namespace {

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

// One configured exchange and the connection to it, from Start to Stop, on the strand.
class LanLink::Session final : public ReconnectingSession {
 public:
  struct Connection {
    bool socketFailed = false;  // no socket could be made: error is of the socket
    int error = 0;              // else 0 (connected) or the connect's errno
  };

  Session(const Strand& strand, TimerMaker& timers, int deviceNo, std::string lanIp, int lanPort,
          asio::ip::tcp::endpoint peer)
      : ReconnectingSession(strand, timers, {kAnnouncedAttempts, kRetryPause, kQuietFirstPause, kQuietMaxPause}),
        socket_(strand),
        deviceNo_(deviceNo),
        lanIp_(std::move(lanIp)),
        lanPort_(lanPort),
        peer_(peer),
        connectTimer_(timers.Create(strand)) {}

  // Makes a socket and connects it within kConnectTimeout; `done` hears how it went
  // (also when the session was closed meanwhile).
  void Connect(std::function<void(Connection)> done) {
    asio::error_code ec;
    socket_.open(asio::ip::tcp::v4(), ec);
    if (ec) return done({true, ec.value()});
    timedOut_ = false;
    connectTimer_->Start(kConnectTimeout, [this] {
      timedOut_ = true;
      CloseSocket();
    });
    socket_.async_connect(peer_, [this, self = shared_from_this(), done = std::move(done)](const asio::error_code& ec) {
      connectTimer_->Stop();
      const int error = closed() ? ECANCELED : timedOut_ ? ETIMEDOUT : ec.value();
      if (error == 0)
        EnableKeepalive(socket_.native_handle());
      else
        CloseSocket();
      done({false, error});
    });
  }

 private:
  void CloseSocket() {
    asio::error_code ignored;
    socket_.close(ignored);
  }

  void Read() override {
    socket_.async_read_some(asio::buffer(chunk_), [this, self = shared_from_this()](const asio::error_code& ec,
                                                                                    size_t n) { Received(ec, n); });
  }

  void Received(const asio::error_code& ec, size_t n) {
    if (closed()) return;
    if (!ec) {
      Arrived(std::string_view(chunk_.data(), n));
      if (!closed()) Read();
      return;
    }
    // An orderly close is a loss like any other: the slot must not look connected
    // while nothing can arrive.
    CloseSocket();
    Lost(ec == asio::error::eof ? kOrderlyCloseError : ec.value());
  }

  void Attempt(std::function<void(Outcome)> done) override {
    Connect([this, done = std::move(done)](Connection connection) {
      if (connection.socketFailed) {
        Say(StatusLine::Error(text::Format("[ERR] socket 실패: %d", connection.error), connection.error));
        return done({Outcome::Kind::Fatal, connection.error});
      }
      done({connection.error == 0 ? Outcome::Kind::Connected : Outcome::Kind::Failed, connection.error});
    });
  }

  std::optional<StatusLine> LineOf(const ReconnectPolicy::Notice& notice) const override {
    using Kind = ReconnectPolicy::NoticeKind;
    switch (notice.kind) {
      case Kind::Lost:
        return StatusLine::Error(text::Format("[ERR] recv 실패 : %d", notice.value), notice.value);
      case Kind::Attempt:
        return StatusLine::Error(text::Format("[ERR] 기존 연결 에러/종료됨. 연결 재시도(%d회)", notice.value));
      case Kind::AttemptFailed:
        return StatusLine::Error(text::Format("[ERR] connect 실패: %d", notice.value), notice.value);
      case Kind::GaveUp:
        return StatusLine::Error(text::Format("[ERR] DEV0%d 연결 재시도 %d회 실패. 최대 %d초 간격으로 재연결 시도",
                                              deviceNo_, kAnnouncedAttempts, static_cast<int>(kQuietMaxPause.count())));
      case Kind::Back:
        return StatusLine::Warning(
            text::Format("[WARN] DEV0%d Reconnected PBX : %s, %d", deviceNo_, lanIp_.c_str(), lanPort_));
    }
    return std::nullopt;
  }

  void Release() override {
    CloseSocket();
    connectTimer_->Stop();
  }

  asio::ip::tcp::socket socket_;
  const int deviceNo_;
  const std::string lanIp_;  // as configured, for the line of a link that is back
  const int lanPort_;
  const asio::ip::tcp::endpoint peer_;  // resolved once: reconnects go to the same address
  std::unique_ptr<Timer> connectTimer_;
  std::array<char, kChunkBytes> chunk_;
  bool timedOut_ = false;
};

LanLink::LanLink(const Strand& strand, TimerMaker& timers) : SessionLink(strand, timers) {}

LinkResult LanLink::Start(int deviceNo, const std::string& lanIp, int lanPort) {
  Stop();
  auto socketFailure = [deviceNo](int error) {
    return LinkResult::Failed(text::Format("[ERR] DEV0%d LAN - socket 실패 ErrNo:%d", deviceNo, error), error);
  };
  auto connectFailure = [deviceNo](int error) {
    return LinkResult::Failed(text::Format("[ERR] DEV0%d LAN - connect 실패 ErrNo:%d", deviceNo, error), error);
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
  std::promise<Session::Connection> connected;
  asio::post(strand_, [session, &connected] {
    session->Connect([&connected](Session::Connection connection) { connected.set_value(connection); });
  });
  const Session::Connection outcome = connected.get_future().get();
  if (outcome.error == 0) {
    session_ = std::move(session);
    return LinkResult::Opened(text::Format("[WARN] DEV0%d Connected PBX : %s, %d", deviceNo, lanIp.c_str(), lanPort));
  }
  RunOn(strand_, [&session] { session.reset(); });  // the session ends on its strand
  return outcome.socketFailed ? socketFailure(outcome.error) : connectFailure(outcome.error);
}

LinkResult LanLink::Start(int slotNo, const SlotConfig& slot) { return Start(slotNo, slot.lanIp, slot.lanPort); }

}  // namespace lindra
