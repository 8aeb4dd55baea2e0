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

void QueuedView::Publish(const ServerEvent& event) {
  Post([event](ControllerView& v) { v.Publish(event); });
}

void QueuedView::RunLater(std::chrono::milliseconds delay, std::function<void()> work) {
  Post([delay, work = std::move(work)](ControllerView& v) { v.RunLater(delay, work); });
}

}  // namespace lindra::gui
