#pragma once
// What a link hands its owner. Links know nothing of framing, parsing or logs: they
// deliver the bytes they read (or, a CTI listener, whole messages), report failures
// as status lines with their severity and error number, and say when the byte stream
// was cut, when the slot is to be shown down or up, how a lost connection's attempts
// go, and when the link has given up. Every handler runs on the link's strand.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "log/slot_logs.h"
#include "log/status_line.h"

namespace lindra {

struct LinkEvent {
  enum class Kind {
    StreamCut,    // the connection or port was lost: what comes next does not continue what came before
    Down,         // the slot is to be shown not connected, while the link keeps trying
    Up,           // connected again after Down
    Retrying,     // lost (attempt 0, or the attempt whose connection died unproven), or an attempt failed
    Reconnected,  // an attempt connected (or reopened the port); reading goes on
    Ended,        // the link has stopped by itself: nothing more comes until the next start
  };
  Kind kind = Kind::StreamCut;
  // Retrying, Reconnected: the attempt's number since the connection last proved
  // itself with a byte, from 1.
  int attempt = 0;
  std::optional<int> error = {};  // Retrying, Ended: what ended the connection or failed the attempt
  std::string text = {};          // the status line the link said of it, if any

  bool operator==(const LinkEvent&) const = default;
};

// A link calls only the handlers its kind uses: a byte stream chunk, status and
// event; a CTI listener message, log and event. The others may stay empty.
struct LinkHandlers {
  // One read chunk of a byte stream (serial, LAN), exactly the bytes read, never
  // empty: where frames end is for the owner's frame assembler to find.
  std::function<void(std::string_view chunk)> chunk = {};
  // One whole message (CTI, 1..1000 bytes): a frame as it stands.
  std::function<void(std::string_view message)> message = {};
  // One status line for the message log, UTF-8, for example "[ERR] recv 실패 : 104".
  std::function<void(StatusLine line)> status = {};
  // A program-log entry of the link itself (the CTI listener's connections).
  std::function<void(DeviceLogKind kind, const std::string& text)> log = {};
  std::function<void(const LinkEvent& event)> event = {};
};

}  // namespace lindra
