#pragma once
// What the core needs of a front end (the Qt window or the daemon's stdout): the
// live model's events, and a way to run work on the front end's own thread. Events
// may come from any core thread, in the order things happened, and must be taken at
// once: a front end queues the work for its own thread and never makes the core wait.
#include <chrono>
#include <functional>

#include "app/server_events.h"

namespace lindra {

class ControllerView : public EventSink {
 public:
  // Runs `work` on the front end's own thread after `delay` (the start timer).
  virtual void RunLater(std::chrono::milliseconds delay, std::function<void()> work) = 0;
};

}  // namespace lindra
