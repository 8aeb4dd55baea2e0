#pragma once
// Starting a program: the one place that creates processes. Everything the new
// process needs is prepared before it is created; a start that fails anywhere up to
// running the program (a missing folder, a file that cannot run) fails here with the
// reason, rather than as an exit status later.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lindra {

struct SpawnRequest {
  enum class Session {
    Inherit,   // ours
    OwnGroup,  // a process group of its own: a Ctrl-C at the terminal reaches us alone
    New,       // a session of its own, without a terminal
  };

  std::filesystem::path program;
  std::vector<std::string> arguments;  // argv, argv[0] first
  // The whole environment ("NAME=value"); none: this process's.
  std::optional<std::vector<std::string>> environment{};
  // The working folder; none: this process's. A folder that cannot be entered fails
  // the start.
  std::optional<std::filesystem::path> workDir{};
  Session session = Session::Inherit;
  bool endsWithParent = false;  // SIGTERM to the child when its parent dies
  int standardOutput = -1;      // a descriptor for its standard output; -1: ours
  int keptDescriptor = -1;      // one of ours (above 2) that the program gets under the same number
  bool silent = false;          // standard input, output and error on /dev/null
  // Not our child: started through a process that ends at once, so it outlives us
  // without ever becoming our zombie.
  bool detached = false;
};

// Starts the request. The child's pid (0 for a detached start, which has no child of
// ours), or -1 with errno set.
pid_t SpawnProcess(const SpawnRequest& request);

// This process's environment, with `overrides` ("NAME=value") in place of the entries
// of the same names.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides);

}  // namespace lindra
