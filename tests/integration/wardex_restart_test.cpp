// The watchdog and the whole server: a lindra2d that dies comes back as it was
// started, on its own work and log folders; Wardex refuses what it cannot watch.
#include <gtest/gtest.h>

#include <csignal>

#include "platform/process_end.h"
#include "platform/process_list.h"
#include "server_harness.h"

namespace lindra::testing {
namespace {

namespace fs = std::filesystem;

// Ends a server Wardex started (not our child) by its id, after Wardex itself has
// ended, so that nothing starts it again.
struct RestartedServer {
  int pid = -1;
  ~RestartedServer() {
    if (pid > 0) TerminateProcess(pid, 5s);
  }
};

// Reads printed lines until one contains `text`.
bool ReadUntil(ChildProcess& process, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (const auto line = process.ReadLine(
             std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()))) {
    if (line->find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(WardexRestart, ADeadServerComesBackWithItsArgumentsEnvironmentAndFolder) {
  ServerHarness server;
  // A copy of its own, so that Wardex can only ever find this test's server.
  const fs::path program = server.root() / "bin" / "lindra2d";
  fs::create_directories(program.parent_path());
  fs::copy_file(LINDRA2D_PATH, program);
  // A LAN exchange on a closed port: its connect line shows which lindra.ini was read.
  WriteFile(server.workDir() / "lindra.ini",
            "[DEVICE01]\r\nDEV_NAME=102\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=" + std::to_string(ClosedPort()) +
                "\r\n[CLIENT]\r\nAREACODE=02\r\nPROG_PORT=7001\r\nCENTERID=C12345\r\nENCRYPTION=Y\r\n");
  server.Start({}, {}, program.string());
  ASSERT_TRUE(server.WaitFor(kStarting));
  const auto first = ReadProcessLaunch(server.process().pid());
  ASSERT_TRUE(first);

  RestartedServer restarted;
  ChildProcess wardex;
  ASSERT_TRUE(wardex.Start(WARDEX_PATH, {program.string()}, ChildProcess::Output::Capture));
  EXPECT_EQ(wardex.ReadLine(10s),
            "Wardex: watching " + program.string() + " (" + std::to_string(server.process().pid()) + ")");
  server.process().Signal(SIGKILL);
  ASSERT_TRUE(server.process().Wait(10s));

  const std::string startedPrefix = "Wardex: started " + program.string() + " again as ";
  const std::optional<std::string> started = wardex.ReadLine(20s);
  ASSERT_TRUE(started && started->starts_with(startedPrefix)) << started.value_or("(nothing)");
  restarted.pid = std::stoi(started->substr(startedPrefix.size()));
  // The restarted server prints into Wardex's output: it runs on the test's lindra.ini.
  ASSERT_TRUE(ReadUntil(wardex, kStarting));
  const auto second = ReadProcessLaunch(restarted.pid);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->arguments, first->arguments);
  EXPECT_EQ(second->environment, first->environment);
  EXPECT_EQ(second->workDir, first->workDir);

  EXPECT_TRUE(ReadUntil(wardex, "DEV01 LAN - connect 실패 ErrNo:111"));
  wardex.Terminate();
}

TEST(WardexRestart, HelpAndBadArgumentsEndAtOnce) {
  const struct {
    std::vector<std::string> args;
    int exitCode;
  } cases[] = {
      {{"--help"}, 0}, {{"-h"}, 0}, {{}, 2}, {{"--bogus"}, 2}, {{"/no/such/server"}, 2}, {{LINDRA2D_PATH, "x"}, 2},
  };
  for (const auto& c : cases) {
    ChildProcess wardex;
    ASSERT_TRUE(wardex.Start(WARDEX_PATH, c.args, ChildProcess::Output::Capture));
    const std::optional<int> status = wardex.Wait(10s);
    ASSERT_TRUE(status) << "Wardex ran on with " << ::testing::PrintToString(c.args);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == c.exitCode) << ::testing::PrintToString(c.args);
    const std::string out = wardex.DrainOutput();
    EXPECT_EQ(out.starts_with("usage: Wardex SERVER_PATH\n"), c.exitCode == 0) << out;
  }
}

}  // namespace
}  // namespace lindra::testing
