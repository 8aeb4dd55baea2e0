#pragma once
// Waiting for a process to end, and ending one. A process descriptor (pidfd) pins the
// process, so neither a wait nor a signal can reach a later process that reused the
// number; kernels without one (before 5.3) fall back to looking now and then.
#include <chrono>
#include <optional>

#include "platform/unique_fd.h"

namespace lindra {

// A descriptor that pins process `pid` and becomes readable when it ends; invalid
// (errno ENOSYS) on kernels before 5.3, or (ESRCH) when no such process exists.
UniqueFd OpenProcessFd(int pid);

// Waits until process `pid` has ended, or until `timeout` has passed (none: for as
// long as it takes). True when it has ended. An ended child of ours stays to be
// collected by its owner: the wait does not collect it.
bool AwaitProcessEnd(int pid, std::optional<std::chrono::milliseconds> timeout);

// True when the process that `pidfd` pins has ended; false for no descriptor.
bool ProcessEnded(const UniqueFd& pidfd);

// Blocks until process `pid`, pinned by `pidfd` (none: on kernels before 5.3), has
// ended, then collects it when it is our child.
void WaitForProcessEnd(const UniqueFd& pidfd, int pid);

// Kills `pid` (SIGKILL, the counterpart of a forced termination) and waits up to
// `wait` for it to end. False when the process could not be signalled.
bool TerminateProcess(int pid, std::chrono::milliseconds wait);
// The same for the process that `pidfd` pins.
bool TerminateProcess(const UniqueFd& pidfd, std::chrono::milliseconds wait);

}  // namespace lindra
