#pragma once
// One operator-table row's connection to its operator PC, as an object of the event
// loop: its own strand, its own queue of waiting calls, and timers for the connect and
// send time limits, the idle probe and the pause between two notifications.
//
// Per-event mode: one connection per call, a connection test when the row starts and
// one every probe interval while idle. Persistent mode (progPort 8001): one connection
// kept open, notifications at least kPersistentGap apart with no separator; a failed
// connect drops the waiting calls and is retried with the next call or after the probe
// interval. Every call leaves the queue with its telephone-log line: the bytes sent,
// or SENT:-1. A PC that stays away cannot make calls pile up: a call waits at most
// kWaitLimit, and at most kWaitingLimit calls wait for a PC that does not answer. The
// row's PC going away and coming back is one message-log line each way.
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "notify/call_record.h"
#include "notify/slot_reporter.h"
#include "parse/call_event.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

inline constexpr Colour kAgentConnecting = 0xF0F0C8;
inline constexpr Colour kAgentConnected = 0xF0DCC8;
inline constexpr Colour kAgentFailed = 0xE6E6E6;

inline constexpr std::chrono::milliseconds kProbeInterval{120'000};  // PROBE_INTERVAL
// A connect that takes longer fails; a PC that stops reading fails the send after that.
inline constexpr std::chrono::milliseconds kConnectTimeLimit{3'000};
inline constexpr std::chrono::milliseconds kSendTimeLimit{3'000};
// The operator's program has no separator between notifications but this pause.
inline constexpr std::chrono::milliseconds kPersistentGap{100};
// A call that has waited this long for its PC is given up, also while a connect for it
// is under way: the operator would take a notification this late for a new call. One
// whose bytes are in the socket already is not late.
inline constexpr std::chrono::milliseconds kWaitLimit{60'000};
// At most this many calls wait for a PC whose last connect failed, as many as a kept
// connection carries within kWaitLimit; a call beyond it pushes out the oldest that is
// not being sent. A PC that answers takes its calls as fast as it can (some hundreds
// a second in per-event mode), so only the wait limit holds them: none it could still
// take in time is lost.
inline constexpr size_t kWaitingLimit = static_cast<size_t>(kWaitLimit / kPersistentGap);

// The notification bytes: "%s|%s|%s" in the edge code page, no terminator.
std::string NotificationBytes(const CallEvent& event);
// The telephone-log line of one send: "DEV0%d: %c %s, %s, %s, %s, %s, %s, SENT:%d".
std::string TelephoneLine(int slotNo, const CallEvent& event, const std::string& agentIp, int sendResult);

// A call's wait is measured on the clock's steady count (Clock::Steady).
using SteadyTime = std::chrono::milliseconds;

// Made by AgentSenders on its caller's thread; Start, Redirect and Offer post to the
// strand, and Close runs on it; waiting() from any thread. The strand guards every
// field but waiting_, an atomic copy of the queue's length that only the strand
// writes; handlers of socket operations keep the object alive until they have run.
class AgentConnection : public std::enable_shared_from_this<AgentConnection> {
 public:
  struct Settings {
    int port = 0;
    bool persistent = false;
  };

  // What a connection tells the senders that own it, from its strand: they know which
  // row it serves now. Nothing is told after Close, which gives up the calls waiting.
  class Owner {
   public:
    virtual void ShowColour(const AgentConnection& connection, Colour colour) = 0;
    // A call leaves the queue: its bytes went, or it is given up. `ip`: the PC it was
    // routed to.
    virtual void CallLeft(const AgentConnection& connection, const CallEvent& event, const std::string& ip,
                          PcOutcome outcome) = 0;

   protected:
    ~Owner() = default;
  };

  AgentConnection(Owner& owner, SlotReporter& reporter, EventLoop& loop, TimerMaker& timers, const Clock& clock,
                  Settings settings, std::string ip);

  void Start();
  // The row now names another PC: its calls go there from the next connection on; a
  // connect under way or a kept connection to the old PC is given up.
  void Redirect(std::string ip);
  // Queues a call for this row's PC; it has waited since `offered`. Rows share the event.
  void Offer(std::shared_ptr<const CallEvent> event, SteadyTime offered);
  // On the strand: ends every operation at once and logs the calls still waiting as
  // not sent. Nothing is reported afterwards.
  void Close();

  const Strand& strand() const { return strand_; }
  // The calls in the queue now, the one being sent included.
  size_t waiting() const { return waiting_.load(std::memory_order_relaxed); }

 private:
  // What the row waits for: nothing, calls to send, its first connection test, a probe.
  enum class State { Idle, Pending, New, ProbeDue };
  // Whether a connection is being made, or is open (sending, or kept).
  enum class Phase { Idle, Connecting, Open };
  // What the connects to the row's PC found last.
  enum class Reach { Untested, Reached, NotReached };

  struct Waiting {
    std::shared_ptr<const CallEvent> event;
    std::string ip;              // the PC it was routed to
    SteadyTime offered{};        // since when it waits
    bool failureLogged = false;  // a failed send of it is in the telephone log already
  };

  void Queue(std::shared_ptr<const CallEvent> event, SteadyTime offered);
  void ApplyRedirect(std::string ip);
  void Proceed();
  void BeginAttempt();
  void Connected(unsigned attempt, asio::error_code error);
  void NoteReach(const asio::error_code& error);
  void ServeNext();
  void SendFront();
  void Sent(unsigned attempt, int result);
  void DropConnection();
  void EndAttempt();
  std::deque<Waiting>::iterator FirstNotSending();
  void GiveUp(std::deque<Waiting>::iterator waiting);
  void GiveUpLate();
  void ArmWaitLimit();
  void GiveUpWaiting();
  void ArmProbe();
  void CloseSocket();
  void ShowColour(Colour colour);
  // After every change of pending_.
  void CountWaiting();
  SteadyTime SteadyNow() const;

  Owner& owner_;
  SlotReporter& reporter_;
  const Clock& clock_;
  const Settings settings_;
  const Strand strand_;
  asio::ip::tcp::socket socket_;
  std::unique_ptr<Timer> limitTimer_;  // the connect or send under way
  std::unique_ptr<Timer> probeTimer_;
  std::unique_ptr<Timer> gapTimer_;
  std::unique_ptr<Timer> waitTimer_;  // the oldest waiting call's kWaitLimit
  SteadyTime waitDue_{};              // when waitTimer_ falls due

  std::string agentIp_;
  State state_ = State::New;
  Phase phase_ = Phase::Idle;
  Reach reach_ = Reach::Untested;  // of agentIp_
  bool running_ = true;
  bool probeDue_ = false;         // PROBE_INTERVAL has passed since the last probe
  std::deque<Waiting> pending_;   // never empty while state_ is Pending; the front is the call being sent
  unsigned attempt_ = 0;          // completions of an earlier attempt are ignored
  std::string connectIp_;         // the PC of the current attempt
  bool forWaitingCalls_ = false;  // the connection was opened for calls in the queue
  bool carried_ = false;          // a notification went out on this connection
  bool sending_ = false;
  std::string outgoing_;  // the bytes of the send under way
  std::atomic<size_t> waiting_{0};
};

}  // namespace lindra
