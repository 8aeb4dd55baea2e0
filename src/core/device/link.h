#pragma once
// A slot's link to its device, whatever the kind: the owner starts it with the slot's
// settings, has it read, and stops it, and never needs to know which kind it holds.
#include "config/slot_config.h"
#include "device/link_handlers.h"
#include "device/link_result.h"

namespace lindra {

// Start, Begin, Stop and Shutdown are called by the owner's thread (the controller's),
// never by a loop thread; the handlers run on the slot's strand.
class Link {
 public:
  virtual ~Link() = default;

  // Opens what the slot's settings name; the caller writes the program-log entries
  // of a successful start.
  [[nodiscard]] virtual LinkResult Start(int slotNo, const SlotConfig& slot) = 0;
  // After a successful Start: reads until Stop and hands over what arrives.
  virtual void Begin(LinkHandlers handlers) = 0;
  // Closes the link. Safe at any time and twice.
  virtual void Stop() = 0;
  // Stop(), then what is still on its way is handed on; no handler runs afterwards.
  virtual void Shutdown() { Stop(); }
};

}  // namespace lindra
