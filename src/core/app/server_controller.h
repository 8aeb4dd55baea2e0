#pragma once
// The running server, independent of any window: loads lindra.ini, opens the logs,
// loads the routing tables, connects and disconnects slots, keeps the message log and
// stops in order. Both front ends drive it from their own single thread (the
// "front-end thread"); everything the core has to say goes out through
// ControllerView, which never blocks. It owns the event loop that runs every link
// and its timers: started before the channels, ended after them.
#include <array>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/controller_view.h"
#include "app/server_options.h"
#include "config/slot_config.h"
#include "log/status_line.h"
#include "notify/routing_tables.h"
#include "notify/table_editing.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

class ChannelView;
class DeviceChannel;
class StatisticsService;

class ServerController {
 public:
  // The timers of the links come from `timers`.
  ServerController(ServerOptions options, ControllerView& view, const Clock& clock = SystemClock::Instance(),
                   TimerMaker& timers = SteadyTimerMaker::Instance());
  ~ServerController();  // StopServer() for whatever still runs
  ServerController(const ServerController&) = delete;
  ServerController& operator=(const ServerController&) = delete;

  // Start, in this order: PurgeOldLogs, (front end lays out), LoadServer, StartDecision.
  void PurgeOldLogs();
  bool LoadServer();

  // What kept LoadServer from bringing the server up, for a front end that ends then
  // instead of idling (the daemon under a service manager). The window carries on as
  // the message log tells the operator.
  enum class LoadProblem {
    None,
    LogFolder,      // the log folder could not be made; nothing would be logged
    Configuration,  // lindra.ini (or its folder) can be neither read nor created
    NotSaved,       // the start-up rewrite of lindra.ini could not be saved
  };
  LoadProblem loadProblem() const { return loadProblem_; }
  // Schedules AutoConnect 1500 ms later (through ControllerView::RunLater) when a
  // slot is enabled; returns whether it did.
  bool StartDecision();
  void AutoConnect();

  void ConnectDevice(int index);     // 0..3
  void DisconnectDevice(int index);  // 0..3

  // The setup dialog's full rewrite of lindra.ini; false means "파일 저장 실패".
  bool WriteDeviceSettings(const std::array<SlotConfig, kSlotCount>& slots) const;
  // Applies a confirmed device setup (the steps after the dialog closed).
  void ApplyDeviceSettings(const std::array<SlotConfig, kSlotCount>& slots);

  // Reads every slot's routing tables from disk again, after they were changed by
  // hand, and logs what was read. Links stay up; the operator senders follow the new
  // operator rows as after single edits (a row that stayed keeps its sender).
  void ReloadRoutingTables();

  void StopServer();

  // Thread-safe: channels report status lines through it.
  void AddMessage(const std::string& text);
  std::vector<std::string> MessageLog() const;  // newest last, without CR LF

  // State for the front end (front-end thread).
  const std::array<SlotConfig, kSlotCount>& slotConfigs() const { return slotConfigs_; }
  const std::string& centerId() const { return centerId_; }
  bool autoConnecting() const { return autoConnecting_; }
  bool IsRunning(int index) const;
  bool AnyRunning() const;
  const RoutingTables& tables(int index) const { return tables_[index]; }
  const ServerOptions& options() const { return options_; }
  // The strands the slots' links run on, for a watchdog that vouches for them.
  std::vector<Strand> LinkStrands() const;
  // The statistics server's head identifier once the start report has it.
  std::string headId() const;

  // The routing-table editors (rows are data rows counted from 0). An accepted edit
  // is saved to its file; operator rows also start, change or end their sender.
  // The adds do nothing, quietly, for a slot without model or a disabled slot 2 to 4.
  EditOutcome AddDidRow(int index, std::string_view trunkSpec, std::string_view didNumber);
  EditOutcome ModifyDidRow(int index, int row, std::string_view trunkSpec, std::string_view didNumber);
  EditOutcome DeleteDidRow(int index, int row);
  EditOutcome AddAgentRow(int index, std::string_view extension, std::string_view agentIp);
  EditOutcome ModifyAgentRow(int index, int row, std::string_view extension, std::string_view agentIp);
  EditOutcome DeleteAgentRow(int index, int row);

 private:
  void LoadTables();
  void FollowAgentRows(int index, const AgentList& before, const AgentList& after);
  // A slot's status line or start result; a link failure carries its detail along.
  void AddSlotMessage(int index, const StatusLine& line);
  void AddLine(const std::string& text, const std::string& failureDetail);
  void StartSenders(int index);
  void SaveTable(int index, TableKind kind);
  bool CanAddRows(int index) const;
  std::optional<int> SenderOf(int index, const std::optional<AgentRow>& row) const;
  void StartStatistics();

  ServerOptions options_;
  ControllerView& view_;
  std::unique_ptr<ChannelView> channelView_;  // hands what the channels show on to view_
  const Clock& clock_;
  EventLoop loop_;  // outlives the channels below
  std::array<SlotConfig, kSlotCount> slotConfigs_{};
  std::array<RoutingTables, kSlotCount> tables_;
  std::array<std::unique_ptr<DeviceChannel>, kSlotCount> channels_;
  std::array<bool, kSlotCount> sendersAllocated_{};
  std::unique_ptr<StatisticsService> statistics_;
  std::string centerId_;
  bool autoConnecting_ = true;
  bool autoConnectDone_ = false;
  bool stopped_ = false;
  LoadProblem loadProblem_ = LoadProblem::None;
  mutable std::mutex messageMutex_;
  std::deque<std::string> messageLog_;
  size_t messageLogLimit_ = 20;
};

}  // namespace lindra
