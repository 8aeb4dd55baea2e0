#pragma once
// A CSimpleLog with its queue. Producers queue lines and return at once; one writer
// thread, shared by every log of the process, opens the file and writes each queue
// that has lines, all of it per turn, so a slow or full disk delays the writing,
// never a producer. Lines the file did not take wait in memory, in order, and are
// tried again every second; the log says once that it fails and once that it works
// again.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "log/simple_log.h"
#include "log/status_line.h"

namespace lindra {

class LogWriterThread;

// Takes a message-log line ("[ERR] ..." or "[WARN] ...") from the writer thread; it
// must only queue it.
using LogReport = std::function<void(StatusLine)>;

inline constexpr std::chrono::milliseconds kLogRetryInterval{1000};
// What the lines of one log may hold while they wait, text and bookkeeping; lines
// beyond it are dropped and counted.
inline constexpr size_t kLogWaitingBytesLimit = 10 * 1024 * 1024;

// What a log has met since it was made, and what waits in it now. A write failure is
// a turn of the writer thread after which lines it took are still not in the file:
// the file could not be opened (the open at the start counts, whether lines waited
// or not) or did not take every line waiting, or formatting them ran out of memory.
// A file that keeps refusing fails once per retry.
struct LogFigures {
  uint64_t writeFailures = 0;
  uint64_t linesDropped = 0;  // beyond kLogWaitingBytesLimit, or lost: given up at the last try or formatting
  size_t linesWaiting = 0;    // queued, or taken by the writer thread and not written yet
  bool operator==(const LogFigures&) const = default;
};

// Enqueue, Shutdown and figures: any thread. The shared writer thread alone touches
// `log_`, `pending_`, `opened_` and `failing_`. `mutex_` guards `queue_`,
// `waitingBytes_`, `dropped_`, `figures_`, `stopping_` and `scheduled_`, and is held
// only for a few steps at a time.
class LogWriter {
 public:
  // The file is opened by the writer thread (which the first log starts), right away.
  LogWriter(const Clock& clock, int level, const std::filesystem::path& basePath, LogReport report = {},
            std::chrono::milliseconds retryInterval = kLogRetryInterval);
  ~LogWriter();  // Shutdown()
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Queues lines in order, kept together; lines above the level are not queued.
  // After Shutdown lines are dropped.
  void Enqueue(LogLine line);
  void Enqueue(LogLine first, LogLine second);

  // Writes every line still waiting with one last try, reports how many could not be
  // written, and returns; later lines are dropped. Idempotent.
  void Shutdown();
  int level() const { return level_; }
  LogFigures figures() const;

 private:
  friend class LogWriterThread;

  bool Accepts(const LogLine& line) const { return line.type <= level_; }
  // mutex_ is held. Whether `lines` lines of `bytes` fit beside those waiting; the
  // lines that do not are counted.
  bool Admit(size_t bytes, size_t lines);
  void Schedule();
  // On the writer thread: opens the file, writes what waits, reports what changed and
  // hands the writer back (done, again at once, or after the retry pause).
  void TakeTurn();
  // Whether the file took everything waiting (failure() of the log says why not).
  bool WriteWaiting();
  // The recovery, or the lines given up (dropped over the limit or at the last try).
  void ReportOutcome(bool recovered, size_t dropped) const;
  void Report(StatusLine line) const;

  const int level_;
  const std::filesystem::path basePath_;
  const LogReport report_;
  const std::chrono::milliseconds retryInterval_;
  CSimpleLog log_;
  LogBatch pending_;  // taken from the queue, not written yet
  bool opened_ = false;
  bool failing_ = false;  // a failure was reported, its recovery not yet

  mutable std::mutex mutex_;
  std::condition_variable drained_;
  LogBatch queue_;
  size_t waitingBytes_ = 0;  // of queue_ and pending_
  size_t dropped_ = 0;       // over the limit, not reported yet
  LogFigures figures_;
  bool stopping_ = false;
  bool scheduled_ = false;  // handed to the writer thread and not done yet
  std::shared_ptr<LogWriterThread> thread_;
};

}  // namespace lindra
