#include "stats/statistics_service.h"

#include <asio/post.hpp>

#include "stats/config_documents.h"
#include "stats/daily_statistics.h"
#include "stats/start_report.h"
#include "stats/stat_server_client.h"

namespace lindra {

StatisticsService::StatisticsService(StatsSettings settings, const Clock& clock, EventLoop& loop, TimerMaker& timers)
    : settings_(std::move(settings)), clock_(clock), strand_(loop.MakeStrand()), passTimer_(timers.Create(strand_)) {}

StatisticsService::~StatisticsService() { Stop(); }

void StatisticsService::StartReport(std::vector<std::string> slot1DidNumbers) {
  std::lock_guard lock(mutex_);
  if (worker_.joinable() || stopping_) return;
  worker_ = std::thread([this, dids = std::move(slot1DidNumbers)]() mutable { Run(std::move(dids)); });
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
  const DayLogUploader upload = [&statServer](const std::string& headId, const std::string& workDay, int total,
                                              int used, const std::filesystem::path& file) {
    return statServer.UploadDayLog(headId, workDay, total, used, file);
  };

  const std::string headId =
      FindHeadId(dids, [&statServer](const std::string& did) { return statServer.QueryHeadId(did); });
  BranchCheck branch;
  UploadTime uploadTime;
  if (IsHeadId(headId)) {
    ReportStart(settings_.logDir, headId, clock_, upload);
    branch = CheckBranchList(configServer, headId, uploadTime, &cancel_);
  }
  {
    std::lock_guard lock(mutex_);
    headId_ = headId;
    reportDone_ = true;
    schedulerStarted_ = branch.startScheduler && !stopping_;
  }
  changed_.notify_all();
  if (!schedulerStarted()) return;

  DailyStatistics statistics(
      {settings_.logDir, settings_.stateDir, headId, branch.did2}, clock_, uploadTime,
      [&configServer, this](UploadTime& time) { return RefreshUploadTime(configServer, time, &cancel_); }, upload);
  RunScheduler(statistics);
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
