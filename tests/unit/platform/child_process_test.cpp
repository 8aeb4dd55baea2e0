#include "platform/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/spawn.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace lindra {
namespace {

using std::chrono::milliseconds;

TEST(ChildProcessTest, WaitGivesTheExitStatusAndCapturedOutput) {
  ChildProcess child;
  ASSERT_TRUE(child.Start("/bin/sh", {"-c", "echo ready; exit 3"}, ChildProcess::Output::Capture));
  EXPECT_EQ(child.ReadLine(milliseconds(10000)), "ready");
  const std::optional<int> status = child.Wait(milliseconds(10000));
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 3);
  EXPECT_FALSE(child.running());
  EXPECT_EQ(child.Wait(milliseconds(10)), std::nullopt) << "nothing left to wait for";
}

TEST(ChildProcessTest, RunningChildIsNeitherLostNorReplaced) {
  ChildProcess child;
  ASSERT_TRUE(child.Start("/bin/sleep", {"30"}));
  const pid_t first = child.pid();
  EXPECT_EQ(child.Wait(milliseconds(20)), std::nullopt) << "a wait that runs out leaves the child";
  EXPECT_TRUE(child.running());

  errno = 0;
  EXPECT_FALSE(child.Start("/bin/sleep", {"30"})) << "a second start would orphan the first child";
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(child.pid(), first);

  child.Terminate(milliseconds(5000));
  EXPECT_FALSE(child.running());
  EXPECT_EQ(::kill(first, 0), -1) << "the child is ended and reaped";
  ASSERT_TRUE(child.Start("/bin/sh", {"-c", "exit 0"})) << "the object is free again";
  EXPECT_TRUE(child.Wait(milliseconds(10000)));
}

// A start fails with the reason the program could not run, instead of leaving a child
// that ends at once with an exit status nobody reads.
TEST(ChildProcessTest, AStartThatCannotRunTheProgramFailsWithTheReason) {
  ChildProcess child;
  errno = 0;
  EXPECT_FALSE(child.Start("/nonexistent/program", {}));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(child.running());

  testing::TempDir dir;
  SpawnRequest request{.program = "/bin/sh", .arguments = {"sh", "-c", "exit 0"}, .workDir = dir / "gone"};
  errno = 0;
  EXPECT_EQ(SpawnProcess(request), -1) << "a folder that is gone fails the start";
  EXPECT_EQ(errno, ENOENT);
}

TEST(ChildProcessTest, SpawnGivesTheProgramItsArgumentsEnvironmentAndFolder) {
  testing::TempDir dir;
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  UniqueFd readEnd(out[0]), writeEnd(out[1]);
  SpawnRequest request{.program = "/bin/sh",
                       .arguments = {"sh", "-c", "echo \"$0|$1|$X|$(pwd)\"", "zero", "a b"},
                       .environment = std::vector<std::string>{"X=1"},
                       .workDir = dir.path()};
  request.standardOutput = writeEnd.get();
  const pid_t pid = SpawnProcess(request);
  ASSERT_GT(pid, 0);
  writeEnd.Reset();
  std::string output;
  char buffer[256];
  for (ssize_t n; (n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0;) output.append(buffer, n);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(output, "zero|a b|1|" + std::filesystem::canonical(dir.path()).string() + "\n");
}

}  // namespace
}  // namespace lindra
