#pragma once
// Fake time for the loop's timers. The code under test arms timers as it would on real
// time; the test moves time forward and the timers that fall due fire, in due order,
// each on its own strand, while the loop itself runs for real (sockets, strands).
#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/event_loop.h"
#include "platform/timer.h"
#include "support/fake_clock.h"

namespace lindra::testing {

class FakeTimers final : public TimerMaker {
 public:
  // A clock given here moves with the timers (its steady milliseconds).
  explicit FakeTimers(FakeClock* clock = nullptr) : clock_(clock) {}

  std::unique_ptr<Timer> Create(const Strand& strand) override { return std::make_unique<FakeTimer>(*this, strand); }

  // Moves time forward by `by`. Every timer that falls due meanwhile fires in due order
  // (ties in arming order), and Advance waits for each callback to have run before it
  // looks for the next, so a timer armed by a callback fires too when it falls due in
  // the same step. Returns how many fired.
  int Advance(std::chrono::milliseconds by) {
    int fired = 0;
    std::unique_lock lock(mutex_);
    const int64_t target = now_ + by.count();
    for (;;) {
      State* next = nullptr;
      for (State* state : armed_)
        if (state->due <= target && (!next || std::pair(state->due, state->order) < std::pair(next->due, next->order)))
          next = state;
      if (!next) break;
      MoveTo(next->due);
      Disarm(*next);
      auto done = std::make_shared<std::promise<void>>();
      asio::post(next->strand,
                 [this, state = next->self.lock(), generation = next->generation, fire = next->fire, done] {
                   bool current = false;
                   if (state) {
                     std::lock_guard inner(mutex_);
                     current = state->generation == generation;
                   }
                   if (current) fire();
                   done->set_value();
                 });
      ++fired;
      lock.unlock();
      if (done->get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready)
        ADD_FAILURE() << "a timer callback did not run: is the event loop running?";
      lock.lock();
    }
    MoveTo(target);
    return fired;
  }

  // Waits until at least `count` timers are armed (the code under test arms them on
  // the loop, after the test's action returned).
  bool WaitForArmed(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return armed_.size() >= count; });
  }

  // Waits until no timer is armed: those that fell due have been taken to fire.
  bool WaitForNoneArmed(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return armed_.empty(); });
  }

  // Waits until the earliest armed timer falls due exactly `due` from now: the code
  // under test has armed its pause (on the loop, after the test's action returned).
  bool WaitForDue(std::chrono::milliseconds due, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return EarliestDue() == now_ + due.count(); });
  }

  // Checks a pause's length and lets it pass: waits for a timer due exactly `due` from
  // now, then moves time there. Returns how many fired (0: none became due so).
  int AdvanceWhenDue(std::chrono::milliseconds due) {
    if (!WaitForDue(due)) {
      ADD_FAILURE() << "no timer fell due in " << due.count() << " ms; next due: "
                    << (NextDue() ? std::to_string(NextDue()->count()) + " ms" : std::string("none"));
      return 0;
    }
    return Advance(due);
  }

  size_t armedCount() const {
    std::lock_guard lock(mutex_);
    return armed_.size();
  }
  // Time until the earliest armed timer falls due, if any is armed.
  std::optional<std::chrono::milliseconds> NextDue() const {
    std::lock_guard lock(mutex_);
    const std::optional<int64_t> due = EarliestDue();
    if (!due) return std::nullopt;
    return std::chrono::milliseconds(*due - now_);
  }

 private:
  struct State {
    explicit State(const Strand& strand) : strand(strand) {}
    Strand strand;
    std::weak_ptr<State> self;
    std::function<void()> fire;
    int64_t due = 0;
    uint64_t order = 0;
    unsigned generation = 0;
  };

  class FakeTimer final : public Timer {
   public:
    FakeTimer(FakeTimers& timers, const Strand& strand) : timers_(timers), state_(std::make_shared<State>(strand)) {
      state_->self = state_;
    }
    ~FakeTimer() override { Stop(); }
    void Start(std::chrono::milliseconds after, std::function<void()> fire) override {
      std::lock_guard lock(timers_.mutex_);
      timers_.Disarm(*state_);
      state_->fire = std::move(fire);
      state_->due = timers_.now_ + after.count();
      state_->order = timers_.nextOrder_++;
      timers_.armed_.insert(state_.get());
      timers_.changed_.notify_all();
    }
    void Stop() override {
      std::lock_guard lock(timers_.mutex_);
      timers_.Disarm(*state_);
    }
    bool armed() const override {
      std::lock_guard lock(timers_.mutex_);
      return timers_.armed_.count(state_.get()) != 0;
    }

   private:
    FakeTimers& timers_;
    std::shared_ptr<State> state_;
  };

  // mutex_ is held.
  std::optional<int64_t> EarliestDue() const {
    std::optional<int64_t> due;
    for (const State* state : armed_)
      if (!due || state->due < *due) due = state->due;
    return due;
  }
  void Disarm(State& state) {
    ++state.generation;
    if (armed_.erase(&state) != 0) changed_.notify_all();
  }
  void MoveTo(int64_t when) {
    if (clock_) clock_->AdvanceSteady(std::chrono::milliseconds(when - now_));
    now_ = when;
  }

  FakeClock* clock_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::set<State*> armed_;
  int64_t now_ = 0;
  uint64_t nextOrder_ = 0;
};

// An event loop whose timers run on fake time (the clock moves with them), with a
// strand for the object under test. Declared before that object, so the object
// stops while the loop still runs. The timers outlive the loop: handlers it drops
// when it ends may still own timers of theirs.
struct FakeTimeLoop {
  FakeTimeLoop() : strand(loop.MakeStrand()) { loop.Start(); }
  FakeClock clock;
  FakeTimers timers{&clock};
  EventLoop loop{2};
  Strand strand;
};

}  // namespace lindra::testing
