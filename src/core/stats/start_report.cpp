#include "stats/start_report.h"

#include <fstream>

#include "log/log_date.h"
#include "platform/atomic_file.h"
#include "stats/stat_server_client.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {

bool IsHeadId(std::string_view reply) {
  if (reply.empty() || reply.front() != 'H') return false;
  if (reply.back() == '\n') reply.remove_suffix(1);
  if (reply.find("..") != std::string_view::npos) return false;
  for (const char c : reply) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

std::string FindHeadId(const std::vector<std::string>& dids,
                       const std::function<std::string(const std::string& did)>& query) {
  std::string reply;
  for (const auto& did : dids) {
    reply = query(did);
    if (IsHeadId(reply)) break;
  }
  return reply;
}

std::filesystem::path StartedLogPath(const std::filesystem::path& logDir, const std::string& headId,
                                     const LocalTime& now) {
  return logDir / (headId + "_" + DateShift(now, 0, false) + "_Started.log");
}

std::string StartedLogText(const LocalTime& now, const std::string& headId, const std::filesystem::path& logDir) {
  const std::filesystem::path yesterdayLog = TelephoneLogPath(logDir, 1, DateShift(now, -1, false));
  // Any reader may open it, also while its writer holds it: readable means present.
  const bool present = std::ifstream(yesterdayLog, std::ios::binary).is_open();
  return text::Format("[%02d:%02d:%02d.%03d] HEADID: %s\r\n%s - %s", now.hour, now.minute, now.second, now.millisecond,
                      headId.c_str(), PeerLogPath(yesterdayLog).c_str(), present ? "TRUE" : "FALSE");
}

void ReportStart(const std::filesystem::path& logDir, const std::string& headId, const Clock& clock,
                 const DayLogUploader& upload) {
  const LocalTime now = clock.Now();
  const std::filesystem::path path = StartedLogPath(logDir, headId, now);
  {
    const UniqueFd out = CreateFileAnew(path);
    if (!out || !WriteAll(out.get(), text::ToExternal(StartedLogText(now, headId, logDir)))) return;
  }
  if (upload(headId, DateShift(now, 0, false), -1, -1, path) == kUploadComplete) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
}

}  // namespace lindra
