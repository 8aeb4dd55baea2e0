// Wardex: the server's watchdog. The server starts it hidden, with the server's full
// path as its only argument, and ends it as the first step of an orderly exit. So a
// server that Wardex sees ending has died: Wardex starts it again, waiting 1 s before
// the first restart and twice as long before each further one, up to 60 s; a server
// that has run for 60 s earns the short wait back.
//
// The server is started again the way it was started: the arguments, environment and
// working folder are read from /proc the moment Wardex finds it running, because only
// then can they still be read (a dead process shows none), and because the server
// Wardex finds may have been started by someone else than the one that started Wardex.
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process_list.h"
#include "platform/unique_fd.h"

extern char** environ;

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

std::optional<pid_t> FindServer(const fs::path& server) {
  return lindra::FindProcessRunning("/proc", server, ::getuid(), ::getpid());
}

// Blocks until `pid` has ended. The pidfd is readable once the process is gone and
// cannot be confused with a later process that reuses the number.
void WaitForEnd(pid_t pid) {
  lindra::UniqueFd pidfd = lindra::OpenProcessFd(pid);
  if (pidfd) {
    pollfd pfd{pidfd.get(), POLLIN, 0};
    while (::poll(&pfd, 1, -1) < 0 && errno == EINTR) {
    }
  } else {
    // Kernels without pidfd: look once a second. A server we started stays our zombie,
    // which kill() still reaches, until it is collected here.
    while (::waitpid(pid, nullptr, WNOHANG) != pid && (::kill(pid, 0) == 0 || errno == EPERM)) {
      std::this_thread::sleep_for(1s);
    }
  }
  // The server is our child when we started it: collect it.
  while (::waitpid(pid, nullptr, WNOHANG) < 0 && errno == EINTR) {
  }
}

std::vector<char*> NullTerminated(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Without a launch (the server was never seen running) it starts with its path alone,
// in Wardex's own environment and folder, which it inherited from the server.
void StartServer(const fs::path& server, std::optional<ProcessLaunch> launch) {
  std::vector<std::string> bare{server.string()};
  std::vector<char*> argv = NullTerminated(launch ? launch->arguments : bare);
  std::vector<char*> envp = launch ? NullTerminated(launch->environment) : std::vector<char*>();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // A folder that is gone fails the start rather than running the server on another
  // folder's lindra.ini; the next attempt follows after the back-off.
  if (launch) posix_spawn_file_actions_addchdir_np(&actions, launch->workDir.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, server.c_str(), &actions, &attr, argv.data(), launch ? envp.data() : environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) {
    std::printf("Wardex: started %s again as %d\n", server.c_str(), static_cast<int>(pid));
  } else {
    std::fprintf(stderr, "Wardex: could not start %s again: %s\n", server.c_str(), std::strerror(rc));
  }
  std::fflush(stdout);
}

bool AskedForHelp(int argc, char** argv) {
  return argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
}

// The server's full path from the only argument, or nothing when that is no program.
std::optional<fs::path> ServerPath(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') return std::nullopt;
  std::error_code ec;
  const fs::path server = fs::weakly_canonical(argv[1], ec);
  if (ec || !fs::is_regular_file(server, ec) || ::access(server.c_str(), X_OK) != 0) {
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

  std::optional<ProcessLaunch> launch;
  auto delay = std::chrono::duration_cast<std::chrono::seconds>(kFirstDelay);
  for (;;) {
    const auto watchedFrom = std::chrono::steady_clock::now();
    if (const auto pid = FindServer(*server)) {
      if (auto seen = lindra::ReadProcessLaunch("/proc/" + std::to_string(*pid))) launch = std::move(seen);
      std::printf("Wardex: watching %s (%d)\n", server->c_str(), *pid);
      std::fflush(stdout);
      WaitForEnd(*pid);
    }
    if (std::chrono::steady_clock::now() - watchedFrom >= kStableRun) delay = kFirstDelay;
    std::this_thread::sleep_for(delay);
    StartServer(*server, launch);
    delay = std::min<std::chrono::seconds>(delay * 2, kLongestDelay);
  }
}
