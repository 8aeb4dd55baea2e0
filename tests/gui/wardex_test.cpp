// The watchdog: started by the server only when none runs, it watches the server that
// started it and starts it again when it dies; the server's exit ends its own
// watchdog and never another server's.
#include <QTest>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <vector>

#include "gui_harness.h"
#include "platform/child_process.h"
#include "platform/process_end.h"
#include "platform/process_list.h"
#include "test_registry.h"
#include "watchdog.h"

namespace lindra::gui {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

int CountWatchdogs() {
  const auto processes = ListProcesses();
  return processes ? CountProcessesNamed(*processes, kWatchdogName) : -1;
}

std::vector<int> WatchedBy(int watchdogPid) { return PinnedProcesses("/proc/" + std::to_string(watchdogPid)); }

// The watchdog that watches `serverPid`, if one does.
std::optional<int> WatchdogOf(int serverPid) {
  const auto processes = ListProcesses("/proc", OwnUserId());
  for (const ProcessInfo& process : processes.value_or(std::vector<ProcessInfo>())) {
    const std::vector<int> watched = WatchedBy(process.pid);
    if (process.name == kWatchdogName && std::find(watched.begin(), watched.end(), serverPid) != watched.end()) {
      return process.pid;
    }
  }
  return std::nullopt;
}

template <typename Condition>
bool WaitUntil(Condition done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QTest::qWait(20);
  }
  return true;
}

// The processes that are not our children, ended when the test ends, however it ends:
// the watchdogs first, so that none starts a server again.
struct EndedAtTheEnd {
  UniqueFd ourWatchdog, theirWatchdog, restartedServer;
  QByteArray path = qgetenv("PATH");
  ~EndedAtTheEnd() {
    for (const UniqueFd* process : {&ourWatchdog, &theirWatchdog, &restartedServer}) {
      if (*process) TerminateProcess(*process, milliseconds(5000));
    }
    qputenv("PATH", path);
  }
};

}  // namespace

class WardexTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void watchesItsOwnServerAndOnlyThatServerEndsIt() {
    if (CountWatchdogs() != 0) QSKIP("a watchdog already runs on this machine");
    const fs::path server = fs::canonical(LINDRA_FAKE_SERVER);
    EndedAtTheEnd cleanup;
    qputenv("PATH", QByteArray(LINDRA_WARDEX_DIR) + ":" + cleanup.path);

    // Two servers of one program and one user. The other one runs first, where a
    // watchdog that looks for the program finds it first.
    ChildProcess other, first;
    QVERIFY(other.Start(server.string(), {}));
    QVERIFY(first.Start(server.string(), {}));

    StartWatchdog(server, first.pid());
    std::optional<int> ours;
    QVERIFY(WaitUntil([&] { return (ours = WatchdogOf(first.pid())).has_value(); }, 5000));
    cleanup.ourWatchdog = OpenProcessFd(*ours);
    QCOMPARE(WatchedBy(*ours), std::vector<int>{first.pid()});
    StartWatchdog(server, first.pid());  // one runs: no second one
    QTest::qWait(200);
    QCOMPARE(CountWatchdogs(), 1);

    // The other server's watchdog, beside ours.
    LaunchWatchdog(fs::path(LINDRA_WARDEX_DIR) / kWatchdogName, server, other.pid());
    std::optional<int> theirs;
    QVERIFY(WaitUntil([&] { return (theirs = WatchdogOf(other.pid())).has_value(); }, 5000));
    cleanup.theirWatchdog = OpenProcessFd(*theirs);
    const UniqueFd& oursHandle = cleanup.ourWatchdog;
    const UniqueFd& theirsHandle = cleanup.theirWatchdog;

    StopWatchdog(OwnProcessId());  // nothing watches this process: nothing is ended
    QVERIFY(!ProcessEnded(oursHandle) && !ProcessEnded(theirsHandle));

    const int firstPid = first.pid();
    first.Signal(SIGKILL);
    first.Wait(milliseconds(5000));
    // Restarted after the first back-off of 1 s, and watched from then on.
    std::optional<int> restarted;
    QVERIFY(WaitUntil(
        [&] {
          const std::vector<int> watched = WatchedBy(*ours);
          if (watched.size() == 1 && watched[0] != firstPid) restarted = watched[0];
          return restarted.has_value();
        },
        10000));
    cleanup.restartedServer = OpenProcessFd(*restarted);
    QVERIFY(!ProcessEnded(oursHandle));

    // The restarted server's exit ends the watchdog that started it, and only that.
    StopWatchdog(*restarted);
    QVERIFY(ProcessEnded(oursHandle));
    QVERIFY(!ProcessEnded(theirsHandle));
    QCOMPARE(WatchedBy(*theirs), std::vector<int>{other.pid()});

    StopWatchdog(other.pid());
    QVERIFY(ProcessEnded(theirsHandle));
  }
};

}  // namespace lindra::gui

LINDRA_GUI_TEST(lindra::gui::WardexTest)
#include "wardex_test.moc"
