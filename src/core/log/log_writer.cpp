#include "log/log_writer.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

#include "text/strings.h"

namespace lindra {
namespace {

// A waiting line costs its text and about this much besides (its stamp, its place in
// the queue).
constexpr size_t kLineOverheadBytes = 64;

size_t WaitingBytes(const LogLine& line) { return line.text.size() + kLineOverheadBytes; }

size_t WaitingBytes(const LogBatch& lines) {
  size_t bytes = 0;
  for (const LogLine& line : lines) bytes += WaitingBytes(line);
  return bytes;
}

StatusLine FailureLine(const LogFailure& failure) {
  const std::string file = failure.file.string();
  switch (failure.step) {
    case LogFailure::Step::Open:
      return StatusLine::Error(text::Format("[ERR] 로그 파일 열기 실패: %s (ErrNo:%d)", file.c_str(), failure.error),
                               failure.error);
    case LogFailure::Step::NotRegularFile:
      return StatusLine::Error(text::Format("[ERR] 로그 파일 열기 실패: %s (일반 파일이 아님)", file.c_str()));
    case LogFailure::Step::Write:
      break;
  }
  return StatusLine::Error(text::Format("[ERR] 로그 파일 쓰기 실패: %s (ErrNo:%d)", file.c_str(), failure.error),
                           failure.error);
}

}  // namespace

// The one thread that writes every log. It lives while some log is open: the first
// writer starts it, the last one to end ends it. Logs with lines wait in line, each
// at most once, and a log whose lines keep coming goes to the back after each turn; a
// log whose file refused its lines waits aside for its retry.
// mutex_ guards ready_, retries_ and ending_; a writer's mutex may be held when it is
// taken.
class LogWriterThread {
 public:
  using Clock = std::chrono::steady_clock;

  static std::shared_ptr<LogWriterThread> Acquire() {
    // Shared by design: the writers of every slot use one thread. The registry only
    // hands it out; the writers' references keep it.
    static std::mutex registryMutex;
    static std::weak_ptr<LogWriterThread> registry;
    std::lock_guard lock(registryMutex);
    std::shared_ptr<LogWriterThread> thread = registry.lock();
    if (!thread) {
      thread = std::make_shared<LogWriterThread>();
      registry = thread;
    }
    return thread;
  }

  LogWriterThread() : thread_([this] { Run(); }) {}
  ~LogWriterThread() {
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  LogWriterThread(const LogWriterThread&) = delete;
  LogWriterThread& operator=(const LogWriterThread&) = delete;

  void Schedule(LogWriter* writer) {
    {
      std::lock_guard lock(mutex_);
      ready_.push_back(writer);
    }
    wake_.notify_one();
  }

  void RetryLater(LogWriter* writer, std::chrono::milliseconds after) {
    {
      std::lock_guard lock(mutex_);
      retries_.push_back({Clock::now() + after, writer});
    }
    wake_.notify_one();
  }

  // A writer waiting for its retry takes its turn now.
  void Hurry(LogWriter* writer) {
    {
      std::lock_guard lock(mutex_);
      auto it = std::find_if(retries_.begin(), retries_.end(), [writer](const Retry& r) { return r.writer == writer; });
      if (it == retries_.end()) return;
      retries_.erase(it);
      ready_.push_back(writer);
    }
    wake_.notify_one();
  }

 private:
  struct Retry {
    Clock::time_point due;
    LogWriter* writer;
  };

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      TakeDueRetries();
      if (ready_.empty()) {
        // Ending only once every writer has gone, so nothing waits any more.
        if (ending_) return;
        if (retries_.empty()) {
          wake_.wait(lock);
        } else {
          wake_.wait_until(lock, std::min_element(retries_.begin(), retries_.end(), [](const Retry& a, const Retry& b) {
                                   return a.due < b.due;
                                 })->due);
        }
        continue;
      }
      LogWriter* writer = ready_.front();
      ready_.pop_front();
      lock.unlock();
      writer->TakeTurn();
      lock.lock();
    }
  }

  // mutex_ is held.
  void TakeDueRetries() {
    const auto now = Clock::now();
    for (auto it = retries_.begin(); it != retries_.end();) {
      if (it->due > now) {
        ++it;
        continue;
      }
      ready_.push_back(it->writer);
      it = retries_.erase(it);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<LogWriter*> ready_;
  std::vector<Retry> retries_;
  bool ending_ = false;
  std::thread thread_;  // last: starts once everything above exists
};

LogWriter::LogWriter(const Clock& clock, int level, const std::filesystem::path& basePath, LogReport report,
                     std::chrono::milliseconds retryInterval)
    : level_(level),
      basePath_(basePath),
      report_(std::move(report)),
      retryInterval_(retryInterval),
      log_(clock),
      thread_(LogWriterThread::Acquire()) {
  std::lock_guard lock(mutex_);
  Schedule();  // the open
}

LogWriter::~LogWriter() { Shutdown(); }

bool LogWriter::Admit(size_t bytes, size_t lines) {
  if (waitingBytes_ + bytes > kLogWaitingBytesLimit) {
    dropped_ += lines;
    figures_.linesDropped += lines;
    return false;
  }
  waitingBytes_ += bytes;
  figures_.linesWaiting += lines;
  return true;
}

LogFigures LogWriter::figures() const {
  std::lock_guard lock(mutex_);
  return figures_;
}

void LogWriter::Enqueue(LogLine line) {
  if (!Accepts(line)) return;
  std::lock_guard lock(mutex_);
  if (stopping_ || !Admit(WaitingBytes(line), 1)) return;
  queue_.push_back(std::move(line));
  Schedule();
}

void LogWriter::Enqueue(LogLine first, LogLine second) {
  const bool takeFirst = Accepts(first), takeSecond = Accepts(second);
  if (!takeFirst && !takeSecond) return;
  const size_t bytes = (takeFirst ? WaitingBytes(first) : 0) + (takeSecond ? WaitingBytes(second) : 0);
  std::lock_guard lock(mutex_);
  if (stopping_ || !Admit(bytes, size_t{takeFirst} + size_t{takeSecond})) return;
  if (takeFirst) queue_.push_back(std::move(first));
  if (takeSecond) queue_.push_back(std::move(second));
  Schedule();
}

void LogWriter::Schedule() {
  if (scheduled_) return;
  scheduled_ = true;
  thread_->Schedule(this);
}

void LogWriter::Shutdown() {
  std::unique_lock lock(mutex_);
  if (!stopping_) {
    stopping_ = true;
    thread_->Hurry(this);  // the last try comes now, not after the retry pause
  }
  drained_.wait(lock, [this] { return !scheduled_; });
}

bool LogWriter::WriteWaiting() {
  if (!opened_) {
    opened_ = true;
    if (!log_.Open(level_, basePath_)) return false;
  }
  // Nothing tried, nothing learnt.
  if (pending_.empty()) return !failing_;
  log_.Write(pending_);
  return pending_.empty();
}

void LogWriter::TakeTurn() {
  bool last = false;
  {
    std::lock_guard lock(mutex_);
    last = stopping_;
    if (pending_.empty()) {
      pending_.swap(queue_);
    } else {
      std::move(queue_.begin(), queue_.end(), std::back_inserter(pending_));
      queue_.clear();
    }
  }
  const size_t before = WaitingBytes(pending_);
  const size_t linesBefore = pending_.size();
  bool wrote = false;
  size_t lost = 0;
  try {
    wrote = WriteWaiting();
  } catch (...) {
    // Out of memory while formatting: these lines are lost, the writer goes on.
    lost = pending_.size();
    pending_.clear();
  }
  if (!wrote && !failing_ && !lost) Report(FailureLine(log_.failure()));
  const bool recovered = wrote && failing_;
  if (!lost) failing_ = !wrote;
  if (last) {
    lost += pending_.size();
    pending_.clear();
  }
  const size_t after = WaitingBytes(pending_);
  size_t dropped = 0;
  {
    std::lock_guard lock(mutex_);
    waitingBytes_ -= before - after;
    figures_.linesWaiting -= linesBefore - pending_.size();
    figures_.linesDropped += lost;
    if (!wrote) ++figures_.writeFailures;
    // Lines dropped while the file fails are told with its recovery.
    if (!failing_ || last) dropped = std::exchange(dropped_, 0);
  }
  ReportOutcome(recovered, lost + dropped);

  std::lock_guard lock(mutex_);
  if (!pending_.empty()) {
    // A stopping writer gets its last try now.
    if (stopping_) return thread_->Schedule(this);
    return thread_->RetryLater(this, retryInterval_);
  }
  // Lines that came meanwhile wait for the next turn, behind the other logs.
  if (!queue_.empty()) return thread_->Schedule(this);
  scheduled_ = false;
  // From here on the writer thread does not touch this writer: Shutdown may return.
  drained_.notify_all();
}

void LogWriter::ReportOutcome(bool recovered, size_t dropped) const {
  const std::string file = log_.FilePath(log_.fileDate()).string();
  if (recovered) {
    Report(StatusLine::Warning(dropped
                                   ? text::Format("[WARN] 로그 파일 쓰기 복구: %s (버린 줄 %zu)", file.c_str(), dropped)
                                   : text::Format("[WARN] 로그 파일 쓰기 복구: %s", file.c_str())));
  } else if (dropped > 0) {
    Report(StatusLine::Error(text::Format("[ERR] 로그 파일 쓰기 포기: %s (버린 줄 %zu)", file.c_str(), dropped)));
  }
}

void LogWriter::Report(StatusLine line) const {
  if (report_) report_(std::move(line));
}

}  // namespace lindra
