#include "log/slot_logs.h"

#include "platform/paths.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {

int ProgramLogLevel(std::string_view levelText) {
  if (text::EqualsIgnoreCase(levelText, "ERROR")) return kLogError;
  if (text::EqualsIgnoreCase(levelText, "WARN")) return kLogWarn;
  if (text::EqualsIgnoreCase(levelText, "INFO")) return kLogInfo;
  return kLogDebug;
}

SlotLogs::SlotLogs(const Clock& clock, LogReport report, std::chrono::milliseconds retryInterval)
    : clock_(clock), report_(std::move(report)), retryInterval_(retryInterval) {}

SlotLogs::~SlotLogs() { Shutdown(); }

void SlotLogs::Open(const std::filesystem::path& logDir, int slotNo, int programLevel, bool hasModel) {
  slotNo_ = slotNo;
  if (!hasModel) return;
  std::lock_guard lock(openMutex_);
  if (program_ || shut_) return;
  EnsureDirectory(logDir);
  // The reports name the files in full, wherever the server was started.
  std::error_code error;
  std::filesystem::path dir = std::filesystem::absolute(logDir, error);
  if (error) dir = logDir;
  const std::string slotPart = text::Format("DEV0%d_", slotNo);
  program_ = std::make_unique<LogWriter>(clock_, programLevel, dir / ("Program_" + slotPart), report_, retryInterval_);
  // The telephone log feeds the statistics: it is written whatever LEVEL says.
  telephone_ = std::make_unique<LogWriter>(clock_, kLogInfo, dir / ("Telephone_" + slotPart), report_, retryInterval_);
  open_.store(true, std::memory_order_release);
}

int SlotLogs::slotNo() const { return slotNo_; }

bool SlotLogs::IsOpen() const { return open_.load(std::memory_order_acquire) && !shut_; }

void SlotLogs::DeviceRaw(DeviceLogKind kind, std::string_view bytes) {
  if (!IsOpen() || program_->level() < kLogDebug) return;
  Device(kind, text::ToInternal(text::UpToNul(bytes)));
}

void SlotLogs::Device(DeviceLogKind kind, std::string_view text) {
  if (!IsOpen() || program_->level() < kLogDebug) return;
  // Every device entry is a debug line, whatever its kind.
  LogLine line{clock_.Now(), kLogDebug, std::string(text)};
  const char* heading = kind == DeviceLogKind::Read    ? "DEV0%d: READ ----->"
                        : kind == DeviceLogKind::Parse ? "DEV0%d: PARSE ----->"
                        : kind == DeviceLogKind::Error ? "DEV0%d: ERROR"
                                                       : nullptr;
  if (!heading) return program_->Enqueue(std::move(line));
  LogLine head{line.time, kLogDebug, text::Format(heading, slotNo_.load())};
  program_->Enqueue(std::move(head), std::move(line));
}

void SlotLogs::ProgramLevel0(std::string_view text) {
  if (!IsOpen()) return;
  program_->Enqueue({clock_.Now(), kLogError, std::string(text)});
}

void SlotLogs::Telephone(std::string_view line) {
  if (!IsOpen()) return;
  telephone_->Enqueue({clock_.Now(), kLogInfo, std::string(line)});
}

SlotLogFigures SlotLogs::figures() const {
  if (!open_.load(std::memory_order_acquire)) return {};
  return {program_->figures(), telephone_->figures()};
}

void SlotLogs::Shutdown() {
  std::lock_guard lock(openMutex_);
  shut_ = true;
  if (program_) program_->Shutdown();
  if (telephone_) telephone_->Shutdown();
}

}  // namespace lindra
