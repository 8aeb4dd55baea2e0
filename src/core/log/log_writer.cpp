#include "log/log_writer.h"

#include <deque>
#include <thread>

namespace lindra {

// The one thread that writes every log. It lives while some log is open: the first
// writer starts it, the last one to end ends it. Logs with lines wait in line, each
// at most once, and a log whose lines keep coming goes to the back after each turn.
// mutex_ guards ready_ and ending_; a writer's mutex may be held when it is taken.
class LogWriterThread {
 public:
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

 private:
  void Run() {
    LogBatch batch;
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !ready_.empty() || ending_; });
      // Ending only once every writer has gone, so nothing waits any more.
      if (ready_.empty()) return;
      LogWriter* writer = ready_.front();
      ready_.pop_front();
      lock.unlock();
      writer->WriteQueued(batch);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<LogWriter*> ready_;
  bool ending_ = false;
  std::thread thread_;  // last: starts once everything above exists
};

LogWriter::LogWriter(const Clock& clock, int level, const std::filesystem::path& basePath)
    : level_(level), log_(clock), thread_(LogWriterThread::Acquire()) {
  log_.Open(level, basePath);
}

LogWriter::~LogWriter() { Shutdown(); }

void LogWriter::Enqueue(LogLine line) {
  if (!Accepts(line)) return;
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  queue_.push_back(std::move(line));
  Schedule();
}

void LogWriter::Enqueue(LogLine first, LogLine second) {
  if (!Accepts(first) && !Accepts(second)) return;
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  if (Accepts(first)) queue_.push_back(std::move(first));
  if (Accepts(second)) queue_.push_back(std::move(second));
  Schedule();
}

void LogWriter::Schedule() {
  if (scheduled_) return;
  scheduled_ = true;
  thread_->Schedule(this);
}

void LogWriter::Shutdown() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  drained_.wait(lock, [this] { return !scheduled_; });
}

void LogWriter::WriteQueued(LogBatch& batch) {
  {
    std::lock_guard lock(mutex_);
    batch.swap(queue_);
  }
  try {
    log_.Write(batch);
  } catch (...) {
    // Out of memory while formatting: this batch is lost, the writer goes on.
  }
  batch.clear();
  std::lock_guard lock(mutex_);
  // Lines that came meanwhile wait for the next turn, behind the other logs.
  if (!queue_.empty()) return thread_->Schedule(this);
  scheduled_ = false;
  // From here on the writer thread does not touch this writer: Shutdown may return.
  drained_.notify_all();
}

}  // namespace lindra
