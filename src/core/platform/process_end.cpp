#include "platform/process_end.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>

namespace lindra {
namespace {

using std::chrono::milliseconds;
using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// Milliseconds left until `deadline` (-1: no deadline), never below 0.
int MsLeft(const Deadline& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::duration_cast<milliseconds>(*deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<milliseconds::rep>(0, left.count()));
}

// Without a descriptor: an ended child shows to waitid (which leaves it to be
// collected), any other ended process to kill().
bool HasEnded(int pid) {
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) return info.si_pid == pid;
  return ::kill(pid, 0) != 0 && errno != EPERM;
}

bool AwaitEnd(const UniqueFd& pidfd, int pid, const Deadline& deadline) {
  if (pidfd) {
    pollfd pfd{pidfd.get(), POLLIN, 0};
    for (;;) {
      const int rc = ::poll(&pfd, 1, MsLeft(deadline));
      if (rc > 0) return true;
      if (rc == 0 || errno != EINTR) return false;
    }
  }
  auto pause = milliseconds(1);
  while (!HasEnded(pid)) {
    const int left = MsLeft(deadline);
    if (left == 0) return false;
    std::this_thread::sleep_for(left < 0 ? pause : std::min(pause, milliseconds(left)));
    pause = std::min(pause * 2, milliseconds(1000));
  }
  return true;
}

Deadline DeadlineAfter(std::optional<milliseconds> timeout) {
  if (!timeout) return std::nullopt;
  return std::chrono::steady_clock::now() + *timeout;
}

}  // namespace

UniqueFd OpenProcessFd(int pid) { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

bool AwaitProcessEnd(int pid, std::optional<milliseconds> timeout) {
  const Deadline deadline = DeadlineAfter(timeout);
  const UniqueFd pidfd = OpenProcessFd(pid);
  if (!pidfd && errno == ESRCH) return true;
  return AwaitEnd(pidfd, pid, deadline);
}

bool ProcessEnded(const UniqueFd& pidfd) {
  if (!pidfd) return false;
  pollfd pfd{pidfd.get(), POLLIN, 0};
  return ::poll(&pfd, 1, 0) > 0;
}

void WaitForProcessEnd(const UniqueFd& pidfd, int pid) {
  AwaitEnd(pidfd, pid, std::nullopt);
  while (::waitpid(pid, nullptr, WNOHANG) < 0 && errno == EINTR) {
  }
}

bool TerminateProcess(int pid, milliseconds wait) {
  if (pid <= 0) return false;
  const UniqueFd pidfd = OpenProcessFd(pid);
  if (!pidfd) {
    if (errno != ENOSYS) return false;
    return ::kill(pid, SIGKILL) == 0;  // kernels before 5.3: nothing to wait on
  }
  return TerminateProcess(pidfd, wait);
}

bool TerminateProcess(const UniqueFd& pidfd, milliseconds wait) {
  if (::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0) != 0) return false;
  AwaitEnd(pidfd, -1, DeadlineAfter(wait));
  return true;
}

}  // namespace lindra
