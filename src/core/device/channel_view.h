#pragma once
// What a device channel tells the server above it. The channel knows nothing above
// it: the server controller passes it an implementation that keeps the live model.
#include <cstdint>
#include <string>
#include <vector>

#include "log/status_line.h"
#include "model/link_state.h"
#include "notify/call_record.h"
#include "notify/operator_state.h"

namespace lindra {

// Called from any channel thread (link strands, operator senders, the controller's),
// in the order things happened per slot; returns at once and never calls back into
// the channel.
class ChannelView {
 public:
  virtual ~ChannelView() = default;

  // A status line for the message log.
  virtual void Message(int slotNo, StatusLine line) = 0;
  // The same for a line of the slot's link (its start, loss and attempts): one with an
  // error number is a link failure, which the journal tells in full.
  virtual void LinkMessage(int slotNo, StatusLine line) = 0;
  // A frame arrived on the slot's link (the model keeps the time of the last one).
  virtual void FrameReceived(int slotNo) = 0;
  // A call was routed or dropped. Returns the id its outcomes will name.
  virtual uint64_t CallTaken(CallRecord call) = 0;
  // What became of call `callId` at the PC of operator row `row` (from 0), `ip`.
  virtual void CallOutcome(int slotNo, uint64_t callId, int row, const std::string& ip, PcOutcome outcome) = 0;
  // The senders follow these operator rows now, with their colours.
  virtual void OperatorsFollowed(int slotNo, std::vector<OperatorState> rows) = 0;
  // The connection colour of the sender of operator row `row` (from 0).
  virtual void OperatorColour(int slotNo, int row, Colour colour) = 0;
  // The link's state changed (it came up, was lost, retried, ended, was stopped).
  virtual void LinkStateChanged(int slotNo, LinkState state) = 0;
};

}  // namespace lindra
