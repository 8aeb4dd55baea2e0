#pragma once
// What a device channel shows to the front end. The channel knows nothing above it:
// the server controller passes it an implementation that hands each call on to the
// front end's view.
#include <string>
#include <vector>

#include "notify/call_row.h"

namespace lindra {

// Called from any channel thread, in the order things happened; returns at once.
class ChannelView {
 public:
  virtual ~ChannelView() = default;

  // Rows for the call grid of a slot (1 to 4), routed or dropped events.
  virtual void CallRowsAdded(int slotNo, std::vector<CallRow> rows) = 0;
  // An operator sender's connection colour for row agentIndex + 1 of the slot's
  // extension grid, with the operator IP to find the row when rows have moved.
  virtual void AgentStateChanged(int slotNo, int agentIndex, const std::string& ip, Colour colour) = 0;
  // A slot's link came up or went down by itself (a reader that ended, a reconnect).
  virtual void SlotStateChanged(int slotNo) = 0;
};

}  // namespace lindra
