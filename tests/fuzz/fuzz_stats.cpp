// The statistics parsers of outside input: reply bodies of the statistics server,
// the two XML documents of the configuration server, telephone-log text and the
// head identifier. Beyond the sanitizers' own checks, each result must keep the
// bounds its callers rely on.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "stats/call_counting.h"
#include "stats/config_documents.h"
#include "stats/start_report.h"
#include "stats/stat_server_client.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  size_t kept = 0;
  for (const std::string& line : lindra::ReplyLines(input)) {
    Require(line.size() <= 1023 && line.find('\r') == std::string::npos);
    kept += line.size();
  }
  Require(kept <= input.size());

  lindra::UploadTime time{7, 7};
  lindra::ReadUploadTime(input, time);
  lindra::FindBranch(input, "H1234");

  std::string summary;
  const lindra::SlotCounts counts = lindra::CollectSlotLog(input, 1, "0299999999", summary);
  Require(counts.total >= 0 && counts.brenvo >= 0 && summary.size() <= 2 * input.size() + 128);

  if (lindra::IsHeadId(input)) {
    const std::string_view id = input.substr(0, input.size() - (input.back() == '\n'));
    Require(id.find('/') == std::string_view::npos && id.find("..") == std::string_view::npos);
  }
  return 0;
}
