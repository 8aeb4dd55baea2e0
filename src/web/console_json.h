#pragma once
// The server's state and events as the console's JSON: one object per state, one SSE
// message per event. Texts are UTF-8; a byte sequence that is not becomes U+FFFD.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "app/server_events.h"
#include "notify/routing_tables.h"

namespace lindra::web {

// Keys stay in the order they were set, as the interface lists them.
using Json = nlohmann::ordered_json;

// "off", "connected", "retrying", "ended".
const char* LinkPhaseName(LinkState::Phase phase);

Json SlotJson(const SlotState& slot);
Json OperatorJson(const OperatorRowState& row);
Json CallJson(const CallRecord& call);
Json MessageJson(const MessageLine& line);
Json StatisticsJson(const StatisticsState& statistics);
Json SnapshotJson(const ServerSnapshot& snapshot);
Json TablesJson(int slotNo, const DidList& dids, const AgentList& agents);

// One line of JSON, never throwing on text that is not UTF-8.
std::string Dump(const Json& json);

// An SSE message: "event: NAME\ndata: JSON\n\n".
std::string StreamMessage(const std::string& name, const Json& data);
// The message of an event, or nothing for an event the console does not show.
std::optional<std::string> StreamMessageOf(const ServerEvent& event);

}  // namespace lindra::web
