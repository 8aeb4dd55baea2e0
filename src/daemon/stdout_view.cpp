#include "stdout_view.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cstdio>
#include <memory>

namespace lindra {

void StdoutView::PrintLine(const std::string& line) {
  std::lock_guard lock(outputMutex_);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
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
