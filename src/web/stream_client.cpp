#include "web/stream_client.h"

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
  ready_.notify_one();
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

}  // namespace lindra::web
