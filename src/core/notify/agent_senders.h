#pragma once
// The operator senders of one slot: one connection object on the event loop per
// operator-table row (agent_connection.h), which connects to the operator PC over TCP
// on the slot's progPort and delivers "%s|%s|%s" (kind, caller number, DID number)
// for every call routed to it. This table follows the operator table, finds the rows
// a call is for and starts, changes and ends their connections.
//
// Every call queued for a row leaves with its telephone-log line: the bytes sent, or
// SENT:-1 when it is dropped (failed connect, waited too long, pushed out of a full
// queue, the senders stopped or its row removed). A modified row keeps its waiting
// calls for the PC it now names.
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "notify/agent_connection.h"
#include "notify/routing_tables.h"
#include "notify/slot_reporter.h"
#include "parse/call_event.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

inline constexpr int kAgentSlotCapacity = 200;
inline constexpr int kPersistentProgPort = 8001;

// One operator sender's queue, as the monitoring reads it.
struct SenderQueue {
  int extensionValue = 0;  // as routing matches it
  std::string ip;          // of the PC
  size_t waiting = 0;      // calls in the queue, the one being sent included
  bool operator==(const SenderQueue&) const = default;
};

// What the loop's timers cannot stand in for (their rules are constants).
struct SenderTimings {
  // When set, the senders connect to this port while progPort still selects the
  // mode (tests and benchmarks use a free port with the persistent mode of 8001).
  int portOverride = 0;
};

// Follow, Start and Stop are called by the controller thread, never by a loop thread
// (Follow, Start and Stop wait for the loop when they end senders); DispatchToAgents by
// the parsing thread or the CTI workers, any number at once; Queues by any thread; the
// connections report from their strands. mutex_ guards the rows and is held while the
// reporter is told about them (lock order: mutex_, then the reporter's); it is never
// held while waiting for a strand. Each connection's strand guards the connection.
class AgentSenders final : private AgentConnection::Owner {
 public:
  // The loop must run until the last Follow or Stop has returned. The clock measures
  // how long calls wait, on the time of the timers.
  AgentSenders(SlotReporter& reporter, EventLoop& loop, TimerMaker& timers, const Clock& clock,
               SenderTimings timings = {});
  ~AgentSenders();  // Stop()
  AgentSenders(const AgentSenders&) = delete;
  AgentSenders& operator=(const AgentSenders&) = delete;

  // The operator table as it now stands, in row order. While the senders run, a row
  // whose extension value and IP are those of a row before keeps that row's sender,
  // with its connection and its waiting calls (equal rows are taken in order). When
  // the table kept its length and one row is left over on each side, that row was
  // modified (an editor's modify): its sender serves the new values, its waiting calls
  // going to the PC the row now names. Other senders left over end, their waiting
  // calls logged as not sent; rows left over get new senders.
  // Only the first kAgentSlotCapacity rows have a sender: a table that grows beyond
  // them says so in the message log. While stopped, the rows are only kept.
  void Follow(const AgentList& rows);
  // Starts a sender for every row followed (after ending any running one); senders
  // exist only from here to Stop, while the slot is connected.
  void Start(int progPort);
  // Ends every sender promptly: a connect or send under way is cut short. Returns
  // once every connection has let go of its socket and logged what still waited.
  void Stop();

  // Queues the event for every sender whose extension value equals `extensionValue`
  // and whose operator IP is one of the event's agentIps; they share one copy.
  void DispatchToAgents(const CallEvent& event, int extensionValue);

  // One entry per running sender, in row order.
  std::vector<SenderQueue> Queues() const;

 private:
  // A row of the table followed last; values as routing matches them. The connection
  // keeps its own copy of the IP, changed in the same order as calls are offered to it.
  struct Row {
    std::string extension;
    int extensionKey = 0;
    std::string ip;
    std::shared_ptr<AgentConnection> connection;  // none while stopped, and beyond the capacity
    Colour colour = kNoColour;                    // the connection's, as last shown
  };
  using Connections = std::vector<std::shared_ptr<AgentConnection>>;

  std::shared_ptr<AgentConnection> StartConnection(const std::string& ip);
  Connections MatchSenders(std::vector<Row>& before);
  void ReportCapacity(size_t rows, size_t rowsBefore);
  void ReportRows();
  int RowOf(const AgentConnection& connection) const;
  static void Close(const Connections& connections);

  // AgentConnection::Owner, from the connections' strands.
  void ShowColour(const AgentConnection& connection, Colour colour) override;
  void CallLeft(const AgentConnection& connection, const CallEvent& event, const std::string& ip,
                PcOutcome outcome) override;

  SlotReporter& reporter_;
  EventLoop& loop_;
  TimerMaker& timers_;
  const Clock& clock_;
  const SenderTimings timings_;
  mutable std::mutex mutex_;
  bool running_ = false;
  int progPort_ = 0;
  std::vector<Row> rows_;
};

}  // namespace lindra
