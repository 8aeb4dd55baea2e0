#include "stdout_view.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cstdio>
#include <memory>

namespace lindra {

// Core threads only queue the line: a reader of standard output that stops reading
// (a full pipe, a paused terminal) then holds up the daemon's own thread, never a link
// or a sender. Beyond kMaxPendingLines the lines are counted, not kept.
void StdoutView::PrintLine(const std::string& line) {
  if (pending_.fetch_add(1) >= kMaxPendingLines) {
    pending_.fetch_sub(1);
    ++dropped_;
    return;
  }
  asio::post(io_, [this, line] {
    if (const unsigned long dropped = dropped_.exchange(0))
      std::printf("(%lu lines not shown: standard output was blocked)\n", dropped);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    pending_.fetch_sub(1);
  });
}

void StdoutView::MessageAdded(const std::string& line) { PrintLine(line); }

void StdoutView::ShowMessageBox(const std::string& text) { PrintLine(text); }

// In the demo the calls are what a newcomer wants to see; a production daemon keeps
// its standard output to the message log.
void StdoutView::CallRowsAdded(int slotNo, std::vector<CallRow> rows) {
  if (!printCallRows_) return;
  for (const auto& row : rows) {
    std::string line = "CALL DEV0" + std::to_string(slotNo) + ":";
    for (const auto& cell : row.cells) line += " [" + cell + "]";
    PrintLine(line);
  }
}

void StdoutView::RunLater(int delayMs, std::function<void()> work) {
  auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(delayMs));
  timer->async_wait([timer, work = std::move(work)](const std::error_code& ec) {
    if (!ec) work();
  });
}

}  // namespace lindra
