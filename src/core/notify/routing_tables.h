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

#include "log/status_line.h"

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
// never changes under them; snapshot pointers and the broadcast switch are guarded
// by snapshotMutex_, and whole edits (read, change, publish) are serialised by
// editMutex_. loaded_ is the front-end thread's alone.
class RoutingTables {
 public:
  RoutingTables();

  // The operator rows together with the broadcast switch they were loaded with, so
  // that routing never sees the rows of one load and the switch of another.
  struct AgentSnapshot {
    std::shared_ptr<const AgentList> rows;
    bool broadcastMode = false;
  };

  std::shared_ptr<const DidList> Dids() const;
  std::shared_ptr<const AgentList> Agents() const;
  AgentSnapshot AgentsWithMode() const;
  void SetDids(DidList rows);
  // New operator rows; the broadcast switch stays as it is, as with every edit.
  void SetAgents(AgentList rows);
  // New operator rows and the switch in one step (the loader).
  void PublishAgents(AgentList rows, bool broadcastMode);

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

  // Set while the slot has no operator rows to go by: its operator table was missing
  // at start, or the last one read was empty. A reload that reads operator rows
  // clears it.
  bool broadcastMode() const;

  // The tables were read from the slot's files by the last load (the slot had a
  // model): a later load that cannot read a file keeps what was read before.
  bool loaded() const { return loaded_; }
  void SetLoaded(bool loaded) { loaded_ = loaded; }

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
  bool broadcastMode_ = false;
  bool loaded_ = false;
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
// slots' tables and returns the message-log lines in order. The other slots get
// empty tables. A file that cannot be read gives an empty table (an operator table:
// broadcast) on a slot's first load; on a reload the slot keeps the table it runs
// with, and a line says so. An operator table read empty switches the slot to
// broadcast, one read with rows switches it back.
[[nodiscard]] std::vector<StatusLine> LoadRoutingTables(const std::filesystem::path& workDir,
                                                        std::array<RoutingTables, 4>& tables,
                                                        const std::array<uint32_t, 4>& modelCodes);

// Parses the text of one table file (already converted to UTF-8): rows in file order,
// lines without a space skipped, characters outside a column's set dropped.
DidList ParseDidTable(std::string_view text);
AgentList ParseAgentTable(std::string_view text);

// The bytes of a table file: "%s %s\r\n" per row, in the edge code page.
std::string RoutingTableBytes(const RoutingTables& tables, TableKind kind);

// Rewrites one table file (replaced atomically, so a failed write never leaves a
// truncated file). Returns the message-log line of a failure.
[[nodiscard]] std::optional<StatusLine> SaveRoutingTable(const std::filesystem::path& workDir, TableKind kind,
                                                         int slotNo, const RoutingTables& tables);

}  // namespace lindra
