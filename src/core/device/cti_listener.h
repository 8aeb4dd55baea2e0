#pragma once
// The listening link of a CTI slot (codes 202 and above): the CTI program connects,
// sends one message of at most 1000 bytes and is closed. Accepting runs on the
// channel's LoopThread; receives complete on a pool of worker threads.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "device/run_gate.h"
#include "log/slot_logs.h"
#include "platform/unique_fd.h"

namespace lindra {

// One received message (1..kMessageBytes bytes), on a worker thread, one message at a
// time and in the order the connections were accepted: the handler writes the PARSE
// entry, mirrors, parses and dispatches.
using MessageHandler = std::function<void(std::string_view message)>;
// A program-log entry of the listener: Plain ("접속됨: ...", "받음: ...") or Error
// ("Accept 실패: %d", "접속 끊김: ...", ...). UTF-8.
using CtiLogHandler = std::function<void(DeviceLogKind kind, const std::string& text)>;

struct CtiLimits {
  // Connections open at once. At the cap the oldest connection, when it has been
  // silent for at least evictAfterMs, is closed to make room, so idle or half-open
  // clients cannot lock out the CTI program; a younger one is a burst of real calls,
  // so accepting waits for room instead of dropping a message.
  size_t maxConnections = 512;
  int evictAfterMs = 1000;
  // A connection that has sent nothing after this long is closed.
  int idleTimeoutMs = 10'000;
  // Messages are handed on in the order their connections were accepted, because the
  // CTI program sends its calls in the order they happen, one connection each. A
  // connection that has sent nothing this long after its accept gives up its place,
  // so a silent or trickling peer delays the messages behind it by at most this
  // much. A CTI program writes its message as soon as it is connected: on a LAN the
  // bytes follow the accept within milliseconds, far inside this bound.
  int orderHoldMs = 200;
};

// Threads: Start, Stop and Shutdown on the controller's thread, Run on the channel's
// LoopThread, the message and log handlers on the pool's workers (log also on the
// LoopThread). The connection list and the accept order have their own mutex;
// RunGate orders Run and Stop.
class CtiListener {
 public:
  static constexpr size_t kMessageBytes = 1000;  // one receive per connection
  static constexpr int kAcceptPauseMs = 1000;    // after running out of descriptors
  static constexpr int kRoomPollMs = 10;         // at the cap, until a connection ends

  explicit CtiListener(CtiLimits limits = {});
  ~CtiListener();  // Shutdown()
  CtiListener(const CtiListener&) = delete;
  CtiListener& operator=(const CtiListener&) = delete;

  // Listens on all addresses at lanPort (0: a free port, see port()) and starts the
  // worker pool (2 x processors + 2) if it is not running yet. Returns
  // "[WARN] DEV0%d CTI - Listen CTI Event : %d" (deviceNo, lanPort) or the failure
  // text of the step that failed ("[ERR] DEV0%d CTI - WSASocket 실패 ErrNo:%d",
  // "... bind ..." (also a port outside 0..65535: EINVAL), "... listen ...",
  // "... setsockopt(SENDBUF) ...", "...(RECVBUF)...", "...(LINGER)...",
  // "[ERR] DEV0%d CTI - WorkerThread 생성 실패"). The caller writes the program-log
  // entries of a successful start.
  std::string Start(int deviceNo, int lanPort);
  bool IsListening() const { return listener_.valid(); }
  int port() const { return port_; }  // the bound port
  size_t workerCount() const;

  // Accepts until Stop() (or a listener failure, logged as "Accept 실패: %d"); each
  // connection's one message goes to onMessage on a worker, then its socket is closed.
  void Run(const MessageHandler& onMessage, const CtiLogHandler& onLog);

  // Stops accepting and closes the listening socket; connections already accepted
  // are still served by the pool.
  void Stop();
  // Stop(), then closes every connection and ends the pool. Idempotent.
  void Shutdown();

 private:
  struct Pool;  // the io_context, its workers and the open connections

  const CtiLimits limits_;

  UniqueFd listener_;
  int port_ = 0;
  RunGate gate_;
  std::unique_ptr<Pool> pool_;
};

}  // namespace lindra
