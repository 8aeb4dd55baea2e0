#include "platform/single_instance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace lindra {
namespace {

using testing::TempDir;

// Runs Acquire in a child process; its exit status says whether it got the name.
bool AcquireInOtherProcess(const std::filesystem::path& lockDir, const std::string& name) {
  pid_t pid = ::fork();
  if (pid == 0) {
    SingleInstance other(lockDir);
    ::_exit(other.Acquire(name) == InstanceLock::Acquired ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(SingleInstanceTest, SecondHolderFailsUntilTheFirstIsGone) {
  TempDir dir;
  {
    SingleInstance first(dir.path());
    ASSERT_EQ(first.Acquire("Lindra2"), InstanceLock::Acquired);
    EXPECT_TRUE(first.held());
    EXPECT_EQ(first.Acquire("Lindra2"), InstanceLock::Acquired) << "a holder asking again keeps it";
    EXPECT_FALSE(AcquireInOtherProcess(dir.path(), "Lindra2"));
    SingleInstance sameProcess(dir.path());
    EXPECT_EQ(sameProcess.Acquire("Lindra2"), InstanceLock::HeldElsewhere);
    EXPECT_FALSE(sameProcess.held());
    EXPECT_TRUE(AcquireInOtherProcess(dir.path(), "Other")) << "names are independent";
  }
  EXPECT_TRUE(AcquireInOtherProcess(dir.path(), "Lindra2")) << "the lock ends with its object";
}

TEST(SingleInstanceTest, LockFileIsPerUserAndLowerCase) {
  SingleInstance lock("/run/test");
  EXPECT_EQ(lock.LockFile("Lindra2"),
            std::filesystem::path("/run/test/lindra2-" + std::to_string(::getuid()) + ".lock"));
  EXPECT_EQ(lock.LockFile("a/B").filename().string().find('/'), std::string::npos);
}

// A lock that cannot be made is no sign of a running server.
TEST(SingleInstanceTest, UnusableLockPlaceIsUnavailableNotHeld) {
  TempDir dir;
  SingleInstance lock(dir / "no-such-folder");
  std::error_code error;
  EXPECT_EQ(lock.Acquire("Lindra2", &error), InstanceLock::Unavailable);
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  // A link planted in place of the lock file is not followed.
  std::filesystem::create_symlink(dir / "target", dir / ("lindra2-" + std::to_string(::getuid()) + ".lock"));
  SingleInstance planted(dir.path());
  EXPECT_EQ(planted.Acquire("Lindra2"), InstanceLock::Unavailable);
  EXPECT_FALSE(std::filesystem::exists(dir / "target"));
}

}  // namespace
}  // namespace lindra
