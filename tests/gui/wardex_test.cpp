// The watchdog: started by the server only when none runs, it starts a server that
// died again, and the server's exit ends it.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTest>
#include <csignal>
#include <filesystem>

#include "gui_harness.h"
#include "platform/process_list.h"
#include "test_registry.h"
#include "watchdog.h"

extern char** environ;

namespace lindra::gui {

namespace {

namespace fs = std::filesystem;

int CountWatchdogs() {
  const auto processes = ListProcesses();
  return processes ? CountProcessesNamed(*processes, kWatchdogName) : -1;
}

// Processes running `program`, other than `except`.
std::vector<pid_t> Running(const fs::path& program, pid_t except) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    std::error_code linkError;
    if (fs::read_symlink(it->path() / "exe", linkError) == program && std::stoi(name) != except) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
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

    std::string program = server.string();
    char* const argv[] = {program.data(), nullptr};
    pid_t first = 0;
    QCOMPARE(::posix_spawn(&first, program.c_str(), nullptr, nullptr, argv, environ), 0);

    StartWatchdog(server);
    QVERIFY(WaitUntil([] { return CountWatchdogs() == 1; }, 5000));
    StartWatchdog(server);  // one runs: no second one
    QTest::qWait(200);
    QCOMPARE(CountWatchdogs(), 1);

    ::kill(first, SIGKILL);
    ::waitpid(first, nullptr, 0);
    // Restarted after the first back-off of 1 s.
    std::vector<pid_t> restarted;
    const bool came = WaitUntil(
        [&] {
          restarted = Running(server, first);
          return !restarted.empty();
        },
        10000);

    StopWatchdog();
    // The ended watchdog is not our child: it is gone once its new parent collects it.
    const bool ended = WaitUntil([] { return CountWatchdogs() == 0; }, 5000);
    for (pid_t pid : restarted) ::kill(pid, SIGKILL);
    qputenv("PATH", path);
    QVERIFY(came);
    QVERIFY(ended);
  }
};

}  // namespace lindra::gui

LINDRA_GUI_TEST(lindra::gui::WardexTest)
#include "wardex_test.moc"
