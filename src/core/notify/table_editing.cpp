#include "notify/table_editing.h"

#include "notify/trunk_range.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr const char* kTrunkMissing = "국선을 입력 해 주세요.";
constexpr const char* kDidMissing = "대표번호를 입력 해 주세요.";
constexpr const char* kBadRange = "범위 입력 데이터가 올바르지 않습니다.";
constexpr const char* kTrunkConflict = "국선이 중복 됩니다.";
constexpr const char* kExtensionMissing = "내선을 입력 해 주세요.";
constexpr const char* kAgentIpMissing = "상담원IP를 입력 해 주세요.";
constexpr const char* kAgentIpMissingOnModify = "상담원 IP를 입력 해 주세요.";
constexpr const char* kAgentTableFull = "상담원IP는 최대 200개까지 입력 할 수 있습니다.";

EditOutcome Refused(std::string message, std::optional<FieldKind> focus = std::nullopt,
                    std::optional<int> selectRow = std::nullopt) {
  return EditOutcome{false, std::move(message), focus, selectRow};
}

EditOutcome Accepted() { return EditOutcome{true, "", std::nullopt, std::nullopt}; }

// Both ranges: same low width, and an end of the new range inside the old one.
// One range and one trunk: the trunk of the range's low width inside it.
bool TrunksConflict(std::string_view oldSpec, std::string_view newSpec) {
  std::optional<TrunkRange> oldRange = EditorRange(oldSpec);
  std::optional<TrunkRange> newRange = EditorRange(newSpec);
  if (oldRange && newRange)
    return oldRange->low.size() == newRange->low.size() &&
           (WithinRange(newRange->low, *oldRange) || WithinRange(newRange->high, *oldRange));
  if (oldRange) return newSpec.size() == oldRange->low.size() && WithinRange(newSpec, *oldRange);
  if (newRange) return oldSpec.size() == newRange->low.size() && WithinRange(oldSpec, *newRange);
  return oldSpec == newSpec;
}

std::optional<EditOutcome> CheckDidInput(const DidList& rows, std::string_view trunkSpec, std::string_view didNumber,
                                         std::optional<int> skipRow) {
  if (trunkSpec.empty()) return Refused(kTrunkMissing, FieldKind::TrunkSpec);
  if (didNumber.empty()) return Refused(kDidMissing, FieldKind::DidNumber);
  if (auto message = CheckTableField(FieldKind::TrunkSpec, trunkSpec)) return Refused(*message, FieldKind::TrunkSpec);
  if (auto message = CheckTableField(FieldKind::DidNumber, didNumber)) return Refused(*message, FieldKind::DidNumber);
  if (EditorRange(trunkSpec) && !IsWellFormedRange(trunkSpec)) return Refused(kBadRange);
  if (auto conflict = FindTrunkConflict(rows, trunkSpec, skipRow))
    return Refused(kTrunkConflict, std::nullopt, conflict);
  return std::nullopt;
}

std::optional<EditOutcome> CheckAgentInput(std::string_view extension, std::string_view agentIp,
                                           const char* ipMissing) {
  if (extension.empty()) return Refused(kExtensionMissing, FieldKind::Extension);
  if (agentIp.empty()) return Refused(ipMissing, FieldKind::AgentIp);
  if (auto message = CheckTableField(FieldKind::Extension, extension)) return Refused(*message, FieldKind::Extension);
  if (auto message = CheckTableField(FieldKind::AgentIp, agentIp)) return Refused(*message, FieldKind::AgentIp);
  return std::nullopt;
}

bool IsRow(size_t size, int row) { return row >= 0 && static_cast<size_t>(row) < size; }

}  // namespace

std::optional<std::string> CheckTableField(FieldKind kind, std::string_view text) {
  struct Rule {
    const char* extra;  // characters allowed besides '0' to '9'
    const char* message;
  };
  static constexpr Rule kRules[] = {
      {":", "국선에는 '0~9', ':' 를 제외한 문자는 입력 할 수 없습니다."},
      {"", "대표번호에는 '0~9' 를 제외한 문자는 입력 할 수 없습니다."},
      {"", "내선에는 '0~9' 를 제외한 문자는 입력 할 수 없습니다."},
      {".", "IP에는 '0~9', '.' 를 제외한 문자는 입력 할 수 없습니다."},
  };
  const Rule& rule = kRules[static_cast<int>(kind)];
  std::string_view extra = rule.extra;
  for (char c : text)
    if (!text::IsDigit(c) && extra.find(c) == std::string_view::npos) return std::string(rule.message);
  return std::nullopt;
}

bool IsWellFormedRange(std::string_view trunkSpec) {
  std::optional<TrunkRange> range = EditorRange(trunkSpec);
  return range && !range->low.empty() && range->low.size() == range->high.size() &&
         CompareDecimal(range->high, range->low) >= 0;
}

std::optional<int> FindTrunkConflict(const DidList& rows, std::string_view trunkSpec, std::optional<int> skipRow) {
  for (size_t i = 0; i < rows.size(); ++i) {
    if (skipRow && static_cast<size_t>(*skipRow) == i) continue;
    if (TrunksConflict(rows[i].trunkSpec, trunkSpec)) return static_cast<int>(i);
  }
  return std::nullopt;
}

EditOutcome AddDidRow(RoutingTables& tables, std::string_view trunkSpec, std::string_view didNumber) {
  EditOutcome outcome;
  tables.EditDids([&](DidList& rows) {
    if (auto refused = CheckDidInput(rows, trunkSpec, didNumber, std::nullopt)) {
      outcome = std::move(*refused);
      return false;
    }
    rows.push_back({std::string(trunkSpec), std::string(didNumber)});
    outcome = Accepted();
    return true;
  });
  return outcome;
}

EditOutcome ModifyDidRow(RoutingTables& tables, int row, std::string_view trunkSpec, std::string_view didNumber) {
  EditOutcome outcome;
  tables.EditDids([&](DidList& rows) {
    if (!IsRow(rows.size(), row)) return false;
    if (auto refused = CheckDidInput(rows, trunkSpec, didNumber, row)) {
      outcome = std::move(*refused);
      return false;
    }
    rows[row] = {std::string(trunkSpec), std::string(didNumber)};
    outcome = Accepted();
    return true;
  });
  return outcome;
}

EditOutcome DeleteDidRow(RoutingTables& tables, int row) {
  EditOutcome outcome;
  tables.EditDids([&](DidList& rows) {
    if (!IsRow(rows.size(), row)) return false;
    rows.erase(rows.begin() + row);
    outcome = Accepted();
    return true;
  });
  return outcome;
}

EditOutcome AddAgentRow(RoutingTables& tables, std::string_view extension, std::string_view agentIp) {
  EditOutcome outcome;
  tables.EditAgents([&](AgentList& rows) {
    if (auto refused = CheckAgentInput(extension, agentIp, kAgentIpMissing)) {
      outcome = std::move(*refused);
      return false;
    }
    if (rows.size() >= static_cast<size_t>(kMaxAgentRows)) {
      outcome = Refused(kAgentTableFull);
      return false;
    }
    rows.push_back({std::string(extension), std::string(agentIp)});
    outcome = Accepted();
    return true;
  });
  return outcome;
}

EditOutcome ModifyAgentRow(RoutingTables& tables, int row, std::string_view extension, std::string_view agentIp) {
  EditOutcome outcome;
  tables.EditAgents([&](AgentList& rows) {
    if (!IsRow(rows.size(), row)) return false;
    if (auto refused = CheckAgentInput(extension, agentIp, kAgentIpMissingOnModify)) {
      outcome = std::move(*refused);
      return false;
    }
    outcome = Accepted();
    rows[row] = {std::string(extension), std::string(agentIp)};
    return true;
  });
  return outcome;
}

EditOutcome DeleteAgentRow(RoutingTables& tables, int row) {
  EditOutcome outcome;
  tables.EditAgents([&](AgentList& rows) {
    if (!IsRow(rows.size(), row)) return false;
    outcome = Accepted();
    rows.erase(rows.begin() + row);
    return true;
  });
  return outcome;
}

}  // namespace lindra
