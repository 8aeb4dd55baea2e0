#pragma once
// A program started by the server or a test (the demo's simulators, the daemon under
// test), ended with its owner. The child also gets SIGTERM when its parent dies, so
// no simulator outlives a crashed demo.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace lindra {

// Owned by one thread.
class ChildProcess {
 public:
  enum class Output { Inherit, Capture };

  ChildProcess() = default;
  ~ChildProcess();  // Terminate()
  ChildProcess(ChildProcess&&) noexcept;
  ChildProcess& operator=(ChildProcess&&) noexcept;

  // Starts `program` (a path) with `args` (without argv[0]). With Capture, the
  // child's standard output is read through ReadLine. `environment` ("NAME=value")
  // is added to the child's environment. False with errno when it cannot be started
  // (a program that is missing or cannot run included), and (EBUSY) while this object
  // still has a running child.
  bool Start(const std::string& program, const std::vector<std::string>& args, Output output = Output::Inherit,
             const std::vector<std::string>& environment = {});
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The next line of captured output (without its line feed), or nothing when the
  // time runs out or the output ends first.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Everything captured so far and not yet returned by ReadLine, after reading what
  // is ready now.
  std::string DrainOutput();

  void Signal(int signal) const;
  // Waits for the child to end; its exit status (as from waitpid), or nothing on time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // SIGTERM, then SIGKILL when it has not ended within `grace`.
  void Terminate(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

 private:
  bool ReadMore(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  UniqueFd output_;
  std::string buffer_;
};

}  // namespace lindra
