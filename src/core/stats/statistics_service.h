#pragma once
// The statistics of one run of the server: the start report (head identifier,
// StartedLog upload, branch-list check) and, for a listed branch, the daily
// statistics scheduler. The exchanges with the servers block, so they run on one
// worker thread of its own, and a slow or absent statistics server never delays the
// window or the automatic connect. A timer of the event loop hands the worker a pass
// every kStatisticsPassInterval. What keeps the statistics from working is said once
// in the message log: no head identifier, a branch missing from the list, the first
// upload that fails, and the first that succeeds again.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/status_line.h"
#include "model/statistics_state.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace lindra {

struct StatsSettings {
  std::string statHost;  // --stat-server HOST[:PORT]
  int statPort = 80;
  std::string configHost;  // --config-server HOST[:PORT]
  int configPort = 80;
  std::filesystem::path logDir;    // telephone logs, DaySummary, StartedLog
  std::filesystem::path stateDir;  // lindra2Update.log, private to the server
};

inline constexpr std::chrono::milliseconds kStatisticsPassInterval{3000};

class DailyStatistics;
struct UploadOutcome;

// What the service says: message-log lines, and its state each time it changes.
// Called on the service's worker thread, and by StartReport on its caller's.
struct StatisticsReport {
  std::function<void(StatusLine line)> line;
  std::function<void(const StatisticsState& state)> state;
};

// Called by the controller's thread (StartReport, Stop, headId) and run by its own
// worker thread and, for the pass timer, a strand of the loop; mutex_ guards the
// state shared between them, the strand the timer.
class StatisticsService {
 public:
  // The loop must run until Stop has returned.
  StatisticsService(StatsSettings settings, const Clock& clock, EventLoop& loop, TimerMaker& timers,
                    StatisticsReport report = {});
  ~StatisticsService();  // Stop()
  StatisticsService(const StatisticsService&) = delete;
  StatisticsService& operator=(const StatisticsService&) = delete;

  // Starts the start report with slot 1's DID numbers in table order, and returns at
  // once. Only the first call of a run does anything.
  void StartReport(std::vector<std::string> slot1DidNumbers);

  // Ends the worker and the pass timer: a scheduler wait ends at once, an HTTP
  // exchange in progress is abandoned within about a second. Idempotent.
  void Stop();

  // The head identifier once the report has asked for it (empty before, or when slot 1
  // has no DID numbers).
  std::string headId() const;
  // Whether the branch list named this branch and the daily scheduler runs.
  bool schedulerStarted() const;
  // Waits until the start report (up to the branch-list check) has finished or the
  // service was stopped; false on time-out.
  bool WaitForReport(std::chrono::milliseconds timeout) const;

 private:
  void Run(std::vector<std::string> dids);
  void Report(StatusLine line) const;
  void ReportState() const;  // mutex_ not held
  void FollowUploads(const UploadOutcome& outcome);
  void RunScheduler(DailyStatistics& statistics);
  void ArmPass();

  const StatsSettings settings_;
  const Clock& clock_;
  const StatisticsReport report_;
  const Strand strand_;
  std::unique_ptr<Timer> passTimer_;  // on strand_
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  bool passDue_ = false;  // a pass is due and has not begun: due passes never pile up
  bool reportDone_ = false;
  bool schedulerStarted_ = false;
  std::string headId_;
  StatisticsState state_;            // worker only, after the start report
  std::atomic<bool> cancel_{false};  // set by Stop(), read by the worker's HTTP exchanges
  bool uploadFailing_ = false;       // worker only: the last upload was not acknowledged
  std::thread worker_;
};

}  // namespace lindra
