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

struct Slot {
  int number;
  RoutingTables& tables;
  std::vector<StatusLine>& messages;
};

void ReportBroadcast(const Slot& slot) {
  slot.messages.push_back(StatusLine::Warning(text::Format("[WARN] DEV0%d Broadcasting으로 전환", slot.number)));
}

void ClearTable(TableKind kind, RoutingTables& tables) {
  if (kind == TableKind::Did)
    tables.SetDids({});
  else
    tables.PublishAgents({}, false);
}

size_t RowCount(TableKind kind, const RoutingTables& tables) {
  return kind == TableKind::Did ? tables.Dids()->size() : tables.Agents()->size();
}

void CannotRead(TableKind kind, const Slot& slot, const std::string& name, const std::error_code& error) {
  slot.messages.push_back(
      StatusLine::Error(text::Format(TextsOf(kind).failed, slot.number, error.value(), name.c_str()), error.value()));
  if (std::string why = FileRefusalText(error, kRoutingTableMaxBytes); !why.empty())
    slot.messages.push_back(
        StatusLine::Error(text::Format("[ERR] DEV0%d %s: %s", slot.number, name.c_str(), why.c_str())));
  // A file being rewritten by hand, or gone for a moment, must not take a running
  // slot's rows away: the calls would go to nobody, or to everyone.
  if (slot.tables.loaded()) {
    const char* kept = kind == TableKind::Did ? "[WARN] DEV0%d 기존 대표전화 테이블 유지 (%d)"
                                              : "[WARN] DEV0%d 기존 상담원IP 테이블 유지 (%d)";
    slot.messages.push_back(
        StatusLine::Warning(text::Format(kept, slot.number, static_cast<int>(RowCount(kind, slot.tables)))));
    return;
  }
  if (kind == TableKind::Did) {
    slot.tables.SetDids({});
  } else {
    slot.tables.PublishAgents({}, true);
    ReportBroadcast(slot);
  }
}

// The new rows replace the old ones in one step: a call routed while the tables are
// read again (links stay up) sees either table whole, never an empty one between.
void LoadTable(const std::filesystem::path& workDir, TableKind kind, const Slot& slot) {
  const std::string name = RoutingTableFileName(kind, slot.number);
  std::error_code error;
  const std::optional<std::string> bytes = ReadRoutingTableBytes(workDir, kind, slot.number, &error);
  if (!bytes) return CannotRead(kind, slot, name, error);
  const std::string content = text::ToInternal(*bytes);
  if (kind == TableKind::Did) {
    DidList dids = ParseDidTable(content);
    const auto rows = static_cast<int>(dids.size());
    slot.tables.SetDids(std::move(dids));
    slot.messages.push_back(StatusLine::Warning(text::Format(TextsOf(kind).read, slot.number, name.c_str(), rows)));
    return;
  }
  AgentList agents = ParseAgentTable(content);
  const size_t rows = agents.size();
  const bool wasBroadcasting = slot.tables.broadcastMode();
  slot.tables.PublishAgents(std::move(agents), rows == 0);
  slot.messages.push_back(
      StatusLine::Warning(text::Format(TextsOf(kind).read, slot.number, name.c_str(), static_cast<int>(rows))));
  if (rows == 0)
    ReportBroadcast(slot);
  else if (wasBroadcasting)
    slot.messages.push_back(StatusLine::Warning(text::Format("[WARN] DEV0%d 상담원별 전송으로 전환", slot.number)));
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

RoutingTables::AgentSnapshot RoutingTables::AgentsWithMode() const {
  std::lock_guard lock(snapshotMutex_);
  return {agents_, broadcastMode_};
}

bool RoutingTables::broadcastMode() const {
  std::lock_guard lock(snapshotMutex_);
  return broadcastMode_;
}

void RoutingTables::PublishAgents(AgentList rows, bool broadcastMode) {
  std::lock_guard editLock(editMutex_);
  auto published = std::make_shared<const AgentList>(std::move(rows));
  std::lock_guard lock(snapshotMutex_);
  agents_ = std::move(published);
  broadcastMode_ = broadcastMode;
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

std::vector<StatusLine> LoadRoutingTables(const std::filesystem::path& workDir, std::array<RoutingTables, 4>& tables,
                                          const std::array<uint32_t, 4>& modelCodes) {
  std::vector<StatusLine> messages;
  auto hasModel = [&modelCodes](int i) { return modelCodes[i] >= 1 && modelCodes[i] <= 999; };
  for (TableKind kind : {TableKind::Did, TableKind::Agent}) {
    for (int i = 0; i < 4; ++i) {
      if (hasModel(i))
        LoadTable(workDir, kind, {i + 1, tables[i], messages});
      else
        ClearTable(kind, tables[i]);
    }
  }
  for (int i = 0; i < 4; ++i) tables[i].SetLoaded(hasModel(i));
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

std::optional<StatusLine> SaveRoutingTable(const std::filesystem::path& workDir, TableKind kind, int slotNo,
                                           const RoutingTables& tables) {
  std::string name = RoutingTableFileName(kind, slotNo);
  std::error_code error = WriteFileAtomically(workDir / name, RoutingTableBytes(tables, kind));
  if (!error) return std::nullopt;
  const char* format =
      IsWriteError(error) ? "[ERR] 테이블 파일 저장 실패: %d (%s)" : "[ERR] 테이블 파일 생성 실패: %d (%s)";
  return StatusLine::Error(text::Format(format, error.value(), name.c_str()), error.value());
}

}  // namespace lindra
