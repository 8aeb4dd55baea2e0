#pragma once
// Carries every event of the model from the core's threads to the GUI thread, in the
// order they came, without ever making the caller wait for the window.
#include <QObject>
#include <QPointer>
#include <mutex>

#include "app/controller_view.h"

namespace lindra::gui {

// Called from any thread; the target is guarded by mutex_ and is only ever run on
// the thread of `context` (the GUI thread).
class QueuedView final : public ControllerView {
 public:
  // Before the controller reports anything: `target` takes every event, on the thread
  // of `context`; events that come while no target is attached are dropped.
  void Attach(QObject* context, ControllerView* target);
  // Before the target goes away; events already queued are dropped with the context.
  void Detach();

  void Publish(const ServerEvent& event) override;
  void RunLater(std::chrono::milliseconds delay, std::function<void()> work) override;

 private:
  // Queues `call(target)` for the GUI thread.
  void Post(std::function<void(ControllerView&)> call);

  std::mutex mutex_;
  QPointer<QObject> context_;
  ControllerView* target_ = nullptr;
};

}  // namespace lindra::gui
