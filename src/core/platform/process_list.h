#pragma once
// The running processes as the watchdog rules need them: counted by executable name
// at start, the one that watches the server (it pins it by a descriptor) ended at
// exit, and the watched server found by its executable and started again the way it
// was started.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lindra {

struct ProcessInfo {
  int pid = 0;
  std::string name;  // executable file name, without folder
};

// Every process of `procRoot` (the /proc file system), or nullopt when the table
// cannot be read at all. Processes that end during the scan are left out. With
// `ownerUid`, only that user's processes: the watchdog is per user, like the server's
// single instance, so another user's watchdog neither counts nor is ended.
std::optional<std::vector<ProcessInfo>> ListProcesses(const std::filesystem::path& procRoot = "/proc",
                                                      std::optional<unsigned> ownerUid = std::nullopt);

// Processes whose name equals `name` without regard to case.
int CountProcessesNamed(const std::vector<ProcessInfo>& processes, std::string_view name);

// A pid or descriptor number as /proc and the environment write it: decimal digits
// alone, at most 9 of them; nullopt for any other text (a /proc entry that is no
// process, a descriptor folder's "." and "..").
std::optional<int> ProcNumber(std::string_view text);

// The process that descriptor `fd` of the process at `processDir` (a /proc/PID
// folder) pins, as its fdinfo shows it ("Pid:"): its pid, or -1 once it has ended;
// nullopt when the descriptor is no process descriptor (pidfd) or cannot be read.
std::optional<int> PinnedProcess(const std::filesystem::path& processDir, int fd);

// Every process that the process at `processDir` pins by a descriptor, ended ones
// left out. A watchdog pins the server it watches, so this says
// which server a watchdog watches.
std::vector<int> PinnedProcesses(const std::filesystem::path& processDir);

// The environment variable that hands a watchdog the number of a descriptor pinning
// the server that started it (the way systemd hands over sockets).
inline constexpr const char* kWatchedServerFdVariable = "WARDEX_SERVER_FD";

// The executable `processDir` (a /proc/PID folder) runs, as the kernel names it; a
// program file replaced while running (a new build) still names the same path. Empty
// when it cannot be read (another user's process, a kernel thread, a process that
// ended).
std::filesystem::path ProcessExecutable(const std::filesystem::path& processDir);

// The first process of `ownerUid`, other than `excludedPid`, that runs `executable`.
std::optional<int> FindProcessRunning(const std::filesystem::path& procRoot, const std::filesystem::path& executable,
                                      unsigned ownerUid, int excludedPid);

// How a process was started: its arguments (argv[0] first, empty ones kept), its
// environment ("NAME=value") and its working folder.
struct ProcessLaunch {
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
  std::filesystem::path workDir;
};

// Reads the launch of a running process from its /proc folder; nullopt when any part
// cannot be read (it ended, or belongs to another user).
std::optional<ProcessLaunch> ReadProcessLaunch(const std::filesystem::path& processDir);
std::optional<ProcessLaunch> ReadProcessLaunch(int pid);

// This process and the user it runs as.
int OwnProcessId();
unsigned OwnUserId();

// The program file this process runs (empty when it cannot be read).
std::filesystem::path OwnExecutable();

}  // namespace lindra
