#include "stats/statistics_service.h"

#include <asio/post.hpp>

#include "stats/config_documents.h"
#include "stats/daily_statistics.h"
#include "stats/start_report.h"
#include "stats/stat_server_client.h"
#include "text/strings.h"

namespace lindra {
namespace {

constexpr const char* kNoDidsText = "[WARN] 통계 중지 : DEV01 대표전화 없음, 지점 ID를 묻지 못함";
constexpr const char* kNoHeadIdText = "[WARN] 통계 중지 : 대표전화 %zu개 모두 지점 ID 없음";
constexpr const char* kNotListedText = "[WARN] 통계 중지 : 지점 목록에 %s 없음";
constexpr const char* kRefusedText = "[ERR] 통계 업로드 실패 : 응답 \"%s\"";
constexpr const char* kFailedText = "[ERR] 통계 업로드 실패 : %s";
constexpr const char* kUnreadableText = "[ERR] 통계 업로드 실패 : 파일 읽기 실패";
constexpr const char* kRecoveredText = "[WARN] 통계 업로드 복구";

// Enough of a server's reply to tell one error page from another.
constexpr size_t kShownReplyChars = 80;

// A text from a peer as one short line of the message log.
std::string Shown(std::string text) {
  std::erase_if(text, text::IsControl);
  return text::CutChars(text, kShownReplyChars);
}

}  // namespace

StatisticsService::StatisticsService(StatsSettings settings, const Clock& clock, EventLoop& loop, TimerMaker& timers,
                                     StatisticsReport report)
    : settings_(std::move(settings)),
      clock_(clock),
      report_(std::move(report)),
      strand_(loop.MakeStrand()),
      passTimer_(timers.Create(strand_)) {}

StatisticsService::~StatisticsService() { Stop(); }

void StatisticsService::StartReport(std::vector<std::string> slot1DidNumbers) {
  const bool noDids = slot1DidNumbers.empty();
  {
    std::lock_guard lock(mutex_);
    if (worker_.joinable() || stopping_) return;
    worker_ = std::thread([this, dids = std::move(slot1DidNumbers)]() mutable { Run(std::move(dids)); });
  }
  // Known at once: said among the lines of the start, not at some moment after them.
  if (noDids) Report(StatusLine::Warning(kNoDidsText));
}

void StatisticsService::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cancel_ = true;
  changed_.notify_all();
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
  // After the worker: the arming it may have posted runs first, and never after this.
  RunOn(strand_, [this] { passTimer_.reset(); });
}

std::string StatisticsService::headId() const {
  std::lock_guard lock(mutex_);
  return headId_;
}

bool StatisticsService::schedulerStarted() const {
  std::lock_guard lock(mutex_);
  return schedulerStarted_;
}

bool StatisticsService::WaitForReport(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return reportDone_ || stopping_; });
}

void StatisticsService::Run(std::vector<std::string> dids) {
  const StatServerClient statServer({settings_.statHost, settings_.statPort}, &cancel_);
  const Endpoint configServer{settings_.configHost, settings_.configPort};
  const DayLogUploader upload = [&statServer, this](const std::string& headId, const std::string& workDay, int total,
                                                    int used, const std::filesystem::path& file) {
    UploadOutcome outcome = statServer.UploadDayLog(headId, workDay, total, used, file);
    FollowUploads(outcome);
    return std::move(outcome.result);
  };

  const std::string headId =
      FindHeadId(dids, [&statServer](const std::string& did) { return statServer.QueryHeadId(did); });
  BranchCheck branch;
  UploadTime uploadTime;
  if (IsHeadId(headId)) {
    ReportStart(settings_.logDir, headId, clock_, upload);
    branch = CheckBranchList(configServer, headId, uploadTime, &cancel_);
    std::string shownId = headId;
    if (shownId.ends_with('\n')) shownId.pop_back();
    if (branch.notListed) Report(StatusLine::Warning(text::Format(kNotListedText, shownId.c_str())));
  } else if (!dids.empty()) {
    Report(StatusLine::Warning(text::Format(kNoHeadIdText, dids.size())));
  }
  {
    std::lock_guard lock(mutex_);
    headId_ = headId;
    reportDone_ = true;
    schedulerStarted_ = branch.startScheduler && !stopping_;
  }
  changed_.notify_all();
  state_.headId = headId;
  ReportState();
  if (!schedulerStarted()) return;

  DailyStatistics statistics(
      {settings_.logDir, settings_.stateDir, headId, branch.did2}, clock_, uploadTime,
      [&configServer, this](UploadTime& time) { return RefreshUploadTime(configServer, time, &cancel_); }, upload);
  RunScheduler(statistics);
}

// Lines that come of a stop (an abandoned exchange) are not said: nothing failed.
void StatisticsService::Report(StatusLine line) const {
  if (report_.line && !cancel_) report_.line(std::move(line));
}

void StatisticsService::ReportState() const {
  if (report_.state && !cancel_) report_.state(state_);
}

// Every upload that is not acknowledged is tried again (the day summary at each pass),
// so only a change is said: the first failure, and the first success after it. The
// state tells of every upload, for the counts a monitoring system follows.
void StatisticsService::FollowUploads(const UploadOutcome& outcome) {
  const bool failed = outcome.result != kUploadComplete;
  if (!failed) state_.lastUpload = clock_.Now();
  ++(failed ? state_.failedUploads : state_.uploads);
  if (failed == uploadFailing_) {
    ReportState();
    return;
  }
  uploadFailing_ = failed;
  StatusLine line = !failed ? StatusLine::Warning(kRecoveredText)
                    : outcome.result == kUploadFail
                        ? StatusLine::Error(text::Format(kRefusedText, Shown(outcome.replyLine).c_str()))
                    : !outcome.transportError.empty()
                        ? StatusLine::Error(text::Format(kFailedText, Shown(outcome.transportError).c_str()))
                        : StatusLine::Error(kUnreadableText);
  state_.lastFailure = failed ? line.text : std::string();
  Report(std::move(line));
  ReportState();
}

// One pass each time the timer has handed one over; the wait in between ends at once
// when Stop() is called.
void StatisticsService::RunScheduler(DailyStatistics& statistics) {
  statistics.Begin();
  asio::post(strand_, [this] { ArmPass(); });
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return passDue_ || stopping_; });
    if (stopping_) return;
    passDue_ = false;
    lock.unlock();
    statistics.Pass();
    lock.lock();
  }
}

// A pass falls due every interval. One that falls due while the last one still waits
// for a server begins when it is over; more than one never wait.
void StatisticsService::ArmPass() {
  if (!passTimer_) return;  // stopped
  passTimer_->Start(kStatisticsPassInterval, [this] {
    {
      std::lock_guard lock(mutex_);
      passDue_ = true;
    }
    changed_.notify_all();
    ArmPass();
  });
}

}  // namespace lindra
