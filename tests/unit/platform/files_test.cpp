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

// The server's private state never writes or reads through a link planted at its name.
TEST(WriteFileAtomicallyTest, PrivateStateReplacesAPlantedLinkAndNeverReadsThroughIt) {
  TempDir dir;
  WriteFile(dir / "victim", "victim");
  std::filesystem::create_symlink(dir / "victim", dir / "state.log");
  std::error_code ec;
  EXPECT_EQ(ReadFileBytes(dir / "state.log", &ec, LinkRule::Refuse), std::nullopt);
  EXPECT_EQ(ec, std::errc::too_many_symbolic_link_levels);
  ASSERT_FALSE(WriteFileAtomically(dir / "state.log", "mine", AtLink::Replace));
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "state.log"));
  EXPECT_EQ(ReadFile(dir / "state.log"), "mine");
  EXPECT_EQ(ReadFile(dir / "victim"), "victim");

  std::filesystem::create_symlink(dir / "victim", dir / "summary.log");
  {
    UniqueFd fd = CreateFileAnew(dir / "summary.log");
    ASSERT_TRUE(fd);
    EXPECT_TRUE(WriteAll(fd.get(), "summary"));
  }
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "summary.log"));
  EXPECT_EQ(ReadFile(dir / "summary.log"), "summary");
  EXPECT_EQ(ReadFile(dir / "victim"), "victim");
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

// What is no regular file is refused without waiting (a FIFO has no writer) and
// without reading (a device never ends); a file over the cap is refused, also one
// whose size only shows as it is read.
TEST(ReadFileBytesTest, RefusesWhatIsNoRegularFileAndWhatIsOverTheCap) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero");
  WriteFile(dir / "eight", "12345678");
  struct Case {
    std::filesystem::path file;
    uintmax_t cap;
    std::optional<std::string> bytes;
    bool notRegular, overCap;
  } cases[] = {
      {dir / "fifo", kNoSizeCap, std::nullopt, true, false}, {dir / "zero", kNoSizeCap, std::nullopt, true, false},
      {dir / "eight", 8, "12345678", false, false},          {dir / "eight", 7, std::nullopt, false, true},
      {"/proc/self/status", 16, std::nullopt, false, true},  // its size reads as 0
  };
  for (const Case& c : cases) {
    std::error_code ec;
    EXPECT_EQ(ReadFileBytes(c.file, &ec, LinkRule::Follow, c.cap), c.bytes) << c.file;
    EXPECT_EQ(IsNotRegularFile(ec), c.notRegular) << c.file;
    EXPECT_EQ(IsOverSizeCap(ec), c.overCap) << c.file;
  }
  std::error_code ec;
  ReadFileBytes(dir / "fifo", &ec);
  EXPECT_EQ(ec, std::errc::invalid_argument) << "the number a line shows";
  EXPECT_EQ(FileRefusalText(ec, 1 << 20), "일반 파일이 아님");
  ReadFileBytes(dir / "eight", &ec, LinkRule::Follow, 7);
  EXPECT_EQ(ec, std::errc::file_too_large);
  EXPECT_EQ(FileRefusalText(ec, 64 << 20), "크기 제한 64 MiB 초과");
  ReadFileBytes(dir / "none", &ec);
  EXPECT_EQ(FileRefusalText(ec, 1 << 20), "") << "the system's own errors speak for themselves";
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

TEST(PathsTest, DefaultFoldersDependOnTheUserAndTheLockOnNoRuntimeVariable) {
  ScopedEnv state("XDG_STATE_HOME", "/srv/state");
  ScopedEnv home("HOME", "/home/op");
  ScopedEnv runtime("XDG_RUNTIME_DIR", "/nowhere");
  if (::geteuid() == 0) {
    EXPECT_EQ(DefaultLogDir(), "/var/log/lindra2");
    EXPECT_EQ(DefaultStateDir(), "/var/lib/lindra2");
    EXPECT_EQ(DefaultLockDir(), "/run/lindra2");
    return;
  }
  EXPECT_EQ(DefaultLogDir(), "/srv/state/lindra2/logs");
  EXPECT_EQ(DefaultStateDir(), "/srv/state/lindra2");
  EXPECT_EQ(DefaultLockDir(), "/srv/state/lindra2");
  ScopedEnv relative("XDG_STATE_HOME", "relative/state");
  EXPECT_EQ(DefaultLogDir(), "/home/op/.local/state/lindra2/logs");
  EXPECT_EQ(DefaultStateDir(), "/home/op/.local/state/lindra2");
}

TEST(PathsTest, PrivateFolderIsMadeOwnerOnlyAndRefusedWhereOthersCouldPlantFiles) {
  TempDir dir;
  const auto made = dir / "state" / "lindra2";
  EXPECT_EQ(PreparePrivateDirectory(made.string() + "/"), "");
  struct stat st {};
  ASSERT_EQ(::stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat((dir / "state").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u) << "missing parents are private too";
  EXPECT_EQ(PreparePrivateDirectory(made), "") << "an existing private folder is fine";

  std::filesystem::create_directory_symlink(made, dir / "link");
  EXPECT_EQ(PreparePrivateDirectory(dir / "link"), "심볼릭 링크입니다");
  WriteFile(dir / "file", "x");
  EXPECT_EQ(PreparePrivateDirectory(dir / "file"), "폴더가 아닙니다");
  EXPECT_NE(PreparePrivateDirectory(dir / "file" / "sub"), "");
  std::filesystem::create_directory(dir / "shared");
  ASSERT_EQ(::chmod((dir / "shared").c_str(), 01777), 0);
  EXPECT_EQ(PreparePrivateDirectory(dir / "shared"), "다른 사용자가 쓸 수 있는 폴더입니다");
  if (::geteuid() == 0) {
    std::filesystem::create_directory(dir / "theirs");
    ASSERT_EQ(::chown((dir / "theirs").c_str(), 65534, 65534), 0);
    EXPECT_EQ(PreparePrivateDirectory(dir / "theirs"), "다른 사용자의 폴더입니다");
  }
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
