#pragma once
// What a monitoring system reads: the counters in the Prometheus text format, and
// whether every slot that should be up is.
#include <array>
#include <cstddef>
#include <string>

#include "app/server_controller.h"
#include "app/server_events.h"

namespace lindra::web {

struct MonitoredState {
  std::array<SlotState, kSlotCount> slots;
  std::array<SlotTotals, kSlotCount> totals;
  StatisticsState statistics;
  size_t streamClients = 0;
  std::array<SlotQueues, kSlotCount> queues;
};

std::string MetricsText(const MonitoredState& state);

struct Health {
  bool healthy = true;
  std::string text;  // "ok\n", or one line per slot that should be up and is not
};
Health HealthOf(const std::array<SlotState, kSlotCount>& slots);

}  // namespace lindra::web
