#pragma once
// The sibling watchdog program the server starts and ends: "Wardex" on this
// platform. Started hidden with the server's full path when none runs; the first
// one found by its exact name is ended at exit.
#include <filesystem>

namespace lindra::gui {

inline constexpr const char* kWatchdogName = "Wardex";

// Counts running processes named "Wardex" without regard to case; starts one only
// when there are none (a process table that cannot be read counts as one running).
// The program is looked for in the current folder, next to the server, then on
// PATH, the way the shell finds a program given without a folder. Failures are not
// reported.
void StartWatchdog(const std::filesystem::path& serverPath);

// Ends the first process, other than this one, named exactly "Wardex", and waits up
// to 1000 ms for it.
void StopWatchdog();

}  // namespace lindra::gui
