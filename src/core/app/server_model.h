#pragma once
// The live model of the running server: per slot its model, link state, last frame
// and today's counts; per operator row its state and last success and failure; the
// recent calls with their routing and outcome per PC; the message log; the
// statistics state. The channels and the controller write it; every change goes out
// as one typed event to each subscribed sink, in order, and a sink that subscribes
// late starts from a snapshot. Nothing else keeps the server's state for a front end.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/server_events.h"
#include "platform/clock.h"

namespace lindra {

class ChannelView;

// Called from any thread; mutex_ guards the state and the subscriber list, and is
// held while an event is handed to the sinks, so every sink sees one order.
class ServerModel {
 public:
  // What a link's status line with an error number leaves out (slot, device, where,
  // the system's text). Called on the reporting thread, before the lock is taken.
  using FailureDetail = std::function<std::string(int slotNo, const StatusLine& line)>;

  ServerModel(const Clock& clock, FailureDetail failureDetail);
  ~ServerModel();
  ServerModel(const ServerModel&) = delete;
  ServerModel& operator=(const ServerModel&) = delete;

  // The state as it stands, then every event after it, to `sink` until Unsubscribe.
  [[nodiscard]] ServerSnapshot Subscribe(EventSink& sink);
  void Unsubscribe(EventSink& sink);
  [[nodiscard]] ServerSnapshot Snapshot() const;
  // The slots alone, for a front end that shows them whole on each change.
  [[nodiscard]] std::array<SlotState, kSlotCount> Slots() const;
  // The message log alone, oldest line first, for a front end that renders it whole.
  [[nodiscard]] std::vector<MessageLine> MessageLog() const;
  // Each slot's counts since the start.
  [[nodiscard]] std::array<SlotTotals, kSlotCount> Totals() const;

  // What the channels report goes straight in here.
  ChannelView& channelView();

  // Stamps the line with the local time, keeps at most the log's limit of lines.
  void AddMessage(StatusLine line, std::string detail = {});
  // Empties the message log, which keeps at most `limit` lines from now on.
  void ClearMessageLog(size_t limit);
  void ShowMessageBox(std::string text);
  void SlotConfigured(int slotNo, uint32_t modelCode, bool inUse);
  void TablesChanged(int slotNo);
  void StatisticsChanged(StatisticsState statistics);
  void AutoConnectDone(int lastTriedIndex, bool allConnected);

 private:
  class Feed;

  void Publish(const ServerEvent& event);                 // mutex_ held
  static size_t IndexOf(int slotNo);                      // 1..4 to 0..3, clamped
  SlotState& Slot(int slotNo);                            // mutex_ held
  void StartDayIfNew();                                   // mutex_ held
  ServerSnapshot SnapshotLocked() const;                  // mutex_ held
  std::array<SlotState, kSlotCount> SlotsLocked() const;  // mutex_ held
  void PublishSlot(int slotNo);                           // mutex_ held

  // For Feed, each with mutex_ taken.
  void LinkMessage(int slotNo, StatusLine line);
  void FrameReceived(int slotNo);
  uint64_t CallTaken(CallRecord call);
  void CallOutcome(int slotNo, uint64_t callId, int row, const std::string& ip, PcOutcome outcome);
  void OperatorsFollowed(int slotNo, std::vector<OperatorState> rows);
  void OperatorColour(int slotNo, int row, Colour colour);
  void LinkStateChanged(int slotNo, LinkState state);

  const Clock& clock_;
  const FailureDetail failureDetail_;
  std::unique_ptr<Feed> channelView_;
  mutable std::mutex mutex_;
  std::vector<EventSink*> sinks_;
  uint64_t published_ = 0;  // events handed to the sinks since the start
  std::array<SlotState, kSlotCount> slots_;
  std::array<std::vector<OperatorRowState>, kSlotCount> operators_;
  std::deque<CallRecord> recentCalls_;  // ids ascending
  std::deque<MessageLine> messageLog_;
  size_t messageLogLimit_ = 20;  // until the server has loaded
  StatisticsState statistics_;
  uint64_t lastCallId_ = 0;
  LocalTime countsDay_;  // the day today's counts are of
  std::array<SlotTotals, kSlotCount> totals_;
};

}  // namespace lindra
