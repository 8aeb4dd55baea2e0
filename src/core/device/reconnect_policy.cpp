#include "device/reconnect_policy.h"

#include <algorithm>
#include <cerrno>

namespace lindra {

ReconnectPolicy::Step ReconnectPolicy::Lost(int error) {
  connectFailed_ = false;
  // A connection that ends before its first byte was no success: an exchange that
  // accepts and closes at once must use up the attempts like one that refuses.
  if (unproven_) {
    unproven_ = false;
    ++failed_;
  }
  return After({NoticeKind::Lost, error});
}

ReconnectPolicy::Step ReconnectPolicy::AttemptBegins() {
  Step step;
  step.attempt = ++attempt_;
  if (down_) return step;  // quiet attempts report nothing
  // After an attempt that did not connect, the link's receive on the unconnected
  // socket is what fails first, and it is reported as such before the next attempt.
  if (connectFailed_) step.notices.push_back({NoticeKind::Lost, ENOTCONN});
  step.notices.push_back({NoticeKind::Attempt, failed_ + 1});
  return step;
}

ReconnectPolicy::Step ReconnectPolicy::Connected() {
  unproven_ = true;
  connectFailed_ = false;
  Step step;
  step.attempt = attempt_;
  if (down_) {
    down_ = false;
    step.notices.push_back({NoticeKind::Back});
    step.shown = Shown::Up;
  }
  return step;
}

ReconnectPolicy::Step ReconnectPolicy::AttemptFailed(int error) {
  connectFailed_ = true;
  ++failed_;
  return After({NoticeKind::AttemptFailed, error});
}

void ReconnectPolicy::BytesReceived() {
  unproven_ = false;
  failed_ = 0;
  attempt_ = 0;
  quietPause_ = {};
}

ReconnectPolicy::Step ReconnectPolicy::After(Notice notice) {
  Step step;
  step.attempt = attempt_;
  if (!down_) {
    step.notices.push_back(notice);
    if (failed_ >= settings_.announcedAttempts) {
      down_ = true;
      step.notices.push_back({NoticeKind::GaveUp});
      step.shown = Shown::Down;
    }
  }
  step.pause = down_ ? NextQuietPause() : settings_.retryPause;
  return step;
}

// A device that comes back and goes again before it has sent anything keeps its
// back-off: started over, it would come and go every second.
std::chrono::milliseconds ReconnectPolicy::NextQuietPause() {
  quietPause_ = quietPause_ == std::chrono::milliseconds(0) ? settings_.quietFirstPause : 2 * quietPause_;
  quietPause_ = std::min(quietPause_, settings_.quietMaxPause);
  return quietPause_;
}

}  // namespace lindra
