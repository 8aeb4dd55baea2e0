#pragma once
// Routing of one parsed call event through the slot's tables, and the call-grid rows
// the event shows, decided here so that both front ends and the tests share them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "notify/call_record.h"
#include "notify/call_row.h"
#include "notify/routing_tables.h"
#include "parse/call_event.h"
#include "platform/clock.h"

namespace lindra {

inline constexpr Colour kAnsweredColour = 0xF0E6D2;  // "받음"
inline constexpr Colour kEndedColour = 0xF0F0C8;     // "끊음"
inline constexpr Colour kRingingColour = 0xE6E6E6;   // "링"
inline constexpr Colour kDroppedColour = 0xD2D2F0;   // "없음"

struct RouteResult {
  // The completed event (didNumber, agentIps) to hand to the senders;
  // empty when the event was dropped (no DID row, or no operator for its extension).
  std::optional<CallEvent> routed;
  // The routed event goes out as one broadcast datagram, not to operators: decided
  // with the operator rows it was routed by, whatever a reload changes meanwhile.
  bool broadcast = false;
  CallRouting routing = CallRouting::Routed;
  // The call-grid rows of the event, routed or dropped, in order.
  std::vector<CallRow> rows;
};

// Runs on the parsing thread while the window may edit the tables: reads one
// snapshot of each table, held for the whole step. The event comes from the parser
// with its area code already in front of the caller number. `now` is the local time
// the event was taken, shown in the rows.
RouteResult RouteCallEvent(const RoutingTables& tables, uint32_t modelCode, CallEvent event, const LocalTime& now);

}  // namespace lindra
