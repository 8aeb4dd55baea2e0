// lindra2d: the headless front end. It runs the same controller as the window and
// writes the message log to standard output; SIGTERM and SIGINT stop it in order.
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <cstdio>
#include <optional>

#include "app/instance_claim.h"
#include "app/server_controller.h"
#include "app/server_options.h"
#include "demo/demo.h"
#include "platform/single_instance.h"
#include "stdout_view.h"
#include "text/codec.h"

int main(int argc, char** argv) {
  using namespace lindra;
  std::string error, help;
  auto options = ParseServerOptions(argc, argv, "lindra2d", error, help);
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
  if (options->demo) {
    demo.emplace();
    if (!demo->Start(*options, error)) {
      std::fprintf(stderr, "lindra2d: demo: %s\n", error.c_str());
      return 1;
    }
  }

  asio::io_context io;
  StdoutView view(io, options->demo);
  ServerController controller(*options, view);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code&, int) {
    controller.StopServer();
    // After the lines the stop itself has queued.
    asio::post(io, [&io] { io.stop(); });
  });

  controller.PurgeOldLogs();
  controller.LoadServer();
  controller.StartDecision();
  io.run();
  return 0;
}
