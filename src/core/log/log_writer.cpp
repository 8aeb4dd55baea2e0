#include "log/log_writer.h"

namespace lindra {

LogWriter::LogWriter(const Clock& clock, int level, const std::filesystem::path& basePath)
    : level_(level), log_(clock) {
  log_.Open(level, basePath);
  thread_ = std::thread([this] { Run(); });
}

LogWriter::~LogWriter() { Shutdown(); }

void LogWriter::Enqueue(LogLine line) {
  if (!Accepts(line)) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void LogWriter::Enqueue(LogLine first, LogLine second) {
  if (!Accepts(first) && !Accepts(second)) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (Accepts(first)) queue_.push_back(std::move(first));
    if (Accepts(second)) queue_.push_back(std::move(second));
  }
  wake_.notify_one();
}

void LogWriter::Shutdown() {
  std::lock_guard join(joinMutex_);
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void LogWriter::Run() {
  LogBatch batch;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) return;  // stopping, and everything is on disk
      batch.swap(queue_);
    }
    try {
      log_.Write(batch);
    } catch (...) {
      // Out of memory while formatting: this batch is lost, the writer goes on.
    }
    batch.clear();
  }
}

}  // namespace lindra
