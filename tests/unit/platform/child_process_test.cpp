#include "platform/child_process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>

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

}  // namespace
}  // namespace lindra
