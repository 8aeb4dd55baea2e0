#include "notify/agent_senders.h"

#include <algorithm>
#include <vector>

#include "text/strings.h"

namespace lindra {

AgentSenders::AgentSenders(SlotReporter& reporter, EventLoop& loop, TimerMaker& timers, const Clock& clock,
                           SenderTimings timings)
    : reporter_(reporter), loop_(loop), timers_(timers), clock_(clock), timings_(timings) {}

AgentSenders::~AgentSenders() { StopAgentSlots(); }

void AgentSenders::Close(AgentConnection& connection) {
  RunOn(connection.strand(), [&connection] { connection.Close(); });
}

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
  if (rows_[index])
    return text::Format("[ERR] DEV0%d 상담원IP %d행 (%s): 전송 슬롯 사용 중", reporter_.slotNo(), index + 1,
                        ip.c_str());
  const AgentConnection::Settings settings{index, timings_.portOverride ? timings_.portOverride : progPort_,
                                           progPort_ == kPersistentProgPort};
  auto connection = std::make_shared<AgentConnection>(reporter_, loop_, timers_, clock_, settings, ip);
  connection->Start();
  rows_[index] = Row{extensionKey, ip, std::move(connection)};
  return "";
}

void AgentSenders::UpdateAgentSlot(int index, int extensionKey, const std::string& ip) {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= kAgentSlotCapacity || !rows_[index]) return;
  Row& row = *rows_[index];
  row.extensionKey = extensionKey;
  if (row.ip == ip) return;
  row.ip = ip;
  row.connection->Redirect(ip);
}

void AgentSenders::RemoveAgentSlot(int index, const std::string& ip) {
  std::shared_ptr<AgentConnection> removed;
  {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= kAgentSlotCapacity || !rows_[index] || rows_[index]->ip != ip) return;
    removed = std::move(rows_[index]->connection);
    rows_[index].reset();
  }
  Close(*removed);  // outside mutex_, so that dispatching goes on meanwhile
}

void AgentSenders::StopAgentSlots() {
  std::vector<std::shared_ptr<AgentConnection>> stopping;
  {
    std::lock_guard lock(mutex_);
    for (auto& row : rows_) {
      if (!row) continue;
      stopping.push_back(std::move(row->connection));
      row.reset();
    }
  }
  for (auto& connection : stopping) Close(*connection);
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
  const int64_t offeredMs = clock_.SteadyMs();
  for (auto& row : rows_) {
    if (!row || row->extensionKey != extensionValue ||
        std::find(event.agentIps.begin(), event.agentIps.end(), row->ip) == event.agentIps.end())
      continue;
    if (!shared) shared = std::make_shared<const CallEvent>(event);
    row->connection->Offer(shared, offeredMs);
  }
}

std::optional<int> AgentSenders::FreeSlotIndex() const {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < kAgentSlotCapacity; ++i)
    if (!rows_[i]) return i;
  return std::nullopt;
}

std::optional<int> AgentSenders::FindSlotIndex(int extensionKey, const std::string& ip) const {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < kAgentSlotCapacity; ++i)
    if (rows_[i] && rows_[i]->extensionKey == extensionKey && rows_[i]->ip == ip) return i;
  return std::nullopt;
}

}  // namespace lindra
