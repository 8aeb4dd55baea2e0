#pragma once
// The slot's UDP notification socket and the broadcast of events to every operator
// PC at once, used by slots that have no operator table.
#include <mutex>
#include <string>
#include <string_view>

#include "notify/slot_reporter.h"
#include "parse/call_event.h"
#include "platform/unique_fd.h"

namespace lindra {

inline constexpr const char* kDefaultBroadcastAddress = "255.255.255.255";

// Create and Close are called by the controller thread, BroadcastNotify by the slot's
// reading thread; socket_ is guarded by mutex_.
class NotifySocket {
 public:
  // Closes any previous socket, then makes a new UDP socket, with SO_BROADCAST when
  // the slot is in broadcast mode. Returns "" or
  // "[ERR] DEV0%d LAN - UDP socket 실패 ErrNo:%d" / "... setsockopt 실패 ...".
  std::string Create(int slotNo, bool broadcastMode);
  void Close();
  bool IsOpen() const;

  // Sends "%c|%s|%s" (kind letter, caller number, DID number) as one datagram to
  // address:progPort and reports it: on success the status line and telephone-log
  // line "send : %d -> DID:%s, CID:%s"; on failure the program-log ERROR entry
  // "send 실패: %d -> %s" and the status line "[ERR] send 실패 : %d -> %s".
  // Returns true when the datagram was sent.
  bool BroadcastNotify(SlotReporter& reporter, std::string_view address, int progPort, const CallEvent& event);

 private:
  mutable std::mutex mutex_;
  UniqueFd socket_;
};

}  // namespace lindra
