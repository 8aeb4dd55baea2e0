// Routing-table files and trunk matching on outside input. The input is a table
// file, a NUL byte, then a trunk text. Beyond the sanitizers' own checks: parsed
// columns keep only their characters, decimal comparison is a total order, and a
// trunk routes through the first row that matches it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "notify/route_call_event.h"
#include "notify/routing_tables.h"
#include "notify/table_editing.h"
#include "notify/trunk_range.h"
#include "text/codec.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool Only(std::string_view s, std::string_view allowed) {
  for (char c : s)
    if ((c < '0' || c > '9') && allowed.find(c) == std::string_view::npos) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  std::string_view file = input.substr(0, split);
  std::string_view trunk = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  std::string text = lindra::text::ToInternal(file);
  lindra::DidList dids = lindra::ParseDidTable(text);
  lindra::AgentList agents = lindra::ParseAgentTable(text);
  for (const auto& row : dids) Require(Only(row.trunkSpec, ":") && Only(row.didNumber, ""));
  for (const auto& row : agents) Require(Only(row.extension, "") && Only(row.agentIp, "."));

  for (const auto& row : dids) {
    int ab = lindra::CompareDecimal(row.trunkSpec, trunk);
    Require(ab == -lindra::CompareDecimal(trunk, row.trunkSpec));
    lindra::FindTrunkConflict(dids, row.trunkSpec);
  }
  lindra::IsWellFormedRange(trunk);
  lindra::CheckTableField(lindra::FieldKind::TrunkSpec, trunk);

  lindra::RoutingTables tables;
  tables.SetDids(dids);
  tables.SetAgents(agents);
  lindra::CallEvent event;
  event.kind = "T";
  event.trunk = std::string(trunk);
  event.extension = agents.empty() ? "" : agents.front().extension;
  lindra::RouteResult result = lindra::RouteCallEvent(tables, 104, event, lindra::LocalTime{});
  if (result.routed) {
    const lindra::DidRow* first = nullptr;
    for (const auto& row : dids)
      if (!first && lindra::TrunkMatches(row.trunkSpec, trunk)) first = &row;
    Require(first && result.routed->didNumber == first->didNumber);
  }
  return 0;
}
