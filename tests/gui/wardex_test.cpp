// The watchdog: started by the server only when none runs, it starts a server that
// died again, and the server's exit ends it.
#include <QTest>
#include <csignal>
#include <filesystem>

#include "gui_harness.h"
#include "platform/child_process.h"
#include "platform/process_end.h"
#include "platform/process_list.h"
#include "test_registry.h"
#include "watchdog.h"

namespace lindra::gui {

namespace {

namespace fs = std::filesystem;

int CountWatchdogs() {
  const auto processes = ListProcesses();
  return processes ? CountProcessesNamed(*processes, kWatchdogName) : -1;
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

}  // namespace

class WardexTest : public QObject {
  Q_OBJECT
 private Q_SLOTS:
  void restartsADeadServerUntilTheServerEndsIt() {
    if (CountWatchdogs() != 0) QSKIP("a watchdog already runs on this machine");
    const fs::path server = fs::canonical(LINDRA_FAKE_SERVER);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QByteArray(LINDRA_WARDEX_DIR) + ":" + path);

    ChildProcess first;
    QVERIFY(first.Start(server.string(), {}));

    StartWatchdog(server);
    QVERIFY(WaitUntil([] { return CountWatchdogs() == 1; }, 5000));
    StartWatchdog(server);  // one runs: no second one
    QTest::qWait(200);
    QCOMPARE(CountWatchdogs(), 1);

    const int firstPid = first.pid();
    first.Signal(SIGKILL);
    first.Wait(std::chrono::milliseconds(5000));
    // Restarted after the first back-off of 1 s.
    std::optional<int> restarted;
    const bool came = WaitUntil(
        [&] {
          restarted = FindProcessRunning("/proc", server, OwnUserId(), firstPid);
          return restarted.has_value();
        },
        10000);

    StopWatchdog();
    // The ended watchdog is not our child: it is gone once its new parent collects it.
    const bool ended = WaitUntil([] { return CountWatchdogs() == 0; }, 5000);
    if (restarted) TerminateProcess(*restarted, std::chrono::milliseconds(5000));
    qputenv("PATH", path);
    QVERIFY(came);
    QVERIFY(ended);
  }
};

}  // namespace lindra::gui

LINDRA_GUI_TEST(lindra::gui::WardexTest)
#include "wardex_test.moc"
