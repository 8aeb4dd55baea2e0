#pragma once
// A CSimpleLog with its own writer thread: producers queue lines and return at once;
// the writer wakes on a condition variable and writes everything queued per wake-up.
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "log/simple_log.h"

namespace lindra {

// Enqueue: any thread. The writer thread alone touches `log_`. `mutex_` guards
// `queue_` and `stopping_`; `joinMutex_` serialises Shutdown.
class LogWriter {
 public:
  // Opens the log (a file that cannot be opened is tried again with later lines)
  // and starts the writer.
  LogWriter(const Clock& clock, int level, const std::filesystem::path& basePath);
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Queues lines in order, kept together; lines above the level are not queued.
  // After Shutdown lines are dropped.
  void Enqueue(LogLine line);
  void Enqueue(LogLine first, LogLine second);

  // Writes every line still queued, then ends the writer. Idempotent.
  void Shutdown();
  int level() const { return level_; }

 private:
  void Run();
  bool Accepts(const LogLine& line) const { return line.type <= level_; }

  const int level_;
  CSimpleLog log_;
  std::mutex mutex_;
  std::condition_variable wake_;
  LogBatch queue_;
  bool stopping_ = false;
  std::mutex joinMutex_;
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace lindra
