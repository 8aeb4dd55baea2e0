#pragma once
// The live model's state and the events that change it. Every front end (the window,
// lindra2d's standard output and journal, the tests) reads the server through these:
// a snapshot when it attaches, then each event in the order things happened.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config/slot_config.h"
#include "log/status_line.h"
#include "model/link_state.h"
#include "model/statistics_state.h"
#include "notify/call_record.h"
#include "notify/operator_state.h"
#include "platform/clock.h"

namespace lindra {

// A message-log line as added: "[HH:MM:SS.mmm]" and the text, without CR LF, with the
// severity and error number its writer gave it. A slot's link failure also carries
// what a technician needs beyond the line (slot, model, device path or address, the
// system's error text); a front end that shows only the log ignores it.
struct MessageLine {
  std::string line;
  Severity severity = Severity::Info;
  std::optional<int> error;
  std::string detail;
  bool operator==(const MessageLine&) const = default;
};

// A slot's calls since midnight (the model starts again at the first event of a day).
struct SlotCounts {
  int calls = 0;          // taken: routed or dropped
  int notified = 0;       // deliveries sent to a PC, and broadcasts
  int notSent = 0;        // deliveries dropped (SENT:-1)
  int reachedNobody = 0;  // calls that neither a PC nor the broadcast took
  bool operator==(const SlotCounts&) const = default;
};

// When today's calls came and which numbers they were for, for the console's charts.
struct CallSpread {
  std::array<int, 24> perHour{};      // by the hour the call was taken
  std::map<std::string, int> perDid;  // by the DID number routing gave it; none for an unknown trunk
  bool operator==(const CallSpread&) const = default;
};

struct SlotState {
  int slotNo = 0;  // 1 to 4
  uint32_t modelCode = 0;
  bool inUse = false;  // the slot may be connected (slot 1 whenever it has a model)
  LinkState link;
  std::optional<LocalTime> lastFrame;
  SlotCounts today;
  CallSpread todaySpread;
  bool operator==(const SlotState&) const = default;
};

// Counts since the server started, which never start again with the day: what a
// monitoring system reads as counters.
struct PcTotals {
  uint64_t sent = 0;
  uint64_t notSent = 0;
  bool operator==(const PcTotals&) const = default;
};
struct SlotTotals {
  uint64_t calls = 0;
  uint64_t reconnects = 0;              // a retrying link that connected again
  std::map<std::string, PcTotals> pcs;  // by operator PC address
  bool operator==(const SlotTotals&) const = default;
};

struct OperatorRowState {
  OperatorState row;
  std::optional<LocalTime> lastSuccess;  // a call last reached the PC
  std::optional<LocalTime> lastFailure;  // a call last failed to
  bool operator==(const OperatorRowState&) const = default;
};

inline constexpr size_t kRecentCallCapacity = 1000;

struct ServerSnapshot {
  std::array<SlotState, kSlotCount> slots;
  std::array<std::vector<OperatorRowState>, kSlotCount> operators;
  std::vector<CallRecord> recentCalls;  // oldest first, at most kRecentCallCapacity
  std::vector<MessageLine> messageLog;  // oldest first
  StatisticsState statistics;
  // How many events the model had handed out before this state: a reader that
  // follows the events from elsewhere takes those after it.
  uint64_t eventsBefore = 0;
};

namespace event {
struct MessageAdded {
  MessageLine line;
};
struct MessageLogCleared {};
// What the window would stop the operator with (the daemon prints it on a line).
struct MessageBox {
  std::string text;
};
// The slot's link or configuration changed.
struct SlotChanged {
  SlotState slot;
};
// Only the slot's counts changed (a call was taken, or reached a PC or failed to): a
// front end that shows only the links has nothing to do.
struct SlotCounted {
  SlotState slot;
};
// The slot's routing tables were loaded or edited (its operator rows follow as
// OperatorsChanged).
struct TablesChanged {
  int slotNo = 0;
};
struct OperatorsChanged {
  int slotNo = 0;
  std::vector<OperatorRowState> rows;
};
struct OperatorChanged {
  int slotNo = 0;
  int row = 0;  // from 0
  OperatorRowState state;
};
struct CallAdded {
  CallRecord call;
};
// A PC's outcome of a recent call changed.
struct CallUpdated {
  CallRecord call;
};
struct StatisticsChanged {
  StatisticsState statistics;
};
// The automatic connect pass has tried every enabled slot: lastTriedIndex (0..3, -1
// when none was tried) is selected in the device list; when every slot connected the
// window goes to the tray, otherwise it stays and the summary box is shown.
struct AutoConnectDone {
  int lastTriedIndex = -1;
  bool allConnected = false;
};
}  // namespace event

using ServerEvent =
    std::variant<event::MessageAdded, event::MessageLogCleared, event::MessageBox, event::SlotChanged,
                 event::SlotCounted, event::TablesChanged, event::OperatorsChanged, event::OperatorChanged,
                 event::CallAdded, event::CallUpdated, event::StatisticsChanged, event::AutoConnectDone>;

// For std::visit over an event: one lambda per event type that matters, and a generic
// one for the rest.
template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};

// Called from any core thread, in the order of the events, with the model's lock held:
// an implementation queues what it needs and returns at once, and never calls back
// into the server.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Publish(const ServerEvent& event) = 0;
};

}  // namespace lindra
