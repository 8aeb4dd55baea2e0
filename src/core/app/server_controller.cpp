#include "app/server_controller.h"

#include <algorithm>
#include <system_error>
#include <utility>

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

constexpr size_t kMessageLogLimit = 100;

}  // namespace

ServerController::ServerController(ServerOptions options, ControllerView& view, const Clock& clock, TimerMaker& timers)
    : options_(std::move(options)),
      view_(view),
      clock_(clock),
      timers_(timers),
      model_(clock, [this](int slotNo, const StatusLine& line) {
        return LinkFailureDetail(slotNo, channels_[slotNo - 1]->config(), options_.serialPaths, *line.error);
      }) {
  // The view starts with the server: there is nothing to see before.
  [[maybe_unused]] const ServerSnapshot empty = model_.Subscribe(view_);
  loop_.Start();
  // A CTI program may hold thousands of connections open at once, one per call.
  const size_t ctiConnectionCap = CtiConnectionCap(RaiseDescriptorLimit());
  for (int i = 0; i < kSlotCount; ++i) {
    ChannelEnvironment env;
    env.clock = &clock_;
    env.timers = &timers_;
    env.serialPaths = options_.serialPaths;
    env.broadcastAddress = options_.broadcastAddress;
    env.ctiLimits.maxConnections = ctiConnectionCap;
    if (options_.mirror) {
      env.mirrorHost = options_.mirror->host;
      env.mirrorPort = options_.mirror->port;
    }
    channels_[i] = std::make_unique<DeviceChannel>(i + 1, tables_[i], loop_, model_.channelView(), std::move(env));
  }
}

ServerController::~ServerController() {
  StopServer();
  // The channels go while the loop still runs.
  for (auto& channel : channels_) channel.reset();
  loop_.Stop();
  model_.Unsubscribe(view_);
}

ServerController::Started ServerController::Start() {
  PurgeOldLogs(options_.logDir, clock_.Now());
  if (!LoadServer()) return {loadProblem_, false};
  return {loadProblem_, StartDecision()};
}

bool ServerController::LoadServer() {
  model_.ClearMessageLog(kMessageLogLimit);
  AddMessage(StatusLine::Warning("[WARN] Starting server... Version:08/10/01"));

  if (!EnsureDirectory(options_.logDir)) {
    AddMessage(StatusLine::Error("[ERR] 로그 폴더 생성 실패: " + options_.logDir.string()));
    loadProblem_ = LoadProblem::LogFolder;
  }

  ConfigLoadResult config = LoadConfiguration(options_.workDir);
  if (config.status == ConfigLoadStatus::CannotCreate) {
    const std::string why = FileRefusalText(config.error, kConfigFileMaxBytes);
    AddMessage(StatusLine::Error("[ERR] lindra.ini 읽기/생성 실패: " + (options_.workDir / kConfigFileName).string() +
                                     (why.empty() ? "" : " (" + why + ")"),
                                 config.error ? std::optional<int>(config.error.value()) : std::nullopt));
    loadProblem_ = LoadProblem::Configuration;
    return false;
  }
  if (config.undecodable)
    AddMessage(StatusLine::Error(std::string(kUndecodableConfigText) + (options_.workDir / kConfigFileName).string()));
  const int programLevel = ProgramLogLevel(config.logLevelText);
  for (int i = 0; i < kSlotCount; ++i) {
    slotConfigs_[i] = config.slots[i];
    channels_[i]->Configure(slotConfigs_[i]);
    channels_[i]->OpenLogs(options_.logDir, programLevel);
    SlotConfigured(i);
  }
  if (config.status == ConfigLoadStatus::RewriteFailed) {
    model_.ShowMessageBox(std::string(kFileSaveFailedText));
    loadProblem_ = LoadProblem::NotSaved;
    return false;
  }
  centerId_ = config.centerId;

  LoadTables();
  StartStatistics();
  return true;
}

void ServerController::SlotConfigured(int index) {
  model_.SlotConfigured(index + 1, slotConfigs_[index].modelCode, IsSlotEnabled(index + 1, slotConfigs_[index]));
}

void ServerController::LoadTables() {
  std::array<uint32_t, kSlotCount> modelCodes{};
  for (int i = 0; i < kSlotCount; ++i) modelCodes[i] = slotConfigs_[i].modelCode;
  for (StatusLine& line : LoadRoutingTables(options_.workDir, tables_, modelCodes)) AddMessage(std::move(line));
  for (int i = 0; i < kSlotCount; ++i) {
    model_.TablesChanged(i + 1);
    FollowAgentTable(i);
  }
}

void ServerController::FollowAgentTable(int index) { channels_[index]->agents().Follow(*tables_[index].Agents()); }

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
    StatisticsReport report{[this](StatusLine line) { AddMessage(std::move(line)); },
                            [this](const StatisticsState& state) { model_.StatisticsChanged(state); }};
    statistics_ = std::make_unique<StatisticsService>(std::move(settings), clock_, loop_, timers_, std::move(report));
  }
  std::vector<std::string> dids;
  for (const auto& row : *tables_[0].Dids()) dids.push_back(row.didNumber);
  statistics_->StartReport(std::move(dids));
}

bool ServerController::StartDecision() {
  bool anyEnabled = false;
  for (int i = 0; i < kSlotCount; ++i) anyEnabled = anyEnabled || IsSlotEnabled(i + 1, slotConfigs_[i]);
  if (anyEnabled) view_.RunLater(kAutoConnectDelay, [this] { AutoConnect(); });
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
  model_.AutoConnectDone(lastTried, allConnected);
  if (!allConnected) model_.ShowMessageBox("일부 DEVICE가 연결되지 않았습니다.");
  autoConnecting_ = false;
}

void ServerController::ConnectDevice(int index) {
  DeviceChannel& channel = *channels_[index];
  channel.Configure(slotConfigs_[index]);
  // The socket and the senders are ready before the link opens: a call that arrives
  // at once (a CTI program waiting to connect) must not find nobody to tell. A socket
  // that failed says so with every broadcast that fails: its text is dropped here.
  (void)channel.CreateNotifySocket();
  channel.agents().Start(slotConfigs_[index].progPort);
  const LinkResult result = channel.Start();
  model_.channelView().LinkMessage(index + 1, result.line);
  if (!result.ok) {
    if (!autoConnecting_) model_.ShowMessageBox(result.line.text);
  } else {
    AddMessage(StatusLine::Warning("[WARN] Server Started ----------------------"));
    channel.BeginReading();
  }
}

void ServerController::DisconnectDevice(int index) {
  channels_[index]->Stop();
  channels_[index]->agents().Stop();
}

bool ServerController::WriteDeviceSettings(const std::array<SlotConfig, kSlotCount>& slots) const {
  return SaveConfiguration(options_.workDir, slots, centerId_);
}

void ServerController::ApplyDeviceSettings(const std::array<SlotConfig, kSlotCount>& slots) {
  AddMessage(StatusLine::Warning("[WARN] DEVICE 설정 변경중..."));
  for (int i = 0; i < kSlotCount; ++i) {
    slotConfigs_[i] = slots[i];
    SlotConfigured(i);
    if (slots[i].devUse) channels_[i]->agents().Stop();
  }
  LoadTables();
  const int programLevel = ProgramLogLevel(ReadLogLevelText(options_.workDir));
  for (int i = 0; i < kSlotCount; ++i) {
    if (!slotConfigs_[i].devUse) continue;
    // A connected slot keeps its link; its new settings apply at its next connect.
    if (!channels_[i]->running()) channels_[i]->Configure(slotConfigs_[i]);
    channels_[i]->OpenLogs(options_.logDir, programLevel);
  }
  AddMessage(StatusLine::Warning("[WARN] DEVICE 설정 완료..."));
  model_.ShowMessageBox("DEVICE 설정이 완료 되었습니다.");
  autoConnecting_ = false;
}

void ServerController::ReloadRoutingTables() {
  if (stopped_) return;
  LoadTables();
}

void ServerController::StopServer() {
  if (stopped_) return;
  stopped_ = true;
  model_.ClearMessageLog(kMessageLogLimit);
  if (statistics_) statistics_->Stop();
  for (auto& channel : channels_) channel->Shutdown();
}

bool ServerController::IsRunning(int index) const { return channels_[index]->running(); }

std::vector<Strand> ServerController::LinkStrands() const {
  std::vector<Strand> strands;
  for (const auto& channel : channels_) strands.push_back(channel->strand());
  return strands;
}

std::array<SlotQueues, kSlotCount> ServerController::Queues() const {
  std::array<SlotQueues, kSlotCount> queues;
  for (int i = 0; i < kSlotCount; ++i) queues[i] = {channels_[i]->senderQueues(), channels_[i]->logFigures()};
  return queues;
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
  if (auto failure = SaveRoutingTable(options_.workDir, kind, index + 1, tables_[index]))
    AddMessage(std::move(*failure));
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
  FollowAgentTable(index);
  return outcome;
}

EditOutcome ServerController::ModifyAgentRow(int index, int row, std::string_view extension, std::string_view agentIp) {
  EditOutcome outcome = lindra::ModifyAgentRow(tables_[index], row, extension, agentIp);
  if (!outcome.accepted) return outcome;
  SaveTable(index, TableKind::Agent);
  FollowAgentTable(index);
  return outcome;
}

EditOutcome ServerController::DeleteAgentRow(int index, int row) {
  EditOutcome outcome = lindra::DeleteAgentRow(tables_[index], row);
  if (!outcome.accepted) return outcome;
  SaveTable(index, TableKind::Agent);
  FollowAgentTable(index);
  return outcome;
}

}  // namespace lindra
