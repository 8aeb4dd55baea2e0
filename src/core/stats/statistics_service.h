#pragma once
// The statistics of one run of the server: the start report (head identifier,
// StartedLog upload, branch-list check) and, for a listed branch, the daily
// statistics scheduler. Everything runs on one worker thread of its own, so a slow
// or absent statistics server never delays the window or the automatic connect.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace lindra {

struct StatsSettings {
  std::string statHost;  // --stat-server HOST[:PORT]
  int statPort = 80;
  std::string configHost;  // --config-server HOST[:PORT]
  int configPort = 80;
  std::filesystem::path logDir;    // telephone logs, DaySummary, StartedLog
  std::filesystem::path stateDir;  // lindra2Update.log, private to the server
  // Time between two scheduler passes on the clock's steady time; tests shorten it.
  std::chrono::milliseconds passInterval{3000};
};

class DailyStatistics;

// Called by the controller's thread (StartReport, Stop, headId) and run by its own
// worker thread; mutex_ guards the state shared between the two.
class StatisticsService {
 public:
  StatisticsService(StatsSettings settings, const Clock& clock);
  ~StatisticsService();  // Stop()
  StatisticsService(const StatisticsService&) = delete;
  StatisticsService& operator=(const StatisticsService&) = delete;

  // Starts the start report with slot 1's DID numbers in table order, and returns at
  // once. Only the first call of a run does anything.
  void StartReport(std::vector<std::string> slot1DidNumbers);

  // Ends the worker: a scheduler wait ends at once, an HTTP exchange in progress is
  // abandoned within about a second. Idempotent.
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
  void RunScheduler(DailyStatistics& statistics);

  const StatsSettings settings_;
  const Clock& clock_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  bool reportDone_ = false;
  bool schedulerStarted_ = false;
  std::string headId_;
  std::atomic<bool> cancel_{false};  // set by Stop(), read by the worker's HTTP exchanges
  std::thread worker_;
};

}  // namespace lindra
