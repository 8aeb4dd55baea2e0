#pragma once
// The operator senders of one slot: one connection object on the event loop per
// operator-table row (agent_connection.h), which connects to the operator PC over TCP
// on the slot's progPort and delivers "%s|%s|%s" (kind, caller number, DID number)
// for every call routed to it. This table finds the rows a call is for and starts,
// changes and ends their connections.
//
// Every call queued for a row leaves with its telephone-log line: the bytes sent, or
// SENT:-1 when it is dropped (failed connect, waited too long, pushed out of a full
// queue, the senders stopped or its row removed). A modified row keeps its waiting
// calls for the PC it now names.
#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "notify/agent_connection.h"
#include "notify/slot_reporter.h"
#include "parse/call_event.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

inline constexpr int kAgentSlotCapacity = 200;
inline constexpr int kPersistentProgPort = 8001;

// What the loop's timers cannot stand in for (their rules are constants).
struct SenderTimings {
  // When set, the senders connect to this port while progPort still selects the
  // mode (tests and benchmarks use a free port with the persistent mode of 8001).
  int portOverride = 0;
};

// Allocate, Add, Update, Remove, Stop and the free-index look-ups are called by the
// controller thread, never by a loop thread (Stop and Remove wait for the loop);
// DispatchToAgents by the parsing thread or the CTI workers, any number at once.
// mutex_ guards the row table; each connection's strand guards the connection.
class AgentSenders {
 public:
  // The loop must run until the last stop or removal has returned. The clock measures
  // how long calls wait, on the time of the timers.
  AgentSenders(SlotReporter& reporter, EventLoop& loop, TimerMaker& timers, const Clock& clock,
               SenderTimings timings = {});
  ~AgentSenders();  // StopAgentSlots()
  AgentSenders(const AgentSenders&) = delete;
  AgentSenders& operator=(const AgentSenders&) = delete;

  // Ends any running sender, then makes kAgentSlotCapacity free slots for an
  // operator table of `rows` rows. Returns "" or, for a table of more rows than
  // there are slots, the message-log line saying which rows get no sender.
  std::string AllocateAgentSlots(int rows, int progPort);
  // Starts the sender at `index` for the operator PC `ip` and the extension value.
  // Returns "" or the message-log line refusing an index outside the slot table
  // (such a row gets no sender and no notification).
  std::string AddAgentSlot(int index, int extensionKey, const std::string& ip);
  // A modified row: the sender uses the new values from its next connection; a
  // persistent connection to a PC other than the new one is closed for that.
  void UpdateAgentSlot(int index, int extensionKey, const std::string& ip);
  // Ends the sender at `index` when it serves `ip`; the slot is free again.
  void RemoveAgentSlot(int index, const std::string& ip);
  // Ends every sender promptly: a connect or send under way is cut short. Returns
  // once every connection has let go of its socket and logged what still waited.
  void StopAgentSlots();

  // Queues the event for every sender whose extension value equals `extensionValue`
  // and whose operator IP is one of the event's agentIps; they share one copy.
  void DispatchToAgents(const CallEvent& event, int extensionValue);

  // The lowest free slot index, for a row added after deletions; nullopt when full.
  std::optional<int> FreeSlotIndex() const;
  // The lowest index of a running sender with these values, for the controller to
  // find a modified or deleted row's sender (rows with equal values are interchangeable).
  std::optional<int> FindSlotIndex(int extensionKey, const std::string& ip) const;

 private:
  // The row's values as routing matches them; the connection keeps its own copy of
  // the IP, changed in the same order as calls are offered to it.
  struct Row {
    int extensionKey = 0;
    std::string ip;
    std::shared_ptr<AgentConnection> connection;
  };

  static void Close(AgentConnection& connection);

  SlotReporter& reporter_;
  EventLoop& loop_;
  TimerMaker& timers_;
  const Clock& clock_;
  const SenderTimings timings_;
  mutable std::mutex mutex_;
  int progPort_ = 0;
  std::array<std::optional<Row>, kAgentSlotCapacity> rows_;
};

}  // namespace lindra
