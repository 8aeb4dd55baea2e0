#pragma once
// What the core tells a front end (the Qt window or the daemon's stdout). Every call
// may come from any core thread, in the order things happened, and must return at
// once: a front end queues the work for its own thread and never makes the core wait.
#include <functional>
#include <string>
#include <vector>

#include "notify/call_row.h"

namespace lindra {

class ControllerView {
 public:
  virtual ~ControllerView() = default;

  // A message-log line as added: "[HH:MM:SS.mmm]" and the text, without CR LF.
  virtual void MessageAdded(const std::string& line) = 0;
  // The same for a slot's link failure, with what a technician needs beyond the line
  // (slot, model, device path or address, the system's error text). The line itself
  // is the message log's; a front end that shows only the log ignores the detail.
  virtual void LinkFailureAdded(const std::string& line, const std::string& /*detail*/) { MessageAdded(line); }
  virtual void MessageLogCleared() = 0;
  // A message-box text; the front end shows it (the daemon prints it on a line).
  virtual void ShowMessageBox(const std::string& text) = 0;
  // Rows for the call grid of a slot (1 to 4), routed or dropped events.
  virtual void CallRowsAdded(int slotNo, std::vector<CallRow> rows) = 0;
  // An operator sender's connection colour for row agentIndex + 1 of the slot's
  // extension grid, with the operator IP to find the row when rows have moved.
  virtual void AgentStateChanged(int slotNo, int agentIndex, const std::string& ip, Colour colour) = 0;
  // A slot's link came up or went down by itself (a reader that ended, a reconnect).
  virtual void SlotStateChanged(int slotNo) = 0;
  // The automatic connect pass has tried every enabled slot: select lastTriedIndex
  // (0..3, -1 when none was tried) in the device list; when every slot connected the
  // window goes to the tray, otherwise it stays and the summary box is shown.
  virtual void AutoConnectDone(int lastTriedIndex, bool allConnected) = 0;
  // Runs `work` on the front end's own thread after `delayMs` (the start timer).
  virtual void RunLater(int delayMs, std::function<void()> work) = 0;
};

}  // namespace lindra
