#pragma once
// How the notification code of a slot reports: the slot's channel implements it.
#include <cstdint>
#include <string>
#include <vector>

#include "log/slot_logs.h"
#include "log/status_line.h"
#include "notify/call_record.h"
#include "notify/call_row.h"
#include "notify/operator_state.h"

namespace lindra {

// Called from any thread (parsing threads, CTI workers, operator senders, the mirror
// thread); implementations must return promptly and must never call back into the
// senders or the socket that report. The operator reports (OperatorsFollowed,
// OperatorColour, CallOutcome) come under the senders' lock, so that a row they name
// is always one of the rows last followed: an implementation takes no lock that is
// held while calling into the senders.
class SlotReporter {
 public:
  virtual ~SlotReporter() = default;
  virtual int slotNo() const = 0;
  // A line for the message log, with the severity and error number the writer knows.
  virtual void Message(lindra::StatusLine line) = 0;
  virtual void ProgramLog(DeviceLogKind kind, std::string text) = 0;
  virtual void TelephoneLog(std::string line) = 0;

  // The senders follow these operator rows now (after each change of the table and
  // each start or stop of the senders), with the rows' colours.
  virtual void OperatorsFollowed(std::vector<OperatorState> rows) = 0;
  // The connection colour (kAgentConnecting, kAgentConnected, kAgentFailed) of the
  // sender of operator row `row` (from 0) of the rows last followed.
  virtual void OperatorColour(int row, Colour colour) = 0;
  // Call `callId` (CallEvent::callId) left the queue of operator row `row` for the PC
  // `ip` it was routed to: sent, or not. Told beside the call's telephone-log line.
  // `row` is -1 when the sender had left its row first (the row removed, the senders
  // stopped).
  virtual void CallOutcome(uint64_t callId, int row, const std::string& ip, PcOutcome outcome) = 0;
};

}  // namespace lindra
