#pragma once
// Keeps the service manager's watchdog fed while the server really works. Tick() runs
// on a timer of the front end's thread; a ping goes out only when every watched
// strand (one per slot: its link, framing, routing and dispatch) has run the probe
// the previous tick posted to it. So a hung front end, a slot whose handler never
// returns, or a loop whose threads are all stuck stops the pings, and the manager
// restarts the server. The pinger itself has no thread and no timer.
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/event_loop.h"
#include "platform/sd_notify.h"

namespace lindra {

class WatchdogPinger {
 public:
  // `period` is the manager's watchdog period ($WATCHDOG_USEC).
  WatchdogPinger(const ServiceNotifier& notifier, std::chrono::microseconds period, std::vector<Strand> watched);

  // Half the period, so that one late tick still arrives in time.
  std::chrono::milliseconds interval() const { return interval_; }

  // Pings when the last round of probes has come back (the first tick always does)
  // and posts the next round; while a round is outstanding it neither pings nor piles
  // up more probes behind a stuck strand. Returns whether it pinged.
  bool Tick();

 private:
  const ServiceNotifier& notifier_;
  std::chrono::milliseconds interval_;
  std::vector<Strand> watched_;
  // Shared with the probes, which may run after the pinger is gone.
  std::shared_ptr<std::atomic<size_t>> outstanding_ = std::make_shared<std::atomic<size_t>>(0);
};

}  // namespace lindra
