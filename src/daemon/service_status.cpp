#include "service_status.h"

#include "text/strings.h"

namespace lindra {

std::string SlotsStatusText(int inUse, int connected) {
  if (inUse == 0) return "no slot in use";
  return text::Format("%d slot%s: %d connected", inUse, inUse == 1 ? "" : "s", connected);
}

void ServiceStatus::Ready() {
  notifier_.Ready();
  lastStatus_.clear();
  SlotsChanged();
}

void ServiceStatus::SlotsChanged() {
  int inUse = 0, connected = 0;
  for (int i = 0; i < kSlotCount; ++i) {
    inUse += IsSlotEnabled(i + 1, controller_.slotConfigs()[i]);
    connected += controller_.IsRunning(i);
  }
  std::string status = SlotsStatusText(inUse, connected);
  if (status == lastStatus_) return;
  lastStatus_ = status;
  notifier_.Status(lastStatus_);
}

}  // namespace lindra
