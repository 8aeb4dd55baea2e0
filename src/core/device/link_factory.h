#pragma once
// Makes the link a slot's model calls for.
#include <memory>

#include "device/cti_listener.h"
#include "device/link.h"
#include "device/serial_link.h"
#include "model/device_model.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

// What every kind of link may need of the slot around it.
struct LinkContext {
  EventLoop& loop;
  Strand strand;  // the slot's
  TimerMaker& timers;
  const Clock& clock;
  SerialOverrides serialPaths;
  CtiLimits ctiLimits;
};

// nullptr for LinkKind::None.
std::unique_ptr<Link> MakeLink(LinkKind kind, const LinkContext& context);

}  // namespace lindra
