#include "stats/daily_statistics.h"

#include <unistd.h>

#include "config/ini_file.h"
#include "log/log_date.h"
#include "platform/atomic_file.h"
#include "platform/file_read.h"
#include "platform/unique_fd.h"
#include "stats/call_counting.h"
#include "stats/stat_server_client.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr int kSlots = 4;

// The day summary grows slot by slot, so at most one slot's log is held in memory
// at a time; the file is created with the first slot that could be read.
class SummaryWriter {
 public:
  explicit SummaryWriter(std::filesystem::path path) : path_(std::move(path)) {}
  void Append(const std::string& internalText) {
    if (!started_) {
      started_ = true;
      out_ = CreateFileAnew(path_);
      ok_ = out_.valid();
    }
    ok_ = ok_ && WriteAll(out_.get(), text::ToExternal(internalText));
  }
  bool started() const { return started_; }
  bool Finish() { return ::close(out_.Release()) == 0 && ok_; }

 private:
  std::filesystem::path path_;
  UniqueFd out_;
  bool started_ = false;
  bool ok_ = false;
};

void WriteLastUpdate(const std::filesystem::path& stateDir, const std::string& day) {
  // A failure leaves the old file; the day is then reported once more on a later start.
  (void)WriteFileAtomically(stateDir / kBookkeepingFileName,
                            text::ToExternal(text::Format("[UPDATE]\r\nLASTUPDATE=%s\r\n", day.c_str())),
                            AtLink::Replace);
}

}  // namespace

std::filesystem::path TelephoneLogPath(const std::filesystem::path& logDir, int slotNo, const std::string& day) {
  return logDir / text::Format("Telephone_DEV%02d_%s.log", slotNo, day.c_str());
}

std::string ReadLastUpdate(const std::filesystem::path& stateDir) {
  constexpr const char* kNever = "00000000";
  const std::optional<std::string> bytes = ReadFileBytes(stateDir / kBookkeepingFileName, nullptr, LinkRule::Refuse);
  return bytes ? IniFile::Parse(*bytes).GetString("UPDATE", "LASTUPDATE", kNever) : kNever;
}

bool RunDailyStatistics(const DayContext& context, const Clock& clock, const DayLogUploader& upload) {
  const LocalTime now = clock.Now();
  const std::string day = DateShift(now, -1, false);
  const std::string dayLong = DateShift(now, -1, true);
  if (day == LogDate(now)) return false;  // every slot's writer still holds its file of day D

  const std::filesystem::path summaryPath = context.logDir / (context.headId + "_" + day + ".log");
  SummaryWriter summary(summaryPath);
  SlotCounts last;
  for (int slot = 1; slot <= kSlots; ++slot) {
    std::optional<std::string> bytes = ReadFileBytes(TelephoneLogPath(context.logDir, slot, day));
    if (!bytes) continue;
    // The whole file is converted at once: a double-byte character is never split.
    const std::string logText = text::ToInternal(*bytes);
    bytes.reset();
    std::string part;
    part.reserve(logText.size() + 128);  // the trimmed lines and the two count lines
    last = CollectSlotLog(logText, slot, context.did2, part);
    summary.Append(part);
  }
  if (!summary.started()) return false;
  if (!summary.Finish()) return false;

  if (upload(context.headId, day, last.total, last.brenvo, summaryPath) != kUploadComplete) return false;
  std::error_code ignored;
  std::filesystem::remove(summaryPath, ignored);
  WriteLastUpdate(context.stateDir, dayLong);
  return true;
}

DailyStatistics::DailyStatistics(DayContext context, const Clock& clock, UploadTime uploadTime,
                                 UploadTimeRefresh refresh, DayLogUploader upload)
    : context_(std::move(context)),
      clock_(clock),
      uploadTime_(uploadTime),
      refresh_(std::move(refresh)),
      upload_(std::move(upload)) {}

void DailyStatistics::Begin() {
  const LocalTime now = clock_.Now();
  settled_ = now.hour * 60 + now.minute <= uploadTime_.hour * 60 + uploadTime_.minute;
}

void DailyStatistics::Pass() {
  const LocalTime now = clock_.Now();
  refresh_(uploadTime_);
  if (settled_ && now.hour == uploadTime_.hour && now.minute == uploadTime_.minute)
    settled_ = false;
  else if (settled_)
    return;
  Check();
}

void DailyStatistics::Check() {
  const long long lastUpdate = text::LeadingInt(ReadLastUpdate(context_.stateDir));
  const long long yesterday = text::LeadingInt(DateShift(clock_.Now(), -1, true));
  if (yesterday > lastUpdate)
    settled_ = RunDailyStatistics(context_, clock_, upload_);
  else
    settled_ = true;
}

}  // namespace lindra
