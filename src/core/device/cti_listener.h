#pragma once
// The listening link of a CTI slot (codes 202 and above): the CTI program connects,
// sends one message of at most 1000 bytes and is closed. Accepting runs on the slot's
// strand, each connection's receive on a strand of its own, all on the event loop.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

struct CtiLimits {
  // Connections open at once; the server derives it from its descriptor limit
  // (CtiConnectionCap), far above what a CTI program opens. At the cap the oldest
  // connection, when it has sent nothing for evictAfter, is closed to make room, so
  // idle or half-open clients cannot lock out the CTI program; a younger one may still
  // carry a call, so accepting waits for room instead (the kernel's backlog holds the
  // newcomers).
  size_t maxConnections = 4096;
  std::chrono::milliseconds evictAfter = std::chrono::seconds(60);
  // A connection that has sent nothing after this long is closed. A CTI program may
  // open its connection well before it has a call to send.
  std::chrono::milliseconds idleTimeout = std::chrono::seconds(120);
  // Messages are handed on in the order their connections were accepted, because the
  // CTI program sends its calls in the order they happen, one connection each. A
  // connection that has sent nothing this long after its accept gives up its place,
  // so a silent or trickling peer delays the messages behind it by at most this
  // much. A CTI program writes its message as soon as it is connected: on a LAN the
  // bytes follow the accept within milliseconds, far inside this bound.
  std::chrono::milliseconds orderHold{200};
};

// The connections one CTI slot may hold open under the process's descriptor limit:
// what is left after the operator connections of every slot, the logs and the links,
// shared by the slots, each of which may be a CTI slot.
size_t CtiConnectionCap(uint64_t descriptorLimit);

// Start, Begin, Stop, Shutdown and the look-ups are called by the owner's thread (the
// controller's), never by a loop thread; the handlers run on the slot's strand.
class CtiListener final : public Link {
 public:
  static constexpr size_t kMessageBytes = 1000;                   // one receive per connection
  static constexpr std::chrono::milliseconds kAcceptPause{1000};  // after running out of descriptors

  // The clock's steady time gives a connection's age for the eviction at the cap.
  CtiListener(EventLoop& loop, const Strand& strand, TimerMaker& timers, const Clock& clock, CtiLimits limits = {});
  ~CtiListener() override;  // Shutdown()
  CtiListener(const CtiListener&) = delete;
  CtiListener& operator=(const CtiListener&) = delete;

  // Listens on all addresses at lanPort (0: a free port, see port()). Opened:
  // "[WARN] DEV0%d CTI - Listen CTI Event : %d" (deviceNo, lanPort). Failed: the
  // text of the step that failed ("[ERR] DEV0%d CTI - WSASocket 실패 ErrNo:%d",
  // "... bind ..." (also a port outside 0..65535: EINVAL), "... listen ...",
  // "... setsockopt(SENDBUF) ...", "...(RECVBUF)...", "...(LINGER)..."), with the
  // error number. The caller writes the program-log entries of a successful start.
  [[nodiscard]] LinkResult Start(int deviceNo, int lanPort);
  // The slot's LAN_PORT.
  [[nodiscard]] LinkResult Start(int slotNo, const SlotConfig& slot) override;
  bool IsListening() const;
  int port() const { return port_; }  // the bound port

  // Accepts until Stop (or a listener failure, logged as "Accept 실패: %d", then the
  // Ended event with that error). Each connection's one message (1..kMessageBytes
  // bytes) goes to the message handler, one at a time and in the order the
  // connections were accepted, then its socket is closed. The log handler takes the
  // listener's program-log entries: Plain ("접속됨: ...", "받음: ...") or Error
  // ("Accept 실패: %d", "접속 끊김: ...", ...); a connection closed here before it sent
  // anything (idle, room at the cap, shutdown) gets an Error entry that says why,
  // before its "접속 끊김". Neither chunks nor status lines come from here.
  void Begin(LinkHandlers handlers) override;

  // Stops accepting and closes the listening socket; connections already accepted
  // are still served and their messages handed on.
  void Stop() override;
  // Stop(), then closes every connection and waits until each has ended: messages
  // already received are handed on first, and no handler runs afterwards. Idempotent.
  void Shutdown() override;

 private:
  class Core;

  const Strand strand_;
  std::shared_ptr<Core> core_;
  int port_ = 0;
};

}  // namespace lindra
