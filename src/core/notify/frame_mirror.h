#pragma once
// The diagnostic copy of CTI frames: each frame goes, over its own TCP connection,
// to the endpoint given by --mirror HOST:PORT. Off unless configured.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "notify/slot_reporter.h"

namespace lindra {

// MirrorFrame is called by the CTI workers, any number at once; the copies are sent by
// the mirror's own thread, in the order they were queued, so a slow or absent endpoint
// never delays a call. The queue is guarded by mutex_.
class FrameMirror {
 public:
  // Frames waiting beyond this many are dropped (reported as a send failure).
  static constexpr size_t kMaxQueued = 1024;

  // host: a dotted IPv4 address or a name (resolved for each copy, on the mirror thread).
  FrameMirror(SlotReporter& reporter, std::string host, int port,
              std::chrono::milliseconds connectTimeout = std::chrono::milliseconds(1000));
  // Ends the thread promptly: a copy under way is cut short, queued ones are dropped.
  ~FrameMirror();
  FrameMirror(const FrameMirror&) = delete;
  FrameMirror& operator=(const FrameMirror&) = delete;

  // Queues a copy of the frame's bytes up to its first zero byte. Returns false when
  // the frame was dropped because the queue is full.
  bool MirrorFrame(std::string_view frame);

  // Waits until every queued frame has been handled (for orderly stops and tests).
  void Flush();

 private:
  void Run();
  void SendOne(const std::string& frame);

  SlotReporter& reporter_;
  const std::string host_;
  const int port_;
  const std::chrono::milliseconds connectTimeout_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::string> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  int socket_ = -1;  // the copy under way, published so that a stop can cut it short
  std::thread thread_;
};

}  // namespace lindra
