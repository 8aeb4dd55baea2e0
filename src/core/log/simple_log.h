#pragma once
// One daily log file with a level threshold. Lines carry the local time, the level
// tag and the writing thread's identifier, and go to disk in the code page of the
// edges.
#include <deque>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/unique_fd.h"

namespace lindra {

// Line types; a line is written only when its type is not greater than the level.
enum LogType : int { kLogError = 0, kLogWarn = 1, kLogInfo = 2, kLogDebug = 3 };

// A line waiting to be written, stamped when it was produced.
struct LogLine {
  LocalTime time;
  int type = kLogDebug;
  std::string text;  // UTF-8, written unchanged (never used as a format)
};
using LogBatch = std::deque<LogLine>;

// Not synchronised: opened by one thread, then written by one thread at a time (the
// slot's writer thread owns it while it runs).
class CSimpleLog {
 public:
  explicit CSimpleLog(const Clock& clock = SystemClock::Instance());
  CSimpleLog(const CSimpleLog&) = delete;
  CSimpleLog& operator=(const CSimpleLog&) = delete;

  // False when `basePath` is empty. Otherwise takes the settings, closes any open
  // file and opens basePath + log date (when `daily`) + ".log"; returns whether the
  // file is open. Without `append` the file is emptied.
  bool Open(int level, const std::filesystem::path& basePath, bool append = true, bool daily = true);

  // One line at the current time.
  void Write(int type, std::string_view text);
  // Lines at their own times, in order, with one write call per file and per 64 KiB.
  // A log whose file could not be opened tries again once per batch, so a log folder
  // that comes back later does not silence the log until the next start.
  void Write(const LogBatch& lines);

  bool IsOpen() const { return file_.valid(); }
  int level() const { return level_; }
  const std::string& fileDate() const { return fileDate_; }
  std::filesystem::path FilePath(const std::string& date) const;

 private:
  bool OpenFile(const std::string& date);
  void Flush(std::string& buffer);

  const Clock& clock_;
  int level_ = kLogError;
  bool append_ = true;
  bool daily_ = true;
  std::filesystem::path basePath_;
  UniqueFd file_;
  std::string fileDate_;  // log date (YYMMDD) of the open file
};

}  // namespace lindra
