#include "stdout_view.h"

#include <array>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cstdio>
#include <memory>
#include <variant>

namespace lindra {
namespace {

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

void StdoutView::Publish(const ServerEvent& event) {
  std::visit(Overloaded{
                 [this](const event::MessageAdded& e) { Print(e.line); },
                 // A message box is what the window would stop the operator with.
                 [this](const event::MessageBox& e) { PrintLine(Priority::Warning, e.text); },
                 [this](const event::CallAdded& e) { PrintCall(e.call); },
                 [this](const event::SlotChanged&) { Post(onSlotStateChanged); },
                 [this](const event::AutoConnectDone&) { Post(onAutoConnectDone); },
                 [](const auto&) {},
             },
             event);
}

// The journal line of a link failure names what the message log leaves out; a
// terminal or a pipe gets the message log exactly as the window shows it.
void StdoutView::Print(const MessageLine& line) {
  const Priority priority = line.severity == Severity::Error     ? Priority::Error
                            : line.severity == Severity::Warning ? Priority::Warning
                                                                 : Priority::Info;
  if (settings_.journal && !line.detail.empty())
    PrintLine(priority, line.line + " (" + line.detail + ")");
  else
    PrintLine(priority, line.line);
}

// In the demo the calls are what a newcomer wants to see; a production daemon keeps
// its standard output to the message log.
void StdoutView::PrintCall(const CallRecord& call) {
  if (!settings_.printCallRows) return;
  for (const auto& row : call.rows) {
    std::string line = "CALL DEV0" + std::to_string(call.slotNo) + ":";
    for (size_t c = 0; c < row.cells.size(); ++c) line += std::string(" ") + kCallColumns[c] + "=" + row.cells[c];
    PrintLine(Priority::Info, line);
  }
}

void StdoutView::Post(const std::function<void()>& hook) {
  asio::post(io_, [&hook] {
    if (hook) hook();
  });
}

void StdoutView::RunLater(std::chrono::milliseconds delay, std::function<void()> work) {
  auto timer = std::make_shared<asio::steady_timer>(io_, delay);
  timer->async_wait([timer, work = std::move(work)](const std::error_code& ec) {
    if (!ec) work();
  });
}

}  // namespace lindra
