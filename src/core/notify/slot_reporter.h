#pragma once
// How the notification code of a slot reports: the slot's channel implements it.
#include <string>

#include "log/slot_logs.h"
#include "notify/call_row.h"

namespace lindra {

// Called from any thread (parsing threads, CTI workers, operator senders, the mirror
// thread); implementations must return promptly and must not call back into the
// sender that reports. Never called while a sender holds a lock of its own.
class SlotReporter {
 public:
  virtual ~SlotReporter() = default;
  virtual int slotNo() const = 0;
  // A status line for the message log ("[ERR] ..." and the like).
  virtual void StatusLine(std::string line) = 0;
  virtual void ProgramLog(DeviceLogKind kind, std::string text) = 0;
  virtual void TelephoneLog(std::string line) = 0;
  // An operator sender's connection colour (kAgentConnecting, kAgentConnected,
  // kAgentFailed) for the sender at agentIndex, serving operator PC `ip`.
  virtual void AgentState(int agentIndex, const std::string& ip, Colour colour) = 0;
};

}  // namespace lindra
