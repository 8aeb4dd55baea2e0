#include "platform/process_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>

#include "platform/file_read.h"

namespace lindra {
namespace {

namespace fs = std::filesystem;

// The kernel keeps at most 15 bytes of a command name.
constexpr size_t kCommLength = 15;

std::optional<int> NumberOf(const fs::path& entry) { return ProcNumber(entry.filename().string()); }

bool OwnedBy(const fs::path& dir, unsigned uid) {
  struct stat owner {};
  return ::stat(dir.c_str(), &owner) == 0 && owner.st_uid == uid;
}

// The one walk over the process table: calls `visit` with each process (of
// `ownerUid`, when given) until it returns true. False when the table cannot be read.
bool ScanProcesses(const fs::path& procRoot, std::optional<unsigned> ownerUid,
                   const std::function<bool(int pid, const fs::path& dir)>& visit) {
  std::error_code ec;
  fs::directory_iterator it(procRoot, ec);
  if (ec) return false;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::optional<int> pid = NumberOf(it->path());
    if (!pid || *pid <= 0 || (ownerUid && !OwnedBy(it->path(), *ownerUid))) continue;
    if (visit(*pid, it->path())) break;
  }
  return true;
}

// comm is the name the program was started under, with the kernel's line feed; when
// the kernel has cut it, the executable's own file name (readable for our own
// processes) restores the rest.
std::string ProcessName(const fs::path& dir) {
  const auto comm = ReadFileBytes(dir / "comm");
  std::string name = comm ? *comm : std::string();
  if (name.ends_with('\n')) name.pop_back();
  if (name.size() < kCommLength) return name;
  const std::string exe = ProcessExecutable(dir).filename().string();
  return exe.starts_with(name) ? exe : name;
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

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

fs::path ProcessExecutable(const fs::path& processDir) {
  std::error_code ec;
  std::string exe = fs::read_symlink(processDir / "exe", ec).string();
  if (ec) return {};
  constexpr std::string_view kDeleted = " (deleted)";
  if (exe.size() > kDeleted.size() && exe.ends_with(kDeleted)) exe.resize(exe.size() - kDeleted.size());
  return exe;
}

std::optional<int> FindProcessRunning(const fs::path& procRoot, const fs::path& executable, unsigned ownerUid,
                                      int excludedPid) {
  std::optional<int> found;
  ScanProcesses(procRoot, ownerUid, [&](int pid, const fs::path& dir) {
    if (pid != excludedPid && ProcessExecutable(dir) == executable) found = pid;
    return found.has_value();
  });
  return found;
}

std::optional<ProcessLaunch> ReadProcessLaunch(const fs::path& processDir) {
  const auto cmdline = ReadFileBytes(processDir / "cmdline");
  const auto environment = ReadFileBytes(processDir / "environ");
  std::error_code ec;
  fs::path workDir = fs::read_symlink(processDir / "cwd", ec);
  // A process that has ended (a zombie) shows an empty command line.
  if (!cmdline || cmdline->empty() || !environment || ec) return std::nullopt;
  return ProcessLaunch{SplitAtNul(*cmdline), SplitAtNul(*environment), std::move(workDir)};
}

std::optional<ProcessLaunch> ReadProcessLaunch(int pid) {
  return ReadProcessLaunch(fs::path("/proc") / std::to_string(pid));
}

std::optional<std::vector<ProcessInfo>> ListProcesses(const fs::path& procRoot, std::optional<unsigned> ownerUid) {
  std::vector<ProcessInfo> processes;
  const bool read = ScanProcesses(procRoot, ownerUid, [&](int pid, const fs::path& dir) {
    std::string name = ProcessName(dir);
    if (!name.empty()) processes.push_back({pid, std::move(name)});  // empty: it ended while we looked
    return false;
  });
  if (!read) return std::nullopt;
  return processes;
}

int CountProcessesNamed(const std::vector<ProcessInfo>& processes, std::string_view name) {
  return static_cast<int>(std::count_if(processes.begin(), processes.end(),
                                        [&](const ProcessInfo& p) { return EqualsIgnoringCase(p.name, name); }));
}

std::optional<int> PinnedProcess(const fs::path& processDir, int fd) {
  const std::string number = std::to_string(fd);
  std::error_code ec;
  if (fs::read_symlink(processDir / "fd" / number, ec) != "anon_inode:[pidfd]") return std::nullopt;
  const auto info = ReadFileBytes(processDir / "fdinfo" / number);
  if (!info) return std::nullopt;
  const std::string lines = "\n" + *info;
  constexpr std::string_view kPidLine = "\nPid:\t";
  const size_t at = lines.find(kPidLine);
  if (at == std::string::npos) return std::nullopt;
  return std::atoi(lines.c_str() + at + kPidLine.size());
}

std::vector<int> PinnedProcesses(const fs::path& processDir) {
  std::vector<int> pinned;
  std::error_code ec;
  fs::directory_iterator it(processDir / "fd", ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::optional<int> fd = NumberOf(it->path());
    const std::optional<int> pid = fd ? PinnedProcess(processDir, *fd) : std::nullopt;
    if (pid && *pid > 0) pinned.push_back(*pid);
  }
  return pinned;
}

std::optional<int> ProcNumber(std::string_view text) {
  if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) return std::nullopt;
  return std::stoi(std::string(text));
}

int OwnProcessId() { return static_cast<int>(::getpid()); }

unsigned OwnUserId() { return static_cast<unsigned>(::getuid()); }

fs::path OwnExecutable() {
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec);
}

}  // namespace lindra
