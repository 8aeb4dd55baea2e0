#pragma once
// The sibling watchdog program the server starts and ends: "Wardex" on this
// platform. Started hidden with the server's full path when none runs; at exit the
// one that watches this server is ended, never another server's.
#include <filesystem>

#include "platform/process_list.h"

namespace lindra::gui {

inline constexpr const char* kWatchdogName = "Wardex";

// Counts running processes named "Wardex" without regard to case; starts one only
// when there are none (a process table that cannot be read counts as one running).
// The program is looked for in the current folder, next to the server, then on
// PATH, the way the shell finds a program given without a folder. Failures are not
// reported. `serverPid` is the server to watch: this process, unless a test stands in.
void StartWatchdog(const std::filesystem::path& serverPath, int serverPid = OwnProcessId());

// Starts `program` as the watchdog of server `serverPid`, whatever else runs. It gets
// a descriptor that pins that server, so it watches that very process from its
// first instruction on.
void LaunchWatchdog(const std::filesystem::path& program, const std::filesystem::path& serverPath, int serverPid);

// Ends each process, other than this one, named exactly "Wardex" that watches server
// `serverPid` (the one the server started, or the one that started the server again
// and watches it now), and waits up to 1000 ms for it. A watchdog of another server
// is left alone.
void StopWatchdog(int serverPid = OwnProcessId());

}  // namespace lindra::gui
