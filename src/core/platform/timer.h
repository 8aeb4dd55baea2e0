#pragma once
// Timers behind one small interface, next to Clock, so the time rules of the links,
// the operator senders, the automatic connect and the statistics pass (pauses, probes,
// pacing, time limits) can run on fake time in tests. A timer belongs to a strand
// of the event loop: its callback always runs there.
#include <chrono>
#include <functional>
#include <memory>

#include "platform/event_loop.h"

namespace lindra {

// Start, Stop and destruction happen on the timer's strand (or while the loop does
// not run); that is what makes "stopped means never fires" hold without a lock. A
// timer that is stopped (or never armed) may also be destroyed on another thread.
class Timer {
 public:
  virtual ~Timer() = default;  // a destroyed timer never fires
  // Arms the timer: `fire` runs once, `after` from now. Arming an armed timer replaces
  // the earlier arming.
  virtual void Start(std::chrono::milliseconds after, std::function<void()> fire) = 0;
  // Disarms it: the pending callback never runs, also when its time has come and the
  // call is already queued on the strand.
  virtual void Stop() = 0;
  virtual bool armed() const = 0;
};

class TimerMaker {
 public:
  virtual ~TimerMaker() = default;
  virtual std::unique_ptr<Timer> Create(const Strand& strand) = 0;
};

// Real time: asio's steady_timer.
class SteadyTimerMaker final : public TimerMaker {
 public:
  std::unique_ptr<Timer> Create(const Strand& strand) override;
  static SteadyTimerMaker& Instance();
};

}  // namespace lindra
