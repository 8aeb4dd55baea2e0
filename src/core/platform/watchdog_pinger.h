#pragma once
// Keeps the service manager's watchdog fed. Tick() is meant to run on a timer of the
// loop that serves the links: a loop that hangs stops the pings, and the manager
// then restarts the server. Whoever owns that loop schedules Tick() every
// interval(); the pinger itself has no thread and no timer.
#include <chrono>

#include "platform/sd_notify.h"

namespace lindra {

class WatchdogPinger {
 public:
  // `period` is the manager's watchdog period ($WATCHDOG_USEC).
  WatchdogPinger(const ServiceNotifier& notifier, std::chrono::microseconds period);

  // Half the period, so that one late tick still arrives in time.
  std::chrono::milliseconds interval() const { return interval_; }

  // One ping; called from the loop's own thread.
  void Tick() const { notifier_.Watchdog(); }

 private:
  const ServiceNotifier& notifier_;
  std::chrono::milliseconds interval_;
};

}  // namespace lindra
