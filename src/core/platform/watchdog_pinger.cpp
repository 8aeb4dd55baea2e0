#include "platform/watchdog_pinger.h"

#include <algorithm>
#include <asio/post.hpp>
#include <utility>

namespace lindra {

WatchdogPinger::WatchdogPinger(const ServiceNotifier& notifier, std::chrono::microseconds period,
                               std::vector<Strand> watched)
    : notifier_(notifier),
      interval_(
          std::max(std::chrono::milliseconds(1), std::chrono::duration_cast<std::chrono::milliseconds>(period / 2))),
      watched_(std::move(watched)) {}

bool WatchdogPinger::Tick() {
  if (outstanding_->load() != 0) return false;
  notifier_.Watchdog();
  outstanding_->store(watched_.size());
  for (const auto& strand : watched_) {
    asio::post(strand, [outstanding = outstanding_] { outstanding->fetch_sub(1); });
  }
  return true;
}

}  // namespace lindra
