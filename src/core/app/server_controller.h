#pragma once
// The running server, independent of any window: loads lindra.ini, opens the logs,
// loads the routing tables, connects and disconnects slots and stops in order. Both
// front ends drive it from their own single thread (the "front-end thread") and read
// it through its live model (server_model.h), whose events reach the front end's
// ControllerView and never block. It owns the event loop that runs every link and its
// timers: started before the channels, ended after them.
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/controller_view.h"
#include "app/server_model.h"
#include "app/server_options.h"
#include "config/slot_config.h"
#include "log/slot_logs.h"
#include "log/status_line.h"
#include "notify/agent_senders.h"
#include "notify/routing_tables.h"
#include "notify/table_editing.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

class DeviceChannel;
class StatisticsService;

// What waits in a slot now, and what its logs have met, for the monitoring.
struct SlotQueues {
  std::vector<SenderQueue> senders;
  SlotLogFigures logs;
};

class ServerController {
 public:
  // Every timer of the server (links, senders, statistics) comes from `timers`. The
  // view hears every event of the model from now on.
  ServerController(ServerOptions options, ControllerView& view, const Clock& clock = SystemClock::Instance(),
                   TimerMaker& timers = SteadyTimerMaker::Instance());
  ~ServerController();  // StopServer() for whatever still runs
  ServerController(const ServerController&) = delete;
  ServerController& operator=(const ServerController&) = delete;

  // What kept the server from loading, for a front end that ends then instead of
  // idling (the daemon under a service manager). The window carries on as the message
  // log tells the operator.
  enum class LoadProblem {
    None,
    LogFolder,      // the log folder could not be made; nothing would be logged
    Configuration,  // lindra.ini (or its folder) can be neither read nor created
    NotSaved,       // the start-up rewrite of lindra.ini could not be saved
  };
  struct Started {
    LoadProblem problem = LoadProblem::None;
    // A slot is enabled: AutoConnect runs kAutoConnectDelay later on the front-end
    // thread (through ControllerView::RunLater).
    bool autoConnectScheduled = false;
  };
  static constexpr std::chrono::milliseconds kAutoConnectDelay{1500};

  // The start both front ends make once they are laid out: old logs purged, the
  // server loaded (lindra.ini, logs, routing tables, the statistics' start report),
  // then the start decision.
  [[nodiscard]] Started Start();
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

  // The live model: what the front ends read and subscribe to. Thread-safe.
  ServerModel& model() { return model_; }
  const ServerModel& model() const { return model_; }

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
  std::array<SlotQueues, kSlotCount> Queues() const;

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
  bool LoadServer();
  bool StartDecision();
  void AddMessage(StatusLine line) { model_.AddMessage(std::move(line)); }
  void SlotConfigured(int index);
  void LoadTables();
  // The slot's senders follow its operator table as it now stands.
  void FollowAgentTable(int index);
  void SaveTable(int index, TableKind kind);
  bool CanAddRows(int index) const;
  void StartStatistics();

  ServerOptions options_;
  ControllerView& view_;
  const Clock& clock_;
  TimerMaker& timers_;
  ServerModel model_;  // outlives the channels that report to it
  EventLoop loop_;     // outlives the channels below
  std::array<SlotConfig, kSlotCount> slotConfigs_{};
  std::array<RoutingTables, kSlotCount> tables_;
  std::array<std::unique_ptr<DeviceChannel>, kSlotCount> channels_;
  std::unique_ptr<StatisticsService> statistics_;
  std::string centerId_;
  bool autoConnecting_ = true;
  bool autoConnectDone_ = false;
  bool stopped_ = false;
  LoadProblem loadProblem_ = LoadProblem::None;
};

}  // namespace lindra
