#include "platform/process_list.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "platform/process_end.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

extern char** environ;

namespace lindra {
namespace {

using testing::TempDir;
using testing::WriteFile;

// A /proc stand-in: one folder per pid with its comm file and exe link.
void AddFakeProcess(const TempDir& root, const std::string& pid, const std::string& comm, const std::string& exe = "") {
  std::filesystem::create_directory(root / pid);
  WriteFile(root / pid / "comm", comm + "\n");
  if (!exe.empty()) std::filesystem::create_symlink(exe, root / pid / "exe");
}

TEST(ProcessListTest, ReadsNamesFromAProcTable) {
  TempDir root;
  AddFakeProcess(root, "10", "Wardex");
  AddFakeProcess(root, "11", "WARDEX");
  AddFakeProcess(root, "12", "wardex-helper");
  // The kernel keeps 15 bytes of a name; the executable link restores the rest.
  AddFakeProcess(root, "13", "lindra2-watchdo", "/opt/lindra/lindra2-watchdog (deleted)");
  AddFakeProcess(root, "14", "lindra2-watchdo", "/opt/other/something-else");
  std::filesystem::create_directory(root / "self");
  std::filesystem::create_directory(root / "15");  // ended during the scan: no comm
  WriteFile(root / "version", "x");

  auto list = ListProcesses(root.path());
  ASSERT_TRUE(list);
  std::sort(list->begin(), list->end(), [](auto& a, auto& b) { return a.pid < b.pid; });
  std::vector<std::string> names;
  for (const auto& p : *list) names.push_back(std::to_string(p.pid) + ":" + p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"10:Wardex", "11:WARDEX", "12:wardex-helper", "13:lindra2-watchdog",
                                             "14:lindra2-watchdo"}));

  EXPECT_EQ(CountProcessesNamed(*list, "wardex"), 2);
  EXPECT_EQ(CountProcessesNamed(*list, "Wardex.exe"), 0);
  EXPECT_EQ(ListProcesses(root / "missing"), std::nullopt);
}

TEST(ProcessListTest, FindsTheOwnProcessRunningAnExecutable) {
  TempDir root;
  AddFakeProcess(root, "20", "lindra2", "/opt/lindra/lindra2");
  AddFakeProcess(root, "21", "lindra2", "/opt/lindra/lindra2 (deleted)");  // replaced by a new build
  AddFakeProcess(root, "22", "lindra2", "/opt/other/lindra2");
  const unsigned uid = ::getuid();
  EXPECT_EQ(FindProcessRunning(root.path(), "/opt/other/lindra2", uid, 0), 22);
  const auto first = FindProcessRunning(root.path(), "/opt/lindra/lindra2", uid, 0);
  ASSERT_TRUE(first == 20 || first == 21);
  EXPECT_EQ(FindProcessRunning(root.path(), "/opt/lindra/lindra2", uid, *first), *first == 20 ? 21 : 20);
  EXPECT_EQ(FindProcessRunning(root.path(), "/opt/lindra/lindra2", uid + 1, 0), std::nullopt)
      << "another user's server is not ours to watch";
}

TEST(ProcessTable, AnotherUsersProcessesAreLeftOutWhenAskedFor) {
  if (::getuid() != 0) GTEST_SKIP() << "only root can hand a folder to another user";
  TempDir root;
  AddFakeProcess(root, "10", "Wardex");
  AddFakeProcess(root, "11", "Wardex");
  ASSERT_EQ(::chown((root / "11").c_str(), 4242, 4242), 0);
  EXPECT_EQ(CountProcessesNamed(*ListProcesses(root.path()), "wardex"), 2);
  const auto mine = ListProcesses(root.path(), ::getuid());
  ASSERT_TRUE(mine);
  ASSERT_EQ(mine->size(), 1u);
  EXPECT_EQ(mine->front().pid, 10);
}

// A watchdog shows which server it watches by the process descriptor it holds.
TEST(ProcessListTest, PinnedProcessesComeFromTheDescriptorsFdinfo) {
  TempDir root;
  std::filesystem::create_directories(root / "7" / "fd");
  std::filesystem::create_directories(root / "7" / "fdinfo");
  auto addDescriptor = [&](const std::string& fd, const std::string& link, const std::string& info) {
    std::filesystem::create_symlink(link, root / "7" / "fd" / fd);
    WriteFile(root / "7" / "fdinfo" / fd, info);
  };
  const std::string head = "pos:\t0\nflags:\t02000002\nmnt_id:\t15\nino:\t1057\n";
  addDescriptor("0", "/dev/null", head);
  addDescriptor("3", "anon_inode:[pidfd]", head + "Pid:\t4242\nNSpid:\t4242\n");
  addDescriptor("4", "anon_inode:[pidfd]", head + "Pid:\t-1\nNSpid:\t-1\n");  // it has ended
  addDescriptor("5", "anon_inode:[eventfd]", head + "Pid:\t99\n");
  addDescriptor("6", "anon_inode:[pidfd]", head);  // a kernel that does not tell
  addDescriptor("12", "anon_inode:[pidfd]", "Pid:\t31\n");
  EXPECT_EQ(PinnedProcess(root / "7", 3), 4242);
  EXPECT_EQ(PinnedProcess(root / "7", 4), -1);
  for (int other : {0, 5, 6, 9}) EXPECT_EQ(PinnedProcess(root / "7", other), std::nullopt) << other;
  std::vector<int> pinned = PinnedProcesses(root / "7");
  std::sort(pinned.begin(), pinned.end());
  EXPECT_EQ(pinned, (std::vector<int>{31, 4242}));
  EXPECT_TRUE(PinnedProcesses(root / "8").empty());

  // And as the kernel shows it.
  const UniqueFd parent = OpenProcessFd(::getppid());
  ASSERT_TRUE(parent);
  EXPECT_EQ(PinnedProcess("/proc/self", parent.get()), ::getppid());
  pinned = PinnedProcesses("/proc/self");
  EXPECT_NE(std::find(pinned.begin(), pinned.end(), ::getppid()), pinned.end());
}

// Starts a copy of sleep(1) under `name`, so the process table shows that name.
pid_t SpawnNamed(const TempDir& dir, const std::string& name) {
  const auto exe = dir / name;
  std::filesystem::copy_file("/bin/sleep", exe);
  std::string arg0 = name, seconds = "30";
  char* argv[] = {arg0.data(), seconds.data(), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  return pid;
}

TEST(ProcessListTest, ReadsHowARunningProcessWasStarted) {
  TempDir dir;
  std::filesystem::create_directory(dir / "work dir");
  // A shell that says when it runs its script (its start has then ended: until then
  // the kernel may show an empty command line) and waits on the same socket.
  std::vector<std::string> args = {"sh", "-c", "echo; read _", "lindra2", "", "--workdir", "/a b/c"};
  std::vector<std::string> env = {"LINDRA_X=1", "EMPTY=", "LANG=ko_KR.EUC-KR"};
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int link[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link), 0);
  const UniqueFd ours(link[0]), theirs(link[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, (dir / "work dir").c_str());
  posix_spawn_file_actions_adddup2(&actions, theirs.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, theirs.get(), 1);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  pollfd running{ours.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&running, 1, 10'000), 1);

  const auto launch = ReadProcessLaunch(pid);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ASSERT_TRUE(launch);
  EXPECT_EQ(launch->arguments, args);
  EXPECT_EQ(launch->environment, env);
  EXPECT_EQ(launch->workDir, std::filesystem::canonical(dir / "work dir"));
  EXPECT_FALSE(ReadProcessLaunch("/proc/" + std::to_string(pid))) << "an ended process has no launch";
}

TEST(ProcessListTest, FindsCountsAndEndsRealProcesses) {
  TempDir dir;
  const std::string name = "Wdx" + std::to_string(::getpid());
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  pid_t exact = SpawnNamed(dir, name);
  pid_t otherCase = SpawnNamed(dir, lower);
  ASSERT_GT(exact, 0);
  ASSERT_GT(otherCase, 0);

  auto list = ListProcesses();
  ASSERT_TRUE(list);
  EXPECT_EQ(CountProcessesNamed(*list, name), 2);
  auto found = std::find_if(list->begin(), list->end(), [&](auto& p) { return p.name == name; });
  ASSERT_NE(found, list->end());
  EXPECT_EQ(found->pid, exact);
  auto self = std::find_if(list->begin(), list->end(), [](auto& p) { return p.pid == ::getpid(); });
  ASSERT_NE(self, list->end());
  EXPECT_EQ(self->name, "test_platform");

  EXPECT_TRUE(TerminateProcess(exact, std::chrono::milliseconds(5000)));
  int status = 0;
  // The pidfd said it ended, so the zombie is there to be reaped without waiting.
  ASSERT_EQ(::waitpid(exact, &status, WNOHANG), exact);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  EXPECT_TRUE(TerminateProcess(otherCase, std::chrono::milliseconds(5000)));
  ASSERT_EQ(::waitpid(otherCase, &status, 0), otherCase);
  EXPECT_FALSE(TerminateProcess(0, std::chrono::milliseconds(10)));
}

}  // namespace
}  // namespace lindra
