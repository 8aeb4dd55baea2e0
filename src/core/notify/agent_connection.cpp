#include "notify/agent_connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <cerrno>

#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

// True when the peer has closed the connection or it has failed. Bytes the peer sent
// (operator PCs send none) are read and discarded.
bool PeerHasClosed(int fd) {
  char discard[512];
  // Bounded, so that a peer that keeps sending cannot hold the sender here.
  for (int reads = 0; reads < 64; ++reads) {
    const ssize_t n = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    if (n == 0) return true;
    return errno != EAGAIN && errno != EWOULDBLOCK;
  }
  return false;
}

}  // namespace

std::string NotificationBytes(const CallEvent& event) {
  return text::ToExternal(
      text::Format("%s|%s|%s", event.kind.c_str(), event.callerNumber.c_str(), event.didNumber.c_str()));
}

std::string TelephoneLine(int slotNo, const CallEvent& event, const std::string& agentIp, int sendResult) {
  // "%.1s" gives the kind letter, as "%c" would, without a NUL for an empty kind.
  return text::Format("DEV0%d: %.1s %s, %s, %s, %s, %s, %s, SENT:%d", slotNo, event.kind.c_str(),
                      event.callerNumber.c_str(), event.trunk.c_str(), event.didNumber.c_str(), event.extension.c_str(),
                      agentIp.c_str(), event.receivedTime.c_str(), sendResult);
}

AgentConnection::AgentConnection(Owner& owner, SlotReporter& reporter, EventLoop& loop, TimerMaker& timers,
                                 const Clock& clock, Settings settings, std::string ip)
    : owner_(owner),
      reporter_(reporter),
      clock_(clock),
      settings_(settings),
      strand_(loop.MakeStrand()),
      socket_(strand_),
      limitTimer_(timers.Create(strand_)),
      probeTimer_(timers.Create(strand_)),
      gapTimer_(timers.Create(strand_)),
      waitTimer_(timers.Create(strand_)),
      agentIp_(std::move(ip)) {}

void AgentConnection::Start() {
  asio::post(strand_, [self = shared_from_this()] {
    self->ArmProbe();
    self->Proceed();
  });
}

void AgentConnection::Redirect(std::string ip) {
  asio::post(strand_,
             [self = shared_from_this(), ip = std::move(ip)]() mutable { self->ApplyRedirect(std::move(ip)); });
}

void AgentConnection::Offer(std::shared_ptr<const CallEvent> event, SteadyTime offered) {
  asio::post(strand_, [self = shared_from_this(), event = std::move(event), offered]() mutable {
    self->Queue(std::move(event), offered);
  });
}

void AgentConnection::Close() {
  if (!running_) return;
  running_ = false;
  ++attempt_;
  CloseSocket();
  limitTimer_.reset();
  probeTimer_.reset();
  gapTimer_.reset();
  waitTimer_.reset();
  GiveUpWaiting();
}

void AgentConnection::Queue(std::shared_ptr<const CallEvent> event, SteadyTime offered) {
  if (running_ && reach_ == Reach::NotReached)
    while (pending_.size() >= kWaitingLimit) GiveUp(FirstNotSending());
  pending_.push_back({std::move(event), agentIp_, offered});
  CountWaiting();
  // Closed meanwhile: the call leaves unsent, with its line like any other.
  if (!running_) return GiveUpWaiting();
  state_ = State::Pending;
  ArmWaitLimit();
  Proceed();
}

void AgentConnection::ApplyRedirect(std::string ip) {
  if (!running_ || ip == agentIp_) return;
  agentIp_ = std::move(ip);
  reach_ = Reach::Untested;  // a new PC: what the old one did says nothing of it
  // The calls now routed to the new PC must not go on reaching the old one. A send
  // under way finishes first and ends the kept connection then.
  if (phase_ == Phase::Connecting || (phase_ == Phase::Open && settings_.persistent && !sending_)) EndAttempt();
}

// Starts the next connection when the row has something to do and none is under way.
void AgentConnection::Proceed() {
  if (!running_) return;
  if (phase_ == Phase::Open && settings_.persistent) return ServeNext();
  if (phase_ != Phase::Idle) return;
  if (state_ == State::Idle) {
    if (!probeDue_) return;
    // The persistent sender counts the next interval from the moment this one ended.
    if (settings_.persistent) ArmProbe();
    state_ = State::ProbeDue;
  }
  BeginAttempt();
}

// Opens a socket and connects it to the row's PC, showing the attempt as the colour.
void AgentConnection::BeginAttempt() {
  phase_ = Phase::Connecting;
  const unsigned attempt = ++attempt_;
  connectIp_ = agentIp_;
  forWaitingCalls_ = state_ == State::Pending;
  carried_ = false;
  asio::error_code error;
  socket_.open(asio::ip::tcp::v4(), error);
  if (error)
    reporter_.Message(
        StatusLine::Error(text::Format("[ERR] client socket 실패 ErrNo:%d", error.value()), error.value()));
  asio::ip::address_v4 address;
  if (!error) address = asio::ip::make_address_v4(connectIp_, error);
  if (error) {
    // Fails like any connect, after this turn of the strand.
    asio::post(strand_, [self = shared_from_this(), attempt, error] { self->Connected(attempt, error); });
  } else {
    limitTimer_->Start(kConnectTimeLimit, [this, attempt] {
      if (attempt == attempt_) CloseSocket();
    });
    socket_.async_connect(
        {address, static_cast<unsigned short>(settings_.port)},
        [self = shared_from_this(), attempt](const asio::error_code& e) { self->Connected(attempt, e); });
  }
  ShowColour(kAgentConnecting);
}

void AgentConnection::Connected(unsigned attempt, asio::error_code error) {
  if (attempt != attempt_ || !running_) return;
  limitTimer_->Stop();
  // A connect of the current attempt is cut short only by its time limit: a redirect
  // or a stop has moved on to another attempt first.
  if (error == asio::error::operation_aborted) error = asio::error::timed_out;
  NoteReach(error);
  const Colour outcome = error ? kAgentFailed : kAgentConnected;
  if (!error && (settings_.persistent || state_ == State::Pending)) {
    // A connection that carries calls is shown before they go.
    phase_ = Phase::Open;
    ShowColour(outcome);
    return settings_.persistent ? ServeNext() : SendFront();
  }
  if (!settings_.persistent && state_ == State::Pending) {
    // A failed connect still counts as the waiting call's send, logged as -1.
    ShowColour(outcome);
    return Sent(attempt, -1);
  }
  if (settings_.persistent) {
    // The PC is away: what waited for it is given up, and the next try comes with
    // the next call or after PROBE_INTERVAL.
    state_ = State::ProbeDue;
    GiveUpWaiting();
  }
  // A connection test, or a failed persistent connect: shown once the row has
  // settled, its next probe armed.
  EndAttempt();
  ShowColour(outcome);
}

// One message-log line (and journal entry) for each change, not for each call: the PC
// is not reached at its first test or after it was, or it is reached again. Rows that
// reach their PCs at the start say nothing.
void AgentConnection::NoteReach(const asio::error_code& error) {
  const Reach reach = error ? Reach::NotReached : Reach::Reached;
  if (reach == reach_) return;
  if (error)
    reporter_.Message(StatusLine::Error(text::Format("[ERR] DEV0%d 상담원 PC 응답 없음: %s (%d)", reporter_.slotNo(),
                                                        connectIp_.c_str(), error.value()),
                                           error.value()));
  else if (reach_ == Reach::NotReached)
    reporter_.Message(StatusLine::Warning(
        text::Format("[WARN] DEV0%d 상담원 PC 연결 복구: %s", reporter_.slotNo(), connectIp_.c_str())));
  reach_ = reach;
}

// Persistent mode: the next waiting call, once the pause after the last one is over.
void AgentConnection::ServeNext() {
  if (sending_ || gapTimer_->armed() || state_ != State::Pending) return;
  // A PC that closed the connection would take one more send without error and lose
  // it; such a connection is rebuilt before the send instead.
  if (PeerHasClosed(socket_.native_handle())) return DropConnection();
  SendFront();
}

// Writes the front call's notification. It normally fits the socket at once; a PC
// that reads slowly gets the rest as it makes room, within the send time limit.
void AgentConnection::SendFront() {
  sending_ = true;
  ArmWaitLimit();  // the front call is on its way now
  outgoing_ = NotificationBytes(*pending_.front().event);
  asio::error_code error;
  socket_.non_blocking(true, error);
  size_t written = error ? 0 : socket_.write_some(asio::buffer(outgoing_), error);
  if (error == asio::error::would_block) error.clear();
  if (error || written == outgoing_.size()) return Sent(attempt_, error ? -1 : static_cast<int>(written));
  const unsigned attempt = attempt_;
  limitTimer_->Start(kSendTimeLimit, [this, attempt] {
    if (attempt == attempt_) CloseSocket();
  });
  asio::async_write(socket_, asio::buffer(outgoing_.data() + written, outgoing_.size() - written),
                    [self = shared_from_this(), attempt, written](const asio::error_code& e, size_t rest) {
                      self->Sent(attempt, e ? -1 : static_cast<int>(written + rest));
                    });
}

void AgentConnection::Sent(unsigned attempt, int result) {
  if (attempt != attempt_ || !running_) return;
  limitTimer_->Stop();
  sending_ = false;
  Waiting& front = pending_.front();
  if (settings_.persistent && result < 0) {
    reporter_.TelephoneLog(TelephoneLine(reporter_.slotNo(), *front.event, connectIp_, result));
    // The call stays first in line and goes out again on a new connection, within
    // its wait limit.
    front.failureLogged = true;
    ArmWaitLimit();
    return DropConnection();
  }
  // The outcome is told before the line: whoever reads the line finds it known.
  owner_.CallLeft(*this, *front.event, front.ip, result < 0 ? PcOutcome::NotSent : PcOutcome::Sent);
  reporter_.TelephoneLog(TelephoneLine(reporter_.slotNo(), *front.event, connectIp_, result));
  pending_.pop_front();
  CountWaiting();
  ArmWaitLimit();
  state_ = pending_.empty() ? State::Idle : State::Pending;
  if (!settings_.persistent) return EndAttempt();
  carried_ = true;
  if (agentIp_ != connectIp_) return EndAttempt();
  gapTimer_->Start(kPersistentGap, [this] { ServeNext(); });
}

// The PC ended a kept connection. One that it dropped before it carried any of the
// calls it was opened for counts as a failed connect: retrying at once would spin
// against a PC that accepts and drops every connection.
void AgentConnection::DropConnection() {
  if (!carried_ && forWaitingCalls_) {
    state_ = State::ProbeDue;
    GiveUpWaiting();
  }
  EndAttempt();
}

void AgentConnection::EndAttempt() {
  ++attempt_;
  limitTimer_->Stop();
  gapTimer_->Stop();
  phase_ = Phase::Idle;
  sending_ = false;
  if (state_ == State::New || state_ == State::ProbeDue) {
    state_ = State::Idle;
    ArmProbe();
  }
  CloseSocket();
  Proceed();
}

// The oldest waiting call that may still be given up: the front one unless its bytes
// are on their way.
std::deque<AgentConnection::Waiting>::iterator AgentConnection::FirstNotSending() {
  return pending_.begin() + (sending_ ? 1 : 0);
}

// Every call leaves the queue with a telephone-log line: sent, or given up here with
// SENT:-1 (the daily statistics count calls from these lines). A call whose failed
// send was logged already is not counted twice. Its outcome is told as it leaves, just
// before its line: a call that goes out again after a failed send has one, the last.
void AgentConnection::GiveUp(std::deque<Waiting>::iterator waiting) {
  owner_.CallLeft(*this, *waiting->event, waiting->ip, PcOutcome::NotSent);
  if (!waiting->failureLogged)
    reporter_.TelephoneLog(TelephoneLine(reporter_.slotNo(), *waiting->event, waiting->ip, -1));
  pending_.erase(waiting);
  CountWaiting();
}

// The calls that have waited kWaitLimit leave, oldest first. A connect under way for
// the front one goes on: it carries the next call, or shows as a connection test.
void AgentConnection::GiveUpLate() {
  const SteadyTime now = SteadyNow();
  const auto late = [&] {
    const auto first = FirstNotSending();
    return first != pending_.end() && first->offered + kWaitLimit <= now;
  };
  if (!late()) return ArmWaitLimit();
  while (late()) GiveUp(FirstNotSending());
  if (pending_.empty()) state_ = phase_ == Phase::Connecting ? State::ProbeDue : State::Idle;
  ArmWaitLimit();
}

// The timer follows the oldest call that may still be given up; calls wait in the
// order they came, so that one is due first.
void AgentConnection::ArmWaitLimit() {
  const auto first = FirstNotSending();
  if (first == pending_.end()) return waitTimer_->Stop();
  const SteadyTime due = first->offered + kWaitLimit;
  if (waitTimer_->armed() && due == waitDue_) return;
  waitDue_ = due;
  waitTimer_->Start(std::max(SteadyTime::zero(), due - SteadyNow()), [this] { GiveUpLate(); });
}

void AgentConnection::GiveUpWaiting() {
  while (!pending_.empty()) GiveUp(pending_.begin());
}

// The last probe is now: the next falls due PROBE_INTERVAL later, and is made once the
// row is idle.
void AgentConnection::ArmProbe() {
  probeDue_ = false;
  probeTimer_->Start(kProbeInterval, [this] {
    probeDue_ = true;
    Proceed();
  });
}

void AgentConnection::CloseSocket() {
  asio::error_code ignored;
  socket_.close(ignored);
}

void AgentConnection::ShowColour(Colour colour) { owner_.ShowColour(*this, colour); }

// A reader on another thread (the monitoring) needs no strand to see the length.
void AgentConnection::CountWaiting() { waiting_.store(pending_.size(), std::memory_order_relaxed); }

SteadyTime AgentConnection::SteadyNow() const { return clock_.Steady(); }

}  // namespace lindra
