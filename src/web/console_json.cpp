#include "web/console_json.h"

#include "model/device_model.h"
#include "notify/agent_connection.h"
#include "text/strings.h"

namespace lindra::web {
namespace {

Json TimeJson(const std::optional<LocalTime>& time) {
  if (!time) return nullptr;
  return text::Format("%04d-%02d-%02dT%02d:%02d:%02d.%03d", time->year, time->month, time->day, time->hour,
                      time->minute, time->second, time->millisecond);
}

// The operator grid's colours are the states the senders report.
const char* OperatorStateName(Colour colour) {
  switch (colour) {
    case kAgentConnecting:
      return "connecting";
    case kAgentConnected:
      return "connected";
    case kAgentFailed:
      return "failed";
    default:
      return "none";
  }
}

const char* RoutingName(CallRouting routing) {
  switch (routing) {
    case CallRouting::Broadcast:
      return "broadcast";
    case CallRouting::UnknownTrunk:
      return "unknownTrunk";
    case CallRouting::UnknownExtension:
      return "unknownExtension";
    case CallRouting::Routed:
      break;
  }
  return "routed";
}

const char* OutcomeName(PcOutcome outcome) {
  return outcome == PcOutcome::Sent ? "sent" : outcome == PcOutcome::NotSent ? "notSent" : "waiting";
}

const char* SeverityName(Severity severity) {
  return severity == Severity::Error ? "error" : severity == Severity::Warning ? "warning" : "info";
}

Json OptionalInt(const std::optional<int>& value) { return value ? Json(*value) : Json(nullptr); }

}  // namespace

const char* LinkPhaseName(LinkState::Phase phase) {
  switch (phase) {
    case LinkState::Phase::Connected:
      return "connected";
    case LinkState::Phase::Retrying:
      return "retrying";
    case LinkState::Phase::Ended:
      return "ended";
    case LinkState::Phase::Off:
      break;
  }
  return "off";
}

Json SlotJson(const SlotState& slot) {
  const DeviceModel* model = FindDeviceModel(slot.modelCode);
  Json perDid = Json::object();
  for (const auto& [did, count] : slot.todaySpread.perDid) perDid[did] = count;
  return {{"slot", slot.slotNo},
          {"model", slot.modelCode},
          {"modelName", model ? Json(std::string(model->displayName)) : Json(nullptr)},
          {"inUse", slot.inUse},
          {"link",
           {{"state", LinkPhaseName(slot.link.phase)},
            {"attempt", slot.link.attempt},
            {"error", OptionalInt(slot.link.error)},
            {"text", slot.link.text}}},
          {"lastFrame", TimeJson(slot.lastFrame)},
          {"today",
           {{"calls", slot.today.calls},
            {"notified", slot.today.notified},
            {"notSent", slot.today.notSent},
            {"reachedNobody", slot.today.reachedNobody},
            {"perHour", slot.todaySpread.perHour},
            {"perDid", std::move(perDid)}}}};
}

Json OperatorJson(const OperatorRowState& row) {
  return {{"extension", row.row.extension},
          {"ip", row.row.ip},
          {"state", OperatorStateName(row.row.colour)},
          {"lastSuccess", TimeJson(row.lastSuccess)},
          {"lastFailure", TimeJson(row.lastFailure)}};
}

Json CallJson(const CallRecord& call) {
  Json pcs = Json::array();
  for (const PcDelivery& pc : call.pcs) pcs.push_back({{"ip", pc.ip}, {"outcome", OutcomeName(pc.outcome)}});
  return {{"id", call.id},
          {"slot", call.slotNo},
          {"time", TimeJson(call.time)},
          {"routing", RoutingName(call.routing)},
          {"kind", call.event.kind},
          {"trunk", call.event.trunk},
          {"did", call.event.didNumber},
          {"extension", call.event.extension},
          {"caller", call.event.callerNumber},
          {"pcs", std::move(pcs)},
          {"reachedNobody", call.ReachedNobody()}};
}

Json MessageJson(const MessageLine& line) {
  return {{"line", line.line}, {"severity", SeverityName(line.severity)}, {"error", OptionalInt(line.error)}};
}

Json StatisticsJson(const StatisticsState& statistics) {
  return {{"headId", statistics.headId},
          {"lastUpload", TimeJson(statistics.lastUpload)},
          {"lastFailure", statistics.lastFailure}};
}

Json SnapshotJson(const ServerSnapshot& snapshot) {
  Json slots = Json::array(), operators = Json::array(), calls = Json::array(), messages = Json::array();
  for (const SlotState& slot : snapshot.slots) slots.push_back(SlotJson(slot));
  for (const auto& rows : snapshot.operators) {
    Json slotRows = Json::array();
    for (const OperatorRowState& row : rows) slotRows.push_back(OperatorJson(row));
    operators.push_back(std::move(slotRows));
  }
  for (const CallRecord& call : snapshot.recentCalls) calls.push_back(CallJson(call));
  for (const MessageLine& line : snapshot.messageLog) messages.push_back(MessageJson(line));
  return {{"slots", std::move(slots)},
          {"operators", std::move(operators)},
          {"calls", std::move(calls)},
          {"messages", std::move(messages)},
          {"statistics", StatisticsJson(snapshot.statistics)}};
}

Json TablesJson(int slotNo, const DidList& dids, const AgentList& agents) {
  Json didRows = Json::array(), agentRows = Json::array();
  for (const DidRow& row : dids) didRows.push_back({{"trunk", row.trunkSpec}, {"did", row.didNumber}});
  for (const AgentRow& row : agents) agentRows.push_back({{"extension", row.extension}, {"ip", row.agentIp}});
  return {{"slot", slotNo}, {"dids", std::move(didRows)}, {"operators", std::move(agentRows)}};
}

std::string Dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string StreamMessage(const std::string& name, const Json& data) {
  return "event: " + name + "\ndata: " + Dump(data) + "\n\n";
}

std::optional<std::string> StreamMessageOf(const ServerEvent& event) {
  return std::visit(
      Overloaded{
          [](const event::MessageAdded& e) -> std::optional<std::string> {
            return StreamMessage("message", MessageJson(e.line));
          },
          [](const event::MessageLogCleared&) -> std::optional<std::string> {
            return StreamMessage("cleared", Json::object());
          },
          [](const event::SlotChanged& e) -> std::optional<std::string> {
            return StreamMessage("slot", SlotJson(e.slot));
          },
          [](const event::SlotCounted& e) -> std::optional<std::string> {
            return StreamMessage("slot", SlotJson(e.slot));
          },
          [](const event::TablesChanged& e) -> std::optional<std::string> {
            return StreamMessage("tables", {{"slot", e.slotNo}});
          },
          [](const event::OperatorsChanged& e) -> std::optional<std::string> {
            Json rows = Json::array();
            for (const OperatorRowState& row : e.rows) rows.push_back(OperatorJson(row));
            return StreamMessage("operators", {{"slot", e.slotNo}, {"rows", std::move(rows)}});
          },
          [](const event::OperatorChanged& e) -> std::optional<std::string> {
            return StreamMessage("operator", {{"slot", e.slotNo}, {"row", e.row}, {"operator", OperatorJson(e.state)}});
          },
          [](const event::CallAdded& e) -> std::optional<std::string> {
            return StreamMessage("call", CallJson(e.call));
          },
          [](const event::CallUpdated& e) -> std::optional<std::string> {
            return StreamMessage("call-update", CallJson(e.call));
          },
          [](const event::StatisticsChanged& e) -> std::optional<std::string> {
            return StreamMessage("statistics", StatisticsJson(e.statistics));
          },
          [](const auto&) -> std::optional<std::string> { return std::nullopt; },
      },
      event);
}

}  // namespace lindra::web
