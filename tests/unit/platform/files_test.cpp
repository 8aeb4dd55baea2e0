#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/atomic_file.h"
#include "platform/file_read.h"
#include "platform/paths.h"
#include "support/temp_dir.h"

namespace lindra {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

int FileCount(const std::filesystem::path& dir) {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

TEST(WriteFileAtomicallyTest, CreatesAndReplacesWithExactBytesAndLeavesNoTemporaryFile) {
  TempDir dir;
  const auto file = dir / "lindra.ini";
  const std::string first("[DEVICE01]\r\nDEV_NAME=\r\n\0binary\xFF", 28);
  ASSERT_FALSE(WriteFileAtomically(file, first));
  EXPECT_EQ(ReadFile(file), first);

  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_FALSE(WriteFileAtomically(file, "short"));
  EXPECT_EQ(ReadFile(file), "short");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "the operator's permission bits survive a rewrite";

  ASSERT_FALSE(WriteFileAtomically(file, ""));
  EXPECT_EQ(ReadFile(file), "");
  EXPECT_EQ(FileCount(dir.path()), 1);
}

TEST(WriteFileAtomicallyTest, LinkedFileIsReplacedAndTheLinkKept) {
  TempDir dir;
  std::filesystem::create_directory(dir / "etc");
  WriteFile(dir / "etc" / "lindra.ini", "old");
  std::filesystem::create_symlink("etc/lindra.ini", dir / "lindra.ini");
  ASSERT_FALSE(WriteFileAtomically(dir / "lindra.ini", "new"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "lindra.ini"));
  EXPECT_EQ(ReadFile(dir / "etc" / "lindra.ini"), "new");
}

TEST(WriteFileAtomicallyTest, FailureReportsTheErrorAndKeepsTheOldFile) {
  TempDir dir;
  auto ec = WriteFileAtomically(dir / "missing-folder" / "did.tbl", "x");
  EXPECT_EQ(ec, std::errc::no_such_file_or_directory);

  // A folder where the file should be: the rename fails, nothing is left behind.
  std::filesystem::create_directory(dir / "ip.tbl");
  WriteFile(dir / "ip.tbl" / "inside", "keep");
  ec = WriteFileAtomically(dir / "ip.tbl", "new");
  EXPECT_TRUE(ec);
  EXPECT_EQ(ReadFile(dir / "ip.tbl" / "inside"), "keep");
  EXPECT_EQ(FileCount(dir.path()), 1);

  EXPECT_TRUE(WriteFileAtomically(dir.path() / "", "x")) << "a folder path names no file";
}

TEST(ReadFileBytesTest, ReadsEveryByteAndTellsWhyItCouldNot) {
  TempDir dir;
  std::string bytes(200000, 'a');
  bytes[1000] = '\0';
  WriteFile(dir / "big", bytes);
  EXPECT_EQ(ReadFileBytes(dir / "big"), bytes);

  std::error_code ec;
  EXPECT_EQ(ReadFileBytes(dir / "none", &ec), std::nullopt);
  EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
  EXPECT_EQ(ReadFileBytes(dir.path(), &ec), std::nullopt);
  EXPECT_EQ(ec, std::errc::is_a_directory);
}

// Sets an environment variable for the test's duration.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(PathsTest, TempDirectoryFollowsTmpdir) {
  {
    ScopedEnv tmp("TMPDIR", "/var/tmp/x");
    EXPECT_EQ(TempDirectory(), "/var/tmp/x");
  }
  {
    ScopedEnv tmp("TMPDIR", "");
    EXPECT_EQ(TempDirectory(), "/tmp");
  }
  ScopedEnv tmp("TMPDIR", nullptr);
  EXPECT_EQ(TempDirectory(), "/tmp");
}

TEST(PathsTest, DefaultLogDirDependsOnTheUser) {
  ScopedEnv state("XDG_STATE_HOME", "/srv/state");
  ScopedEnv home("HOME", "/home/op");
  if (::geteuid() == 0) {
    EXPECT_EQ(DefaultLogDir(), "/var/log/lindra2");
    return;
  }
  EXPECT_EQ(DefaultLogDir(), "/srv/state/lindra2/logs");
  ScopedEnv relative("XDG_STATE_HOME", "relative/state");
  EXPECT_EQ(DefaultLogDir(), "/home/op/.local/state/lindra2/logs");
}

TEST(PathsTest, EnsureDirectoryCreatesParentsButNotOverAFile) {
  TempDir dir;
  EXPECT_TRUE(EnsureDirectory(dir / "a" / "b" / "Logs"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "a" / "b" / "Logs"));
  EXPECT_TRUE(EnsureDirectory(dir / "a"));
  WriteFile(dir / "file", "x");
  EXPECT_FALSE(EnsureDirectory(dir / "file"));
  EXPECT_FALSE(EnsureDirectory(dir / "file" / "sub"));
}

}  // namespace
}  // namespace lindra
