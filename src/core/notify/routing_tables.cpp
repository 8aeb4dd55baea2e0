#include "notify/routing_tables.h"

#include <cerrno>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/file_read.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

bool IsTrunkChar(char c) { return text::IsDigit(c) || c == ':'; }
bool IsIpChar(char c) { return text::IsDigit(c) || c == '.'; }

// A column is trimmed, then anything outside its character set is dropped silently.
std::string KeepOnly(std::string_view column, bool (*keep)(char)) {
  std::string kept;
  for (char c : text::TrimView(column))
    if (keep(c)) kept += c;
  return kept;
}

// Calls onRow(first, second) for every line that holds a space, in file order.
template <typename OnRow>
void ForEachTableLine(std::string_view text, OnRow onRow) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text::TrimView(text.substr(start, end - start));
    start = end + 1;
    size_t space = line.find(' ');
    if (line.empty() || space == std::string_view::npos) continue;
    onRow(line.substr(0, space), line.substr(space + 1));
  }
}

struct LoadTexts {
  const char* failed;  // slot, error number, file name
  const char* read;    // slot, file name, rows
};

LoadTexts TextsOf(TableKind kind) {
  if (kind == TableKind::Did)
    return {"[ERR] DEV0%d 대표전화 테이블 읽기 실패: %d (%s)", "[WARN] DEV0%d 대표전화 테이블 읽기 완료: %s (%d)"};
  return {"[ERR] DEV0%d 상담원IP 테이블 읽기 실패: %d (%s)", "[WARN] DEV0%d 상담원IP 테이블 읽기 완료: %s (%d)"};
}

void SwitchToBroadcast(int slotNo, RoutingTables& tables, std::vector<std::string>& messages) {
  messages.push_back(text::Format("[WARN] DEV0%d Broadcasting으로 전환", slotNo));
  tables.SetBroadcastMode();
}

void ClearTable(TableKind kind, RoutingTables& tables) {
  if (kind == TableKind::Did)
    tables.SetDids({});
  else
    tables.SetAgents({});
}

// The new rows replace the old ones in one step: a call routed while the tables are
// read again (links stay up) sees either table whole, never an empty one between.
void LoadTable(const std::filesystem::path& workDir, TableKind kind, int slotNo, RoutingTables& tables,
               std::vector<std::string>& messages) {
  std::string name = RoutingTableFileName(kind, slotNo);
  std::error_code error;
  std::optional<std::string> bytes = ReadRoutingTableBytes(workDir, kind, slotNo, &error);
  if (!bytes) {
    ClearTable(kind, tables);
    messages.push_back(text::Format(TextsOf(kind).failed, slotNo, error.value(), name.c_str()));
    if (std::string why = FileRefusalText(error, kRoutingTableMaxBytes); !why.empty())
      messages.push_back(text::Format("[ERR] DEV0%d %s: %s", slotNo, name.c_str(), why.c_str()));
    if (kind == TableKind::Agent) SwitchToBroadcast(slotNo, tables, messages);
    return;
  }
  std::string content = text::ToInternal(*bytes);
  size_t rows = 0;
  if (kind == TableKind::Did) {
    DidList dids = ParseDidTable(content);
    rows = dids.size();
    tables.SetDids(std::move(dids));
  } else {
    AgentList agents = ParseAgentTable(content);
    rows = agents.size();
    tables.SetAgents(std::move(agents));
  }
  messages.push_back(text::Format(TextsOf(kind).read, slotNo, name.c_str(), static_cast<int>(rows)));
  if (kind == TableKind::Agent && rows == 0) SwitchToBroadcast(slotNo, tables, messages);
}

// Creating the file is one step, filling it another; a full disk or an I/O error
// can only come from the second.
bool IsWriteError(const std::error_code& error) {
  int code = error.value();
  return code == ENOSPC || code == EDQUOT || code == EIO || code == EFBIG;
}

}  // namespace

RoutingTables::RoutingTables()
    : dids_(std::make_shared<const DidList>()), agents_(std::make_shared<const AgentList>()) {}

std::shared_ptr<const DidList> RoutingTables::Dids() const {
  std::lock_guard lock(snapshotMutex_);
  return dids_;
}

std::shared_ptr<const AgentList> RoutingTables::Agents() const {
  std::lock_guard lock(snapshotMutex_);
  return agents_;
}

void RoutingTables::SetDids(DidList rows) {
  EditDids([&rows](DidList& table) {
    table = std::move(rows);
    return true;
  });
}

void RoutingTables::SetAgents(AgentList rows) {
  EditAgents([&rows](AgentList& table) {
    table = std::move(rows);
    return true;
  });
}

std::string RoutingTableFileName(TableKind kind, int slotNo) {
  const char* base = kind == TableKind::Did ? "did" : "ip";
  return slotNo == 1 ? text::Format("%s.tbl", base) : text::Format("%s%d.tbl", base, slotNo);
}

DidList ParseDidTable(std::string_view text) {
  DidList rows;
  ForEachTableLine(text, [&rows](std::string_view first, std::string_view second) {
    rows.push_back({KeepOnly(first, IsTrunkChar), KeepOnly(second, text::IsDigit)});
  });
  return rows;
}

AgentList ParseAgentTable(std::string_view text) {
  AgentList rows;
  ForEachTableLine(text, [&rows](std::string_view first, std::string_view second) {
    rows.push_back({KeepOnly(first, text::IsDigit), KeepOnly(second, IsIpChar)});
  });
  return rows;
}

std::optional<std::string> ReadRoutingTableBytes(const std::filesystem::path& workDir, TableKind kind, int slotNo,
                                                 std::error_code* error) {
  return ReadFileBytes(workDir / RoutingTableFileName(kind, slotNo), error, LinkRule::Follow, kRoutingTableMaxBytes);
}

std::vector<std::string> LoadRoutingTables(const std::filesystem::path& workDir, std::array<RoutingTables, 4>& tables,
                                           const std::array<uint32_t, 4>& modelCodes) {
  std::vector<std::string> messages;
  for (TableKind kind : {TableKind::Did, TableKind::Agent}) {
    for (int i = 0; i < 4; ++i) {
      if (modelCodes[i] >= 1 && modelCodes[i] <= 999)
        LoadTable(workDir, kind, i + 1, tables[i], messages);
      else
        ClearTable(kind, tables[i]);
    }
  }
  return messages;
}

std::string RoutingTableBytes(const RoutingTables& tables, TableKind kind) {
  std::string content;
  if (kind == TableKind::Did) {
    for (const DidRow& row : *tables.Dids())
      content += text::Format("%s %s\r\n", row.trunkSpec.c_str(), row.didNumber.c_str());
  } else {
    for (const AgentRow& row : *tables.Agents())
      content += text::Format("%s %s\r\n", row.extension.c_str(), row.agentIp.c_str());
  }
  return text::ToExternal(content);
}

std::string SaveRoutingTable(const std::filesystem::path& workDir, TableKind kind, int slotNo,
                             const RoutingTables& tables) {
  std::string name = RoutingTableFileName(kind, slotNo);
  std::error_code error = WriteFileAtomically(workDir / name, RoutingTableBytes(tables, kind));
  if (!error) return "";
  const char* format =
      IsWriteError(error) ? "[ERR] 테이블 파일 저장 실패: %d (%s)" : "[ERR] 테이블 파일 생성 실패: %d (%s)";
  return text::Format(format, error.value(), name.c_str());
}

}  // namespace lindra
