#include "stats/call_counting.h"

#include <algorithm>
#include <array>

#include "text/strings.h"

namespace lindra {
namespace {

// The comma-separated fields 3 (DID) and 4 (extension) of a telephone-log line; empty
// text between two adjacent commas is no field. A line too short to hold a field
// (never written by the log itself) gives an empty text for it.
std::array<std::string_view, 2> DidAndExtension(std::string_view line) {
  std::array<std::string_view, 2> wanted;
  int field = 0;
  size_t pos = 0;
  while (pos < line.size() && field < 4) {
    const size_t comma = std::min(line.find(',', pos), line.size());
    if (comma > pos) {
      ++field;
      if (field >= 3) wanted[field - 3] = text::TrimView(line.substr(pos, comma - pos));
    }
    pos = comma + 1;
  }
  return wanted;
}

int TwoDigits(std::string_view line, size_t at) {
  return at < line.size() ? text::LeadingInt32(line.substr(at, 2)) : 0;
}

int SecondOfDay(std::string_view line) {
  return TwoDigits(line, 0) * 3600 + TwoDigits(line, 3) * 60 + TwoDigits(line, 6);
}

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

void CallCounter::Add(std::string_view line) {
  if (line.find(" T ") == std::string_view::npos) return;
  const auto [did, extension] = DidAndExtension(line);
  const bool otherDid = did != did2_;
  // SENT:-1 means the operator never got the call.
  if (!EndsWith(line, "-1") && otherDid) ++counts_.brenvo;
  const int second = SecondOfDay(line);
  const bool repeat =
      extension == previousExtension_ && (second == previousSecond_ || second == previousSecond_ + 1) && otherDid;
  if (repeat) return;
  ++counts_.total;
  previousExtension_ = extension;
  previousSecond_ = second;
}

SlotCounts CollectSlotLog(std::string_view logText, int slotNo, const std::string& did2, std::string& summary) {
  CallCounter counter(did2);
  size_t pos = 0;
  while (pos < logText.size()) {
    const size_t lf = std::min(logText.find('\n', pos), logText.size());
    const std::string_view line = text::TrimView(logText.substr(pos, lf - pos));
    pos = lf + 1;
    if (line.empty()) continue;
    summary.append(line).append("\r\n");
    counter.Add(line);
  }
  const SlotCounts& counts = counter.counts();
  summary += text::Format("DEV%02d TOTAL CALLING COUNT: %d\r\n", slotNo, counts.total);
  summary += text::Format("DEV%02d BRENVO CALLING COUNT: %d\r\n", slotNo, counts.brenvo);
  return counts;
}

}  // namespace lindra
