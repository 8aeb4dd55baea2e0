#include "log/simple_log.h"

#include <fcntl.h>
#include <sys/stat.h>
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
  cutTo_.reset();
  basePath_ = basePath;
  return OpenFile(daily_ ? LogDate(clock_.Now()) : std::string());
}

bool CSimpleLog::Fail(LogFailure::Step step, int error, const std::filesystem::path& file) {
  failure_ = {step, error, file};
  return false;
}

bool CSimpleLog::OpenFile(const std::string& date) {
  file_.Reset();
  if (date != fileDate_) cutTo_.reset();
  fileDate_ = date;
  const std::filesystem::path path = FilePath(date);
  // Without O_NONBLOCK a FIFO planted at the name would hold the open until somebody
  // read it, and with it every log of the process.
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (append_ ? O_APPEND : O_TRUNC);
  UniqueFd file(::open(path.c_str(), flags, 0666));
  // A link at a log's name (planted in a log folder shared with others) is replaced by
  // the log itself: the server never writes through it into somebody else's file.
  if (!file && errno == ELOOP && ::unlink(path.c_str()) == 0) file.Reset(::open(path.c_str(), flags | O_EXCL, 0666));
  if (!file) return Fail(LogFailure::Step::Open, errno, path);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return Fail(LogFailure::Step::Open, errno, path);
  if (!S_ISREG(status.st_mode)) return Fail(LogFailure::Step::NotRegularFile, 0, path);
  file_ = std::move(file);
  return true;
}

size_t CSimpleLog::Append(const std::string& buffer, const std::vector<size_t>& ends) {
  const int fd = file_.get();
  if (cutTo_ && ::ftruncate(fd, *cutTo_) != 0) {
    Fail(LogFailure::Step::Write, errno, FilePath(fileDate_));
    return 0;
  }
  cutTo_.reset();
  const off_t start = ::lseek(fd, 0, append_ ? SEEK_END : SEEK_CUR);
  if (start < 0) {
    Fail(LogFailure::Step::Write, errno, FilePath(fileDate_));
    return 0;
  }
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      Fail(LogFailure::Step::Write, n == 0 ? EIO : errno, FilePath(fileDate_));
      break;
    }
  }
  if (done == buffer.size()) return ends.size();
  // A torn line would glue the next one onto it (and the statistics read these lines):
  // the file goes back to the end of its last whole line.
  const size_t whole = static_cast<size_t>(std::upper_bound(ends.begin(), ends.end(), done) - ends.begin());
  const off_t wholeEnd = start + static_cast<off_t>(whole ? ends[whole - 1] : 0);
  if (::ftruncate(fd, wholeEnd) != 0 || ::lseek(fd, wholeEnd, SEEK_SET) < 0) cutTo_ = wholeEnd;
  return whole;
}

bool CSimpleLog::Write(int type, std::string_view text) {
  if (type > level_ || basePath_.empty()) return false;
  LogBatch one;
  one.push_back({clock_.Now(), type, std::string(text)});
  Write(one);
  return one.empty();
}

void CSimpleLog::Write(LogBatch& lines) {
  if (basePath_.empty()) return;
  const std::string threadTag = ThreadTag();
  LogBatch waiting;    // not written, in order
  LogBatch formatted;  // in `buffer`, not yet written
  std::string buffer;
  std::vector<size_t> ends;
  std::vector<std::string> failedDates;
  auto failed = [&failedDates](const std::string& date) {
    return std::find(failedDates.begin(), failedDates.end(), date) != failedDates.end();
  };
  auto flush = [&] {
    const size_t whole = buffer.empty() ? 0 : Append(buffer, ends);
    if (whole < formatted.size()) failedDates.push_back(fileDate_);
    std::move(formatted.begin() + static_cast<std::ptrdiff_t>(whole), formatted.end(), std::back_inserter(waiting));
    formatted.clear();
    buffer.clear();
    ends.clear();
  };
  LogDateCache dates;
  const std::string undated;
  for (LogLine& line : lines) {
    if (line.type > level_) continue;
    const std::string& date = daily_ ? dates.For(line.time) : undated;
    if (!failed(date) && (!file_ || date != fileDate_)) {
      flush();
      if (!OpenFile(date)) failedDates.push_back(date);
    }
    // Behind a line of its day that could not be written, the others wait too.
    if (failed(date)) {
      waiting.push_back(std::move(line));
      continue;
    }
    AppendLine(buffer, line, threadTag);
    ends.push_back(buffer.size());
    formatted.push_back(std::move(line));
    if (buffer.size() >= kFlushBytes) flush();
  }
  flush();
  lines.swap(waiting);
}

}  // namespace lindra
