#pragma once
// The readers of the event stream: each reader's events queued as they come, taken
// and written by the reader's own request thread; one waker wakes the readers.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "app/server_events.h"

namespace lindra::web {

class StreamWaker;

// Publish is called by the model's writers (with the model's lock held), Take by the
// request thread of the reader, Wake and Close by the waker or the server; mutex_
// guards the queue.
class StreamClient final : public EventSink {
 public:
  // A reader this many events behind is dropped: it would only keep the server's
  // memory growing.
  static constexpr size_t kMaxQueued = 10000;

  explicit StreamClient(StreamWaker& waker) : waker_(waker) {}

  // Queues the event and pokes the waker: the model's writer (a link's thread, just
  // before it notifies the operators) never wakes a reader itself.
  void Publish(const ServerEvent& event) override;

  // The SSE messages of the events queued, waiting up to `wait` for the waker; ""
  // when none came. Nothing (and dropped() true) once the reader fell too far behind.
  std::string Take(std::chrono::milliseconds wait);
  bool dropped() const;
  void Wake();
  // Wakes a Take that waits, for a server that stops.
  void Close();
  bool closed() const;

 private:
  StreamWaker& waker_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<ServerEvent> queued_;
  bool dropped_ = false;
  bool closed_ = false;
};

// One thread that wakes every reader a gather time after events came: the events of
// one call (there are several) reach a reader in one write, readers' threads wake at
// most once per gather time, and the model's writers pay one poke at most per gather
// time, whatever the number of readers. Attach, Detach, Poke and the rest from any
// thread; mutex_ guards the readers and the poke.
class StreamWaker {
 public:
  static constexpr std::chrono::milliseconds kGather{10};

  StreamWaker();
  ~StreamWaker();  // closes every reader, ends the thread
  StreamWaker(const StreamWaker&) = delete;
  StreamWaker& operator=(const StreamWaker&) = delete;

  void Attach(std::shared_ptr<StreamClient> client);
  void Detach(const std::shared_ptr<StreamClient>& client);
  size_t readers() const;
  void Poke();
  // Closes every reader, for a server that stops.
  void CloseAll();

 private:
  void Run();

  mutable std::mutex mutex_;
  std::condition_variable poked_;
  std::set<std::shared_ptr<StreamClient>> clients_;
  bool pending_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace lindra::web
