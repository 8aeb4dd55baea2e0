#include "notify/route_call_event.h"

#include "model/device_model.h"
#include "notify/trunk_range.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr const char* kDroppedText = "없음";
constexpr const char* kBlankCell = " ";

struct KindLook {
  const char* text;
  Colour colour;
};

KindLook LookOf(std::string_view kind) {
  if (kind == "T") return {"받음", kAnsweredColour};
  if (kind == "H") return {"끊음", kEndedColour};
  if (kind == "R") return {"링", kRingingColour};
  return {"", kNoColour};
}

std::string RowTime(const LocalTime& now) {
  return text::Format("%02d:%02d:%02d.%01d", now.hour, now.minute, now.second, now.millisecond / 100);
}

const DidRow* FindDidRow(const DidList& rows, std::string_view trunk) {
  for (const DidRow& row : rows)
    if (TrunkMatches(row.trunkSpec, trunk)) return &row;
  return nullptr;
}

// The second number holds the last digits of the dialled number: it replaces as many
// trailing digits of the table's DID number.
std::string MergedDidNumber(const std::string& rowDid, const std::string& secondNumber) {
  if (secondNumber.size() >= rowDid.size()) return secondNumber;
  return rowDid.substr(0, rowDid.size() - secondNumber.size()) + secondNumber;
}

CallRow RoutedRow(const CallEvent& event, std::string extensionCell, std::string agentCell, const std::string& time) {
  KindLook look = LookOf(event.kind);
  return CallRow{{event.trunk, std::move(extensionCell), event.didNumber, std::move(agentCell), event.callerNumber,
                  time, look.text},
                 look.colour,
                 true};
}

CallRow DroppedRow(std::string trunkCell, std::string extensionCell, const CallEvent& event, const std::string& time) {
  return CallRow{
      {std::move(trunkCell), std::move(extensionCell), kBlankCell, kBlankCell, event.callerNumber, time, kDroppedText},
      kDroppedColour,
      false};
}

}  // namespace

RouteResult RouteCallEvent(const RoutingTables& tables, uint32_t modelCode, CallEvent event, const LocalTime& now) {
  RouteResult result;
  const std::string time = RowTime(now);
  // Held to the end: an edit from the window publishes new tables and frees these
  // once nobody holds them, and didRow points into them.
  const std::shared_ptr<const DidList> dids = tables.Dids();
  const RoutingTables::AgentSnapshot agents = tables.AgentsWithMode();

  const DidRow* didRow = FindDidRow(*dids, event.trunk);
  if (!didRow) {
    result.routing = CallRouting::UnknownTrunk;
    if (event.kind == "T" || event.kind == "H") result.rows.push_back(DroppedRow(event.trunk, kBlankCell, event, time));
    return result;
  }
  const bool mergesSecondNumber = ModelOf(modelCode).mergesSecondNumber && !event.didNumber.empty();
  event.didNumber = mergesSecondNumber ? MergedDidNumber(didRow->didNumber, event.didNumber) : didRow->didNumber;

  const bool broadcast = agents.broadcastMode;
  if (!broadcast && !event.extension.empty()) {
    for (const AgentRow& row : *agents.rows)
      if (row.extension == event.extension) event.agentIps.push_back(row.agentIp);
    if (event.agentIps.empty()) {
      result.routing = CallRouting::UnknownExtension;
      if (event.kind == "T") result.rows.push_back(DroppedRow(kBlankCell, event.extension, event, time));
      return result;
    }
  }

  if (broadcast) {
    result.rows.push_back(RoutedRow(event, "NONE", "BroadCast", time));
  } else {
    for (const std::string& ip : event.agentIps) result.rows.push_back(RoutedRow(event, event.extension, ip, time));
  }
  result.routed = std::move(event);
  result.broadcast = broadcast;
  result.routing = broadcast ? CallRouting::Broadcast : CallRouting::Routed;
  return result;
}

}  // namespace lindra
