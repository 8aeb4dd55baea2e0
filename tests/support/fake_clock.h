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
  std::chrono::milliseconds Steady() const override { return std::chrono::milliseconds(steady_.load()); }
  void Set(LocalTime now) {
    std::lock_guard lock(mutex_);
    now_ = now;
  }
  void AdvanceSteady(std::chrono::milliseconds by) { steady_ += by.count(); }

 private:
  mutable std::mutex mutex_;
  LocalTime now_;
  std::atomic<int64_t> steady_{1'000'000};
};

// Each reading is one millisecond later than the one before.
class TickingClock final : public Clock {
 public:
  LocalTime Now() const override {
    const int ms = ticks_++;
    return {2026, 3, 14, 10, ms / 60'000 % 60, ms / 1000 % 60, ms % 1000};
  }
  std::chrono::milliseconds Steady() const override { return std::chrono::milliseconds(ticks_.load()); }

 private:
  mutable std::atomic<int> ticks_{0};
};

}  // namespace lindra::testing
