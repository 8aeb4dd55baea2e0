#include "device/cti_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "text/strings.h"

namespace lindra {
namespace {

// The code the original's structured-exception handler reported for a C++ exception;
// kept so the "비정상" entries read as they always have.
constexpr unsigned kCppExceptionCode = 0xE06D7363;

struct Handlers {
  MessageHandler message;
  CtiLogHandler log;
};

class Connection;
using ConnectionList = std::list<std::shared_ptr<Connection>>;

// One accepted peer and its single receive. Every handler of a connection runs on its
// strand; Close() may be called from any thread.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::io_context& io, unsigned context, int fd, std::shared_ptr<const Handlers> handlers)
      : strand_(asio::make_strand(io)),
        socket_(strand_),
        idle_(strand_),
        context_(context),
        fd_(fd),
        handlers_(std::move(handlers)) {}

  // Takes over the accepted descriptor; throws asio::system_error when the pool
  // cannot watch it (the descriptor is then still the caller's).
  void Adopt() { socket_.assign(asio::ip::tcp::v4(), fd_); }

  // Starts the one receive and the idle timer; done() runs once the receive has
  // finished, whatever the handlers do.
  void Begin(int idleTimeoutMs, std::function<void()> done) {
    done_ = std::move(done);
    asio::dispatch(strand_, [self = shared_from_this(), idleTimeoutMs] {
      self->idle_.expires_after(std::chrono::milliseconds(idleTimeoutMs));
      self->idle_.async_wait([self](const asio::error_code& ec) {
        if (!ec) self->CloseNow();
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

  void Finish(const asio::error_code& ec, size_t n) {
    idle_.cancel();
    // The context is released and its socket closed after its one message, also when
    // a handler throws.
    struct ReleaseOnExit {
      Connection& c;
      ~ReleaseOnExit() {
        c.CloseNow();
        c.done_();
      }
    } releaseOnExit{*this};
    if (ec || n == 0) {
      // RETURN: 1 when the peer closed in an orderly way, 0 when the connection broke
      // or was closed here (idle, make room, shutdown).
      handlers_->log(DeviceLogKind::Error, text::Format("접속 끊김: [CONTEXT:%x, SOCKET:%x, RETURN:%d]", context_, fd_,
                                                        ec == asio::error::eof ? 1 : 0));
      return;
    }
    handlers_->log(DeviceLogKind::Plain, text::Format("받음: [CONTEXT:%x, TOTAL:%d, RECV:%d]", context_,
                                                      static_cast<int>(n), static_cast<int>(n)));
    handlers_->message(std::string_view(data_.data(), n));
  }

  asio::strand<asio::io_context::executor_type> strand_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer idle_;
  const unsigned context_;  // the context number shown in the log entries
  const int fd_;            // the socket value shown, also after the close
  std::shared_ptr<const Handlers> handlers_;
  std::function<void()> done_;
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

// The io_context with its workers, and the connections open at the moment.
// Threads: the controller's (start, end), the LoopThread (Adopt), the workers
// (Unlist); `mutex` guards `open`, `nextContext` and `handlers`.
struct CtiListener::Pool {
  explicit Pool(CtiLimits limits) : limits(limits) {}

  const CtiLimits limits;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::vector<std::thread> workers;
  std::mutex mutex;
  ConnectionList open;  // oldest first
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

  // Tracks a new connection; at the cap the oldest one is closed to make room.
  void Track(const std::shared_ptr<Connection>& connection) {
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
    }
    if (evicted) evicted->Close();
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
    Track(connection);
    connection->Begin(limits.idleTimeoutMs, [this, raw = connection.get()] { Untrack(*raw); });
    return true;
  }

  // Closes every connection and lets the workers run out of work.
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
