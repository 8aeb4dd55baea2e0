#pragma once
// Carries every ControllerView call from the core's threads to the GUI thread, in
// the order they were made, without ever making the caller wait for the window.
#include <QObject>
#include <QPointer>
#include <mutex>

#include "app/controller_view.h"

namespace lindra::gui {

// Called from any thread; the target is guarded by mutex_ and is only ever run on
// the thread of `context` (the GUI thread).
class QueuedView final : public ControllerView {
 public:
  // Before the controller reports anything: `target` runs every call, on the thread
  // of `context`; calls made while no target is attached are dropped.
  void Attach(QObject* context, ControllerView* target);
  // Before the target goes away; calls already queued are dropped with the context.
  void Detach();

  void MessageAdded(const std::string& line) override;
  void MessageLogCleared() override;
  void ShowMessageBox(const std::string& text) override;
  void CallRowsAdded(int slotNo, std::vector<CallRow> rows) override;
  void AgentStateChanged(int slotNo, int agentIndex, const std::string& ip, Colour colour) override;
  void SlotStateChanged(int slotNo) override;
  void AutoConnectDone(int lastTriedIndex, bool allConnected) override;
  void RunLater(int delayMs, std::function<void()> work) override;

 private:
  // Queues `call(target)` for the GUI thread.
  void Post(std::function<void(ControllerView&)> call);

  std::mutex mutex_;
  QPointer<QObject> context_;
  ControllerView* target_ = nullptr;
};

}  // namespace lindra::gui
