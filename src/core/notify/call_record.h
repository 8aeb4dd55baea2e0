#pragma once
// One call as the server handled it: the event as routed (or as dropped), the rows it
// showed, and what became of it at each operator PC it was for. The live model keeps
// the recent ones; front ends show them.
#include <cstdint>
#include <string>
#include <vector>

#include "notify/call_row.h"
#include "parse/call_event.h"
#include "platform/clock.h"

namespace lindra {

enum class CallRouting {
  Routed,            // to the operator PCs of its extension (agentIps)
  Broadcast,         // as one datagram to the whole network
  UnknownTrunk,      // no DID row names its trunk: dropped
  UnknownExtension,  // no operator row has its extension: dropped
};

enum class PcOutcome {
  Waiting,  // queued for the PC, not yet sent
  Sent,
  NotSent,  // dropped: failed connect, waited too long, pushed out, stopped, row removed
};

struct PcDelivery {
  std::string ip;
  PcOutcome outcome = PcOutcome::Waiting;
  bool operator==(const PcDelivery&) const = default;
};

struct CallRecord {
  uint64_t id = 0;  // counts up per server run, across slots; never 0 for a real call
  int slotNo = 0;   // 1 to 4
  LocalTime time;   // when the event was taken
  CallRouting routing = CallRouting::Routed;
  CallEvent event;              // didNumber and agentIps as routing completed them
  std::vector<CallRow> rows;    // of the call grid
  std::vector<PcDelivery> pcs;  // one per PC the call was queued for, in agentIps order

  // Neither an operator PC nor the broadcast took it (a call still waiting for a PC
  // has not yet failed).
  bool ReachedNobody() const {
    if (routing == CallRouting::Broadcast) return false;
    if (routing != CallRouting::Routed || pcs.empty()) return true;
    for (const PcDelivery& pc : pcs)
      if (pc.outcome != PcOutcome::NotSent) return false;
    return true;
  }
  bool operator==(const CallRecord&) const = default;
};

}  // namespace lindra
