#pragma once
// The start report: which branch this server is, and the message to the statistics
// server that it has started.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "stats/daily_statistics.h"

namespace lindra {

// A reply that names a branch: it begins with "H". It becomes part of file names, so
// a reply that could lead out of the log folder ('/', '\\', "..", NUL, a control
// character other than one final line feed) is not taken as an identifier.
bool IsHeadId(std::string_view reply);

// Asks for each DID in order until a reply is an identifier; the last reply asked
// (empty when there are no DIDs), which the caller checks with IsHeadId.
std::string FindHeadId(const std::vector<std::string>& dids,
                       const std::function<std::string(const std::string& did)>& query);

// "<headId>_<YYMMDD>_Started.log" of today.
std::filesystem::path StartedLogPath(const std::filesystem::path& logDir, const std::string& headId,
                                     const LocalTime& now);
// The StartedLog text: the time, the identifier, and whether yesterday's telephone
// log of slot 1 is present (named as the statistics server knows it).
std::string StartedLogText(const LocalTime& now, const std::string& headId, const std::filesystem::path& logDir);

// Writes the StartedLog and uploads it with both counts -1; the file is deleted once
// acknowledged. A file that cannot be written is not uploaded.
void ReportStart(const std::filesystem::path& logDir, const std::string& headId, const Clock& clock,
                 const DayLogUploader& upload);

}  // namespace lindra
