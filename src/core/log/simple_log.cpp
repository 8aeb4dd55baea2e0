#include "log/simple_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>

#include "log/log_date.h"
#include "text/codec.h"

namespace lindra {
namespace {

constexpr size_t kFlushBytes = 64 * 1024;
constexpr std::string_view kTags[] = {"[ERROR] ", "[WARN ] ", "[INFO ] ", "[DEBUG] "};

// A type outside 0..3 takes the nearest tag.
std::string_view Tag(int type) { return kTags[type < 0 ? 0 : type > 3 ? 3 : type]; }

int ThreadId() {
  thread_local const int tid = static_cast<int>(::gettid());
  return tid;
}

// "HH:MM:SS.t", the first ten characters of "%02d:%02d:%02d.%03d] ".
void AppendTime(std::string& out, const LocalTime& t) {
  char stamp[64];
  int n = std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d] ", t.hour, t.minute, t.second, t.millisecond);
  out.append(stamp, static_cast<size_t>(n < 10 ? (n < 0 ? 0 : n) : 10));
}

// A line is never cut to a fixed buffer: a long chunk or frame is logged whole.
void AppendLine(std::string& out, const LogLine& line, std::string_view threadTag) {
  AppendTime(out, line.time);
  out += Tag(line.type);
  out += threadTag;
  out += text::ToExternal(line.text);
  out += "\r\n";
}

// The log date changes at most once an hour; it is recomputed only then.
class LogDateCache {
 public:
  const std::string& For(const LocalTime& t) {
    const int key[] = {t.year, t.month, t.day, t.hour};
    if (!valid_ || !std::equal(std::begin(key), std::end(key), std::begin(key_))) {
      std::copy(std::begin(key), std::end(key), std::begin(key_));
      date_ = LogDate(t);
      valid_ = true;
    }
    return date_;
  }

 private:
  bool valid_ = false;
  int key_[4] = {};
  std::string date_;
};

std::string ThreadTag() {
  char tag[32];
  int n = std::snprintf(tag, sizeof tag, "[t-%d] ", ThreadId());
  return std::string(tag, static_cast<size_t>(n));
}

}  // namespace

CSimpleLog::CSimpleLog(const Clock& clock) : clock_(clock) {}

std::filesystem::path CSimpleLog::FilePath(const std::string& date) const {
  std::filesystem::path name = basePath_;
  name += date;
  name += ".log";
  return name;
}

bool CSimpleLog::Open(int level, const std::filesystem::path& basePath, bool append, bool daily) {
  if (basePath.empty()) return false;
  level_ = level;
  append_ = append;
  daily_ = daily;
  file_.Reset();
  basePath_ = basePath;
  return OpenFile(daily_ ? LogDate(clock_.Now()) : std::string());
}

bool CSimpleLog::OpenFile(const std::string& date) {
  file_.Reset();
  fileDate_ = date;
  const std::string path = FilePath(date);
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (append_ ? O_APPEND : O_TRUNC);
  file_.Reset(::open(path.c_str(), flags, 0666));
  // A link at a log's name (planted in a log folder shared with others) is replaced by
  // the log itself: the server never writes through it into somebody else's file.
  if (!file_ && errno == ELOOP && ::unlink(path.c_str()) == 0) file_.Reset(::open(path.c_str(), flags | O_EXCL, 0666));
  return file_.valid();
}

void CSimpleLog::Flush(std::string& buffer) {
  // A failed write (a full disk) loses these lines only; nothing is reported.
  if (file_ && !buffer.empty()) WriteAll(file_.get(), buffer);
  buffer.clear();
}

void CSimpleLog::Write(int type, std::string_view text) {
  if (type > level_ || basePath_.empty()) return;
  LogBatch one;
  one.push_back({clock_.Now(), type, std::string(text)});
  Write(one);
}

void CSimpleLog::Write(const LogBatch& lines) {
  if (basePath_.empty()) return;
  const std::string threadTag = ThreadTag();
  std::string buffer;
  std::string failedDate;
  bool failed = false;
  LogDateCache dates;
  const std::string undated;
  for (const LogLine& line : lines) {
    if (line.type > level_) continue;
    const std::string& date = daily_ ? dates.For(line.time) : undated;
    if (!file_ || date != fileDate_) {
      if (failed && date == failedDate) continue;
      Flush(buffer);
      if (!OpenFile(date)) {
        failed = true;
        failedDate = date;
        continue;
      }
    }
    AppendLine(buffer, line, threadTag);
    if (buffer.size() >= kFlushBytes) Flush(buffer);
  }
  Flush(buffer);
}

}  // namespace lindra
