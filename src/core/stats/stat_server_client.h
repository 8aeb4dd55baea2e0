#pragma once
// The two exchanges with the service's statistics web server: which branch a DID
// number belongs to, and the upload of a log file with a day's call counts.
#include <atomic>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "stats/http_exchange.h"

namespace lindra {

inline constexpr const char* kUploadComplete = "COMPLETE";
inline constexpr const char* kUploadFail = "FAIL";

// The statistics server expects the Windows log paths its branches send
// ("c:\brenvo\logs\NAME") and may take the file name after the last backslash;
// it keeps getting that form whatever the local log folder is.
inline constexpr const char* kPeerLogFolder = "c:\\brenvo\\logs\\";
std::string PeerLogPath(const std::filesystem::path& localFile);

// A reply body as the client reads it: line by line, each carriage return dropped,
// each line feed kept, a line cut to its first 1023 bytes (the rest of that line is
// not read). Lines stay in the code page of the edge.
std::vector<std::string> ReplyLines(std::string_view body);

// What an upload came to: the result and, when it was not acknowledged, why.
struct UploadOutcome {
  std::string result;          // "COMPLETE", "FAIL", or "" when the exchange failed
  std::string replyLine;       // FAIL: the server's first reply line, converted, without its line feed
  std::string transportError;  // "": what ended the exchange, in libcurl's words (empty for an unreadable file)
};

// Stateless apart from its settings; each call owns its connection, so calls may run
// on any thread. The cancel flag (owned by the caller, may be null) ends a call early.
class StatServerClient {
 public:
  explicit StatServerClient(Endpoint server, const std::atomic<bool>* cancel = nullptr, HttpLimits limits = {})
      : server_(std::move(server)), cancel_(cancel), limits_(std::move(limits)) {}

  // The reply text (every line, converted), or what was read before a failure.
  std::string QueryHeadId(const std::string& did) const;

  // "COMPLETE" when the server's first reply line is exactly "200", "FAIL" for any
  // other reply, "" when the exchange failed or the file could not be read (then
  // nothing is sent). An empty path sends the headers without any body.
  UploadOutcome UploadDayLog(const std::string& headId, const std::string& workDay, int total, int used,
                             const std::filesystem::path& filePath) const;

 private:
  std::string Url(const char* path) const;
  std::vector<std::string> CommonHeaders(std::vector<std::string> block) const;

  Endpoint server_;
  const std::atomic<bool>* cancel_;
  HttpLimits limits_;
};

}  // namespace lindra
