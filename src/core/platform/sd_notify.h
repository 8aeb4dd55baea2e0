#pragma once
// The service manager's notification protocol without libsystemd: one datagram of
// "KEY=value" lines to the socket named by $NOTIFY_SOCKET (a path, or an abstract
// name written with a leading '@'). Outside a Type=notify service the variable is
// unset and every message is dropped quietly.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace lindra {

// The socket is connected once and never changes afterwards, so any thread may
// send (the front-end thread its status, the link loop the watchdog pings); each
// message is one datagram and arrives whole.
class ServiceNotifier {
 public:
  // A notifier that sends nothing.
  ServiceNotifier() = default;
  // Connects to `socketName` ("/run/systemd/notify" or "@abstract"); an empty or
  // unusable name gives a notifier that sends nothing.
  explicit ServiceNotifier(std::string_view socketName);

  // Takes $NOTIFY_SOCKET and removes it from the environment, so that programs the
  // server starts (the demo's peers) never speak for it. Call before threads start.
  static ServiceNotifier FromEnvironment();

  bool active() const { return socket_.valid(); }

  // Sends one message ("READY=1", "STATUS=...", "WATCHDOG=1" ...); false when it was
  // not sent (no manager, or the manager's socket refused it).
  bool Send(std::string_view message) const;

  bool Ready() const { return Send("READY=1"); }
  bool Status(std::string_view text) const;
  bool Watchdog() const { return Send("WATCHDOG=1"); }
  // Reloading (with the monotonic time the manager expects) and Ready() when done.
  bool Reloading() const;
  bool Stopping() const { return Send("STOPPING=1"); }

 private:
  UniqueFd socket_;
};

// True when `fd` is the journal's stream ($JOURNAL_STREAM names its device and
// inode): a line printed there may begin with its syslog priority ("<3>").
bool WritesToJournal(int fd);

// The watchdog period the manager asks for ($WATCHDOG_USEC), when it asks this
// process ($WATCHDOG_PID, when set, names it).
std::optional<std::chrono::microseconds> WatchdogPeriodFromEnvironment();

}  // namespace lindra
