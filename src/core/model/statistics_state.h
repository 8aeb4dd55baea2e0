#pragma once
// What the statistics service has to show: whom it reports for and how the uploads go.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/clock.h"

namespace lindra {

struct StatisticsState {
  std::string headId;  // the statistics server's identifier for this centre, once known
  std::optional<LocalTime> lastUpload;
  std::string lastFailure;  // the message-log line of the failing uploads, "" once one succeeds
  uint64_t uploads = 0;     // acknowledged since the start
  uint64_t failedUploads = 0;
  bool operator==(const StatisticsState&) const = default;
};

}  // namespace lindra
