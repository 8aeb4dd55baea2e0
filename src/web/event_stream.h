#pragma once
// The event stream: one sink of the model for every reader. Its thread turns each
// event into its message once and hands the same message to every reader, whose
// request thread takes and writes it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/server_events.h"

namespace lindra {
class ServerModel;
}

namespace lindra::web {

// One message of the stream, made once and shared by the readers; null for an event
// the stream does not carry. `number` counts the model's events from its start.
struct NumberedMessage {
  uint64_t number = 0;
  std::shared_ptr<const std::string> text;
};

// One reader. The stream's thread hands it messages, the reader's request thread
// takes them, the server closes it; mutex_ guards the queue and the flags.
class StreamReader {
 public:
  // A reader that left this many messages untaken when more come is dropped: it
  // would only keep the server's memory growing.
  static constexpr size_t kMaxQueued = 10000;

  // It takes the events after the `eventsBefore`-th, its snapshot holding the rest.
  explicit StreamReader(uint64_t eventsBefore) : eventsBefore_(eventsBefore) {}

  // The messages handed since the last take, waiting up to `wait` for them; "" when
  // none came. Nothing (and dropped() true) once the reader fell too far behind.
  std::string Take(std::chrono::milliseconds wait);
  bool dropped() const;
  // Wakes a Take that waits, for a server that stops.
  void Close();
  bool closed() const;

 private:
  friend class EventStream;
  // The messages of events after the reader's snapshot, then one wake-up.
  void Hand(const std::vector<NumberedMessage>& messages);
  void Drop();

  const uint64_t eventsBefore_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::shared_ptr<const std::string>> queued_;
  bool dropped_ = false;
  bool closed_ = false;
};

// Subscribed to the model from construction to destruction. A gather time after the
// first event of a call (which has several) its thread makes the messages and wakes
// each reader once: the model's writer (a link's thread, about to notify the
// operators) pays one copy of the event and at most one poke per gather time, however
// many readers there are. Publish is called with the model's lock held; Attach,
// Detach and the rest from any thread but not with it; mutex_ guards the events not
// yet made, the recent messages and the readers.
class EventStream final : public EventSink {
 public:
  static constexpr std::chrono::milliseconds kGather{10};
  // Messages kept for a reader whose snapshot was taken just before they were handed.
  static constexpr size_t kRecentKept = 1024;

  explicit EventStream(ServerModel& model);
  ~EventStream();  // unsubscribes, closes every reader, ends the thread
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  void Publish(const ServerEvent& event) override;

  // A new reader with its snapshot: the reader gets every event after it.
  std::pair<std::shared_ptr<StreamReader>, ServerSnapshot> Attach();
  // A reader for a snapshot taken earlier; null when the messages made since are no
  // longer all kept.
  std::shared_ptr<StreamReader> Follow(const ServerSnapshot& snapshot);
  void Detach(const std::shared_ptr<StreamReader>& reader);
  size_t readers() const;
  // Closes every reader, for a server that stops.
  void CloseAll();

 private:
  void Run();

  ServerModel& model_;
  mutable std::mutex mutex_;
  std::condition_variable poked_;
  std::vector<ServerEvent> unmade_;  // events published, their messages not made yet
  uint64_t published_ = 0;           // number of the last event published
  std::deque<NumberedMessage> recent_;
  uint64_t forgotten_ = 0;  // number of the last event a reader can no longer be given
  std::set<std::shared_ptr<StreamReader>> readers_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace lindra::web
