#pragma once
// The channels' view: what a channel tells goes on to the front end's view. The
// channels know only their own narrow interface, never the front end's.
#include <atomic>
#include <functional>
#include <string>
#include <utility>

#include "app/controller_view.h"
#include "device/channel_view.h"

namespace lindra {

// Called from the channels' threads; its only state is the count of calls taken.
class ChannelViewRelay final : public ChannelView {
 public:
  // A slot's status line for the message log.
  using SlotMessage = std::function<void(int slotNo, const StatusLine& line)>;
  // The operator IP of a row of the slot's extension table.
  using OperatorIp = std::function<std::string(int slotNo, int row)>;

  ChannelViewRelay(ControllerView& view, SlotMessage message, OperatorIp operatorIp)
      : view_(view), message_(std::move(message)), operatorIp_(std::move(operatorIp)) {}

  void Message(int slotNo, StatusLine line) override { message_(slotNo, line); }
  void FrameReceived(int) override {}
  uint64_t CallTaken(CallRecord call) override {
    if (!call.rows.empty()) view_.CallRowsAdded(call.slotNo, std::move(call.rows));
    return ++lastCallId_;
  }
  void CallOutcome(int, uint64_t, int, const std::string&, PcOutcome) override {}
  void OperatorsFollowed(int, std::vector<OperatorState>) override {}
  void OperatorColour(int slotNo, int row, Colour colour) override {
    view_.AgentStateChanged(slotNo, row, operatorIp_(slotNo, row), colour);
  }
  void LinkStateChanged(int slotNo, LinkState) override { view_.SlotStateChanged(slotNo); }

 private:
  ControllerView& view_;
  const SlotMessage message_;
  const OperatorIp operatorIp_;
  std::atomic<uint64_t> lastCallId_{0};
};

}  // namespace lindra
