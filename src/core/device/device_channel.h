#pragma once
// One device slot: its configuration, its link (serial line, LAN exchange or CTI
// listener), its reader thread, its logs, its operator senders and its UDP socket.
// Every frame the link delivers is logged, parsed, routed and handed to the senders
// on the thread that read it, so events keep their order per slot.
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "config/slot_config.h"
#include "device/channel_view.h"
#include "device/cti_listener.h"
#include "device/frame_assembler.h"
#include "device/lan_link.h"
#include "device/serial_link.h"
#include "log/slot_logs.h"
#include "notify/agent_senders.h"
#include "notify/broadcast_notify.h"
#include "notify/frame_mirror.h"
#include "notify/routing_tables.h"
#include "notify/slot_reporter.h"
#include "platform/clock.h"

namespace lindra {

// What a channel needs of the server around it.
struct ChannelEnvironment {
  ChannelView* view = nullptr;
  // The controller's message log; thread-safe. Status lines go there.
  std::function<void(const std::string&)> addMessage;
  const Clock* clock = &SystemClock::Instance();
  SerialOverrides serialPaths;
  std::string broadcastAddress = kDefaultBroadcastAddress;
  std::string mirrorHost;  // empty: no diagnostic copy of CTI frames
  int mirrorPort = 0;
  SenderTimings senderTimings;
  LinkTimings linkTimings;
};

// The controller's thread configures, starts, stops and shuts the channel down; the
// reader thread and the CTI workers deliver frames; operator senders and the mirror
// report through the SlotReporter side. Configuration is written only while no
// reader runs; `deliverMutex_` serialises parse-and-dispatch (CTI workers run in
// parallel); every other shared piece guards itself.
class DeviceChannel final : public SlotReporter {
 public:
  DeviceChannel(int slotNo, RoutingTables& tables, ChannelEnvironment environment);
  ~DeviceChannel() override;  // Shutdown()
  DeviceChannel(const DeviceChannel&) = delete;
  DeviceChannel& operator=(const DeviceChannel&) = delete;

  // A link still retrying in the background (shown not connected) is ended first:
  // it would come back with the old settings.
  void Configure(const SlotConfig& config);
  const SlotConfig& config() const { return config_; }

  // Opens the slot's two logs (only once, and only when the slot has a model).
  void OpenLogs(const std::filesystem::path& logDir, int programLevel);

  // Checks the configuration and opens the link. Returns the result text: "[WARN] ..."
  // on success, "[ERR] ..." on failure, and "" for the codes 1, 101 and 201 that name
  // no device.
  std::string Start();
  // After a successful Start, once the start has been reported: reads the link. What
  // the link then reports (a peer that closes at once) follows the start's own lines.
  void BeginReading();
  // Closes the link and ends the reader; reports the stop. Nothing when not running.
  void Stop();
  // Stop(), the CTI workers, the operator senders, then every queued log line written.
  void Shutdown();

  // The link is open and its reader alive. A link that lost its exchange or port
  // and is retrying in the background, or a reader that ended by itself, makes the
  // slot not connected; the front end hears of each change (SlotStateChanged).
  bool running() const { return running_ && readerAlive_ && linkUp_; }

  // The UDP notification socket, with SO_BROADCAST in broadcast mode. Returns "" or
  // the failure text.
  std::string CreateNotifySocket();
  AgentSenders& agents() { return agents_; }

  // SlotReporter
  int slotNo() const override { return slotNo_; }
  void StatusLine(std::string line) override;
  void ProgramLog(DeviceLogKind kind, std::string text) override;
  void TelephoneLog(std::string line) override;
  void AgentState(int agentIndex, const std::string& ip, Colour colour) override;

 private:
  std::string CheckConfiguration() const;
  std::string StartLink(LinkKind kind);
  void RunReader(LinkKind kind);
  void CloseLink();
  void HandleChunk(FrameAssembler& assembler, std::string_view chunk);
  void HandleLinkEvent(FrameAssembler& assembler, LinkEvent event);
  void NotifySlotState();
  void HandleCtiMessage(std::string_view message);
  void Deliver(std::string_view frame, size_t length);

  const int slotNo_;
  RoutingTables& tables_;
  ChannelEnvironment env_;
  SlotConfig config_;
  SlotLogs logs_;
  SerialLink serial_;
  LanLink lan_;
  CtiListener cti_;
  NotifySocket notifySocket_;
  AgentSenders agents_;
  std::unique_ptr<FrameMirror> mirror_;
  std::mutex deliverMutex_;
  std::atomic<bool> running_{false};
  std::atomic<bool> readerAlive_{false};
  std::atomic<bool> linkUp_{false};
  LinkKind kind_ = LinkKind::None;  // of the open link
  std::thread reader_;
};

}  // namespace lindra
