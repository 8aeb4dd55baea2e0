#include "notify/agent_senders.h"

#include <algorithm>
#include <deque>
#include <map>
#include <utility>

#include "text/strings.h"

namespace lindra {

AgentSenders::AgentSenders(SlotReporter& reporter, EventLoop& loop, TimerMaker& timers, const Clock& clock,
                           SenderTimings timings)
    : reporter_(reporter), loop_(loop), timers_(timers), clock_(clock), timings_(timings) {}

AgentSenders::~AgentSenders() { Stop(); }

// Outside mutex_: a connection reports from its strand under mutex_ until it has closed.
void AgentSenders::Close(const Connections& connections) {
  for (const auto& connection : connections) RunOn(connection->strand(), [&connection] { connection->Close(); });
}

void AgentSenders::Follow(const AgentList& rows) {
  Connections ended;
  {
    std::lock_guard lock(mutex_);
    std::vector<Row> before = std::exchange(rows_, {});
    rows_.reserve(rows.size());
    for (const AgentRow& row : rows)
      rows_.push_back({row.extension, text::LeadingInt32(row.extension), row.agentIp, nullptr, kNoColour});
    if (running_) {
      ReportCapacity(rows_.size(), before.size());
      ended = MatchSenders(before);
    }
    ReportRows();
  }
  Close(ended);
}

// The matching rule of Follow; returns the senders no row kept.
AgentSenders::Connections AgentSenders::MatchSenders(std::vector<Row>& before) {
  const size_t served = std::min(rows_.size(), static_cast<size_t>(kAgentSlotCapacity));
  std::map<std::pair<int, std::string>, std::deque<Row*>> byValue;
  for (Row& row : before)
    if (row.connection) byValue[{row.extensionKey, row.ip}].push_back(&row);
  std::vector<Row*> newRows;
  for (size_t i = 0; i < served; ++i) {
    Row& row = rows_[i];
    auto equal = byValue.find({row.extensionKey, row.ip});
    if (equal == byValue.end() || equal->second.empty()) {
      newRows.push_back(&row);
      continue;
    }
    Row& kept = *equal->second.front();
    equal->second.pop_front();
    row.connection = std::move(kept.connection);
    row.colour = kept.colour;
  }
  // A row was modified only when the table kept its length and exactly one row of it
  // changed (an editor's modify). In a table that grew or shrank, or was rewritten in
  // several rows at once, a sender left over served a row that is gone: its waiting
  // calls must not go to another operator's PC.
  const size_t leftOver = std::count_if(before.begin(), before.end(), [](const Row& row) { return row.connection; });
  const bool modifiedRows = rows_.size() == before.size() && leftOver == 1 && newRows.size() == 1;
  auto newRow = newRows.begin();
  Connections ended;
  for (Row& old : before) {
    if (!old.connection) continue;
    if (!modifiedRows || newRow == newRows.end()) {
      ended.push_back(std::move(old.connection));
      continue;
    }
    Row& modified = **newRow++;
    if (modified.ip != old.ip) old.connection->Redirect(modified.ip);
    modified.connection = std::move(old.connection);
    modified.colour = old.colour;
  }
  for (; newRow != newRows.end(); ++newRow) (*newRow)->connection = StartConnection((*newRow)->ip);
  return ended;
}

void AgentSenders::Start(int progPort) {
  Stop();
  std::lock_guard lock(mutex_);
  running_ = true;
  progPort_ = progPort;
  ReportCapacity(rows_.size(), 0);
  const size_t served = std::min(rows_.size(), static_cast<size_t>(kAgentSlotCapacity));
  for (size_t i = 0; i < served; ++i) rows_[i].connection = StartConnection(rows_[i].ip);
  ReportRows();
}

void AgentSenders::Stop() {
  Connections stopping;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    running_ = false;
    for (Row& row : rows_) {
      if (row.connection) stopping.push_back(std::move(row.connection));
      row.colour = kNoColour;
    }
    ReportRows();
  }
  Close(stopping);
}

std::shared_ptr<AgentConnection> AgentSenders::StartConnection(const std::string& ip) {
  const AgentConnection::Settings settings{timings_.portOverride ? timings_.portOverride : progPort_,
                                           progPort_ == kPersistentProgPort};
  AgentConnection::Owner& owner = *this;
  auto connection = std::make_shared<AgentConnection>(owner, reporter_, loop_, timers_, clock_, settings, ip);
  connection->Start();
  return connection;
}

// Said when the senders start with more rows than they serve, and whenever the number
// of rows beyond them changes, not with every edit of such a table.
void AgentSenders::ReportCapacity(size_t rows, size_t rowsBefore) {
  if (rows <= kAgentSlotCapacity || rows == rowsBefore) return;
  reporter_.Message(StatusLine::Error(text::Format("[ERR] DEV0%d 상담원IP 테이블 초과: %d행 중 %d행까지만 전송",
                                                   reporter_.slotNo(), static_cast<int>(rows), kAgentSlotCapacity)));
}

void AgentSenders::ReportRows() {
  std::vector<OperatorState> states;
  states.reserve(rows_.size());
  for (const Row& row : rows_) states.push_back({row.extension, row.ip, row.colour});
  reporter_.OperatorsFollowed(std::move(states));
}

int AgentSenders::RowOf(const AgentConnection& connection) const {
  for (size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].connection.get() == &connection) return static_cast<int>(i);
  return -1;
}

void AgentSenders::ShowColour(const AgentConnection& connection, Colour colour) {
  std::lock_guard lock(mutex_);
  const int row = RowOf(connection);
  if (row < 0) return;  // ended meanwhile: its row, if any, has no sender now
  rows_[static_cast<size_t>(row)].colour = colour;
  reporter_.OperatorColour(row, colour);
}

void AgentSenders::CallLeft(const AgentConnection& connection, const CallEvent& event, const std::string& ip,
                            PcOutcome outcome) {
  std::lock_guard lock(mutex_);
  reporter_.CallOutcome(event.callId, RowOf(connection), ip, outcome);
}

void AgentSenders::DispatchToAgents(const CallEvent& event, int extensionValue) {
  reporter_.ProgramLog(DeviceLogKind::Plain,
                       text::Format("IP LIST COUNT: %d", static_cast<int>(event.agentIps.size())));
  if (event.agentIps.empty()) return;
  // One copy for all rows: with the routed address list it is large, and calls may
  // wait a while for a PC that is away.
  std::shared_ptr<const CallEvent> shared;
  // Offered under mutex_: a removal that follows reaches the connection after the
  // call, and the rows' calls are stamped in the order they are queued.
  std::lock_guard lock(mutex_);
  const SteadyTime offered = clock_.Steady();
  for (Row& row : rows_) {
    if (!row.connection || row.extensionKey != extensionValue ||
        std::find(event.agentIps.begin(), event.agentIps.end(), row.ip) == event.agentIps.end())
      continue;
    if (!shared) shared = std::make_shared<const CallEvent>(event);
    row.connection->Offer(shared, offered);
  }
}

std::vector<SenderQueue> AgentSenders::Queues() const {
  std::vector<SenderQueue> queues;
  std::lock_guard lock(mutex_);
  for (const Row& row : rows_)
    if (row.connection) queues.push_back({row.extensionKey, row.ip, row.connection->waiting()});
  return queues;
}

}  // namespace lindra
