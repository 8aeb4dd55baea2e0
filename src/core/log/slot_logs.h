#pragma once
// The two daily logs of a device slot (program log and telephone log), drained to
// disk by the writer thread that the logs of all slots share, so that no link thread
// waits for the disk. A log that cannot be written says so, and that it works again,
// through the report given (the slot's message log).
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "log/log_writer.h"
#include "platform/clock.h"

namespace lindra {

enum class DeviceLogKind { Read = 0, Parse = 1, Error = 2, Plain = 3 };

// Level of the program log from the [LOG] LEVEL text: ERROR 0, WARN 1, INFO 2, else 3.
int ProgramLogLevel(std::string_view levelText);

struct SlotLogFigures {
  LogFigures program;
  LogFigures telephone;
  bool operator==(const SlotLogFigures&) const = default;
};

// Called from any thread: link threads, CTI workers, senders, the controller, the
// monitoring. Every queue is guarded inside the writer; lines keep the order they were
// queued in.
class SlotLogs {
 public:
  explicit SlotLogs(const Clock& clock = SystemClock::Instance(), LogReport report = {},
                    std::chrono::milliseconds retryInterval = kLogRetryInterval);
  ~SlotLogs();  // Shutdown()
  SlotLogs(const SlotLogs&) = delete;
  SlotLogs& operator=(const SlotLogs&) = delete;

  // Sets the slot number; the first call for a slot with a model opens
  // Program_DEV0n_ and Telephone_DEV0n_ in logDir (created when missing) and hands
  // both to the writer thread. Later calls change nothing but the slot number.
  void Open(const std::filesystem::path& logDir, int slotNo, int programLevel, bool hasModel);
  int slotNo() const;
  bool IsOpen() const;

  // Device log operation. READ and PARSE take the raw edge bytes (cut at the first
  // zero byte, converted from the code page); ERROR and plain take UTF-8 text.
  void DeviceRaw(DeviceLogKind kind, std::string_view bytes);
  void Device(DeviceLogKind kind, std::string_view text);
  // A program-log line of type 0 without heading (the LG rejection).
  void ProgramLevel0(std::string_view text);
  // One telephone-log line (UTF-8), always written.
  void Telephone(std::string_view line);

  // Both logs' figures since they were opened (they stand after the shutdown); zeros
  // for logs never opened.
  SlotLogFigures figures() const;

  // Writes every line still queued (lines that cannot be written get one last try and
  // are counted in the report), then lets go of both logs. Idempotent.
  void Shutdown();

 private:
  const Clock& clock_;
  const LogReport report_;
  const std::chrono::milliseconds retryInterval_;
  std::unique_ptr<LogWriter> program_;
  std::unique_ptr<LogWriter> telephone_;
  std::atomic<int> slotNo_{-1};
  // Open (controller) vs. producers: the writers are created once under openMutex_
  // and published through open_; Shutdown stops them but keeps them until the end.
  std::mutex openMutex_;
  std::atomic<bool> open_{false};
  std::atomic<bool> shut_{false};
};

}  // namespace lindra
