#include "platform/process_list.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/file_read.h"
#include "text/strings.h"

namespace lindra {
namespace {

// The kernel keeps at most 15 bytes of a command name.
constexpr size_t kCommLength = 15;

bool IsPidName(const std::string& s) { return !s.empty() && text::AllDigits(s); }

// comm is the name the program was started under; when the kernel has cut it, the
// executable's own file name (readable for our own processes) restores the rest.
std::string ProcessName(const std::filesystem::path& dir) {
  auto comm = ReadFileBytes(dir / "comm");
  std::string name = comm ? text::Trim(*comm) : std::string();
  if (name.size() < kCommLength) return name;
  const std::string exe = ProcessExecutable(dir).filename().string();
  return exe.starts_with(name) ? exe : name;
}

bool OwnedBy(const std::filesystem::path& dir, unsigned uid) {
  struct stat owner {};
  return ::stat(dir.c_str(), &owner) == 0 && owner.st_uid == uid;
}

// The NUL-terminated strings of a /proc cmdline or environ file, empty ones kept.
std::vector<std::string> SplitAtNul(std::string_view bytes) {
  std::vector<std::string> parts;
  if (bytes.ends_with('\0')) bytes.remove_suffix(1);
  if (bytes.empty()) return parts;
  for (size_t start = 0;;) {
    const size_t end = bytes.find('\0', start);
    parts.emplace_back(bytes.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

std::filesystem::path ProcessExecutable(const std::filesystem::path& processDir) {
  std::error_code ec;
  std::string exe = std::filesystem::read_symlink(processDir / "exe", ec).string();
  if (ec) return {};
  constexpr std::string_view kDeleted = " (deleted)";
  if (exe.size() > kDeleted.size() && exe.ends_with(kDeleted)) exe.resize(exe.size() - kDeleted.size());
  return exe;
}

std::optional<int> FindProcessRunning(const std::filesystem::path& procRoot, const std::filesystem::path& executable,
                                      unsigned ownerUid, int excludedPid) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(procRoot, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (!IsPidName(entry)) continue;
    const int pid = text::LeadingInt32(entry);
    if (pid != excludedPid && OwnedBy(it->path(), ownerUid) && ProcessExecutable(it->path()) == executable) return pid;
  }
  return std::nullopt;
}

std::optional<ProcessLaunch> ReadProcessLaunch(const std::filesystem::path& processDir) {
  const auto cmdline = ReadFileBytes(processDir / "cmdline");
  const auto environment = ReadFileBytes(processDir / "environ");
  std::error_code ec;
  std::filesystem::path workDir = std::filesystem::read_symlink(processDir / "cwd", ec);
  // A process that has ended (a zombie) shows an empty command line.
  if (!cmdline || cmdline->empty() || !environment || ec) return std::nullopt;
  return ProcessLaunch{SplitAtNul(*cmdline), SplitAtNul(*environment), std::move(workDir)};
}

UniqueFd OpenProcessFd(int pid) { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

std::optional<std::vector<ProcessInfo>> ListProcesses(const std::filesystem::path& procRoot,
                                                      std::optional<unsigned> ownerUid) {
  std::error_code ec;
  std::filesystem::directory_iterator it(procRoot, ec);
  if (ec) return std::nullopt;
  std::vector<ProcessInfo> processes;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string entry = it->path().filename().string();
    if (!IsPidName(entry)) continue;
    if (ownerUid && !OwnedBy(it->path(), *ownerUid)) continue;
    std::string name = ProcessName(it->path());
    if (name.empty()) continue;  // ended while we looked
    processes.push_back({text::LeadingInt32(entry), std::move(name)});
  }
  return processes;
}

int CountProcessesNamed(const std::vector<ProcessInfo>& processes, std::string_view name) {
  int count = 0;
  for (const auto& p : processes)
    if (text::EqualsIgnoreCase(p.name, name)) ++count;
  return count;
}

std::optional<ProcessInfo> FindProcessNamed(const std::vector<ProcessInfo>& processes, std::string_view name,
                                            int excludedPid) {
  for (const auto& p : processes)
    if (p.pid != excludedPid && p.name == name) return p;
  return std::nullopt;
}

bool TerminateProcess(int pid, std::chrono::milliseconds wait) {
  if (pid <= 0) return false;
  // A pidfd pins the process: the signal cannot hit a later process that reused the
  // number, and the descriptor becomes readable when the process has ended.
  UniqueFd pidfd = OpenProcessFd(pid);
  if (!pidfd) {
    if (errno != ENOSYS) return false;
    return ::kill(pid, SIGKILL) == 0;  // kernels before 5.3: nothing to wait on
  }
  if (::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0) != 0) return false;
  pollfd pfd{pidfd.get(), POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (rc > 0 || (rc < 0 && errno != EINTR)) break;
  }
  return true;
}

}  // namespace lindra
