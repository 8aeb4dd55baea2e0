#include "device/cti_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "text/strings.h"

namespace lindra {
namespace {

// The "비정상" entries carry an exception code; a C++ exception is reported with the
// code Windows gives one (0xE06D7363), which is what the readers of these logs know.
constexpr unsigned kCppExceptionCode = 0xE06D7363;

struct Handlers {
  MessageHandler message;
  CtiLogHandler log;
};

class Connection;
using ConnectionList = std::list<std::shared_ptr<Connection>>;

// What a connection tells the pool: its receive has finished (with its message, or
// none when the peer sent nothing), or it has kept silent past the order hold.
struct ConnectionEvents {
  std::function<void(std::optional<std::string> message)> finished;  // exactly once
  std::function<void()> silent;
};

// One accepted peer and its single receive. Every handler of a connection runs on its
// strand; Close() may be called from any thread.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::io_context& io, unsigned context, int fd, std::shared_ptr<const Handlers> handlers)
      : strand_(asio::make_strand(io)),
        socket_(strand_),
        idle_(strand_),
        hold_(strand_),
        context_(context),
        fd_(fd),
        handlers_(std::move(handlers)) {}

  // Takes over the accepted descriptor; throws asio::system_error when the pool
  // cannot watch it (the descriptor is then still the caller's).
  void Adopt() { socket_.assign(asio::ip::tcp::v4(), fd_); }

  // Starts the one receive, the idle timer and the order hold.
  void Begin(const CtiLimits& limits, ConnectionEvents events) {
    events_ = std::move(events);
    asio::dispatch(strand_, [self = shared_from_this(), idleMs = limits.idleTimeoutMs, holdMs = limits.orderHoldMs] {
      self->idle_.expires_after(std::chrono::milliseconds(idleMs));
      self->idle_.async_wait([self](const asio::error_code& ec) {
        if (!ec) self->CloseNow();
      });
      self->hold_.expires_after(std::chrono::milliseconds(holdMs));
      self->hold_.async_wait([self](const asio::error_code& ec) {
        if (!ec) self->HoldExpired();
      });
      self->socket_.async_read_some(asio::buffer(self->data_),
                                    [self](const asio::error_code& ec, size_t n) { self->Finish(ec, n); });
    });
  }

  void Close() {
    asio::post(strand_, [self = shared_from_this()] { self->CloseNow(); });
  }

  ConnectionList::iterator listed;  // guarded by the pool's mutex
  bool isListed = false;
  const std::chrono::steady_clock::time_point accepted = std::chrono::steady_clock::now();

 private:
  void CloseNow() {
    asio::error_code ignored;
    socket_.close(ignored);
  }

  // Bytes that have arrived but not yet completed the receive keep the connection's
  // place: only a peer that really sent nothing gives it up.
  void HoldExpired() {
    asio::error_code ec;
    if (socket_.available(ec) == 0 || ec) events_.silent();
  }

  // The context is released, its socket closed and its turn resolved after its one
  // receive, also when a log handler throws.
  void Finish(const asio::error_code& ec, size_t n) {
    idle_.cancel();
    hold_.cancel();
    std::optional<std::string> message;
    std::exception_ptr failure;
    try {
      if (ec || n == 0) {
        // RETURN: 1 when the peer closed in an orderly way, 0 when the connection broke
        // or was closed here (idle, make room, shutdown).
        handlers_->log(DeviceLogKind::Error, text::Format("접속 끊김: [CONTEXT:%x, SOCKET:%x, RETURN:%d]", context_,
                                                          fd_, ec == asio::error::eof ? 1 : 0));
      } else {
        handlers_->log(DeviceLogKind::Plain, text::Format("받음: [CONTEXT:%x, TOTAL:%d, RECV:%d]", context_,
                                                          static_cast<int>(n), static_cast<int>(n)));
        message.emplace(data_.data(), n);
      }
    } catch (...) {
      failure = std::current_exception();
    }
    CloseNow();
    events_.finished(std::move(message));
    if (failure) std::rethrow_exception(failure);
  }

  asio::strand<asio::io_context::executor_type> strand_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer idle_;
  asio::steady_timer hold_;
  const unsigned context_;  // the context number shown in the log entries
  const int fd_;            // the socket value shown, also after the close
  std::shared_ptr<const Handlers> handlers_;
  ConnectionEvents events_;
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

// One accepted connection's place in the accept order.
struct Turn {
  std::shared_ptr<const Handlers> handlers;
  std::optional<std::string> message;
  bool finished = false;  // received its message, or ended without one
  bool silent = false;    // sent nothing within the order hold
  bool queued = true;     // still waiting in the order; once out, its message goes on at once
};

// The io_context with its workers, the connections open at the moment and their
// accept order. Threads: the controller's (start, end), the LoopThread (Adopt), the
// workers (Untrack, the turns); `mutex` guards `open`, `order`, `nextContext` and
// `handlers`. Messages go to the handler through `delivery`, posted under `mutex`
// in accept order, so they run one at a time and in that order.
struct CtiListener::Pool {
  explicit Pool(CtiLimits limits) : limits(limits) {}

  const CtiLimits limits;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  asio::strand<asio::io_context::executor_type> delivery{asio::make_strand(io)};
  std::vector<std::thread> workers;
  std::mutex mutex;
  ConnectionList open;  // oldest first
  std::deque<std::shared_ptr<Turn>> order;
  unsigned nextContext = 1;
  std::shared_ptr<const Handlers> handlers;  // of the latest Run, for the workers' own entries

  ~Pool() { End(); }

  void StartWorkers(size_t count) {
    while (workers.size() < count) workers.emplace_back([this] { Work(); });
  }

  void Work() {
    for (;;) {
      try {
        io.run();
        return;
      } catch (...) {
        std::shared_ptr<const Handlers> h;
        {
          std::lock_guard lock(mutex);
          h = handlers;
        }
        if (h) h->log(DeviceLogKind::Error, text::Format("WorkThread 비정상 0x%X", kCppExceptionCode));
      }
    }
  }

  // Whether a new connection can be taken now: below the cap, or the oldest one has
  // been silent long enough to make room.
  bool HasRoom() {
    std::lock_guard lock(mutex);
    return open.size() < limits.maxConnections ||
           std::chrono::steady_clock::now() - open.front()->accepted >= std::chrono::milliseconds(limits.evictAfterMs);
  }

  // Tracks a new connection and gives it the next place in the order; at the cap the
  // oldest connection is closed to make room.
  std::shared_ptr<Turn> Track(const std::shared_ptr<Connection>& connection,
                              const std::shared_ptr<const Handlers>& turnHandlers) {
    auto turn = std::make_shared<Turn>();
    turn->handlers = turnHandlers;
    std::shared_ptr<Connection> evicted;
    {
      std::lock_guard lock(mutex);
      if (open.size() >= limits.maxConnections) {
        evicted = open.front();
        evicted->isListed = false;
        open.pop_front();
      }
      connection->listed = open.insert(open.end(), connection);
      connection->isListed = true;
      order.push_back(turn);
    }
    if (evicted) evicted->Close();
    return turn;
  }

  // Hands on the messages at the front of the order whose turn has come: those
  // received, and past those that stayed silent. `mutex` is held.
  void ReleaseReady() {
    while (!order.empty() && (order.front()->finished || order.front()->silent)) {
      std::shared_ptr<Turn> turn = std::move(order.front());
      order.pop_front();
      turn->queued = false;
      if (turn->message) Deliver(*turn);
    }
  }

  void Deliver(Turn& turn) {
    asio::post(delivery, [h = turn.handlers, message = std::move(*turn.message)] { h->message(message); });
    turn.message.reset();
  }

  void Finished(Turn& turn, std::optional<std::string> message) {
    std::lock_guard lock(mutex);
    turn.finished = true;
    turn.message = std::move(message);
    if (!turn.queued) {
      if (turn.message) Deliver(turn);
      return;
    }
    ReleaseReady();
  }

  void Silent(Turn& turn) {
    std::lock_guard lock(mutex);
    if (!turn.queued || turn.finished) return;
    turn.silent = true;
    ReleaseReady();
  }

  void Untrack(Connection& connection) {
    std::lock_guard lock(mutex);
    if (!connection.isListed) return;
    connection.isListed = false;
    open.erase(connection.listed);
  }

  // Takes an accepted socket into the pool and starts its receive; false when the
  // pool could not watch it (the socket is closed then).
  bool Serve(int fd, const sockaddr_in& peer, const std::shared_ptr<const Handlers>& handlers) {
    const auto& onLog = handlers->log;
    std::shared_ptr<Connection> connection;
    unsigned context = 0;
    try {
      {
        std::lock_guard lock(mutex);
        context = nextContext++;
      }
      connection = std::make_shared<Connection>(io, context, fd, handlers);
    } catch (const std::bad_alloc&) {
      onLog(DeviceLogKind::Error, text::Format("AllocContext 실패: %d", ENOMEM));
      ::close(fd);
      return true;
    }
    try {
      connection->Adopt();
    } catch (const asio::system_error& e) {
      onLog(DeviceLogKind::Error, text::Format("CreateIoCompletionPort 실패: %d", e.code().value()));
      ::close(fd);
      return false;
    }
    char ip[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    // Logged before the receive starts, so it always precedes the connection's other entries.
    onLog(DeviceLogKind::Plain, text::Format("접속됨: [IP:%s, CONTEXT:%x, SOCKET:%x]", ip, context, fd));
    std::shared_ptr<Turn> turn = Track(connection, handlers);
    connection->Begin(limits, {[this, raw = connection.get(), turn](std::optional<std::string> message) {
                                 Untrack(*raw);
                                 Finished(*turn, std::move(message));
                               },
                               [this, turn] { Silent(*turn); }});
    return true;
  }

  // Closes every connection and lets the workers run out of work (messages already
  // received are handed on first).
  void End() {
    ConnectionList closing;
    {
      std::lock_guard lock(mutex);
      closing.swap(open);
      for (auto& connection : closing) connection->isListed = false;
    }
    for (auto& connection : closing) connection->Close();
    closing.clear();
    work.reset();
    for (auto& worker : workers)
      if (worker.joinable()) worker.join();
    workers.clear();
  }
};

CtiListener::CtiListener(CtiLimits limits) : limits_(limits) {}
CtiListener::~CtiListener() { Shutdown(); }

size_t CtiListener::workerCount() const { return pool_ ? pool_->workers.size() : 0; }

std::string CtiListener::Start(int deviceNo, int lanPort) {
  Stop();
  gate_.Arm();
  auto failure = [deviceNo](const char* step, int error) {
    return text::Format("[ERR] DEV0%d CTI - %s 실패 ErrNo:%d", deviceNo, step, error);
  };

  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener) return failure("WSASocket", errno);
  // Lets a slot that was just disconnected listen again at once, while the closed
  // connections of its last run linger in TIME_WAIT. (Linux never lets two
  // listeners share the port this way.)
  const int on = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // A port beyond 16 bits would silently listen on another port: refuse it instead.
  if (lanPort < 0 || lanPort > 65535) return failure("bind", EINVAL);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(lanPort));
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return failure("bind", errno);
  if (::listen(listener.get(), SOMAXCONN) != 0) return failure("listen", errno);
  // The kernel raises zero buffer sizes to its minimum; accepted sockets inherit them.
  const int zero = 0;
  if (::setsockopt(listener.get(), SOL_SOCKET, SO_SNDBUF, &zero, sizeof zero) != 0)
    return failure("setsockopt(SENDBUF)", errno);
  if (::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &zero, sizeof zero) != 0)
    return failure("setsockopt(RECVBUF)", errno);
  const linger off{0, 0};
  if (::setsockopt(listener.get(), SOL_SOCKET, SO_LINGER, &off, sizeof off) != 0)
    return failure("setsockopt(LINGER)", errno);
  socklen_t size = sizeof address;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);

  try {
    if (!pool_) pool_ = std::make_unique<Pool>(limits_);
  } catch (const std::bad_alloc&) {
    return text::Format("[ERR] DEV0%d CTI - WorkerThread new 실패", deviceNo);
  }
  try {
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    pool_->StartWorkers(2 * processors + 2);
  } catch (const std::system_error&) {
    return text::Format("[ERR] DEV0%d CTI - WorkerThread 생성 실패", deviceNo);
  }

  listener_ = std::move(listener);
  port_ = ntohs(address.sin_port);
  return text::Format("[WARN] DEV0%d CTI - Listen CTI Event : %d", deviceNo, lanPort);
}

void CtiListener::Run(const MessageHandler& onMessage, const CtiLogHandler& onLog) {
  if (!gate_.Enter()) return;
  if (!listener_ || !pool_) {
    gate_.Leave();
    return;
  }
  auto handlers = std::make_shared<const Handlers>(Handlers{onMessage, onLog});
  {
    std::lock_guard lock(pool_->mutex);
    pool_->handlers = handlers;
  }
  while (gate_.WaitFor(listener_.get(), POLLIN, -1) != RunGate::Wait::Stop) {
    // At the cap with only young connections: they are being served; the kernel's
    // backlog holds the newcomers meanwhile.
    bool stopped = false;
    while (!stopped && !pool_->HasRoom()) stopped = gate_.Pause(kRoomPollMs);
    if (stopped) break;
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EINTR) continue;  // another look found it first, or a signal
      onLog(DeviceLogKind::Error, text::Format("Accept 실패: %d", error));
      if (IsTransientAcceptError(error)) continue;
      // Out of descriptors: the idle timeout frees some; try again after a pause.
      if (IsResourceAcceptError(error) && !gate_.Pause(kAcceptPauseMs)) continue;
      break;
    }
    bool served = true;
    try {
      served = pool_->Serve(fd, peer, handlers);
    } catch (...) {
      onLog(DeviceLogKind::Error, text::Format("LoopThread 비정상 0x%X", kCppExceptionCode));
    }
    if (!served && gate_.Pause(kAcceptPauseMs)) break;
  }
  if (gate_.Leave()) listener_.Reset();
}

void CtiListener::Stop() {
  if (gate_.RequestStop()) listener_.Reset();
}

void CtiListener::Shutdown() {
  Stop();
  pool_.reset();
}

}  // namespace lindra
