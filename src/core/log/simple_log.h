#pragma once
// One daily log file with a level threshold. Lines carry the local time, the level
// tag and the writing thread's identifier, and go to disk in the code page of the
// edges.
#include <sys/types.h>

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Why a log could not take its lines: the file it tried, what failed, the error number.
struct LogFailure {
  enum class Step { Open, NotRegularFile, Write } step = Step::Write;
  int error = 0;  // errno; 0 for NotRegularFile
  std::filesystem::path file;
};

// Not synchronised: opened by one thread, then written by one thread at a time (the
// slot's writer thread owns it while it runs).
class CSimpleLog {
 public:
  explicit CSimpleLog(const Clock& clock = SystemClock::Instance());
  CSimpleLog(const CSimpleLog&) = delete;
  CSimpleLog& operator=(const CSimpleLog&) = delete;

  // False when `basePath` is empty. Otherwise takes the settings, closes any open
  // file and opens basePath + log date (when `daily`) + ".log"; returns whether the
  // file is open (failure() says why not). Without `append` the file is emptied.
  // Only a regular file is ever opened, and never by waiting (a FIFO at the name).
  bool Open(int level, const std::filesystem::path& basePath, bool append = true, bool daily = true);

  // One line at the current time; whether it is in the file.
  bool Write(int type, std::string_view text);
  // Lines at their own times, in order, with one write call per file and per 64 KiB.
  // Takes out of `lines` every line now in its file; the lines left could not be
  // written (failure() says why) and keep their order. A line is in its file whole or
  // not at all: a write that stops short is cut back to the last whole line. Once a
  // day's file fails, the rest of that day's lines wait; a file that could not be
  // opened is tried again with every call, so a log folder that comes back later does
  // not silence the log until the next start.
  void Write(LogBatch& lines);

  bool IsOpen() const { return file_.valid(); }
  int level() const { return level_; }
  const std::string& fileDate() const { return fileDate_; }
  std::filesystem::path FilePath(const std::string& date) const;
  // The last failure of Open or Write.
  const LogFailure& failure() const { return failure_; }

 private:
  bool OpenFile(const std::string& date);
  bool Fail(LogFailure::Step step, int error, const std::filesystem::path& file);
  // Appends the formatted lines (each ends at its entry of `ends`); returns how many
  // of them are in the file whole.
  size_t Append(const std::string& buffer, const std::vector<size_t>& ends);

  const Clock& clock_;
  int level_ = kLogError;
  bool append_ = true;
  bool daily_ = true;
  std::filesystem::path basePath_;
  UniqueFd file_;
  std::string fileDate_;  // log date (YYMMDD) of the open file
  // Where the open file has to be cut before more is appended, when cutting back a
  // short write failed.
  std::optional<off_t> cutTo_;
  LogFailure failure_;
};

}  // namespace lindra
