#pragma once
// One reader of the event stream: the model's events queued as they come, taken and
// written by the reader's own request thread.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "app/server_events.h"

namespace lindra::web {

// Publish is called by the model's writers (with the model's lock held), Take by the
// request thread of the reader; mutex_ guards the queue.
class StreamClient final : public EventSink {
 public:
  // A reader this many events behind is dropped: it would only keep the server's
  // memory growing.
  static constexpr size_t kMaxQueued = 10000;

  void Publish(const ServerEvent& event) override;

  // The SSE messages of the events queued, waiting up to `wait` for one; "" when none
  // came. Nothing (and dropped() true) once the reader fell too far behind.
  std::string Take(std::chrono::milliseconds wait);
  bool dropped() const;
  // Wakes a Take that waits, for a server that stops.
  void Close();
  bool closed() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<ServerEvent> queued_;
  bool dropped_ = false;
  bool closed_ = false;
};

}  // namespace lindra::web
