#include "watchdog.h"

#include <cstdlib>
#include <string>

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

// Started detached, in a session of its own without a terminal: it outlives us
// without ever becoming our zombie.
void SpawnDetached(const std::filesystem::path& program, const std::filesystem::path& serverPath) {
  SpawnRequest request{.program = program, .arguments = {kWatchdogName, serverPath.string()}};
  request.session = SpawnRequest::Session::New;
  request.silent = true;
  request.detached = true;
  SpawnProcess(request);
}

}  // namespace

void StartWatchdog(const std::filesystem::path& serverPath) {
  const auto processes = ListProcesses("/proc", OwnUserId());
  if (!processes || CountProcessesNamed(*processes, kWatchdogName) != 0) return;
  const std::filesystem::path program = FindWatchdogProgram(serverPath);
  if (!program.empty()) SpawnDetached(program, serverPath);
}

void StopWatchdog() {
  const auto processes = ListProcesses("/proc", OwnUserId());
  if (!processes) return;
  if (const auto watchdog = FindProcessNamed(*processes, kWatchdogName, OwnProcessId())) {
    TerminateProcess(watchdog->pid, std::chrono::milliseconds(1000));
  }
}

}  // namespace lindra::gui
