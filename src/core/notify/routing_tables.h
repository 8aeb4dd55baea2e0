#pragma once
// The two routing tables of each device slot (trunk -> DID number, extension ->
// operator PC), their files next to the program, and the slot's broadcast switch.
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace lindra {

struct DidRow {
  std::string trunkSpec;  // one trunk, or a range "low:high"; digits and ':'
  std::string didNumber;  // digits

  bool operator==(const DidRow&) const = default;
};

struct AgentRow {
  std::string extension;  // digits
  std::string agentIp;    // digits and '.'

  bool operator==(const AgentRow&) const = default;
};

using DidList = std::vector<DidRow>;
using AgentList = std::vector<AgentRow>;

enum class TableKind { Did, Agent };

// One slot's tables. The front-end (controller) thread loads and edits them; parsing
// threads read them while routing. Readers take an immutable snapshot that an edit
// never changes under them; snapshot pointers are guarded by snapshotMutex_, and
// whole edits (read, change, publish) are serialised by editMutex_.
class RoutingTables {
 public:
  RoutingTables();

  std::shared_ptr<const DidList> Dids() const;
  std::shared_ptr<const AgentList> Agents() const;
  void SetDids(DidList rows);
  void SetAgents(AgentList rows);

  // Runs `edit` (bool(std::vector<Row>&)) on a private copy of the table and
  // publishes the copy when it returns true. Edits never interleave.
  template <typename Edit>
  bool EditDids(Edit&& edit) {
    return EditTable(dids_, std::forward<Edit>(edit));
  }
  template <typename Edit>
  bool EditAgents(Edit&& edit) {
    return EditTable(agents_, std::forward<Edit>(edit));
  }

  // Set by the loader when the slot has no operator table; never cleared while the
  // program runs, even when a later load finds operator rows.
  bool broadcastMode() const { return broadcastMode_.load(); }
  void SetBroadcastMode() { broadcastMode_.store(true); }

 private:
  template <typename Row, typename Edit>
  bool EditTable(std::shared_ptr<const std::vector<Row>>& table, Edit&& edit) {
    std::lock_guard editLock(editMutex_);
    std::vector<Row> copy;
    {
      std::lock_guard lock(snapshotMutex_);
      copy = *table;
    }
    if (!edit(copy)) return false;
    auto published = std::make_shared<const std::vector<Row>>(std::move(copy));
    std::lock_guard lock(snapshotMutex_);
    table = std::move(published);
    return true;
  }

  mutable std::mutex snapshotMutex_;
  std::mutex editMutex_;
  std::shared_ptr<const DidList> dids_;
  std::shared_ptr<const AgentList> agents_;
  std::atomic<bool> broadcastMode_{false};
};

// File name of a table: slot 1 "did.tbl" / "ip.tbl", slots 2 to 4 "did%d.tbl" / "ip%d.tbl".
std::string RoutingTableFileName(TableKind kind, int slotNo);

// A table file larger than this is refused: thousands of rows take a few hundred
// kilobytes, and the whole file is held in memory while it is read.
inline constexpr uintmax_t kRoutingTableMaxBytes = uintmax_t{64} << 20;

// The bytes of one table file, as every reader of it takes them: a regular file of
// at most kRoutingTableMaxBytes (see ReadFileBytes).
std::optional<std::string> ReadRoutingTableBytes(const std::filesystem::path& workDir, TableKind kind, int slotNo,
                                                 std::error_code* error);

// Loads the tables of every slot whose model code is between 1 and 999 from workDir
// (DID tables of slots 1 to 4 first, then their operator tables), replaces those
// slots' tables, sets broadcastMode where the operator table is missing or empty,
// and returns the message-log lines in order. The other slots get empty tables.
std::vector<std::string> LoadRoutingTables(const std::filesystem::path& workDir, std::array<RoutingTables, 4>& tables,
                                           const std::array<uint32_t, 4>& modelCodes);

// Parses the text of one table file (already converted to UTF-8): rows in file order,
// lines without a space skipped, characters outside a column's set dropped.
DidList ParseDidTable(std::string_view text);
AgentList ParseAgentTable(std::string_view text);

// The bytes of a table file: "%s %s\r\n" per row, in the edge code page.
std::string RoutingTableBytes(const RoutingTables& tables, TableKind kind);

// Rewrites one table file (replaced atomically, so a failed write never leaves a
// truncated file). Returns "" or the message-log line of the failure.
std::string SaveRoutingTable(const std::filesystem::path& workDir, TableKind kind, int slotNo,
                             const RoutingTables& tables);

}  // namespace lindra
