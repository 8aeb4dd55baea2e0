#pragma once
// The slot's UDP notification socket and the broadcast of events to every operator
// PC at once, used by slots that have no operator table.
#include <asio/ip/udp.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "log/status_line.h"
#include "notify/slot_reporter.h"
#include "parse/call_event.h"
#include "platform/event_loop.h"

namespace lindra {

inline constexpr const char* kDefaultBroadcastAddress = "255.255.255.255";

// The socket belongs to the slot's strand: Create and Close (from the controller's
// thread) run there, and BroadcastNotify is called there, by the slot's dispatch.
class NotifySocket {
 public:
  explicit NotifySocket(const Strand& strand);

  // Closes any previous socket, then makes a new UDP socket, with SO_BROADCAST when
  // the slot is in broadcast mode. A slot that a reload moves to broadcast later gets
  // the option with its first broadcast. Returns nothing or the failure:
  // "[ERR] DEV0%d LAN - UDP socket 실패 ErrNo:%d" / "... setsockopt 실패 ...".
  [[nodiscard]] std::optional<StatusLine> Create(int slotNo, bool broadcastMode);
  void Close();

  // Sends "%c|%s|%s" (kind letter, caller number, DID number) as one datagram to
  // address:progPort and reports it: on success the status line and telephone-log
  // line "send : %d -> DID:%s, CID:%s"; on failure the program-log ERROR entry
  // "send 실패: %d -> %s" and the status line "[ERR] send 실패 : %d -> %s".
  // Returns true when the datagram was sent.
  bool BroadcastNotify(SlotReporter& reporter, std::string_view address, int progPort, const CallEvent& event);

 private:
  // SO_BROADCAST is on: without it the system refuses every datagram to a broadcast
  // address (EACCES).
  bool broadcastAllowed_ = false;
  const Strand strand_;
  asio::ip::udp::socket socket_;
};

}  // namespace lindra
