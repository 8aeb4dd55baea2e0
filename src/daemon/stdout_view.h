#pragma once
// The daemon's front end: message-log lines and message-box texts go to standard
// output as they come, flushed at once; RunLater runs work on the daemon's one
// front-end thread (the io_context that also handles the signals).
#include <asio/io_context.hpp>
#include <atomic>
#include <functional>

#include "app/controller_view.h"

namespace lindra {

struct StdoutViewSettings {
  bool printCallRows = false;  // the demo shows its calls
  // Lines go to the journal: each begins with its syslog priority, and a link
  // failure's line ends with its detail.
  bool journal = false;
};

// Called from any core thread; lines and other work are posted to the front-end
// thread's io_context, in the order they come, and printed there. The two hooks run
// on that thread too.
class StdoutView final : public ControllerView {
 public:
  StdoutView(asio::io_context& io, StdoutViewSettings settings) : io_(io), settings_(settings) {}

  // Set before the io_context runs.
  std::function<void()> onSlotStateChanged;
  std::function<void()> onAutoConnectDone;

  void Publish(const ServerEvent& event) override;
  void RunLater(std::chrono::milliseconds delay, std::function<void()> work) override;

 private:
  enum class Priority { Error = 3, Warning = 4, Info = 6 };
  void PrintLine(Priority priority, const std::string& line);
  void Print(const MessageLine& line);
  void PrintCall(const CallRecord& call);
  void Post(const std::function<void()>& hook);

  static constexpr long kMaxPendingLines = 100'000;

  asio::io_context& io_;
  const StdoutViewSettings settings_;
  std::atomic<long> pending_{0};
  std::atomic<unsigned long> dropped_{0};
};

}  // namespace lindra
