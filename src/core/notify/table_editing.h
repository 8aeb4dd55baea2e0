#pragma once
// The checks and operations of the routing-table editors. They change the slot's
// tables only; the front end shows the outcome's message, and the controller, after
// an accepted edit, saves the table (SaveRoutingTable) and, for operator rows,
// updates the senders (AddAgentSlot / UpdateAgentSlot / RemoveAgentSlot).
// Asking "정말 삭제 하시겠습니까?" before a delete is the front end's part, as is the
// rule that an add does nothing for a slot without a model or a disabled slot 2 to 4.
#include <optional>
#include <string>
#include <string_view>

#include "notify/routing_tables.h"

namespace lindra {

enum class FieldKind { TrunkSpec, DidNumber, Extension, AgentIp };

// The delete question, asked by the front end before a delete.
inline constexpr const char* kDeleteQuestion = "정말 삭제 하시겠습니까?";

// The message for a text with a character the field does not allow; nullopt when
// every character is allowed (the empty text included).
std::optional<std::string> CheckTableField(FieldKind kind, std::string_view text);

// A range (the editor's view: ':' anywhere) whose ends have the same width, not 0
// (":" alone could never match a trunk), and whose high end is not below its low
// end. A trunkSpec without ':' is not a range.
bool IsWellFormedRange(std::string_view trunkSpec);

// The first data row (0-based) whose trunkSpec conflicts with `trunkSpec`, skipping
// row `skipRow`; nullopt when none does.
std::optional<int> FindTrunkConflict(const DidList& rows, std::string_view trunkSpec,
                                     std::optional<int> skipRow = std::nullopt);

// An operator table never outgrows the senders of a slot.
inline constexpr int kMaxAgentRows = 200;

struct EditOutcome {
  bool accepted = false;
  std::string message;             // the message box text when refused ("" = refuse quietly)
  std::optional<FieldKind> focus;  // the edit field that takes the focus
  std::optional<int> selectRow;    // the data row (0-based) to select
};

// Rows are data rows counted from 0. Modify and delete of a row that does not exist
// are refused quietly. Accepted edits are published to `tables` at once.
EditOutcome AddDidRow(RoutingTables& tables, std::string_view trunkSpec, std::string_view didNumber);
EditOutcome ModifyDidRow(RoutingTables& tables, int row, std::string_view trunkSpec, std::string_view didNumber);
EditOutcome DeleteDidRow(RoutingTables& tables, int row);

// An add beyond kMaxAgentRows rows is refused with a message: the slot has no
// sender left to serve the row.
EditOutcome AddAgentRow(RoutingTables& tables, std::string_view extension, std::string_view agentIp);
EditOutcome ModifyAgentRow(RoutingTables& tables, int row, std::string_view extension, std::string_view agentIp);
EditOutcome DeleteAgentRow(RoutingTables& tables, int row);

}  // namespace lindra
