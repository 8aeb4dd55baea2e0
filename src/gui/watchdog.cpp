#include "watchdog.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/process_end.h"
#include "platform/process_list.h"
#include "platform/spawn.h"

namespace lindra::gui {

namespace {

std::filesystem::path FindWatchdogProgram(const std::filesystem::path& serverPath) {
  std::error_code ec;
  for (const auto& dir : {std::filesystem::current_path(ec), serverPath.parent_path()}) {
    if (!dir.empty() && IsExecutableFile(dir / kWatchdogName)) return dir / kWatchdogName;
  }
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    if (!dir.empty() && IsExecutableFile(std::filesystem::path(dir) / kWatchdogName)) {
      return std::filesystem::path(dir) / kWatchdogName;
    }
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return {};
}

}  // namespace

// Started detached, in a session of its own without a terminal: it outlives us
// without ever becoming our zombie.
void LaunchWatchdog(const std::filesystem::path& program, const std::filesystem::path& serverPath, int serverPid) {
  SpawnRequest request{.program = program, .arguments = {kWatchdogName, serverPath.string()}};
  request.session = SpawnRequest::Session::New;
  request.silent = true;
  request.detached = true;
  const UniqueFd pinned = OpenProcessFd(serverPid);
  // Above the standard descriptors, which the silent start replaces.
  const UniqueFd server(pinned ? ::fcntl(pinned.get(), F_DUPFD_CLOEXEC, 3) : -1);
  if (server) {
    request.keptDescriptor = server.get();
    request.environment = EnvironmentWith({std::string(kWatchedServerFdVariable) + "=" + std::to_string(server.get())});
  }
  SpawnProcess(request);
}

void StartWatchdog(const std::filesystem::path& serverPath, int serverPid) {
  const auto processes = ListProcesses("/proc", OwnUserId());
  if (!processes || CountProcessesNamed(*processes, kWatchdogName) != 0) return;
  const std::filesystem::path program = FindWatchdogProgram(serverPath);
  if (!program.empty()) LaunchWatchdog(program, serverPath, serverPid);
}

void StopWatchdog(int serverPid) {
  const auto processes = ListProcesses("/proc", OwnUserId());
  if (!processes) return;
  for (const ProcessInfo& process : *processes) {
    if (process.name != kWatchdogName || process.pid == OwnProcessId()) continue;
    // The handle first: what the check then reads belongs to the process that is
    // ended, never to one that took over its number.
    const UniqueFd watchdog = OpenProcessFd(process.pid);
    if (!watchdog) continue;
    const std::vector<int> watched = PinnedProcesses("/proc/" + std::to_string(process.pid));
    if (std::find(watched.begin(), watched.end(), serverPid) == watched.end() || ProcessEnded(watchdog)) continue;
    TerminateProcess(watchdog, std::chrono::milliseconds(1000));
  }
}

}  // namespace lindra::gui
