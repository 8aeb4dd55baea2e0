#include "device/run_gate.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace lindra {

RunGate::RunGate() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void RunGate::Arm() {
  std::lock_guard lock(mutex_);
  stop_ = false;
  releaseOnLeave_ = false;
  uint64_t drained;
  while (::read(wake_.get(), &drained, sizeof drained) > 0) {
  }
}

bool RunGate::Enter() {
  std::lock_guard lock(mutex_);
  if (stop_) return false;
  inRun_ = true;
  runner_ = std::this_thread::get_id();
  return true;
}

bool RunGate::Leave() {
  bool release;
  {
    std::lock_guard lock(mutex_);
    inRun_ = false;
    runner_ = {};
    release = std::exchange(releaseOnLeave_, false);
  }
  left_.notify_all();
  return release;
}

bool RunGate::RequestStop() {
  std::unique_lock lock(mutex_);
  stop_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(wake_.get(), &one, sizeof one);
  if (inRun_ && runner_ == std::this_thread::get_id()) {
    releaseOnLeave_ = true;
    return false;
  }
  left_.wait(lock, [this] { return !inRun_; });
  return true;
}

bool RunGate::stopRequested() const {
  std::lock_guard lock(mutex_);
  return stop_;
}

RunGate::Wait RunGate::WaitFor(int fd, short events, int timeoutMs) const {
  pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {fd, events, 0}};
  const nfds_t count = fd >= 0 ? 2 : 1;
  for (;;) {
    const int ready = ::poll(fds, count, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;  // the timeout starts again: waits here are short
    if (ready < 0) return Wait::Error;
    if (fds[0].revents) return Wait::Stop;
    if (ready == 0) return Wait::Timeout;
    return Wait::Ready;  // also on POLLERR / POLLHUP: the next call reports the failure
  }
}

bool RunGate::Pause(int ms) const { return WaitFor(-1, 0, ms) == Wait::Stop; }

}  // namespace lindra
