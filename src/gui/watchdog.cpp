#include "watchdog.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/process_list.h"

namespace lindra::gui {

namespace {

bool IsExecutable(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
}

std::filesystem::path FindWatchdogProgram(const std::filesystem::path& serverPath) {
  std::error_code ec;
  for (const auto& dir : {std::filesystem::current_path(ec), serverPath.parent_path()}) {
    if (!dir.empty() && IsExecutable(dir / kWatchdogName)) return dir / kWatchdogName;
  }
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    if (!dir.empty() && IsExecutable(std::filesystem::path(dir) / kWatchdogName)) {
      return std::filesystem::path(dir) / kWatchdogName;
    }
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return {};
}

// Starts `program serverPath` detached: its own session, no terminal, and not our
// child, so it outlives us without ever becoming our zombie.
void SpawnDetached(const std::filesystem::path& program, const std::filesystem::path& serverPath) {
  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are made.
  const std::string programText = program.string();
  const std::string argument = serverPath.string();
  char* const argv[] = {const_cast<char*>(kWatchdogName), const_cast<char*>(argument.c_str()), nullptr};
  const pid_t first = ::fork();
  if (first < 0) return;
  if (first == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execv(programText.c_str(), argv);
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void StartWatchdog(const std::filesystem::path& serverPath) {
  const auto processes = ListProcesses("/proc", ::getuid());
  if (!processes || CountProcessesNamed(*processes, kWatchdogName) != 0) return;
  const std::filesystem::path program = FindWatchdogProgram(serverPath);
  if (!program.empty()) SpawnDetached(program, serverPath);
}

void StopWatchdog() {
  const auto processes = ListProcesses("/proc", ::getuid());
  if (!processes) return;
  if (const auto watchdog = FindProcessNamed(*processes, kWatchdogName, static_cast<int>(::getpid()))) {
    TerminateProcess(watchdog->pid, std::chrono::milliseconds(1000));
  }
}

}  // namespace lindra::gui
