#include "stdout_view.h"

#include <array>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cstdio>
#include <memory>

namespace lindra {
namespace {

// The message log's own tags, after the "[HH:MM:SS.mmm]" stamp, say how bad a line is.
bool TaggedAs(const std::string& line, std::string_view tag) {
  const size_t stamp = line.find(']');
  return stamp != std::string::npos && std::string_view(line).substr(stamp + 1).starts_with(tag);
}

// The columns of the window's call grid, so that a newcomer can read a CALL line.
constexpr std::array<const char*, 7> kCallColumns = {"trunk", "ext", "DID", "operator", "caller", "time", "kind"};

}  // namespace

// Core threads only queue the line: a reader of standard output that stops reading
// (a full pipe, a paused terminal) then holds up the daemon's own thread, never a link
// or a sender. Beyond kMaxPendingLines the lines are counted, not kept.
void StdoutView::PrintLine(Priority priority, const std::string& line) {
  if (pending_.fetch_add(1) >= kMaxPendingLines) {
    pending_.fetch_sub(1);
    ++dropped_;
    return;
  }
  asio::post(io_, [this, priority, line] {
    const char* prefix = "";
    if (settings_.journal) prefix = priority == Priority::Error ? "<3>" : priority == Priority::Warning ? "<4>" : "<6>";
    if (const unsigned long dropped = dropped_.exchange(0))
      std::printf("%s(%lu lines not shown: standard output was blocked)\n", settings_.journal ? "<4>" : "", dropped);
    std::fputs(prefix, stdout);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    pending_.fetch_sub(1);
  });
}

void StdoutView::MessageAdded(const std::string& line) {
  PrintLine(TaggedAs(line, "[ERR]")    ? Priority::Error
            : TaggedAs(line, "[WARN]") ? Priority::Warning
                                       : Priority::Info,
            line);
}

// The journal line names what the message log leaves out; a terminal or a pipe gets
// the message log exactly as the window shows it.
void StdoutView::LinkFailureAdded(const std::string& line, const std::string& detail) {
  if (!settings_.journal) return MessageAdded(line);
  PrintLine(Priority::Error, line + " (" + detail + ")");
}

// A message box is what the window would stop the operator with.
void StdoutView::ShowMessageBox(const std::string& text) { PrintLine(Priority::Warning, text); }

// In the demo the calls are what a newcomer wants to see; a production daemon keeps
// its standard output to the message log.
void StdoutView::CallRowsAdded(int slotNo, std::vector<CallRow> rows) {
  if (!settings_.printCallRows) return;
  for (const auto& row : rows) {
    std::string line = "CALL DEV0" + std::to_string(slotNo) + ":";
    for (size_t c = 0; c < row.cells.size(); ++c) line += std::string(" ") + kCallColumns[c] + "=" + row.cells[c];
    PrintLine(Priority::Info, line);
  }
}

void StdoutView::SlotStateChanged(int) {
  asio::post(io_, [this] {
    if (onSlotStateChanged) onSlotStateChanged();
  });
}

// Called on the front-end thread, at the end of the automatic connect pass.
void StdoutView::AutoConnectDone(int, bool) {
  if (onAutoConnectDone) onAutoConnectDone();
}

void StdoutView::RunLater(int delayMs, std::function<void()> work) {
  auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(delayMs));
  timer->async_wait([timer, work = std::move(work)](const std::error_code& ec) {
    if (!ec) work();
  });
}

}  // namespace lindra
