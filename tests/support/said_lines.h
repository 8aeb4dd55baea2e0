#pragma once
// Collects the message-log lines that a part of the server says through its report
// callback, from whichever thread it says them. Each line's severity must agree with
// the tag its text shows the operators.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/status_line.h"

namespace lindra::testing {

class SaidLines {
 public:
  std::function<void(StatusLine)> Sink() {
    return [this](StatusLine line) {
      EXPECT_EQ(line.severity, line.text.starts_with("[ERR]") ? Severity::Error : Severity::Warning) << line.text;
      std::lock_guard lock(mutex_);
      lines_.push_back(std::move(line.text));
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
