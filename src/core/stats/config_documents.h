#pragma once
// The two XML documents of the configuration web server that steer the daily
// statistics: the upload time of day, and the list of branches that take part.
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "stats/http_exchange.h"

namespace lindra {

inline constexpr const char* kConfigBasePath = "/_callRcvStat";

struct UploadTime {
  int hour = 0;
  int minute = 0;
};

enum class UploadTimeRead {
  Updated,      // both values read
  Unavailable,  // not fetched, empty or not well-formed: nothing changed
  Malformed,    // well-formed without time/hour/min: values read before the gap stay
};

// A no-cache GET of `url`; the body converted from the code page and trimmed, or
// nullopt when the exchange failed.
std::optional<std::string> FetchText(const std::string& url, const std::atomic<bool>* cancel);

// Reading a fetched document's text (no network).
UploadTimeRead ReadUploadTime(std::string_view document, UploadTime& time);
// The first branch of a branch list whose ID equals headId.
struct BranchEntry {
  enum class Found { Unreadable, NotListed, Listed };
  Found found = Found::Unreadable;  // Unreadable: the document is not well-formed
  std::string did2;                 // Listed: its DID2 text ("" when it has none)
};
BranchEntry FindBranch(std::string_view document, const std::string& headId);

// Fetch and read the upload-time document; an empty text counts as unavailable.
UploadTimeRead RefreshUploadTime(const Endpoint& server, UploadTime& time, const std::atomic<bool>* cancel);

struct BranchCheck {
  bool startScheduler = false;
  bool notListed = false;  // the list was read and does not name the branch
  std::string did2;
};
// Whether the daily statistics run for headId, with the branch's DID2; refreshes
// `time` once for a listed branch, and a malformed upload-time document vetoes.
BranchCheck CheckBranchList(const Endpoint& server, const std::string& headId, UploadTime& time,
                            const std::atomic<bool>* cancel);

}  // namespace lindra
