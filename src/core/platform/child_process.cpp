#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <thread>

#include "platform/process_list.h"

namespace lindra {

ChildProcess::~ChildProcess() { Terminate(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), output_(std::move(other.output_)), buffer_(std::move(other.buffer_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Terminate();
    pid_ = std::exchange(other.pid_, -1);
    output_ = std::move(other.output_);
    buffer_ = std::move(other.buffer_);
  }
  return *this;
}

extern "C" char** environ;

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args, Output output,
                         const std::vector<std::string>& environment) {
  // A second start would lose the first child: it would never be ended or reaped.
  if (pid_ > 0) {
    errno = EBUSY;
    return false;
  }
  int pipeFds[2] = {-1, -1};
  if (output == Output::Capture && pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  std::vector<std::string> argvStrings;
  argvStrings.push_back(program);
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The environment is built here: after fork only async-signal-safe calls are allowed.
  std::vector<std::string> envStrings(environment);
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    auto name = entry.substr(0, entry.find('=') + 1);
    bool overridden = false;
    for (const auto& added : environment) overridden = overridden || added.compare(0, name.size(), name) == 0;
    if (!overridden) envStrings.emplace_back(entry);
  }
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t parent = getpid();

  pid_t pid = fork();
  if (pid < 0) return false;  // the pipe closes with readEnd and writeEnd
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    // Its own process group: a Ctrl-C at the terminal reaches the owner alone, which
    // then ends its children in order.
    setpgid(0, 0);
    if (pipeFds[1] >= 0) dup2(pipeFds[1], STDOUT_FILENO);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  pid_ = pid;
  output_ = std::move(readEnd);
  return true;
}

bool ChildProcess::ReadMore(int timeoutMs) {
  if (!output_) return false;
  pollfd pfd{output_.get(), POLLIN, 0};
  int rc = poll(&pfd, 1, timeoutMs);
  if (rc <= 0) return false;
  char chunk[4096];
  ssize_t n = read(output_.get(), chunk, sizeof chunk);
  if (n <= 0) {
    output_.Reset();
    return false;
  }
  buffer_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !output_) return std::nullopt;
    ReadMore(static_cast<int>(left.count()));
  }
}

std::string ChildProcess::DrainOutput() {
  while (ReadMore(0)) {
  }
  return std::exchange(buffer_, {});
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // waitpid has no timed form; the process descriptor becomes readable when the
  // child ends. Only kernels without one fall back to a backed-off retry.
  const UniqueFd ended = OpenProcessFd(pid_);
  auto pause = std::chrono::milliseconds(1);
  while (true) {
    int status = 0;
    pid_t rc = waitpid(pid_, &status, WNOHANG);
    if (rc == pid_ || (rc < 0 && errno == ECHILD)) {
      pid_ = -1;
      return status;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (ended) {
      pollfd pfd{ended.get(), POLLIN, 0};
      poll(&pfd, 1, static_cast<int>(left.count()));
    } else {
      std::this_thread::sleep_for(std::min(pause, left));
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
  }
}

void ChildProcess::Terminate(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return;
  Signal(SIGTERM);
  if (!Wait(grace)) {
    Signal(SIGKILL);
    Wait(std::chrono::milliseconds(5000));
  }
  pid_ = -1;
}

}  // namespace lindra
