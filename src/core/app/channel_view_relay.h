#pragma once
// The channels' view: what a channel shows goes on to the front end's view unchanged.
// The channels know only their own narrow interface, never the front end's.
#include <utility>

#include "app/controller_view.h"
#include "device/channel_view.h"

namespace lindra {

// Called from the channels' threads; holds no state of its own.
class ChannelViewRelay final : public ChannelView {
 public:
  explicit ChannelViewRelay(ControllerView& view) : view_(view) {}

  void CallRowsAdded(int slotNo, std::vector<CallRow> rows) override { view_.CallRowsAdded(slotNo, std::move(rows)); }
  void AgentStateChanged(int slotNo, int agentIndex, const std::string& ip, Colour colour) override {
    view_.AgentStateChanged(slotNo, agentIndex, ip, colour);
  }
  void SlotStateChanged(int slotNo) override { view_.SlotStateChanged(slotNo); }

 private:
  ControllerView& view_;
};

}  // namespace lindra
