#pragma once
// One thread runs a link's blocking loop (the channel's LoopThread); another (the
// controller's) asks it to stop. RunGate carries that request through an eventfd, so
// every wait of the loop (poll on the port or socket, the pauses) ends at once, and
// lets the stopping thread wait until the loop has let go of the link before it closes it.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/unique_fd.h"

namespace lindra {

// Called by the loop thread (Enter, Leave, waits) and the controller's thread
// (Arm, RequestStop); `mutex_` guards the flags, the eventfd needs no guard.
class RunGate {
 public:
  enum class Wait { Ready, Timeout, Stop, Error };

  RunGate();

  // Before a new start: forgets an earlier stop request.
  void Arm();
  // The loop begins; false when a stop was requested before it could begin.
  bool Enter();
  // The loop has ended and no longer touches the link. True when a stop was asked
  // from inside the loop, so the loop itself must now release the link.
  bool Leave();
  // Asks the loop to end and waits until it has. True when the caller may release
  // the link now; false when called from the loop's own thread (it would wait for
  // itself), in which case Leave() hands the release to the loop.
  bool RequestStop();
  bool stopRequested() const;

  // Waits until fd is ready for `events` (POLLIN, POLLOUT), the time runs out
  // (timeoutMs < 0: no limit) or a stop is requested. A stop wins over readiness.
  Wait WaitFor(int fd, short events, int timeoutMs) const;
  // A pause that a stop request cuts short; true when it was cut short.
  bool Pause(int ms) const;

 private:
  UniqueFd wake_;
  mutable std::mutex mutex_;
  std::condition_variable left_;
  bool stop_ = false;
  bool inRun_ = false;
  bool releaseOnLeave_ = false;
  std::thread::id runner_;
};

}  // namespace lindra
