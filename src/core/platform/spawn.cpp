#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/unique_fd.h"

extern "C" char** environ;

namespace lindra {
namespace {

std::vector<char*> NullTerminated(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// In the child, only async-signal-safe calls: tells the parent why the start failed
// and ends.
[[noreturn]] void FailStart(int reportFd) {
  const int error = errno;
  [[maybe_unused]] ssize_t n = ::write(reportFd, &error, sizeof error);
  ::_exit(127);
}

// Runs in the child between fork and exec; async-signal-safe calls only.
[[noreturn]] void BecomeProgram(const SpawnRequest& request, pid_t parent, const char* program, char* const* argv,
                                char* const* envp, const char* workDir, int reportFd) {
  if (request.endsWithParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
  }
  if (request.session == SpawnRequest::Session::OwnGroup) ::setpgid(0, 0);
  if (request.session == SpawnRequest::Session::New) ::setsid();
  if (request.detached) {
    const pid_t grandchild = ::fork();
    if (grandchild < 0) FailStart(reportFd);
    if (grandchild > 0) ::_exit(0);
  }
  if (request.silent) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
  }
  if (request.standardOutput >= 0) ::dup2(request.standardOutput, STDOUT_FILENO);
  if (request.keptDescriptor >= 0 && ::fcntl(request.keptDescriptor, F_SETFD, 0) != 0) FailStart(reportFd);
  if (workDir && ::chdir(workDir) != 0) FailStart(reportFd);
  ::execve(program, argv, envp);
  FailStart(reportFd);
}

// The reason a start failed, as the child reported it, or 0 once it runs the program.
int ReadStartReport(int reportFd) {
  int error = 0;
  ssize_t n;
  do n = ::read(reportFd, &error, sizeof error);
  while (n < 0 && errno == EINTR);
  return n == sizeof error ? error : 0;
}

}  // namespace

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> environment(overrides);
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('=') + 1);
    bool overridden = false;
    for (const auto& added : overrides) overridden = overridden || added.compare(0, name.size(), name) == 0;
    if (!overridden) environment.emplace_back(entry);
  }
  return environment;
}

pid_t SpawnProcess(const SpawnRequest& request) {
  // Everything the child uses is made here: after fork only async-signal-safe calls
  // are allowed.
  const std::string program = request.program.string();
  std::vector<std::string> arguments = request.arguments;
  std::vector<char*> argv = NullTerminated(arguments);
  std::vector<std::string> environment = request.environment ? *request.environment : std::vector<std::string>();
  std::vector<char*> envp = NullTerminated(environment);
  const std::string workDir = request.workDir ? request.workDir->string() : std::string();
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return -1;
  UniqueFd reportRead(report[0]), reportWrite(report[1]);
  const pid_t parent = ::getpid();

  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0)
    BecomeProgram(request, parent, program.c_str(), argv.data(), request.environment ? envp.data() : environ,
                  request.workDir ? workDir.c_str() : nullptr, report[1]);
  reportWrite.Reset();
  // The report ends when the program runs (the descriptor closes on exec) or with
  // the reason it could not.
  const int error = ReadStartReport(reportRead.get());
  if (error != 0 || request.detached) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (error != 0) {
    errno = error;
    return -1;
  }
  return request.detached ? 0 : pid;
}

}  // namespace lindra
