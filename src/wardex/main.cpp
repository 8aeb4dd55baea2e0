// Wardex: the server's watchdog. The server starts it hidden, with the server's full
// path as its only argument, and ends it as the first step of an orderly exit. So a
// server that Wardex sees ending has died: Wardex starts it again, waiting 1 s before
// the first restart and twice as long before each further one, up to 60 s; a server
// that has run for 60 s earns the short wait back.
//
// Wardex watches one process, pinned by a descriptor, so that the server knows at exit
// which watchdog is its own: the server that started it (it hands over a descriptor
// pinning itself, WARDEX_SERVER_FD), then each server it started again. Started by
// hand, it watches the first process that runs the server's program.
//
// The server is started again the way it was started: the arguments, environment and
// working folder are read from /proc the moment Wardex watches it, because only then
// can they still be read (a dead process shows none), and because the server may
// have been started by someone else than the one that started Wardex.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/process_end.h"
#include "platform/process_list.h"
#include "platform/spawn.h"
#include "platform/unique_fd.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using lindra::ProcessLaunch;

constexpr auto kFirstDelay = 1s;
constexpr auto kLongestDelay = 60s;
constexpr auto kStableRun = 60s;

constexpr const char* kUsage =
    "usage: Wardex SERVER_PATH\n"
    "\n"
    "Watches the server program SERVER_PATH (its full path) and, when it ends without an\n"
    "orderly exit, starts it again with the arguments, environment and working folder it\n"
    "ran with. lindra2 starts Wardex by itself and ends it when it exits.\n";

// The server Wardex watches, and the descriptor that pins it (none on kernels before
// 5.3, where the wait looks now and then).
struct WatchedServer {
  lindra::UniqueFd handle;
  int pid = -1;
};

bool Runs(int pid, const fs::path& server) {
  return lindra::ProcessExecutable(fs::path("/proc") / std::to_string(pid)) == server;
}

// The descriptor the starting server handed over, owned from now on; nothing when
// Wardex was started by hand. The variable goes, so that a server started again
// does not inherit it.
std::optional<lindra::UniqueFd> TakeHandedOverServer() {
  const char* text = std::getenv(lindra::kWatchedServerFdVariable);
  const std::optional<int> fd = text ? lindra::ProcNumber(text) : std::nullopt;
  ::unsetenv(lindra::kWatchedServerFdVariable);
  // Anything else under that number is not ours to take.
  if (!fd || !lindra::PinnedProcess("/proc/self", *fd)) return std::nullopt;
  ::fcntl(*fd, F_SETFD, FD_CLOEXEC);
  return lindra::UniqueFd(*fd);
}

// The server behind the handed-over descriptor; nothing when it has ended already
// (it is then started again, like any server that died).
std::optional<WatchedServer> HandedOverServer(lindra::UniqueFd handle, const fs::path& server) {
  const std::optional<int> pid = lindra::PinnedProcess("/proc/self", handle.get());
  if (!pid || *pid <= 0 || !Runs(*pid, server) || lindra::ProcessEnded(handle)) return std::nullopt;
  return WatchedServer{std::move(handle), *pid};
}

std::optional<WatchedServer> RunningServer(const fs::path& server) {
  const auto pid = lindra::FindProcessRunning("/proc", server, lindra::OwnUserId(), lindra::OwnProcessId());
  if (!pid) return std::nullopt;
  // Pinned before the check: the process checked is the one watched.
  lindra::UniqueFd handle = lindra::OpenProcessFd(*pid);
  if (!Runs(*pid, server) || lindra::ProcessEnded(handle)) return std::nullopt;
  return WatchedServer{std::move(handle), *pid};
}

// Without a launch (the server was never seen running) it starts with its path alone,
// in Wardex's own environment and folder, which it inherited from the server. The
// server started is our child: its number stays its own until we collect it.
std::optional<WatchedServer> StartServer(const fs::path& server, const std::optional<ProcessLaunch>& launch) {
  lindra::SpawnRequest request{.program = server, .arguments = {server.string()}};
  if (launch) {
    request.arguments = launch->arguments;
    request.environment = launch->environment;
    // A folder that is gone fails the start rather than running the server on another
    // folder's lindra.ini; the next attempt follows after the back-off.
    request.workDir = launch->workDir;
  }
  request.session = lindra::SpawnRequest::Session::New;
  const pid_t pid = lindra::SpawnProcess(request);
  if (pid <= 0) {
    std::fprintf(stderr, "Wardex: could not start %s again: %s\n", server.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  std::printf("Wardex: started %s again as %d\n", server.c_str(), static_cast<int>(pid));
  std::fflush(stdout);
  return WatchedServer{lindra::OpenProcessFd(pid), pid};
}

bool AskedForHelp(int argc, char** argv) {
  return argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
}

// The server's full path from the only argument, or nothing when that is no program.
std::optional<fs::path> ServerPath(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') return std::nullopt;
  std::error_code ec;
  const fs::path server = fs::weakly_canonical(argv[1], ec);
  if (ec || !lindra::IsExecutableFile(server)) {
    std::fprintf(stderr, "Wardex: %s is no program to watch\n", argv[1]);
    return std::nullopt;
  }
  return server;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Wardex %s\n", LINDRA_VERSION);
    return 0;
  }
  if (AskedForHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::optional<fs::path> server = ServerPath(argc, argv);
  if (!server) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  std::optional<WatchedServer> watched;
  if (auto handle = TakeHandedOverServer()) {
    watched = HandedOverServer(std::move(*handle), *server);
  } else {
    watched = RunningServer(*server);
  }
  std::optional<ProcessLaunch> launch;
  auto delay = std::chrono::duration_cast<std::chrono::seconds>(kFirstDelay);
  for (;;) {
    const auto watchedFrom = std::chrono::steady_clock::now();
    if (watched) {
      // Read while it runs: a launch read after its end could be another process's.
      auto seen = lindra::ReadProcessLaunch(watched->pid);
      if (seen && !lindra::ProcessEnded(watched->handle)) launch = std::move(seen);
      std::printf("Wardex: watching %s (%d)\n", server->c_str(), watched->pid);
      std::fflush(stdout);
      lindra::WaitForProcessEnd(watched->handle, watched->pid);
    }
    if (std::chrono::steady_clock::now() - watchedFrom >= kStableRun) delay = kFirstDelay;
    std::this_thread::sleep_for(delay);
    watched = StartServer(*server, launch);
    delay = std::min<std::chrono::seconds>(delay * 2, kLongestDelay);
  }
}
