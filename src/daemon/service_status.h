#pragma once
// What the service manager hears from lindra2d: READY once every enabled slot has
// been tried, a STATUS line that follows the slots' connections, RELOADING around a
// reload of the tables and STOPPING at the end. Front-end thread only.
#include <string>

#include "app/server_controller.h"
#include "platform/sd_notify.h"

namespace lindra {

// "3 slots: 2 connected", or "no slot in use".
std::string SlotsStatusText(int inUse, int connected);

class ServiceStatus {
 public:
  ServiceStatus(const ServiceNotifier& notifier, const ServerController& controller)
      : notifier_(notifier), controller_(controller) {}

  // Ready, and the slots' status line after it (whatever was said before).
  void Ready();
  // A slot went up or down: the status line says so (sent only when it changed).
  void SlotsChanged();
  void Reloading() const { notifier_.Reloading(); }
  void Stopping() const { notifier_.Stopping(); }

 private:
  const ServiceNotifier& notifier_;
  const ServerController& controller_;
  std::string lastStatus_;
};

}  // namespace lindra
