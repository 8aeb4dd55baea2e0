#pragma once
// The daily statistics: once per day, yesterday's telephone logs of every slot, with
// their call counts, are joined into one day summary and uploaded until the
// statistics server acknowledges them; a bookkeeping file remembers the last
// acknowledged day across runs.
#include <filesystem>
#include <functional>
#include <string>

#include "platform/clock.h"
#include "stats/config_documents.h"

namespace lindra {

inline constexpr const char* kBookkeepingFileName = "lindra2Update.log";

struct DayContext {
  std::filesystem::path logDir;    // telephone logs and the day summary
  std::filesystem::path stateDir;  // the bookkeeping file, in the server's private folder
  std::string headId;              // an identifier (IsHeadId), so a safe file-name part
  std::string did2;
};

// UploadDayLog of the statistics server, or a stand-in.
using DayLogUploader = std::function<std::string(const std::string& headId, const std::string& workDay, int total,
                                                 int used, const std::filesystem::path& file)>;

std::filesystem::path TelephoneLogPath(const std::filesystem::path& logDir, int slotNo, const std::string& day);
// LASTUPDATE of the bookkeeping file, "00000000" when there is none (or a link
// stands in its place).
std::string ReadLastUpdate(const std::filesystem::path& stateDir);

// The statistics job for yesterday (as six digits, D). True when the server
// acknowledged the upload: the summary is then deleted and LASTUPDATE records D,
// also when the acknowledgement arrives after midnight.
//
// Day D is counted only once its telephone logs are complete. Their writers write to
// the file of the current log day, which is D until 09:00 of the next calendar day,
// so a file of day D is not read before then: its counts would miss the calls still
// to come, and the day would be uploaded short. After 09:00 nothing more is written
// to it.
bool RunDailyStatistics(const DayContext& context, const Clock& clock, const DayLogUploader& upload);

// The scheduler's passes, without the thread: Begin() once, then Pass() every three
// seconds. Used by one thread at a time.
class DailyStatistics {
 public:
  using UploadTimeRefresh = std::function<UploadTimeRead(UploadTime&)>;

  DailyStatistics(DayContext context, const Clock& clock, UploadTime uploadTime, UploadTimeRefresh refresh,
                  DayLogUploader upload);

  // Nothing is due before the upload minute; a start after it checks at once.
  void Begin();
  void Pass();

  bool settled() const { return settled_; }
  const UploadTime& uploadTime() const { return uploadTime_; }

 private:
  void Check();

  DayContext context_;
  const Clock& clock_;
  UploadTime uploadTime_;
  UploadTimeRefresh refresh_;
  DayLogUploader upload_;
  bool settled_ = false;
};

}  // namespace lindra
