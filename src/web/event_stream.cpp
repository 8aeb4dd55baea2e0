#include "web/event_stream.h"

#include <algorithm>

#include "app/server_model.h"
#include "web/console_json.h"
#include "web/give_way.h"

namespace lindra::web {
namespace {

// A snapshot goes stale only when more than kRecentKept messages were made between
// its taking and its reader's attaching; a few tries are plenty.
constexpr int kAttachTries = 3;

}  // namespace

std::string StreamReader::Take(std::chrono::milliseconds wait) {
  std::deque<std::shared_ptr<const std::string>> taken;
  {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, wait, [this] { return !queued_.empty() || dropped_ || closed_; });
    if (dropped_ || closed_) return {};
    taken.swap(queued_);
  }
  size_t size = 0;
  for (const auto& text : taken) size += text->size();
  std::string messages;
  messages.reserve(size);
  for (const auto& text : taken) messages += *text;
  return messages;
}

bool StreamReader::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void StreamReader::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

bool StreamReader::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void StreamReader::Hand(const std::vector<NumberedMessage>& messages) {
  {
    std::lock_guard lock(mutex_);
    if (dropped_ || closed_) return;
    // Only what the reader left untaken counts: a hand the stream made large by
    // falling behind itself (its thread gives way to the calls) is no fault of the reader.
    if (queued_.size() >= kMaxQueued) {
      dropped_ = true;
      queued_.clear();
    } else {
      for (const NumberedMessage& message : messages)
        if (message.number > eventsBefore_ && message.text) queued_.push_back(message.text);
    }
  }
  ready_.notify_all();
}

void StreamReader::Drop() {
  {
    std::lock_guard lock(mutex_);
    dropped_ = true;
  }
  ready_.notify_all();
}

EventStream::EventStream(ServerModel& model) : model_(model) {
  const ServerSnapshot now = model_.Subscribe(*this);
  {
    std::lock_guard lock(mutex_);
    // Publish may already have counted events after the subscription (with no reader
    // yet, none of them is kept).
    published_ += now.eventsBefore;
    forgotten_ = published_;
  }
  thread_ = std::thread([this] { Run(); });
}

EventStream::~EventStream() {
  model_.Unsubscribe(*this);
  CloseAll();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  poked_.notify_all();
  thread_.join();
}

void EventStream::Publish(const ServerEvent& event) {
  bool first;
  {
    std::lock_guard lock(mutex_);
    ++published_;
    // Nobody reads (the service's usual case): the event costs nothing more, and a
    // snapshot taken before it can no longer be followed.
    if (readers_.empty()) {
      forgotten_ = published_;
      return;
    }
    first = unmade_.empty();
    unmade_.push_back(event);
  }
  if (first) poked_.notify_one();
}

std::pair<std::shared_ptr<StreamReader>, ServerSnapshot> EventStream::Attach() {
  for (int attempt = 1;; ++attempt) {
    ServerSnapshot snapshot = model_.Snapshot();
    if (auto reader = Follow(snapshot)) return {std::move(reader), std::move(snapshot)};
    if (attempt == kAttachTries) {
      auto reader = std::make_shared<StreamReader>(snapshot.eventsBefore);
      reader->Drop();
      return {std::move(reader), std::move(snapshot)};
    }
  }
}

std::shared_ptr<StreamReader> EventStream::Follow(const ServerSnapshot& snapshot) {
  std::lock_guard lock(mutex_);
  if (snapshot.eventsBefore < forgotten_) return nullptr;
  auto reader = std::make_shared<StreamReader>(snapshot.eventsBefore);
  reader->Hand({recent_.begin(), recent_.end()});
  readers_.insert(reader);
  return reader;
}

void EventStream::Detach(const std::shared_ptr<StreamReader>& reader) {
  std::lock_guard lock(mutex_);
  readers_.erase(reader);
}

size_t EventStream::readers() const {
  std::lock_guard lock(mutex_);
  return readers_.size();
}

void EventStream::CloseAll() {
  std::lock_guard lock(mutex_);
  for (const auto& reader : readers_) reader->Close();
}

void EventStream::Run() {
  GiveWayToCalls();
  std::unique_lock lock(mutex_);
  for (;;) {
    poked_.wait(lock, [this] { return !unmade_.empty() || stopping_; });
    if (stopping_) return;
    // The rest of the call's events come meanwhile; a stop cuts the gather short.
    poked_.wait_for(lock, kGather, [this] { return stopping_; });
    std::vector<ServerEvent> events;
    events.swap(unmade_);
    const uint64_t first = published_ - events.size() + 1;
    lock.unlock();

    std::vector<NumberedMessage> made;
    made.reserve(events.size());
    for (size_t i = 0; i < events.size(); ++i) {
      std::optional<std::string> text = StreamMessageOf(events[i]);
      made.push_back({first + i, text ? std::make_shared<const std::string>(std::move(*text)) : nullptr});
    }

    // Kept and handed under one lock: a reader attaching meanwhile finds them either
    // among the recent messages or in its hand, never in both or neither.
    lock.lock();
    recent_.insert(recent_.end(), made.begin(), made.end());
    while (recent_.size() > kRecentKept) {
      forgotten_ = std::max(forgotten_, recent_.front().number);
      recent_.pop_front();
    }
    for (const auto& reader : readers_) reader->Hand(made);
  }
}

}  // namespace lindra::web
