#include "app/server_controller.h"

#include <algorithm>
#include <map>
#include <system_error>
#include <utility>

#include "app/channel_view_relay.h"
#include "app/link_failure.h"
#include "config/lindra_ini.h"
#include "device/device_channel.h"
#include "log/log_purge.h"
#include "log/slot_logs.h"
#include "platform/descriptor_limit.h"
#include "platform/file_read.h"
#include "platform/paths.h"
#include "platform/timer.h"
#include "stats/statistics_service.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr size_t kMessageTextLimit = 4096;
constexpr size_t kMessageLogLimit = 100;
constexpr int kAutoConnectDelayMs = 1500;

}  // namespace

ServerController::ServerController(ServerOptions options, ControllerView& view, const Clock& clock, TimerMaker& timers)
    : options_(std::move(options)),
      view_(view),
      channelView_(std::make_unique<ChannelViewRelay>(
          view, [this](int slotNo, const StatusLine& line) { AddSlotMessage(slotNo - 1, line); },
          [this](int slotNo, int row) {
            const std::shared_ptr<const AgentList> rows = tables_[slotNo - 1].Agents();
            return row >= 0 && static_cast<size_t>(row) < rows->size() ? (*rows)[row].agentIp : std::string();
          })),
      clock_(clock) {
  loop_.Start();
  // A CTI program may hold thousands of connections open at once, one per call.
  const size_t ctiConnectionCap = CtiConnectionCap(RaiseDescriptorLimit());
  for (int i = 0; i < kSlotCount; ++i) {
    ChannelEnvironment env;
    env.view = channelView_.get();
    env.clock = &clock_;
    env.timers = &timers;
    env.serialPaths = options_.serialPaths;
    env.broadcastAddress = options_.broadcastAddress;
    env.ctiLimits.maxConnections = ctiConnectionCap;
    if (options_.mirror) {
      env.mirrorHost = options_.mirror->host;
      env.mirrorPort = options_.mirror->port;
    }
    channels_[i] = std::make_unique<DeviceChannel>(i + 1, tables_[i], loop_, std::move(env));
  }
}

ServerController::~ServerController() {
  StopServer();
  // The channels go while the loop still runs.
  for (auto& channel : channels_) channel.reset();
  loop_.Stop();
}

void ServerController::AddMessage(const std::string& text) { AddLine(text, {}); }

void ServerController::AddSlotMessage(int index, const StatusLine& line) {
  AddLine(line.text, line.error
                         ? LinkFailureDetail(index + 1, channels_[index]->config(), options_.serialPaths, *line.error)
                         : "");
}

void ServerController::AddLine(const std::string& text, const std::string& failureDetail) {
  const std::string cut = text::CutChars(text, kMessageTextLimit);
  // Stamped, stored and handed on under one lock: lines from several channel threads
  // reach the front end in the order of the log, with their times in order too. The
  // view only queues the line, so holding the lock over it costs nothing.
  std::lock_guard lock(messageMutex_);
  const LocalTime now = clock_.Now();
  std::string line = text::Format("[%02d:%02d:%02d.%03d]", now.hour, now.minute, now.second, now.millisecond) + cut;
  if (!messageLog_.empty() && messageLog_.size() >= messageLogLimit_) messageLog_.pop_front();
  messageLog_.push_back(line);
  if (failureDetail.empty())
    view_.MessageAdded(line);
  else
    view_.LinkFailureAdded(line, failureDetail);
}

std::vector<std::string> ServerController::MessageLog() const {
  std::lock_guard lock(messageMutex_);
  return {messageLog_.begin(), messageLog_.end()};
}

void ServerController::PurgeOldLogs() { lindra::PurgeOldLogs(options_.logDir, clock_.Now()); }

bool ServerController::LoadServer() {
  {
    std::lock_guard lock(messageMutex_);
    messageLogLimit_ = kMessageLogLimit;
    messageLog_.clear();
    view_.MessageLogCleared();
  }
  AddMessage("[WARN] Starting server... Version:08/10/01");

  if (!EnsureDirectory(options_.logDir)) {
    AddMessage("[ERR] 로그 폴더 생성 실패: " + options_.logDir.string());
    loadProblem_ = LoadProblem::LogFolder;
  }

  ConfigLoadResult config = LoadConfiguration(options_.workDir);
  if (config.status == ConfigLoadStatus::CannotCreate) {
    const std::string why = FileRefusalText(config.error, kConfigFileMaxBytes);
    AddMessage("[ERR] lindra.ini 읽기/생성 실패: " + (options_.workDir / kConfigFileName).string() +
               (why.empty() ? "" : " (" + why + ")"));
    loadProblem_ = LoadProblem::Configuration;
    return false;
  }
  if (config.undecodable)
    AddMessage(std::string(kUndecodableConfigText) + (options_.workDir / kConfigFileName).string());
  const int programLevel = ProgramLogLevel(config.logLevelText);
  for (int i = 0; i < kSlotCount; ++i) {
    slotConfigs_[i] = config.slots[i];
    channels_[i]->Configure(slotConfigs_[i]);
    channels_[i]->OpenLogs(options_.logDir, programLevel);
  }
  if (config.status == ConfigLoadStatus::RewriteFailed) {
    view_.ShowMessageBox(std::string(kFileSaveFailedText));
    loadProblem_ = LoadProblem::NotSaved;
    return false;
  }
  centerId_ = config.centerId;

  LoadTables();
  StartStatistics();
  return true;
}

void ServerController::LoadTables() {
  std::array<uint32_t, kSlotCount> modelCodes{};
  for (int i = 0; i < kSlotCount; ++i) modelCodes[i] = slotConfigs_[i].modelCode;
  for (const auto& line : LoadRoutingTables(options_.workDir, tables_, modelCodes)) AddMessage(line);
}

// The start report runs on the statistics service's own thread, so an absent server
// never delays the window or the automatic connect.
void ServerController::StartStatistics() {
  if (!statistics_) {
    StatsSettings settings;
    settings.statHost = options_.statServer.host;
    settings.statPort = options_.statServer.port;
    settings.configHost = options_.configServer.host;
    settings.configPort = options_.configServer.port;
    settings.logDir = options_.logDir;
    settings.stateDir = options_.stateDir;
    statistics_ = std::make_unique<StatisticsService>(std::move(settings), clock_, loop_, SteadyTimerMaker::Instance(),
                                                      [this](const std::string& line) { AddMessage(line); });
  }
  std::vector<std::string> dids;
  for (const auto& row : *tables_[0].Dids()) dids.push_back(row.didNumber);
  statistics_->StartReport(std::move(dids));
}

std::string ServerController::headId() const { return statistics_ ? statistics_->headId() : std::string(); }

bool ServerController::StartDecision() {
  bool anyEnabled = false;
  for (int i = 0; i < kSlotCount; ++i) anyEnabled = anyEnabled || IsSlotEnabled(i + 1, slotConfigs_[i]);
  if (anyEnabled) view_.RunLater(kAutoConnectDelayMs, [this] { AutoConnect(); });
  return anyEnabled;
}

void ServerController::AutoConnect() {
  if (autoConnectDone_ || stopped_) return;
  autoConnectDone_ = true;
  int tried = 0, connected = 0, lastTried = -1;
  for (int i = 0; i < kSlotCount; ++i) {
    if (!IsSlotEnabled(i + 1, slotConfigs_[i])) continue;
    ConnectDevice(i);
    ++tried;
    lastTried = i;
    if (IsRunning(i)) ++connected;
  }
  const bool allConnected = connected >= tried;
  view_.AutoConnectDone(lastTried, allConnected);
  if (!allConnected) view_.ShowMessageBox("일부 DEVICE가 연결되지 않았습니다.");
  autoConnecting_ = false;
}

void ServerController::ConnectDevice(int index) {
  DeviceChannel& channel = *channels_[index];
  channel.Configure(slotConfigs_[index]);
  // The socket and the senders are ready before the link opens: a call that arrives
  // at once (a CTI program waiting to connect) must not find nobody to tell.
  channel.CreateNotifySocket();
  StartSenders(index);
  const LinkResult result = channel.Start();
  AddSlotMessage(index, result.line);
  if (!result.ok) {
    if (!autoConnecting_) view_.ShowMessageBox(result.line.text);
  } else {
    AddMessage("[WARN] Server Started ----------------------");
    channel.BeginReading();
  }
  view_.SlotStateChanged(index + 1);
}

void ServerController::StartSenders(int index) {
  AgentSenders& senders = channels_[index]->agents();
  const auto rows = tables_[index].Agents();
  if (std::string refused = senders.AllocateAgentSlots(static_cast<int>(rows->size()), slotConfigs_[index].progPort);
      !refused.empty())
    AddMessage(refused);
  for (size_t r = 0; r < rows->size(); ++r) {
    const AgentRow& row = (*rows)[r];
    if (std::string refused = senders.AddAgentSlot(static_cast<int>(r), text::LeadingInt32(row.extension), row.agentIp);
        !refused.empty())
      AddMessage(refused);
  }
  sendersAllocated_[index] = true;
}

void ServerController::DisconnectDevice(int index) {
  channels_[index]->Stop();
  channels_[index]->agents().StopAgentSlots();
  view_.SlotStateChanged(index + 1);
}

bool ServerController::WriteDeviceSettings(const std::array<SlotConfig, kSlotCount>& slots) const {
  return SaveConfiguration(options_.workDir, slots, centerId_);
}

void ServerController::ApplyDeviceSettings(const std::array<SlotConfig, kSlotCount>& slots) {
  AddMessage("[WARN] DEVICE 설정 변경중...");
  for (int i = 0; i < kSlotCount; ++i) {
    slotConfigs_[i] = slots[i];
    if (slots[i].devUse) channels_[i]->agents().StopAgentSlots();
  }
  LoadTables();
  const int programLevel = ProgramLogLevel(ReadLogLevelText(options_.workDir));
  for (int i = 0; i < kSlotCount; ++i) {
    if (!slotConfigs_[i].devUse) continue;
    // A connected slot keeps its link; its new settings apply at its next connect.
    if (!channels_[i]->running()) channels_[i]->Configure(slotConfigs_[i]);
    channels_[i]->OpenLogs(options_.logDir, programLevel);
  }
  AddMessage("[WARN] DEVICE 설정 완료...");
  view_.ShowMessageBox("DEVICE 설정이 완료 되었습니다.");
  autoConnecting_ = false;
}

void ServerController::ReloadRoutingTables() {
  if (stopped_) return;
  std::array<std::shared_ptr<const AgentList>, kSlotCount> before;
  for (int i = 0; i < kSlotCount; ++i) before[i] = tables_[i].Agents();
  LoadTables();
  for (int i = 0; i < kSlotCount; ++i)
    if (sendersAllocated_[i]) FollowAgentRows(i, *before[i], *tables_[i].Agents());
}

// Rows are counted by their values (extension value and IP), the way senders are
// found: only the difference between the two tables starts or ends senders.
void ServerController::FollowAgentRows(int index, const AgentList& before, const AgentList& after) {
  std::map<std::pair<int, std::string>, int> change;
  for (const AgentRow& row : after) ++change[{text::LeadingInt32(row.extension), row.agentIp}];
  for (const AgentRow& row : before) --change[{text::LeadingInt32(row.extension), row.agentIp}];
  AgentSenders& senders = channels_[index]->agents();
  for (auto& [key, count] : change) {
    const auto& [extension, ip] = key;
    for (; count < 0; ++count)
      if (auto sender = senders.FindSlotIndex(extension, ip)) senders.RemoveAgentSlot(*sender, ip);
    for (; count > 0; --count) {
      auto free = senders.FreeSlotIndex();
      if (!free) break;
      if (std::string refused = senders.AddAgentSlot(*free, extension, ip); !refused.empty()) AddMessage(refused);
    }
  }
}

void ServerController::StopServer() {
  if (stopped_) return;
  stopped_ = true;
  {
    std::lock_guard lock(messageMutex_);
    messageLog_.clear();
    view_.MessageLogCleared();
  }
  if (statistics_) statistics_->Stop();
  for (auto& channel : channels_) channel->Shutdown();
}

bool ServerController::IsRunning(int index) const { return channels_[index]->running(); }

std::vector<Strand> ServerController::LinkStrands() const {
  std::vector<Strand> strands;
  for (const auto& channel : channels_) strands.push_back(channel->strand());
  return strands;
}

bool ServerController::AnyRunning() const {
  return std::any_of(channels_.begin(), channels_.end(), [](const auto& c) { return c->running(); });
}

// --- routing-table editors ---

bool ServerController::CanAddRows(int index) const {
  const SlotConfig& slot = slotConfigs_[index];
  return slot.modelCode != 0 && (index == 0 || slot.devUse);
}

void ServerController::SaveTable(int index, TableKind kind) {
  if (std::string failure = SaveRoutingTable(options_.workDir, kind, index + 1, tables_[index]); !failure.empty())
    AddMessage(failure);
}

EditOutcome ServerController::AddDidRow(int index, std::string_view trunkSpec, std::string_view didNumber) {
  if (!CanAddRows(index)) return {};
  EditOutcome outcome = lindra::AddDidRow(tables_[index], trunkSpec, didNumber);
  if (outcome.accepted) SaveTable(index, TableKind::Did);
  return outcome;
}

EditOutcome ServerController::ModifyDidRow(int index, int row, std::string_view trunkSpec, std::string_view didNumber) {
  EditOutcome outcome = lindra::ModifyDidRow(tables_[index], row, trunkSpec, didNumber);
  if (outcome.accepted) SaveTable(index, TableKind::Did);
  return outcome;
}

EditOutcome ServerController::DeleteDidRow(int index, int row) {
  EditOutcome outcome = lindra::DeleteDidRow(tables_[index], row);
  if (outcome.accepted) SaveTable(index, TableKind::Did);
  return outcome;
}

EditOutcome ServerController::AddAgentRow(int index, std::string_view extension, std::string_view agentIp) {
  if (!CanAddRows(index)) return {};
  EditOutcome outcome = lindra::AddAgentRow(tables_[index], extension, agentIp);
  if (!outcome.accepted) return outcome;
  SaveTable(index, TableKind::Agent);
  // Senders exist once the slot has been connected; until then the row waits for
  // the next connect, which starts a sender for every row.
  if (sendersAllocated_[index]) {
    AgentSenders& senders = channels_[index]->agents();
    if (auto free = senders.FreeSlotIndex()) {
      if (std::string refused = senders.AddAgentSlot(*free, text::LeadingInt32(extension), std::string(agentIp));
          !refused.empty())
        AddMessage(refused);
    }
  }
  return outcome;
}

EditOutcome ServerController::ModifyAgentRow(int index, int row, std::string_view extension, std::string_view agentIp) {
  EditOutcome outcome = lindra::ModifyAgentRow(tables_[index], row, extension, agentIp);
  if (!outcome.accepted) return outcome;
  SaveTable(index, TableKind::Agent);
  if (auto sender = SenderOf(index, outcome.previousRow))
    channels_[index]->agents().UpdateAgentSlot(*sender, text::LeadingInt32(extension), std::string(agentIp));
  return outcome;
}

EditOutcome ServerController::DeleteAgentRow(int index, int row) {
  EditOutcome outcome = lindra::DeleteAgentRow(tables_[index], row);
  if (!outcome.accepted) return outcome;
  SaveTable(index, TableKind::Agent);
  if (auto sender = SenderOf(index, outcome.previousRow))
    channels_[index]->agents().RemoveAgentSlot(*sender, outcome.previousRow->agentIp);
  return outcome;
}

// Rows with equal values are interchangeable, so the sender of a row is found by its
// values: after deletions row numbers and sender indices no longer agree.
std::optional<int> ServerController::SenderOf(int index, const std::optional<AgentRow>& row) const {
  if (!row) return std::nullopt;
  return channels_[index]->agents().FindSlotIndex(text::LeadingInt32(row->extension), row->agentIp);
}

}  // namespace lindra
