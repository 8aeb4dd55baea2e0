#pragma once
// A CSimpleLog with its queue. Producers queue lines and return at once; one writer
// thread, shared by every log of the process, writes each queue that has lines, all
// of it per turn, so a slow disk delays the writing, never a producer.
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>

#include "log/simple_log.h"

namespace lindra {

class LogWriterThread;

// Enqueue: any thread. The shared writer thread alone touches `log_` while the writer
// is open. `mutex_` guards `queue_`, `stopping_` and `scheduled_`.
class LogWriter {
 public:
  // Opens the log (a file that cannot be opened is tried again with later lines)
  // and joins the shared writer thread (started by the first log).
  LogWriter(const Clock& clock, int level, const std::filesystem::path& basePath);
  ~LogWriter();  // Shutdown()
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Queues lines in order, kept together; lines above the level are not queued.
  // After Shutdown lines are dropped.
  void Enqueue(LogLine line);
  void Enqueue(LogLine first, LogLine second);

  // Returns once every line queued before it is written; later lines are dropped.
  // Idempotent.
  void Shutdown();
  int level() const { return level_; }

 private:
  friend class LogWriterThread;

  bool Accepts(const LogLine& line) const { return line.type <= level_; }
  // mutex_ is held.
  void Schedule();
  // On the writer thread: writes what is queued, into `batch` (kept for its memory).
  void WriteQueued(LogBatch& batch);

  const int level_;
  CSimpleLog log_;
  std::mutex mutex_;
  std::condition_variable drained_;
  LogBatch queue_;
  bool stopping_ = false;
  bool scheduled_ = false;  // handed to the writer thread and not written yet
  std::shared_ptr<LogWriterThread> thread_;
};

}  // namespace lindra
