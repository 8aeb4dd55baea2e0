#pragma once
// Start-up clean-up of the log folder: logs more than seven days old go.
#include <filesystem>

#include "platform/clock.h"

namespace lindra {

// Deletes every "*.log" file of `logDir` (not folders) whose name ends in a date
// older than seven days before `now`: the last ten characters of the name are read
// as YY, MM, DD by leading-digit conversion, so a name that does not end in a
// date reads as year 0 and goes too. Returns the number of files deleted.
int PurgeOldLogs(const std::filesystem::path& logDir, const LocalTime& now);

}  // namespace lindra
