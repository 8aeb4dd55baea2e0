// Start-up of the whole server: configuration, old logs, bad input, single instance,
// its private folders.
#include <gtest/gtest.h>

#include <random>

#include "config/lindra_ini.h"
#include "log/log_date.h"
#include "platform/clock.h"
#include "server_harness.h"
#include "stats/daily_statistics.h"

namespace lindra::testing {
namespace {

constexpr const char* kStarting = "[WARN] Starting server... Version:08/10/01";

TEST(DaemonStart, WithoutConfigurationWritesTheDefaultFileAndConnectsNothing) {
  ServerHarness server;
  server.Start();
  ASSERT_TRUE(server.WaitFor(kStarting));
  // The start timer would fire after 1.5 s; nothing may be tried.
  const auto& lines = server.CollectFor(2500ms);
  for (const auto& line : lines) {
    EXPECT_EQ(line.find("Connected"), std::string::npos) << line;
    EXPECT_EQ(line.find("[ERR]"), std::string::npos) << line;
  }
  EXPECT_EQ(server.Stop(), 0);
  const std::string ini = ReadFile(server.workDir() / "lindra.ini");
  EXPECT_EQ(ini.rfind("[DEVICE01]\r\nDEV_NAME=\r\nCOM_PORT=COM1\r\nCOM_BAUDRATE=9600\r\n", 0), 0u) << ini;
  EXPECT_NE(ini.find("[DEVICE02]\r\nDEV_NAME=\r\nDEV_USE=N\r\n"), std::string::npos);
  EXPECT_NE(ini.find("\r\n[CLIENT]\r\nAREACODE=\r\nPROG_PORT=7001\r\nCENTERID=C00000\r\nENCRYPTION=Y\r\n"),
            std::string::npos);
  EXPECT_TRUE(ini.ends_with("\r\n[LOG]\r\nPATH=c:\\brenvo\\Logs\r\n")) << ini;
}

TEST(DaemonStart, EmptyEncryptionRewritesTheWholeFileWithTheDefaultCentre) {
  ServerHarness server;
  WriteFile(server.workDir() / "lindra.ini",
            "[DEVICE01]\r\nDEV_NAME=0\r\nCOM_PORT=COM3\r\nCOM_BAUDRATE=19200\r\n"
            "[CLIENT]\r\nAREACODE=031\r\nPROG_PORT=7001\r\nCENTERID=C12345\r\nENCRYPTION=\r\n"
            "[LOG]\r\nLEVEL=INFO\r\nEXTRA=1\r\n");
  server.Start();
  ASSERT_TRUE(server.WaitFor(kStarting));
  EXPECT_EQ(server.Stop(), 0);
  const std::string ini = ReadFile(server.workDir() / "lindra.ini");
  EXPECT_NE(ini.find("CENTERID=C00000\r\nENCRYPTION=Y\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("COM_PORT=COM3\r\nCOM_BAUDRATE=19200\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("AREACODE=031\r\n"), std::string::npos);
  EXPECT_EQ(ini.find("LEVEL"), std::string::npos) << "keys outside the rewrite are gone";
  EXPECT_EQ(ini.find("EXTRA"), std::string::npos);
}

TEST(DaemonStart, DeletesLogsOlderThanSevenDaysAndReportFilesWithoutDate) {
  ServerHarness server;
  const LocalTime now = SystemClock::Instance().Now();
  const auto oldLog = server.logDir() / ("Program_DEV01_" + DateShift(now, -8, false) + ".log");
  const auto keptLog = server.logDir() / ("Program_DEV01_" + DateShift(now, -7, false) + ".log");
  const auto report = server.logDir() / "H1234_061206_Started.log";
  // Other programs' logs in a shared log folder, however old, are not the server's.
  const std::string oldDay = DateShift(now, -30, false);
  std::vector<std::filesystem::path> foreign;
  for (const std::string& name : {"notes_" + oldDay + ".txt", std::string("dpkg.log"), std::string("Xorg.0.log"),
                                  std::string("app-2026-12-07.log"), "backup_" + oldDay + ".log"})
    foreign.push_back(server.logDir() / name);
  for (const auto& file : {oldLog, keptLog, report}) WriteFile(file, "x");
  for (const auto& file : foreign) WriteFile(file, "x");
  server.Start();
  ASSERT_TRUE(server.WaitFor(kStarting));
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(oldLog));
  EXPECT_TRUE(std::filesystem::exists(keptLog));
  EXPECT_FALSE(std::filesystem::exists(report));
  for (const auto& file : foreign) EXPECT_TRUE(std::filesystem::exists(file)) << file;
}

TEST(DaemonStart, BinaryConfigurationIsReadWithoutCrashing) {
  ServerHarness server;
  std::mt19937 random(7);
  std::string garbage(4096, '\0');
  for (auto& c : garbage) c = static_cast<char>(random());
  garbage += "\n[DEVICE01]\nDEV_NAME=\xff\xfe\nLAN_PORT=-99999999999999999999\n";
  WriteFile(server.workDir() / "lindra.ini", garbage);
  server.Start();
  ASSERT_TRUE(server.WaitFor(kStarting));
  server.CollectFor(2000ms);
  EXPECT_EQ(server.Stop(), 0);
}

TEST(DaemonStart, AbsurdPortsAndMissingTablesGiveClearLines) {
  ServerHarness server;
  WriteFile(server.workDir() / "lindra.ini",
            "[DEVICE01]\r\nDEV_NAME=102\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=99999999\r\n"
            "[CLIENT]\r\nPROG_PORT=7001\r\nCENTERID=C1\r\nENCRYPTION=Y\r\n");
  server.Start();
  ASSERT_TRUE(server.WaitFor(kStarting));
  EXPECT_TRUE(server.WaitFor("[ERR] DEV01 대표전화 테이블 읽기 실패: 2"));
  EXPECT_TRUE(server.WaitFor("[ERR] DEV01 상담원IP 테이블 읽기 실패: 2"));
  EXPECT_TRUE(server.WaitFor("[WARN] DEV01 Broadcasting으로 전환"));
  EXPECT_TRUE(server.WaitFor("[ERR] DEV01 LAN - connect 실패 ErrNo:"));
  EXPECT_TRUE(server.WaitFor("일부 DEVICE가 연결되지 않았습니다."));
  EXPECT_EQ(server.Stop(), 0);
}

TEST(DaemonStart, AWorkFolderThatIsNoFolderIsReported) {
  ServerHarness server;
  const auto notAFolder = server.root() / "plain-file";
  WriteFile(notAFolder, "x");
  server.Start({"--workdir", notAFolder.string()});
  ASSERT_TRUE(server.WaitFor(kStarting));
  EXPECT_TRUE(server.WaitFor("[ERR] lindra.ini 읽기/생성 실패"));
  EXPECT_EQ(server.Stop(), 0);
}

// A shell with XDG_RUNTIME_DIR and a service without it share one lock.
TEST(DaemonStart, ASecondInstanceRefusesAndLeavesTheFirstRunning) {
  ServerHarness first;
  first.Start({}, {"XDG_RUNTIME_DIR=" + first.root().string()});
  ASSERT_TRUE(first.WaitFor(kStarting));
  ChildProcess second;
  ASSERT_TRUE(
      second.Start(LINDRA2D_PATH, first.BaseArgs(), ChildProcess::Output::Capture, {"XDG_RUNTIME_DIR=/nonexistent"}));
  auto status = second.Wait(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
  EXPECT_NE(second.DrainOutput().find("이미 프로그램이 실행 중 입니다."), std::string::npos);
  EXPECT_EQ(first.Stop(), 0) << "the first instance is still running and stops in order";
}

// A private folder or lock that cannot be had is said as such, never as a running server.
TEST(DaemonStart, UnusableStateFolderOrLockPlaceExitsWithItsOwnText) {
  ServerHarness server;
  const auto good = server.root() / "good";
  std::filesystem::create_directory(good);
  std::filesystem::create_symlink(good, server.root() / "link");
  WriteFile(server.root() / "plain-file", "x");
  std::filesystem::create_directories(server.root() / "occupied" / ("lindra2-" + std::to_string(::getuid()) + ".lock"));
  const struct {
    std::filesystem::path stateDir;
    std::string printed;
  } cases[] = {
      {server.root() / "link", "상태 폴더 사용 불가: " + (server.root() / "link").string() + ": 심볼릭 링크입니다"},
      {server.root() / "plain-file" / "state",
       "상태 폴더 사용 불가: " + (server.root() / "plain-file" / "state").string() +
           ": 만들 수 없습니다 (Not a directory)"},
      {server.root() / "occupied", "실행 잠금 파일 생성 실패: " + (server.root() / "occupied").string() + "/lindra2-" +
                                       std::to_string(::getuid()) + ".lock: Is a directory"},
  };
  for (const auto& c : cases) {
    auto args = server.BaseArgs();
    args.insert(args.end(), {"--state-dir", c.stateDir.string()});
    ChildProcess daemon;
    ASSERT_TRUE(daemon.Start(LINDRA2D_PATH, args, ChildProcess::Output::Capture, {"XDG_RUNTIME_DIR=/nonexistent"}));
    auto status = daemon.Wait(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 3) << c.stateDir;
    EXPECT_EQ(daemon.DrainOutput(), c.printed + "\n");
  }
  EXPECT_TRUE(std::filesystem::is_empty(good)) << "nothing was written through the link";
}

TEST(DaemonStart, BadOptionsAreRefusedWithExitCodeTwo) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--broadcast", "nowhere"},
                                               {"--serial", "COM9=/dev/null"},
                                               {"--mirror", "host"},
                                               {"--stat-server", "host:99999"},
                                               {"--no-such-option"},
                                               {"--codepage", "NO-SUCH-CODEPAGE"}}) {
    ServerHarness server;
    ChildProcess daemon;
    auto all = server.BaseArgs();
    all.insert(all.end(), args.begin(), args.end());
    ASSERT_TRUE(daemon.Start(LINDRA2D_PATH, all, ChildProcess::Output::Capture));
    auto status = daemon.Wait(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status)) << args[0];
    EXPECT_EQ(WEXITSTATUS(*status), 2) << args[0];
  }
}

}  // namespace
}  // namespace lindra::testing
