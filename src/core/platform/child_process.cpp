#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/process_end.h"
#include "platform/spawn.h"

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
  SpawnRequest request{.program = program, .arguments = {program}};
  request.arguments.insert(request.arguments.end(), args.begin(), args.end());
  request.environment = EnvironmentWith(environment);
  request.session = SpawnRequest::Session::OwnGroup;
  request.endsWithParent = true;
  request.standardOutput = writeEnd.get();
  const pid_t pid = SpawnProcess(request);
  if (pid < 0) return false;  // the pipe closes with readEnd and writeEnd
  pid_ = pid;
  output_ = std::move(readEnd);
  return true;
}

bool ChildProcess::ReadMore(std::chrono::milliseconds timeout) {
  if (!output_) return false;
  pollfd pfd{output_.get(), POLLIN, 0};
  int rc = poll(&pfd, 1, static_cast<int>(timeout.count()));
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
    ReadMore(left);
  }
}

std::string ChildProcess::DrainOutput() {
  while (ReadMore(std::chrono::milliseconds(0))) {
  }
  return std::exchange(buffer_, {});
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  // waitpid has no timed form: wait for the end first, then collect the child.
  if (!AwaitProcessEnd(pid_, timeout)) return std::nullopt;
  int status = 0;
  pid_t rc;
  do rc = waitpid(pid_, &status, 0);
  while (rc < 0 && errno == EINTR);
  pid_ = -1;
  return status;
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
