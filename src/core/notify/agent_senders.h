#pragma once
// The operator senders of one slot: one sender per operator-table row, each with its
// own thread, that connects to the operator PC over TCP on the slot's progPort and
// delivers "%s|%s|%s" (kind, caller number, DID number) for every event routed to it.
//
// Per-event mode (any progPort but 8001): one connection per event, one connection
// test when the sender starts and one every probe interval while idle.
// Persistent mode (progPort 8001): one connection kept open, notifications at least
// 100 ms apart with no separator; a failed connect drops the waiting events and is
// retried at the next event or after the probe interval.
//
// Every event queued for a sender leaves with its telephone-log line: the bytes sent,
// or SENT:-1 when it is dropped (failed connect, the sender stopped or its row
// removed). A modified row keeps its waiting events for the PC it now names.
#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "notify/slot_reporter.h"
#include "parse/call_event.h"

namespace lindra {

inline constexpr Colour kAgentConnecting = 0xF0F0C8;
inline constexpr Colour kAgentConnected = 0xF0DCC8;
inline constexpr Colour kAgentFailed = 0xE6E6E6;

inline constexpr int kAgentSlotCapacity = 200;
inline constexpr int kPersistentProgPort = 8001;

struct SenderTimings {
  std::chrono::milliseconds probeInterval{120'000};  // PROBE_INTERVAL
  std::chrono::milliseconds connectTimeout{3'000};   // bounds a connect, and so every stop
  std::chrono::milliseconds sendTimeout{3'000};      // bounds a send to a PC that stopped reading
  std::chrono::milliseconds persistentGap{100};      // least time between two notifications
  // When set, the senders connect to this port while progPort still selects the
  // mode (tests use a free port with the persistent mode of 8001).
  int portOverride = 0;
};

// The notification bytes: "%s|%s|%s" in the edge code page, no terminator.
std::string NotificationBytes(const CallEvent& event);
// The telephone-log line of one send: "DEV0%d: %c %s, %s, %s, %s, %s, %s, SENT:%d".
std::string TelephoneLine(int slotNo, const CallEvent& event, const std::string& agentIp, int sendResult);

class AgentSlot;

// Allocate, Add, Update, Remove, Stop and the free-index look-ups are called by the
// controller thread; DispatchToAgents by the parsing thread or the CTI workers, any
// number at once. The slot table is guarded by mutex_; each slot guards its own state.
class AgentSenders {
 public:
  explicit AgentSenders(SlotReporter& reporter, SenderTimings timings = {});
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
  // Ends every sender promptly (a pending connect or send is cut short).
  void StopAgentSlots();

  // Queues a copy of the event for every sender whose extension value equals
  // `extensionValue` and whose operator IP is one of the event's agentIps.
  void DispatchToAgents(const CallEvent& event, int extensionValue);

  // The lowest free slot index, for a row added after deletions; nullopt when full.
  std::optional<int> FreeSlotIndex() const;
  // The lowest index of a running sender with these values, for the controller to
  // find a modified or deleted row's sender (rows with equal values are interchangeable).
  std::optional<int> FindSlotIndex(int extensionKey, const std::string& ip) const;

 private:
  SlotReporter& reporter_;
  const SenderTimings timings_;
  mutable std::mutex mutex_;
  int progPort_ = 0;
  std::array<std::unique_ptr<AgentSlot>, kAgentSlotCapacity> slots_;
};

}  // namespace lindra
