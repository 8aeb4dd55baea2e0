#include "platform/watchdog_pinger.h"

#include <algorithm>

namespace lindra {

WatchdogPinger::WatchdogPinger(const ServiceNotifier& notifier, std::chrono::microseconds period)
    : notifier_(notifier),
      interval_(
          std::max(std::chrono::milliseconds(1), std::chrono::duration_cast<std::chrono::milliseconds>(period / 2))) {}

}  // namespace lindra
