// lindra2d: the headless front end. It runs the same controller as the window and
// writes the message log to standard output; SIGTERM and SIGINT stop it in order,
// SIGHUP reads the routing tables again. Under a service manager it reports its
// state through the notification socket and feeds the watchdog.
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include "app/config_check.h"
#include "app/instance_claim.h"
#include "app/server_controller.h"
#include "app/server_options.h"
#include "demo/demo.h"
#include "model/device_model.h"
#include "platform/sd_notify.h"
#include "platform/single_instance.h"
#include "platform/watchdog_pinger.h"
#include "service_status.h"
#include "stdout_view.h"
#include "text/codec.h"
#include "web/web_server.h"

namespace {

using namespace lindra;

// A server that could not load would idle without logging or serving: it ends, so
// that a service manager sees the failure.
constexpr int kExitConfigurationUnusable = 4;  // lindra.ini or its folder
constexpr int kExitLogFolderUnusable = 5;
constexpr int kExitConfigurationErrors = 1;  // --check-config found errors

int ListModels() {
  for (const DeviceModel& model : DeviceModels()) {
    const char* link = model.link == LinkKind::Serial ? "serial" : model.link == LinkKind::Lan ? "LAN" : "CTI";
    std::printf("%3u  %-6s  %.*s\n", model.code, link, static_cast<int>(model.displayName.size()),
                model.displayName.data());
  }
  return 0;
}

int CheckConfig(const std::filesystem::path& workDir) {
  int errors = 0, warnings = 0;
  for (const ConfigFinding& finding : CheckConfiguration(workDir)) {
    std::puts(FindingText(finding).c_str());
    ++(finding.error ? errors : warnings);
  }
  std::printf("%d error%s, %d warning%s\n", errors, errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
  return errors > 0 ? kExitConfigurationErrors : 0;
}

int ExitStatusOf(ServerController::LoadProblem problem) {
  return problem == ServerController::LoadProblem::LogFolder ? kExitLogFolderUnusable : kExitConfigurationUnusable;
}

// The watchdog is fed from a timer of the front end's loop, which also runs the
// automatic connect and the reloads; the pinger vouches for the link strands too.
void FeedWatchdog(asio::steady_timer& timer, WatchdogPinger& pinger) {
  pinger.Tick();
  timer.expires_after(pinger.interval());
  timer.async_wait([&timer, &pinger](const std::error_code& ec) {
    if (!ec) FeedWatchdog(timer, pinger);
  });
}

}  // namespace

int main(int argc, char** argv) {
  // A file size limit (ulimit -f) then fails a log write (EFBIG), which the logs
  // report, instead of ending the server.
  std::signal(SIGXFSZ, SIG_IGN);
  std::string error, help;
  bool checkConfig = false, listModels = false, journal = false;
  auto options = ParseServerOptions(
      argc, argv, "lindra2d", error, help,
      {{"--check-config", "check lindra.ini and the routing tables in the work folder, print every problem, and end",
        &checkConfig},
       {"--list-models", "print the device model codes for DEV_NAME and end", &listModels},
       {"--journal", "print each line with its syslog priority (default: when standard output is the journal)",
        &journal}});
  if (!options) {
    if (!help.empty()) {
      std::fputs(help.c_str(), stdout);
      return 0;
    }
    std::fprintf(stderr, "lindra2d: %s\n", error.c_str());
    return 2;
  }
  if (!ApplyCodePage(*options, error)) {
    std::fprintf(stderr, "lindra2d: %s\n", error.c_str());
    return 2;
  }
  if (listModels) return ListModels();
  if (checkConfig) return CheckConfig(options->workDir);

  const ServiceNotifier notifier = ServiceNotifier::FromEnvironment();
  SingleInstance instance(options->lockDir);
  switch (ClaimInstance(*options, instance, error)) {
    case InstanceClaim::Held:
      break;
    case InstanceClaim::AlreadyRunning:
      std::puts(kAlreadyRunningText);
      return kExitAlreadyRunning;
    case InstanceClaim::Unusable:
      std::puts(error.c_str());  // where the window would show it in a message box
      return kExitNoPrivatePlace;
  }

  std::optional<DemoPeers> demo;
  if (!StartDemoIfAsked(*options, demo, error)) {
    std::fprintf(stderr, "lindra2d: demo: %s\n", error.c_str());
    return 1;
  }

  asio::io_context io;
  StdoutView view(io, {.printCallRows = options->demo, .journal = journal || WritesToJournal(STDOUT_FILENO)});
  ServerController controller(*options, view);
  ServiceStatus status(notifier, controller);
  view.onSlotStateChanged = [&status] { status.SlotsChanged(); };
  view.onAutoConnectDone = [&status] { status.Ready(); };

  std::unique_ptr<web::WebServer> console;
  asio::signal_set stopSignals(io, SIGINT, SIGTERM);
  stopSignals.async_wait([&](const std::error_code&, int) {
    status.Stopping();
    if (console) console->Stop();
    controller.StopServer();
    // After the lines the stop itself has queued.
    asio::post(io, [&io] { io.stop(); });
  });
  asio::signal_set reloadSignal(io, SIGHUP);
  std::function<void()> awaitReload = [&] {
    reloadSignal.async_wait([&](const std::error_code& ec, int) {
      if (ec) return;
      status.Reloading();
      controller.ReloadRoutingTables();
      status.Ready();
      awaitReload();
    });
  };
  awaitReload();

  std::optional<WatchdogPinger> pinger;
  asio::steady_timer watchdogTimer(io);
  if (const auto period = WatchdogPeriodFromEnvironment()) {
    pinger.emplace(notifier, *period, controller.LinkStrands());
    FeedWatchdog(watchdogTimer, *pinger);
  }

  const ServerController::Started started = controller.Start();
  if (started.problem != ServerController::LoadProblem::None) {
    controller.StopServer();
    io.poll();  // the lines already queued, the reason among them
    return ExitStatusOf(started.problem);
  }
  if (options->http)
    console =
        web::StartConsole(*options, controller, [&io](std::function<void()> work) { asio::post(io, std::move(work)); });
  if (!started.autoConnectScheduled) status.Ready();
  io.run();
  return 0;
}
