#pragma once
// The running server, independent of any window: loads lindra.ini, opens the logs,
// loads the routing tables, connects and disconnects slots, keeps the message log and
// stops in order. Both front ends drive it from their own single thread (the
// "front-end thread"); everything the core has to say goes out through
// ControllerView, which never blocks.
#include <array>
#include <memory>
#include <mutex>
#include <deque>
#include <string>
#include <vector>

#include "app/controller_view.h"
#include "app/server_options.h"
#include "config/slot_config.h"
#include "platform/clock.h"

namespace lindra {

class DeviceChannel;
class RoutingTables;
class StatisticsService;

class ServerController {
 public:
  ServerController(ServerOptions options, ControllerView& view, const Clock& clock = SystemClock::Instance());
  ~ServerController();  // StopServer() for whatever still runs
  ServerController(const ServerController&) = delete;
  ServerController& operator=(const ServerController&) = delete;

  // Start, in this order: PurgeOldLogs, (front end lays out), LoadServer, StartDecision.
  void PurgeOldLogs();
  bool LoadServer();
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
  RoutingTables& tables(int index);
  const ServerOptions& options() const { return options_; }

 private:
  // (implementation details follow)
  ServerOptions options_;
  ControllerView& view_;
  const Clock& clock_;
  std::array<SlotConfig, kSlotCount> slotConfigs_{};
  std::string centerId_;
  bool autoConnecting_ = true;
  mutable std::mutex messageMutex_;
  std::deque<std::string> messageLog_;
  size_t messageLogLimit_ = 20;
};

}  // namespace lindra
