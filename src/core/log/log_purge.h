#pragma once
// Start-up clean-up of the log folder: the server's own logs more than seven days
// old go. The folder may be shared with other programs (--log-dir), so only names
// this server writes are ever considered.
#include <filesystem>
#include <string_view>

#include "platform/clock.h"

namespace lindra {

// The names the server writes into the log folder: Program_DEV0n_YYMMDD.log and
// Telephone_DEV0n_YYMMDD.log (n = 1..4), the day summary <headId>_YYMMDD.log and
// the start report <headId>_YYMMDD_Started.log, where a head identifier begins
// with "H".
bool IsOwnLogFileName(std::string_view name);

// Deletes every own log file of `logDir` (not folders) whose name ends in a date
// older than seven days before `now`: the last ten characters of the name are read
// as YY, MM, DD by leading-digit conversion, so a start report (whose name does not
// end in a date) reads as year 0 and goes too. Returns the number of files deleted.
int PurgeOldLogs(const std::filesystem::path& logDir, const LocalTime& now);

}  // namespace lindra
