// lindra2: the window front end. It runs the same controller as lindra2d and lives
// in the tray; see main_window.h.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QLibraryInfo>
#include <QLocale>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTranslator>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "app/instance_claim.h"
#include "app/server_controller.h"
#include "app/server_options.h"
#include "asker.h"
#include "demo/demo.h"
#include "gui_texts.h"
#include "main_window.h"
#include "platform/process_list.h"
#include "platform/single_instance.h"
#include "queued_view.h"
#include "watchdog.h"
#include "web/web_server.h"

namespace {

using namespace lindra;

// Options of the window alone, taken out before the shared ones are parsed:
// --screenshot PATH saves the window to a PNG file after --screenshot-delay MS
// (8000 by default) and ends the program; --screenshot-slot N selects slot N first.
// --autostart marks the start by the login's autostart entry.
struct WindowOptions {
  std::optional<QString> screenshot;
  std::chrono::milliseconds screenshotDelay{8000};
  int screenshotSlot = 0;  // 0: the slot the window shows
  bool autostart = false;
};

WindowOptions TakeWindowOptions(int& argc, char** argv) {
  WindowOptions options;
  std::vector<char*> kept{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
      options.screenshot = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(argv[i], "--screenshot-delay") == 0 && i + 1 < argc) {
      options.screenshotDelay = std::chrono::milliseconds(std::max(0, std::atoi(argv[++i])));
    } else if (std::strcmp(argv[i], "--autostart") == 0) {
      options.autostart = true;
    } else if (std::strcmp(argv[i], "--screenshot-slot") == 0 && i + 1 < argc) {
      options.screenshotSlot = std::clamp(std::atoi(argv[++i]), 0, kSlotCount);
    } else {
      kept.push_back(argv[i]);
    }
  }
  argc = static_cast<int>(kept.size());
  std::copy(kept.begin(), kept.end(), argv);
  argv[argc] = nullptr;
  return options;
}

void ScheduleScreenshot(gui::MainWindow& window, ServerController& controller, const WindowOptions& options) {
  QTimer::singleShot(options.screenshotDelay, &window, [&window, &controller, options] {
    const QString path = *options.screenshot;
    if (options.screenshotSlot > 0) {
      window.form().deviceList().setCurrentIndex(options.screenshotSlot - 1);
      window.form().SelectDevice();
    }
    window.show();
    const bool saved = window.grab().save(path, "PNG");
    std::fprintf(saved ? stdout : stderr, "lindra2: screenshot %s %s\n", saved ? "saved to" : "could not be saved to",
                 path.toLocal8Bit().constData());
    controller.StopServer();
    QCoreApplication::exit(saved ? 0 : 1);
  });
}

// The help and the version need no display: they are answered before the window
// system is touched.
bool AskedForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

bool AskedForVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--version") == 0) return true;
  return false;
}

int PrintHelp(int argc, char** argv) {
  std::string error, help;
  ParseServerOptions(argc, argv, "lindra2", error, help);
  std::fputs(help.c_str(), stdout);
  std::fputs(
      "  --screenshot PATH         save the window to a PNG file and end (after the delay)\n"
      "  --screenshot-delay MS     wait before the screenshot (default 8000)\n"
      "  --screenshot-slot N       show slot N (1 to 4) in the screenshot\n"
      "  --autostart               start only when no Lindra2 server runs on this machine (the login entry)\n",
      stdout);
  return 0;
}

// The autostart entry is installed for every user, and a centre runs one server: the
// service, when it is enabled, or the window of whoever logged in first. Any other
// login starts nothing; the devices would otherwise be fought over (the instance lock
// is per user).
std::optional<int> RunningServer() {
  const auto processes = ListProcesses();
  if (!processes) return std::nullopt;
  for (const ProcessInfo& process : *processes)
    if (process.pid != ::getpid() && (process.name == "lindra2d" || process.name == "lindra2")) return process.pid;
  return std::nullopt;
}

// SIGTERM and SIGINT (a logout, systemctl, Ctrl-C) end the server in order, as
// "종료" does without the question: the handler only writes a byte, the GUI thread does
// the rest when it reads it.
int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void StopOnTerminationSignals(ServerController& controller, const gui::WindowHooks& hooks) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [&controller, hooks] {
    controller.StopServer();
    if (hooks.stopWatchdog) hooks.stopWatchdog();
    QCoreApplication::exit(0);
  });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // A file size limit (ulimit -f) then fails a log write (EFBIG), which the logs
  // report, instead of ending the server.
  std::signal(SIGXFSZ, SIG_IGN);
  if (AskedForHelp(argc, argv)) return PrintHelp(argc, argv);
  if (AskedForVersion(argc, argv)) {
    std::fputs(VersionText("lindra2").c_str(), stdout);
    return 0;
  }
  QApplication app(argc, argv);  // takes Qt's own options (-platform ...) out of argv
  QApplication::setQuitOnLastWindowClosed(false);
  // Qt's own texts (the edit fields' menus) read Korean like the rest of the window.
  QTranslator qtTexts;
  if (qtTexts.load(QLocale(QLocale::Korean), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QApplication::installTranslator(&qtTexts);
  }
  const WindowOptions windowOptions = TakeWindowOptions(argc, argv);
  if (windowOptions.autostart) {
    if (const auto pid = RunningServer()) {
      std::printf("lindra2: a Lindra2 server runs already on this machine (process %d); this login starts none\n",
                  *pid);
      return 0;
    }
  }

  std::string error, help;
  auto options = ParseServerOptions(argc, argv, "lindra2", error, help);
  if (!options) {
    std::fprintf(stderr, "lindra2: %s\n", error.c_str());
    return 2;
  }
  if (!ApplyCodePage(*options, error)) {
    std::fprintf(stderr, "lindra2: %s\n", error.c_str());
    return 2;
  }

  gui::MessageBoxAsker asker;
  SingleInstance instance(options->lockDir);
  switch (ClaimInstance(*options, instance, error)) {
    case InstanceClaim::Held:
      break;
    case InstanceClaim::AlreadyRunning:
      asker.Inform(nullptr, QString::fromUtf8(kAlreadyRunningText));
      return kExitAlreadyRunning;
    case InstanceClaim::Unusable:
      std::fprintf(stderr, "lindra2: %s\n", error.c_str());
      asker.Inform(nullptr, QString::fromStdString(error));
      return kExitNoPrivatePlace;
  }

  std::optional<DemoPeers> demo;
  if (!StartDemoIfAsked(*options, demo, error)) {
    std::fprintf(stderr, "lindra2: demo: %s\n", error.c_str());
    return 1;
  }

  gui::QueuedView view;
  ServerController controller(*options, view);
  // A demo or a screenshot run leaves no watchdog behind to start it again.
  gui::WindowHooks hooks;
  if (!options->demo && !windowOptions.screenshot) {
    const std::filesystem::path self = OwnExecutable();
    hooks.startWatchdog = [self] { gui::StartWatchdog(self); };
    hooks.stopWatchdog = [] { gui::StopWatchdog(); };
  }
  hooks.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };

  gui::MainWindow window(controller, asker, &QSystemTrayIcon::isSystemTrayAvailable,
                         QUrl(QString::fromStdString(options->remoteSupportUrl)), hooks);
  view.Attach(&window.form(), &window.form());
  QObject::connect(&window, &gui::MainWindow::exited, &app, &QCoreApplication::quit);
  StopOnTerminationSignals(controller, hooks);
  window.Start();
  // The console's edits run here, on the window's thread, like the window's own.
  std::unique_ptr<web::WebServer> console;
  if (options->http)
    console = web::StartConsole(*options, controller, [&app](std::function<void()> work) {
      QMetaObject::invokeMethod(&app, std::move(work), Qt::QueuedConnection);
    });
  if (windowOptions.screenshot) ScheduleScreenshot(window, controller, windowOptions);

  const int rc = app.exec();
  console.reset();
  view.Detach();
  return rc;
}
