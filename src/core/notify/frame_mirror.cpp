#include "notify/frame_mirror.h"

#include <asio/dispatch.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <deque>
#include <future>
#include <vector>

#include "platform/resolver.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {

// The queue and the copy under way. Everything runs on the strand; a pending look-up,
// connect or send holds the sender alive, the timer (owned here) never fires once it
// is gone. Once closed it reports nothing again.
class FrameMirror::Sender : public std::enable_shared_from_this<Sender> {
 public:
  Sender(SlotReporter& reporter, const Strand& strand, TimerMaker& timers, std::string host, int port,
         std::chrono::milliseconds timeout)
      : reporter_(reporter),
        strand_(strand),
        host_(std::move(host)),
        port_(port),
        timeout_(timeout),
        socket_(strand),
        timer_(timers.Create(strand)) {}

  void Queue(std::string frame) {
    if (closed_) return;
    if (queue_.size() >= kMaxQueued) {
      reporter_.ProgramLog(DeviceLogKind::Error, text::Format("send 실패: %d", ENOBUFS));
      return;
    }
    queue_.push_back(std::move(frame));
    SendNext();
  }

  // `idle` runs once nothing is queued or under way (at once when that is so now).
  void WhenIdle(std::function<void()> idle) {
    if (closed_ || (!busy_ && queue_.empty())) return idle();
    waiting_.push_back(std::move(idle));
  }

  void Close() {
    closed_ = true;
    queue_.clear();
    CloseSocket();
    timer_->Stop();
    TellIdle();
  }

 private:
  void SendNext() {
    if (busy_) return;
    if (queue_.empty()) return TellIdle();
    busy_ = true;
    current_ = std::move(queue_.front());
    queue_.pop_front();
    // A name is looked up each time, so that a diagnostic host that moves is followed
    // without a restart.
    LookUpIpv4Async(strand_, host_, [self = shared_from_this()](Ipv4Lookup found) {
      if (self->closed_) return;
      // A name that does not resolve leaves nothing to connect to.
      if (!found.address) return self->Done(text::Format("connect 실패: %d", EHOSTUNREACH));
      self->Connect(asio::ip::tcp::endpoint(*found.address, static_cast<uint16_t>(self->port_)));
    });
  }

  void Connect(const asio::ip::tcp::endpoint& endpoint) {
    asio::error_code ec;
    socket_.open(asio::ip::tcp::v4(), ec);
    if (ec) return Done(text::Format("socket 실패: %d", ec.value()));
    ArmTimeout();
    socket_.async_connect(endpoint, [self = shared_from_this()](const asio::error_code& ec) {
      if (self->closed_) return;
      const int error = self->timedOut_ ? ETIMEDOUT : ec.value();
      if (error) return self->Done(text::Format("connect 실패: %d", error));
      self->ArmTimeout();
      asio::async_write(self->socket_, asio::buffer(self->current_), [self](const asio::error_code& ec, size_t) {
        if (self->closed_) return;
        const int error = self->timedOut_ ? ETIMEDOUT : ec.value();
        self->Done(error ? text::Format("send 실패: %d", error) : std::string());
      });
    });
  }

  // A connect or send that takes too long is cut short by closing its socket.
  void ArmTimeout() {
    timedOut_ = false;
    timer_->Start(timeout_, [this] {
      timedOut_ = true;
      CloseSocket();
    });
  }

  // The copy is over (failure: its program-log entry); on to the next.
  void Done(const std::string& failure) {
    timer_->Stop();
    CloseSocket();
    if (!failure.empty()) reporter_.ProgramLog(DeviceLogKind::Error, failure);
    busy_ = false;
    SendNext();
  }

  void CloseSocket() {
    asio::error_code ignored;
    socket_.close(ignored);
  }

  void TellIdle() {
    for (auto& idle : std::exchange(waiting_, {})) idle();
  }

  SlotReporter& reporter_;
  const Strand strand_;
  const std::string host_;
  const int port_;
  const std::chrono::milliseconds timeout_;
  asio::ip::tcp::socket socket_;
  std::unique_ptr<Timer> timer_;
  std::deque<std::string> queue_;
  std::string current_;  // the copy under way
  bool busy_ = false;
  bool timedOut_ = false;
  bool closed_ = false;
  std::vector<std::function<void()>> waiting_;  // Flush calls waiting for idle
};

FrameMirror::FrameMirror(SlotReporter& reporter, const Strand& strand, TimerMaker& timers, std::string host, int port,
                         std::chrono::milliseconds timeout)
    : strand_(strand), sender_(std::make_shared<Sender>(reporter, strand, timers, std::move(host), port, timeout)) {}

FrameMirror::~FrameMirror() {
  RunOn(strand_, [this] {
    sender_->Close();
    sender_.reset();
  });
}

void FrameMirror::MirrorFrame(std::string_view frame) {
  asio::dispatch(strand_, [sender = sender_, frame = std::string(text::UpToNul(frame))]() mutable {
    sender->Queue(std::move(frame));
  });
}

void FrameMirror::Flush() {
  std::promise<void> idle;
  asio::post(strand_, [sender = sender_, &idle] { sender->WhenIdle([&idle] { idle.set_value(); }); });
  idle.get_future().wait();
}

}  // namespace lindra
