#include "log/log_purge.h"

#include <regex>
#include <string>
#include <tuple>

#include "log/log_date.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr int kKeepDays = 7;
constexpr size_t kDatedTail = 10;  // "YYMMDD.log"

int TailField(std::string_view tail, size_t pos) {
  return pos < tail.size() ? text::LeadingInt32(tail.substr(pos, 2)) : 0;
}

}  // namespace

bool IsOwnLogFileName(std::string_view name) {
  static const std::regex kOwn(R"(((Program|Telephone)_DEV0[1-4]_[0-9]{6}|H.*_[0-9]{6}(_Started)?)\.log)");
  return std::regex_match(name.begin(), name.end(), kOwn);
}

int PurgeOldLogs(const std::filesystem::path& logDir, const LocalTime& now) {
  const CalendarDate cut = ShiftDate(now, -kKeepDays);
  const auto cutKey = std::make_tuple(cut.year % 100, cut.month, cut.day);
  int deleted = 0;
  std::error_code ec;
  std::filesystem::directory_iterator it(logDir, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code typeError;
    if (!IsOwnLogFileName(name) || it->is_directory(typeError)) continue;
    std::string_view tail = name;
    if (tail.size() > kDatedTail) tail = tail.substr(tail.size() - kDatedTail);
    if (std::make_tuple(TailField(tail, 0), TailField(tail, 2), TailField(tail, 4)) >= cutKey) continue;
    std::error_code removeError;
    if (std::filesystem::remove(it->path(), removeError)) ++deleted;
  }
  return deleted;
}

}  // namespace lindra
