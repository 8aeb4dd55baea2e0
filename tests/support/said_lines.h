#pragma once
// Collects the message-log lines that a part of the server says through its report
// callback, from whichever thread it says them.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace lindra::testing {

class SaidLines {
 public:
  std::function<void(const std::string&)> Sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      added_.notify_all();
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Every line said once there are `count` of them (or the time is up).
  std::vector<std::string> WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    added_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable added_;
  std::vector<std::string> lines_;
};

}  // namespace lindra::testing
