#include "queued_view.h"

#include <QMetaObject>

namespace lindra::gui {

void QueuedView::Attach(QObject* context, ControllerView* target) {
  std::lock_guard lock(mutex_);
  context_ = context;
  target_ = target;
}

void QueuedView::Detach() {
  std::lock_guard lock(mutex_);
  context_ = nullptr;
  target_ = nullptr;
}

void QueuedView::Post(std::function<void(ControllerView&)> call) {
  std::lock_guard lock(mutex_);
  if (!context_ || !target_) return;
  // A queued call only posts an event; the context's deletion drops it unrun.
  ControllerView* target = target_;
  QMetaObject::invokeMethod(
      context_.data(), [target, call = std::move(call)] { call(*target); }, Qt::QueuedConnection);
}

void QueuedView::MessageAdded(const std::string& line) {
  Post([line](ControllerView& v) { v.MessageAdded(line); });
}

void QueuedView::MessageLogCleared() {
  Post([](ControllerView& v) { v.MessageLogCleared(); });
}

void QueuedView::ShowMessageBox(const std::string& text) {
  Post([text](ControllerView& v) { v.ShowMessageBox(text); });
}

void QueuedView::CallRowsAdded(int slotNo, std::vector<CallRow> rows) {
  Post([slotNo, rows = std::move(rows)](ControllerView& v) mutable { v.CallRowsAdded(slotNo, std::move(rows)); });
}

void QueuedView::AgentStateChanged(int slotNo, int agentIndex, const std::string& ip, Colour colour) {
  Post([=](ControllerView& v) { v.AgentStateChanged(slotNo, agentIndex, ip, colour); });
}

void QueuedView::SlotStateChanged(int slotNo) {
  Post([slotNo](ControllerView& v) { v.SlotStateChanged(slotNo); });
}

void QueuedView::AutoConnectDone(int lastTriedIndex, bool allConnected) {
  Post([=](ControllerView& v) { v.AutoConnectDone(lastTriedIndex, allConnected); });
}

void QueuedView::RunLater(int delayMs, std::function<void()> work) {
  Post([delayMs, work = std::move(work)](ControllerView& v) { v.RunLater(delayMs, work); });
}

}  // namespace lindra::gui
