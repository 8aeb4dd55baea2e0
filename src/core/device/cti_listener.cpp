#include "device/cti_listener.h"

#include <algorithm>
#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <deque>
#include <exception>
#include <future>
#include <list>
#include <optional>
#include <vector>

#include "config/slot_config.h"
#include "notify/agent_senders.h"
#include "text/strings.h"

namespace lindra {
namespace {

using std::chrono::milliseconds;

long long Seconds(milliseconds duration) { return std::chrono::duration_cast<std::chrono::seconds>(duration).count(); }

// The "비정상" entries carry an exception code; a C++ exception is reported with the
// code Windows gives one (0xE06D7363), which is what the readers of these logs know.
constexpr unsigned kCppExceptionCode = 0xE06D7363;

// The descriptors the rest of the server may need beside its CTI connections: a
// connection to every operator PC of every slot, and the logs, links, the mirror, the
// statistics client and the loop itself.
constexpr uint64_t kReservedDescriptors = uint64_t{kSlotCount} * kAgentSlotCapacity + 200;
// Room for a burst of calls even where the limit cannot be raised; a connection that
// then finds no descriptor waits in the kernel's backlog (see kAcceptPause).
constexpr size_t kLeastConnectionCap = 64;

// How one connection's single receive ended: its log entries, and its message if any.
struct Received {
  DeviceLogKind kind = DeviceLogKind::Plain;
  std::vector<std::string> logTexts;
  std::optional<std::string> message;
};

class Connection;

// What a connection tells the listener; both run on the listener's strand.
struct ConnectionEvents {
  Strand listenerStrand;
  std::function<void(Connection&, Received)> finished;  // exactly once
  std::function<void(Connection&)> silent;              // sent nothing within the order hold
};

// One accepted peer and its single receive. The socket, the timers and the buffer
// belong to the connection's own strand; the fields marked below belong to the
// listener's strand.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::ip::tcp::socket socket, const Strand& strand, TimerMaker& timers, unsigned context,
             ConnectionEvents events)
      : strand_(strand),
        socket_(std::move(socket)),
        idle_(timers.Create(strand)),
        hold_(timers.Create(strand)),
        context_(context),
        fd_(socket_.native_handle()),
        events_(std::move(events)) {}

  // Starts the one receive, the idle timer and the order hold.
  void Begin(const CtiLimits& limits) {
    asio::post(strand_, [self = shared_from_this(), limits] {
      self->idle_->Start(limits.idleTimeout, [raw = self.get(), limits] {
        raw->CloseSilent(
            text::Format("받은 데이터 없이 %d초, 연결 닫음", static_cast<int>(Seconds(limits.idleTimeout))));
      });
      self->hold_->Start(limits.orderHold, [raw = self.get()] { raw->HoldExpired(); });
      self->socket_.async_read_some(asio::buffer(self->data_),
                                    [self](const asio::error_code& ec, size_t n) { self->Finish(ec, n); });
    });
  }

  // Closes the connection unless its message is arriving; `why` goes before its
  // "접속 끊김" entry.
  void Close(std::string why) {
    asio::post(strand_,
               [self = shared_from_this(), why = std::move(why)]() mutable { self->CloseSilent(std::move(why)); });
  }

  // The listener's strand only.
  std::list<std::shared_ptr<Connection>>::iterator listed;
  bool isListed = false;
  std::chrono::milliseconds accepted{0};  // on the clock's steady time
  std::optional<std::string> message;
  bool finished = false;  // received its message, or ended without one
  bool silent = false;    // sent nothing within the order hold
  bool queued = true;     // still waiting in the order; once out, its message goes on at once

 private:
  void CloseSocket() {
    asio::error_code ignored;
    socket_.close(ignored);
  }

  // Bytes that have arrived but not yet completed the receive: the peer has spoken,
  // and the receive hands them on in a moment.
  bool BytesWaiting() {
    asio::error_code ec;
    return socket_.available(ec) != 0 && !ec;
  }

  // Only a peer that really sent nothing gives up its place.
  void HoldExpired() {
    if (BytesWaiting()) return;
    asio::post(events_.listenerStrand, [self = shared_from_this()] { self->events_.silent(*self); });
  }

  void CloseSilent(std::string why) {
    if (!socket_.is_open() || BytesWaiting()) return;
    closedFor_ = text::Format("%s: [CONTEXT:%x, SOCKET:%x]", why.c_str(), context_, fd_);
    CloseSocket();
  }

  void Finish(const asio::error_code& ec, size_t n) {
    idle_->Stop();
    hold_->Stop();
    Received received;
    if (ec || n == 0) {
      // RETURN: 1 when the peer closed in an orderly way, 0 when the connection broke
      // or was closed here (idle, make room, shutdown).
      received.kind = DeviceLogKind::Error;
      if (closedFor_) received.logTexts.push_back(std::move(*closedFor_));
      received.logTexts.push_back(
          text::Format("접속 끊김: [CONTEXT:%x, SOCKET:%x, RETURN:%d]", context_, fd_, ec == asio::error::eof ? 1 : 0));
    } else {
      received.logTexts.push_back(
          text::Format("받음: [CONTEXT:%x, TOTAL:%d, RECV:%d]", context_, static_cast<int>(n), static_cast<int>(n)));
      received.message.emplace(data_.data(), n);
    }
    CloseSocket();
    asio::post(events_.listenerStrand, [self = shared_from_this(), received = std::move(received)]() mutable {
      self->events_.finished(*self, std::move(received));
    });
  }

  const Strand strand_;
  asio::ip::tcp::socket socket_;
  std::unique_ptr<Timer> idle_;
  std::unique_ptr<Timer> hold_;
  const unsigned context_;  // the context number shown in the log entries
  const int fd_;            // the socket value shown, also after the close
  const ConnectionEvents events_;
  std::optional<std::string> closedFor_;  // the entry of a close here before anything arrived
  std::array<char, CtiListener::kMessageBytes> data_{};
};

bool IsTransientAcceptError(int error) {
  // The peer gave up between its connect and our accept, or the network hiccuped:
  // that costs the connection, not the listener.
  switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
      return true;
    default:
      return false;
  }
}

bool IsResourceAcceptError(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

// The acceptor, the connections open at the moment and their accept order. Everything
// here runs on the slot's strand; the connections report to it through posted events.
class CtiListener::Core : public std::enable_shared_from_this<Core> {
 public:
  Core(EventLoop& loop, const Strand& strand, TimerMaker& timers, const Clock& clock, CtiLimits limits)
      : loop_(loop),
        strand_(strand),
        timers_(timers),
        clock_(clock),
        limits_(limits),
        acceptor_(strand),
        waitTimer_(timers.Create(strand)) {}

  LinkResult Listen(int deviceNo, int lanPort, int& boundPort) {
    ending_ = false;
    auto failure = [this, deviceNo](const char* step, int error) {
      CloseAcceptor();
      return LinkResult::Failed(text::Format("[ERR] DEV0%d CTI - %s 실패 ErrNo:%d", deviceNo, step, error), error);
    };
    using asio::ip::tcp;
    asio::error_code ec;
    acceptor_.open(tcp::v4(), ec);
    if (ec) return failure("WSASocket", ec.value());
    // Lets a slot that was just disconnected listen again at once, while the closed
    // connections of its last run linger in TIME_WAIT. (Linux never lets two
    // listeners share the port this way.)
    acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    // A port beyond 16 bits would silently listen on another port: refuse it instead.
    if (lanPort < 0 || lanPort > 65535) return failure("bind", EINVAL);
    acceptor_.bind(tcp::endpoint(asio::ip::address_v4::any(), static_cast<uint16_t>(lanPort)), ec);
    if (ec) return failure("bind", ec.value());
    acceptor_.listen(tcp::acceptor::max_listen_connections, ec);
    if (ec) return failure("listen", ec.value());
    // The kernel raises zero buffer sizes to its minimum; accepted sockets inherit them.
    acceptor_.set_option(tcp::acceptor::send_buffer_size(0), ec);
    if (ec) return failure("setsockopt(SENDBUF)", ec.value());
    acceptor_.set_option(tcp::acceptor::receive_buffer_size(0), ec);
    if (ec) return failure("setsockopt(RECVBUF)", ec.value());
    acceptor_.set_option(tcp::acceptor::linger(false, 0), ec);
    if (ec) return failure("setsockopt(LINGER)", ec.value());
    boundPort = acceptor_.local_endpoint(ec).port();
    return LinkResult::Opened(text::Format("[WARN] DEV0%d CTI - Listen CTI Event : %d", deviceNo, lanPort));
  }

  bool IsListening() const { return acceptor_.is_open(); }

  void Begin(LinkHandlers handlers) {
    handlers_ = std::move(handlers);
    accepting_ = acceptor_.is_open();
    AcceptNext();
  }

  void StopAccepting() {
    accepting_ = false;
    waitingForRoom_ = false;
    waitTimer_->Stop();
    CloseAcceptor();
  }

  // Stops accepting and closes every connection; `allEnded` runs once the last one
  // has ended and every message received has been handed on.
  void EndAll(std::function<void()> allEnded) {
    StopAccepting();
    ending_ = true;
    allEnded_ = std::move(allEnded);
    for (auto& connection : open_)
      connection->Close(text::Format("서버 정지, 받은 데이터 없이 %d초, 연결 닫음", SilentSeconds(*connection)));
    CheckAllEnded();
  }

 private:
  void CloseAcceptor() {
    asio::error_code ignored;
    acceptor_.close(ignored);
  }

  void AcceptNext() {
    if (!accepting_) return;
    if (open_.size() < limits_.maxConnections) return StartAccept();
    // At the cap, room is made only for a newcomer that is actually waiting.
    acceptor_.async_wait(asio::ip::tcp::acceptor::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
      if (!self->accepting_) return;
      // A failed wait leaves the accept to report it.
      if (ec || self->MakeRoom()) self->StartAccept();
    });
  }

  void StartAccept() {
    // Each connection gets a strand of its own, so receives proceed side by side.
    const Strand connectionStrand = loop_.MakeStrand();
    acceptor_.async_accept(
        asio::any_io_executor(connectionStrand),
        [self = shared_from_this(), connectionStrand](const asio::error_code& ec, asio::ip::tcp::socket socket) {
          self->Accepted(ec, std::move(socket), connectionStrand);
        });
  }

  // Whether the newcomer can be taken now: below the cap, or once the oldest has been
  // silent long enough to be closed for it. Otherwise accepting waits (the kernel's
  // backlog holds the newcomers) until a connection ends or the oldest comes of age.
  bool MakeRoom() {
    if (open_.size() < limits_.maxConnections) return true;
    const std::chrono::milliseconds age = clock_.Steady() - open_.front()->accepted;
    if (age >= limits_.evictAfter) {
      std::shared_ptr<Connection> evicted = open_.front();
      Untrack(*evicted);
      evicted->Close(text::Format("연결 수 한도(%zu) 도달, 받은 데이터 없이 %d초, 연결 닫음", limits_.maxConnections,
                                  SilentSeconds(*evicted)));
      return true;
    }
    waitingForRoom_ = true;
    waitTimer_->Start(limits_.evictAfter - age, [this] {
      waitingForRoom_ = false;
      AcceptNext();
    });
    return false;
  }

  void Accepted(const asio::error_code& ec, asio::ip::tcp::socket socket, const Strand& connectionStrand) {
    if (!accepting_) return;  // stopped meanwhile: the socket closes here
    if (ec) {
      const int error = ec.value();
      Log(DeviceLogKind::Error, text::Format("Accept 실패: %d", error));
      if (IsTransientAcceptError(error)) return AcceptNext();
      // Out of descriptors: the idle timeout frees some; try again after a pause.
      if (IsResourceAcceptError(error)) return waitTimer_->Start(kAcceptPause, [this] { AcceptNext(); });
      StopAccepting();
      if (handlers_.event) handlers_.event({LinkEvent::Kind::Ended, 0, error, {}});
      return;
    }
    try {
      Serve(std::move(socket), connectionStrand);
    } catch (...) {
      Log(DeviceLogKind::Error, text::Format("LoopThread 비정상 0x%X", kCppExceptionCode));
    }
    AcceptNext();
  }

  // Takes an accepted socket and starts its receive, with the next place in the order.
  void Serve(asio::ip::tcp::socket socket, const Strand& connectionStrand) {
    const unsigned context = nextContext_++;
    const int fd = socket.native_handle();
    asio::error_code ec;
    const asio::ip::tcp::endpoint peer = socket.remote_endpoint(ec);
    auto weak = weak_from_this();
    auto connection = std::make_shared<Connection>(std::move(socket), connectionStrand, timers_, context,
                                                   ConnectionEvents{strand_,
                                                                    [weak](Connection& c, Received received) {
                                                                      if (auto core = weak.lock())
                                                                        core->Finished(c, std::move(received));
                                                                    },
                                                                    [weak](Connection& c) {
                                                                      if (auto core = weak.lock()) core->Silent(c);
                                                                    }});
    // Logged before the receive starts, so it always precedes the connection's other entries.
    Log(DeviceLogKind::Plain, text::Format("접속됨: [IP:%s, CONTEXT:%x, SOCKET:%x]",
                                           ec ? "" : peer.address().to_string().c_str(), context, fd));
    connection->listed = open_.insert(open_.end(), connection);
    connection->isListed = true;
    connection->accepted = clock_.Steady();
    order_.push_back(connection);
    ++live_;
    connection->Begin(limits_);
  }

  int SilentSeconds(const Connection& connection) const {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(clock_.Steady() - connection.accepted).count());
  }

  void Untrack(Connection& connection) {
    if (!connection.isListed) return;
    connection.isListed = false;
    open_.erase(connection.listed);
  }

  void Finished(Connection& connection, Received received) {
    --live_;
    Untrack(connection);
    for (const std::string& entry : received.logTexts) Log(received.kind, entry);
    connection.finished = true;
    connection.message = std::move(received.message);
    if (!connection.queued) {
      if (connection.message) Deliver(connection);
    } else {
      ReleaseReady();
    }
    if (waitingForRoom_) {
      waitingForRoom_ = false;
      waitTimer_->Stop();
      AcceptNext();
    }
    CheckAllEnded();
  }

  void Silent(Connection& connection) {
    if (!connection.queued || connection.finished) return;
    connection.silent = true;
    ReleaseReady();
  }

  // Hands on the messages at the front of the order whose turn has come: those
  // received, and past those that stayed silent.
  void ReleaseReady() {
    while (!order_.empty() && (order_.front()->finished || order_.front()->silent)) {
      std::shared_ptr<Connection> turn = std::move(order_.front());
      order_.pop_front();
      turn->queued = false;
      if (turn->message) Deliver(*turn);
    }
  }

  void Deliver(Connection& connection) {
    const std::string message = std::move(*connection.message);
    connection.message.reset();
    try {
      if (handlers_.message) handlers_.message(message);
    } catch (...) {
      // A message that cannot be handled costs only itself.
      Log(DeviceLogKind::Error, text::Format("WorkThread 비정상 0x%X", kCppExceptionCode));
    }
  }

  void Log(DeviceLogKind kind, const std::string& text) {
    try {
      if (handlers_.log) handlers_.log(kind, text);
    } catch (...) {
      // A log that fails must not stop the listener.
    }
  }

  void CheckAllEnded() {
    if (!ending_ || live_ > 0 || !allEnded_) return;
    handlers_ = {};
    std::exchange(allEnded_, nullptr)();
  }

  EventLoop& loop_;
  const Strand strand_;
  TimerMaker& timers_;
  const Clock& clock_;
  const CtiLimits limits_;
  asio::ip::tcp::acceptor acceptor_;
  std::unique_ptr<Timer> waitTimer_;  // for room at the cap, or after running out of descriptors
  LinkHandlers handlers_;
  std::list<std::shared_ptr<Connection>> open_;  // oldest first
  std::deque<std::shared_ptr<Connection>> order_;
  size_t live_ = 0;  // connections whose receive has not ended yet
  unsigned nextContext_ = 1;
  bool accepting_ = false;
  bool waitingForRoom_ = false;
  bool ending_ = false;
  std::function<void()> allEnded_;
};

size_t CtiConnectionCap(uint64_t descriptorLimit) {
  const uint64_t spare = descriptorLimit > kReservedDescriptors ? descriptorLimit - kReservedDescriptors : 0;
  return std::max<size_t>(kLeastConnectionCap, static_cast<size_t>(spare / kSlotCount));
}

CtiListener::CtiListener(EventLoop& loop, const Strand& strand, TimerMaker& timers, const Clock& clock,
                         CtiLimits limits)
    : strand_(strand), core_(std::make_shared<Core>(loop, strand, timers, clock, limits)) {}

CtiListener::~CtiListener() { Shutdown(); }

LinkResult CtiListener::Start(int deviceNo, int lanPort) {
  Stop();
  LinkResult result;
  int port = 0;
  RunOn(strand_, [&] { result = core_->Listen(deviceNo, lanPort, port); });
  if (result.ok) port_ = port;
  return result;
}

bool CtiListener::IsListening() const {
  bool listening = false;
  RunOn(strand_, [&] { listening = core_->IsListening(); });
  return listening;
}

LinkResult CtiListener::Start(int slotNo, const SlotConfig& slot) { return Start(slotNo, slot.lanPort); }

void CtiListener::Begin(LinkHandlers handlers) {
  asio::post(strand_, [core = core_, handlers = std::move(handlers)]() mutable { core->Begin(std::move(handlers)); });
}

void CtiListener::Stop() {
  RunOn(strand_, [this] { core_->StopAccepting(); });
}

void CtiListener::Shutdown() {
  std::promise<void> allEnded;
  RunOn(strand_, [&] { core_->EndAll([&allEnded] { allEnded.set_value(); }); });
  allEnded.get_future().wait();
}

}  // namespace lindra
