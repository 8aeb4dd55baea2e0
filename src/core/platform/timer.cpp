#include "platform/timer.h"

#include <asio/steady_timer.hpp>
#include <atomic>

namespace lindra {
namespace {

class SteadyTimer final : public Timer {
 public:
  explicit SteadyTimer(const Strand& strand)
      : timer_(strand), generation_(std::make_shared<std::atomic<unsigned>>(0)) {}
  ~SteadyTimer() override { Stop(); }

  void Start(std::chrono::milliseconds after, std::function<void()> fire) override {
    Stop();
    armed_ = true;
    timer_.expires_after(after);
    // The generation, not the error code, decides: a cancel cannot recall a completion
    // that is already queued, and the timer may be gone by the time it runs (atomic:
    // a stopped timer may be destroyed on another thread meanwhile).
    timer_.async_wait(
        [this, generation = generation_, mine = generation_->load(), fire = std::move(fire)](const asio::error_code&) {
          if (*generation != mine) return;
          armed_ = false;
          fire();
        });
  }

  void Stop() override {
    ++*generation_;
    armed_ = false;
    timer_.cancel();
  }

  bool armed() const override { return armed_; }

 private:
  asio::steady_timer timer_;
  std::shared_ptr<std::atomic<unsigned>> generation_;
  bool armed_ = false;
};

}  // namespace

std::unique_ptr<Timer> SteadyTimerMaker::Create(const Strand& strand) { return std::make_unique<SteadyTimer>(strand); }

SteadyTimerMaker& SteadyTimerMaker::Instance() {
  static SteadyTimerMaker maker;
  return maker;
}

}  // namespace lindra
