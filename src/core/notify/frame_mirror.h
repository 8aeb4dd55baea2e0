#pragma once
// The diagnostic copy of CTI frames: each frame goes, over its own TCP connection,
// to the endpoint given by --mirror HOST:PORT. Off unless configured.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "notify/slot_reporter.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

// MirrorFrame may be called from any thread (the slot's dispatch calls it on the
// strand); the copies are sent on the strand one after another, in the order they
// were queued, so a slow or absent endpoint never delays a call. Flush and the
// destructor are for owner threads, never a loop thread.
class FrameMirror {
 public:
  // Frames waiting beyond this many are dropped (reported as a send failure).
  static constexpr size_t kMaxQueued = 1024;

  // host: a numeric IPv4 address or a name (looked up for each copy, off the loop).
  // A copy gets `timeout` to connect, and as long again to be sent.
  FrameMirror(SlotReporter& reporter, const Strand& strand, TimerMaker& timers, std::string host, int port,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));
  // Ends promptly: a copy under way is cut short, queued ones are dropped.
  ~FrameMirror();
  FrameMirror(const FrameMirror&) = delete;
  FrameMirror& operator=(const FrameMirror&) = delete;

  // Queues a copy of the frame's bytes up to its first zero byte.
  void MirrorFrame(std::string_view frame);

  // Waits until every queued frame has been handled (for orderly stops and tests).
  void Flush();

 private:
  class Sender;

  const Strand strand_;
  std::shared_ptr<Sender> sender_;
};

}  // namespace lindra
