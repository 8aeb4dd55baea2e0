#pragma once
#include <atomic>
#include <mutex>

#include "platform/clock.h"

namespace lindra::testing {

// A clock the test sets by hand; readable from any thread.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(LocalTime now = {2026, 3, 14, 10, 0, 0, 0}) : now_(now) {}
  LocalTime Now() const override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  int64_t SteadyMs() const override { return steady_.load(); }
  void Set(LocalTime now) {
    std::lock_guard lock(mutex_);
    now_ = now;
  }
  void AdvanceSteady(int64_t ms) { steady_ += ms; }

 private:
  mutable std::mutex mutex_;
  LocalTime now_;
  std::atomic<int64_t> steady_{1'000'000};
};

}  // namespace lindra::testing
