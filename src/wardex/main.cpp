// Wardex: the server's watchdog. The server starts it hidden, with the server's full
// path as its only argument, and ends it as the first step of an orderly exit. So a
// server that Wardex sees ending has died: Wardex starts it again, waiting 1 s before
// the first restart and twice as long before each further one, up to 60 s; a server
// that has run for 60 s earns the short wait back.
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/unique_fd.h"
#include "text/strings.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kFirstDelay = 1s;
constexpr auto kLongestDelay = 60s;
constexpr auto kStableRun = 60s;

// The executable a process runs, as the kernel names it; a program file replaced
// while running (a new build) still counts as the same program.
fs::path ExecutableOf(const fs::path& processDir) {
  std::error_code ec;
  std::string exe = fs::read_symlink(processDir / "exe", ec).string();
  constexpr std::string_view kDeleted = " (deleted)";
  if (exe.ends_with(kDeleted)) exe.resize(exe.size() - kDeleted.size());
  return exe;
}

std::optional<pid_t> FindServer(const fs::path& server) {
  std::error_code ec;
  const pid_t self = ::getpid();
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!lindra::text::AllDigits(name)) continue;
    const pid_t pid = lindra::text::LeadingInt32(name);
    if (pid != self && ExecutableOf(it->path()) == server) return pid;
  }
  return std::nullopt;
}

// Blocks until `pid` has ended. The pidfd is readable once the process is gone and
// cannot be confused with a later process that reuses the number.
void WaitForEnd(pid_t pid) {
  lindra::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
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

bool StartServer(const fs::path& server) {
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::string path = server.string();
  char* const argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, path.c_str(), nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  return rc == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view first = argc == 2 ? argv[1] : "";
  if (first == "--version") {
    std::printf("Wardex %s\n", LINDRA_VERSION);
    return 0;
  }
  if (argc != 2 || first.starts_with('-')) {
    const bool asked = first == "--help";
    std::fputs(
        "usage: Wardex SERVER_PATH\n"
        "Starts the server at SERVER_PATH again whenever it ends without an orderly exit.\n",
        asked ? stdout : stderr);
    return asked ? 0 : 2;
  }
  std::error_code ec;
  const fs::path server = fs::weakly_canonical(argv[1], ec);
  if (ec || server.empty()) return 2;

  auto delay = std::chrono::duration_cast<std::chrono::seconds>(kFirstDelay);
  for (;;) {
    const auto watchedFrom = std::chrono::steady_clock::now();
    if (const auto pid = FindServer(server)) WaitForEnd(*pid);
    if (std::chrono::steady_clock::now() - watchedFrom >= kStableRun) delay = kFirstDelay;
    std::this_thread::sleep_for(delay);
    StartServer(server);
    delay = std::min<std::chrono::seconds>(delay * 2, kLongestDelay);
  }
}
