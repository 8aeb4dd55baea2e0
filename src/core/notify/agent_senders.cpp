#include "notify/agent_senders.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <thread>

#include "notify/tcp_client.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

using SteadyClock = std::chrono::steady_clock;

// slotState of an operator sender.
enum SlotState { kIdle = 0, kPending = 1, kNew = 2, kProbeDue = 3 };

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

// One operator sender and its thread. The thread owns the connection; every field
// below is guarded by mutex_, and socket_ is published there only so that a stop can
// shut the connection down (which cuts a pending connect or send short) from the
// controller thread. Waits are on wake_, never on a timer tick.
class AgentSlot {
 public:
  AgentSlot(SlotReporter& reporter, const SenderTimings& timings, int index, int progPort, int extensionKey,
            std::string ip)
      : reporter_(reporter),
        timings_(timings),
        index_(index),
        progPort_(progPort),
        extensionKey_(extensionKey),
        agentIp_(std::move(ip)) {}

  ~AgentSlot() {
    SignalStop();
    Join();
  }

  void Start(bool persistent) {
    thread_ = std::thread([this, persistent] {
      try {
        persistent ? RunPersistent() : RunPerEvent();
        // Stopped, removed or reallocated: what still waits will not be sent.
        std::unique_lock lock(mutex_);
        GiveUpWaiting(lock);
      } catch (...) {
        // A sender that cannot go on (out of memory) ends; the slot shows it no more.
      }
    });
  }

  // Ends the sender: its connection is shut down and its thread wakes and leaves.
  void SignalStop() {
    std::lock_guard lock(mutex_);
    agentIp_.clear();
    state_ = kIdle;
    running_ = false;
    connected_ = false;
    if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
    wake_.notify_all();
  }

  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  bool Serves(const std::string& ip) {
    std::lock_guard lock(mutex_);
    return agentIp_ == ip;
  }

  bool Matches(int extensionKey, const std::string& ip) {
    std::lock_guard lock(mutex_);
    return running_ && extensionKey_ == extensionKey && agentIp_ == ip;
  }

  // A persistent connection to the row's old PC is given up: the events now routed
  // to the new IP must not go on reaching the old one while it stays up.
  void Update(int extensionKey, const std::string& ip) {
    std::lock_guard lock(mutex_);
    extensionKey_ = extensionKey;
    if (agentIp_ != ip && connected_) {
      connected_ = false;
      wake_.notify_all();
    }
    agentIp_ = ip;
  }

  // Queues a copy of the event when this sender serves the extension and one of
  // the event's operator IPs.
  void Offer(const CallEvent& event, int extensionValue) {
    std::lock_guard lock(mutex_);
    if (!running_ || agentIp_.empty() || extensionKey_ != extensionValue) return;
    if (std::find(event.agentIps.begin(), event.agentIps.end(), agentIp_) == event.agentIps.end()) return;
    pendingEvents_.push_back({event, agentIp_});
    state_ = kPending;
    wake_.notify_all();
  }

 private:
  struct Attempt {
    int fd = -1;
    bool connected = false;
  };

  // An event queued for this operator, with the PC it was routed to.
  struct Waiting {
    CallEvent event;
    std::string ip;
    bool failureLogged = false;  // a failed send of it is in the telephone log already
  };

  // Every event leaves the queue with a telephone-log line: sent, or given up here
  // with SENT:-1 (the daily statistics count calls from these lines). An event whose
  // failed send was logged already is not counted twice. mutex_ is held on entry and
  // on return, released while the lines are written.
  void GiveUpWaiting(std::unique_lock<std::mutex>& lock) {
    std::deque<Waiting> dropped;
    dropped.swap(pendingEvents_);
    lock.unlock();
    for (const Waiting& waiting : dropped)
      if (!waiting.failureLogged)
        reporter_.TelephoneLog(TelephoneLine(reporter_.slotNo(), waiting.event, waiting.ip, -1));
    lock.lock();
  }

  // Waits while there is nothing to do; a probe falls due PROBE_INTERVAL after the
  // last one. The persistent sender counts the interval from the moment it is due.
  void WaitWhileIdle(std::unique_lock<std::mutex>& lock, SteadyClock::time_point& lastProbe, bool markProbe) {
    while (running_ && state_ == kIdle) {
      auto due = lastProbe + timings_.probeInterval;
      wake_.wait_until(lock, due);
      if (running_ && state_ == kIdle && SteadyClock::now() >= due) {
        if (markProbe) lastProbe = SteadyClock::now();
        state_ = kProbeDue;
      }
    }
  }

  void ReportColour(const std::string& ip, Colour colour) {
    {
      std::lock_guard lock(mutex_);
      if (!running_) return;
    }
    reporter_.AgentState(index_, ip, colour);
  }

  // Opens a socket and connects it to the operator PC, showing the attempt as the
  // row colour; the caller shows the outcome. Called without mutex_ held.
  Attempt Connect(const std::string& ip) {
    Attempt attempt;
    attempt.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (attempt.fd < 0) {
      reporter_.StatusLine(text::Format("[ERR] client socket 실패 ErrNo:%d", errno));
    } else {
      std::lock_guard lock(mutex_);
      socket_ = attempt.fd;
      // A stop that came before the socket was published must still cut it short.
      if (!running_) ::shutdown(socket_, SHUT_RDWR);
    }
    ReportColour(ip, kAgentConnecting);
    int error = EBADF;
    if (attempt.fd >= 0) {
      std::optional<sockaddr_in> address = net::Ipv4Address(ip, progPort_);
      error =
          address ? net::ConnectWithin(attempt.fd, *address, timings_.connectTimeout, timings_.sendTimeout) : EINVAL;
    }
    attempt.connected = error == 0;
    return attempt;
  }

  // Closes the attempt's socket; mutex_ is held, so no stop can shut down a reused fd.
  void ReleaseSocket(Attempt& attempt) {
    if (attempt.fd < 0) return;
    socket_ = -1;
    ::close(attempt.fd);
    attempt.fd = -1;
  }

  // A row modified while this connect was under way: the connection leads to the
  // row's old PC, so it is given up and the new PC is tried instead. mutex_ is held.
  bool LeadsElsewhere(Attempt& attempt, const std::string& ip) {
    if (agentIp_ == ip) return false;
    ReleaseSocket(attempt);
    return true;
  }

  // One connection per event, one connection test at start and per probe.
  void RunPerEvent() {
    std::unique_lock lock(mutex_);
    auto lastProbe = SteadyClock::now();
    for (;;) {
      WaitWhileIdle(lock, lastProbe, false);
      if (!running_ || agentIp_.empty()) return;
      const std::string ip = agentIp_;
      lock.unlock();
      Attempt attempt = Connect(ip);
      ReportColour(ip, attempt.connected ? kAgentConnected : kAgentFailed);
      lock.lock();
      if (!running_) return ReleaseSocket(attempt);
      if (LeadsElsewhere(attempt, ip)) continue;
      if (state_ == kPending) {
        if (!pendingEvents_.empty()) {
          CallEvent event = std::move(pendingEvents_.front().event);
          pendingEvents_.pop_front();
          lock.unlock();
          // A failed connect still counts as this event's send, logged as -1.
          int result = attempt.connected ? net::SendAll(attempt.fd, NotificationBytes(event)) : -1;
          reporter_.TelephoneLog(TelephoneLine(reporter_.slotNo(), event, ip, result));
          lock.lock();
        }
        state_ = pendingEvents_.empty() ? kIdle : kPending;
      } else {
        state_ = kIdle;
        lastProbe = SteadyClock::now();
      }
      ReleaseSocket(attempt);
    }
  }

  // PROG_PORT 8001: one connection kept open while it works.
  void RunPersistent() {
    std::unique_lock lock(mutex_);
    auto lastProbe = SteadyClock::now();
    for (;;) {
      WaitWhileIdle(lock, lastProbe, true);
      if (!running_ || agentIp_.empty()) return;
      const std::string ip = agentIp_;
      // A connection opened for waiting events that the PC drops before it carried
      // one of them counts as a failed connect: retrying it at once would spin
      // against a PC that accepts and drops every connection.
      const bool forWaitingEvents = state_ == kPending;
      connected_ = false;
      lock.unlock();
      Attempt attempt = Connect(ip);
      lock.lock();
      if (!running_) return ReleaseSocket(attempt);
      if (LeadsElsewhere(attempt, ip)) continue;
      if (attempt.connected) {
        connected_ = true;
        lock.unlock();
        ReportColour(ip, kAgentConnected);
        lock.lock();
        if (Serve(lock, attempt.fd, ip) == Ended::DroppedUnused && forWaitingEvents) GiveUp(lock);
      } else {
        GiveUp(lock);
        lock.unlock();
        ReportColour(ip, kAgentFailed);
        lock.lock();
      }
      ReleaseSocket(attempt);
      if (state_ == kNew || state_ == kProbeDue) {
        state_ = kIdle;
        lastProbe = SteadyClock::now();
      }
    }
  }

  // The operator PC is away: what waited for it is given up, and the next try
  // comes with the next event or after PROBE_INTERVAL. mutex_ is held.
  void GiveUp(std::unique_lock<std::mutex>& lock) {
    connected_ = false;
    state_ = kProbeDue;
    GiveUpWaiting(lock);
  }

  enum class Ended {
    Elsewhere,     // the sender stops, or its row now leads to another PC
    Dropped,       // the PC ended the connection after it carried notifications
    DroppedUnused  // the PC ended it before it carried any
  };

  // Sends the queued events over the open connection, one at a time and at least
  // persistentGap apart: the operator's program has no separator but that pause.
  // Returns when the sender stops or the connection has to be rebuilt; an event
  // whose send failed stays queued and goes out on the next connection.
  Ended Serve(std::unique_lock<std::mutex>& lock, int fd, const std::string& ip) {
    std::optional<SteadyClock::time_point> lastSend;
    while (running_ && connected_) {
      wake_.wait(lock, [this] { return !running_ || !connected_ || (state_ == kPending && !pendingEvents_.empty()); });
      if (lastSend)
        wake_.wait_until(lock, *lastSend + timings_.persistentGap, [this] { return !running_ || !connected_; });
      if (!running_ || !connected_) return Ended::Elsewhere;
      CallEvent event = pendingEvents_.front().event;
      lock.unlock();
      // A PC that closed the connection would take one more send without error and
      // lose it; such a connection is rebuilt before the send instead.
      bool closed = net::PeerHasClosed(fd);
      int result = closed ? -1 : net::SendAll(fd, NotificationBytes(event));
      if (!closed) reporter_.TelephoneLog(TelephoneLine(reporter_.slotNo(), event, ip, result));
      lock.lock();
      if (result < 0) {
        // The front is still this event: only this thread takes events out.
        if (!closed) pendingEvents_.front().failureLogged = true;
        connected_ = false;
        return lastSend ? Ended::Dropped : Ended::DroppedUnused;
      }
      pendingEvents_.pop_front();
      state_ = pendingEvents_.empty() ? kIdle : kPending;
      lastSend = SteadyClock::now();
    }
    return Ended::Elsewhere;
  }

  SlotReporter& reporter_;
  const SenderTimings& timings_;
  const int index_;
  const int progPort_;
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable wake_;
  int extensionKey_;
  std::string agentIp_;
  int state_ = kNew;
  bool running_ = true;
  bool connected_ = false;
  std::deque<Waiting> pendingEvents_;
  int socket_ = -1;
};

AgentSenders::AgentSenders(SlotReporter& reporter, SenderTimings timings) : reporter_(reporter), timings_(timings) {}

AgentSenders::~AgentSenders() { StopAgentSlots(); }

std::string AgentSenders::AllocateAgentSlots(int rows, int progPort) {
  StopAgentSlots();
  std::lock_guard lock(mutex_);
  progPort_ = progPort;
  if (rows <= kAgentSlotCapacity) return "";
  return text::Format("[ERR] DEV0%d 상담원IP 테이블 초과: %d행 중 %d행까지만 전송", reporter_.slotNo(), rows,
                      kAgentSlotCapacity);
}

std::string AgentSenders::AddAgentSlot(int index, int extensionKey, const std::string& ip) {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= kAgentSlotCapacity)
    return text::Format("[ERR] DEV0%d 상담원IP %d행 (%s): 전송 슬롯 없음", reporter_.slotNo(), index + 1, ip.c_str());
  if (slots_[index])
    return text::Format("[ERR] DEV0%d 상담원IP %d행 (%s): 전송 슬롯 사용 중", reporter_.slotNo(), index + 1,
                        ip.c_str());
  int port = timings_.portOverride ? timings_.portOverride : progPort_;
  slots_[index] = std::make_unique<AgentSlot>(reporter_, timings_, index, port, extensionKey, ip);
  slots_[index]->Start(progPort_ == kPersistentProgPort);
  return "";
}

void AgentSenders::UpdateAgentSlot(int index, int extensionKey, const std::string& ip) {
  std::lock_guard lock(mutex_);
  if (index >= 0 && index < kAgentSlotCapacity && slots_[index]) slots_[index]->Update(extensionKey, ip);
}

void AgentSenders::RemoveAgentSlot(int index, const std::string& ip) {
  std::unique_ptr<AgentSlot> removed;
  {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= kAgentSlotCapacity || !slots_[index] || !slots_[index]->Serves(ip)) return;
    removed = std::move(slots_[index]);
    removed->SignalStop();
  }
  removed->Join();  // outside mutex_, so that dispatching goes on meanwhile
}

void AgentSenders::StopAgentSlots() {
  std::vector<std::unique_ptr<AgentSlot>> stopping;
  {
    std::lock_guard lock(mutex_);
    for (auto& slot : slots_) {
      if (!slot) continue;
      slot->SignalStop();
      stopping.push_back(std::move(slot));
    }
  }
  // Every sender was told first, so the stops run side by side.
  for (auto& slot : stopping) slot->Join();
}

void AgentSenders::DispatchToAgents(const CallEvent& event, int extensionValue) {
  reporter_.ProgramLog(DeviceLogKind::Plain,
                       text::Format("IP LIST COUNT: %d", static_cast<int>(event.agentIps.size())));
  if (event.agentIps.empty()) return;
  std::lock_guard lock(mutex_);
  for (auto& slot : slots_)
    if (slot) slot->Offer(event, extensionValue);
}

std::optional<int> AgentSenders::FreeSlotIndex() const {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < kAgentSlotCapacity; ++i)
    if (!slots_[i]) return i;
  return std::nullopt;
}

std::optional<int> AgentSenders::FindSlotIndex(int extensionKey, const std::string& ip) const {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < kAgentSlotCapacity; ++i)
    if (slots_[i] && slots_[i]->Matches(extensionKey, ip)) return i;
  return std::nullopt;
}

}  // namespace lindra
