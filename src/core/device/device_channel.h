#pragma once
// One device slot: its configuration, its link (serial line, LAN exchange or CTI
// listener), its logs, its operator senders and its UDP socket. Every frame the link
// delivers is logged, parsed, routed and handed to the senders on the slot's strand
// of the event loop, so events keep their order per slot.
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/slot_config.h"
#include "device/channel_view.h"
#include "device/cti_listener.h"
#include "device/frame_assembler.h"
#include "device/link.h"
#include "device/serial_link.h"
#include "log/slot_logs.h"
#include "notify/agent_senders.h"
#include "notify/broadcast_notify.h"
#include "notify/frame_mirror.h"
#include "notify/routing_tables.h"
#include "notify/slot_reporter.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

// What a channel needs of the server around it.
struct ChannelEnvironment {
  const Clock* clock = &SystemClock::Instance();
  TimerMaker* timers = &SteadyTimerMaker::Instance();
  SerialOverrides serialPaths;
  std::string broadcastAddress = kDefaultBroadcastAddress;
  std::string mirrorHost;  // empty: no diagnostic copy of CTI frames
  int mirrorPort = 0;
  SenderTimings senderTimings;
  CtiLimits ctiLimits;
};

// The controller's thread configures, starts, stops and shuts the channel down; the
// link's handlers (frames, CTI messages, status, link events) run on the slot's
// strand, and so do parse, route and dispatch; operator senders and the mirror report
// through the SlotReporter side from the loop. The configuration is written on the
// strand (the controller waits for it); the flags the controller reads are atomic.
// Every status line, link state, frame and call goes to the ChannelView.
class DeviceChannel final : public SlotReporter {
 public:
  DeviceChannel(int slotNo, RoutingTables& tables, EventLoop& loop, ChannelView& view, ChannelEnvironment environment);
  ~DeviceChannel() override;  // Shutdown()
  DeviceChannel(const DeviceChannel&) = delete;
  DeviceChannel& operator=(const DeviceChannel&) = delete;

  // A link still retrying in the background (shown not connected) is ended first:
  // it would come back with the old settings.
  void Configure(const SlotConfig& config);
  const SlotConfig& config() const { return config_; }

  // Opens the slot's two logs (only once, and only when the slot has a model).
  void OpenLogs(const std::filesystem::path& logDir, int programLevel);

  // Checks the configuration and opens the link: opened with "[WARN] ...", or failed
  // with "[ERR] ..." (also for the codes 1, 101 and 201, which name no device). The
  // link state follows: Connected, or Off with the failure.
  [[nodiscard]] LinkResult Start();
  // After a successful Start, once the start has been reported: reads the link. What
  // the link then reports (a peer that closes at once) follows the start's own lines.
  void BeginReading();
  // Closes the link; reports the stop (its line, then the state Off). Nothing when not running.
  void Stop();
  // Stop(), the CTI connections (what they received is handed on first), the operator
  // senders, then every queued log line written.
  void Shutdown();

  // The link is open and has not ended. A link that lost its exchange or port and
  // is retrying in the background, or one that gave up by itself, makes the slot not
  // connected; the view hears of each change (LinkStateChanged).
  bool running() const { return running_ && !linkEnded_ && linkUp_; }

  // The UDP notification socket, with SO_BROADCAST in broadcast mode. Returns nothing
  // or the failure.
  [[nodiscard]] std::optional<lindra::StatusLine> CreateNotifySocket();
  AgentSenders& agents() { return agents_; }
  // What waits in the slot, for the monitoring: any thread.
  std::vector<SenderQueue> senderQueues() const { return agents_.Queues(); }
  SlotLogFigures logFigures() const { return logs_.figures(); }
  // Where the link's handlers, parse, route and dispatch run.
  const Strand& strand() const { return strand_; }

  // SlotReporter
  int slotNo() const override { return slotNo_; }
  void Message(lindra::StatusLine line) override;
  void ProgramLog(DeviceLogKind kind, std::string text) override;
  void TelephoneLog(std::string line) override;
  void OperatorsFollowed(std::vector<OperatorState> rows) override;
  void OperatorColour(int row, Colour colour) override;
  void CallOutcome(uint64_t callId, int row, const std::string& ip, PcOutcome outcome) override;

 private:
  ChannelView& view() const { return view_; }
  void ShowLinkState(LinkState state);
  std::string CheckConfiguration() const;
  LinkResult OpenLink();
  LinkHandlers Handlers();
  void CloseLink();
  void HandleChunk(std::string_view chunk);
  void HandleLinkEvent(const LinkEvent& event);
  void HandleMessage(std::string_view message);
  void Deliver(std::string_view frame, size_t length);

  const int slotNo_;
  RoutingTables& tables_;
  ChannelView& view_;
  ChannelEnvironment env_;
  EventLoop& loop_;
  const Strand strand_;
  SlotConfig config_;
  SlotLogs logs_;
  NotifySocket notifySocket_;
  AgentSenders agents_;
  std::unique_ptr<FrameMirror> mirror_;  // of the CTI messages, when configured
  // Made for the model's kind at the first start of that kind, kept until a start of
  // another kind or the shutdown: a stopped CTI listener still serves the connections
  // it had accepted.
  std::unique_ptr<Link> link_;
  LinkKind linkKind_ = LinkKind::None;       // of link_
  std::optional<FrameAssembler> assembler_;  // of the open link; the strand's
  std::atomic<bool> running_{false};
  std::atomic<bool> linkEnded_{false};
  std::atomic<bool> linkUp_{false};
  bool reading_ = false;  // BeginReading has run since the start
};

}  // namespace lindra
