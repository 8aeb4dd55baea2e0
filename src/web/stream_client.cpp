#include "web/stream_client.h"

#include <vector>

#include "web/console_json.h"

namespace lindra::web {

// The JSON is made on the reader's thread: the model's lock is held only for the copy.
void StreamClient::Publish(const ServerEvent& event) {
  {
    std::lock_guard lock(mutex_);
    if (dropped_ || closed_) return;
    if (queued_.size() >= kMaxQueued) {
      dropped_ = true;
      queued_.clear();
    } else {
      queued_.push_back(event);
    }
  }
  waker_.Poke();
}

std::string StreamClient::Take(std::chrono::milliseconds wait) {
  std::deque<ServerEvent> taken;
  {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, wait, [this] { return !queued_.empty() || dropped_ || closed_; });
    if (dropped_ || closed_) return {};
    taken.swap(queued_);
  }
  std::string messages;
  for (const ServerEvent& event : taken)
    if (auto message = StreamMessageOf(event)) messages += *message;
  return messages;
}

bool StreamClient::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void StreamClient::Wake() { ready_.notify_all(); }

void StreamClient::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

bool StreamClient::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

StreamWaker::StreamWaker() : thread_([this] { Run(); }) {}

StreamWaker::~StreamWaker() {
  CloseAll();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  poked_.notify_all();
  thread_.join();
}

void StreamWaker::Attach(std::shared_ptr<StreamClient> client) {
  std::lock_guard lock(mutex_);
  clients_.insert(std::move(client));
}

void StreamWaker::Detach(const std::shared_ptr<StreamClient>& client) {
  std::lock_guard lock(mutex_);
  clients_.erase(client);
}

size_t StreamWaker::readers() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

void StreamWaker::Poke() {
  {
    std::lock_guard lock(mutex_);
    if (std::exchange(pending_, true)) return;
  }
  poked_.notify_one();
}

void StreamWaker::CloseAll() {
  std::lock_guard lock(mutex_);
  for (const auto& client : clients_) client->Close();
}

void StreamWaker::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    poked_.wait(lock, [this] { return pending_ || stopping_; });
    if (stopping_) return;
    // The rest of the call's events come meanwhile; a stop cuts the gather short.
    poked_.wait_for(lock, kGather, [this] { return stopping_; });
    pending_ = false;
    const std::vector<std::shared_ptr<StreamClient>> readers(clients_.begin(), clients_.end());
    lock.unlock();
    for (const auto& client : readers) client->Wake();
    lock.lock();
  }
}

}  // namespace lindra::web
