// Start-up of the whole server: configuration, old logs, bad input, single instance,
// its private folders.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <random>
#include <thread>

#include "config/lindra_ini.h"
#include "log/log_date.h"
#include "platform/clock.h"
#include "server_harness.h"
#include "stats/daily_statistics.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra::testing {
namespace {

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

// A server that cannot load ends with a status a service manager acts on, instead of
// idling without configuration or logs. A FIFO at lindra.ini, which no one writes,
// does not hold the start.
TEST(DaemonStart, AnUnusableWorkOrLogFolderEndsTheServer) {
  ServerHarness server;
  const auto notAFolder = server.root() / "plain-file";
  WriteFile(notAFolder, "x");
  const auto withFifo = server.root() / "fifo";
  std::filesystem::create_directory(withFifo);
  ASSERT_EQ(::mkfifo((withFifo / "lindra.ini").c_str(), 0600), 0);
  const struct {
    std::vector<std::string> args;
    std::string line;
    int status;
  } cases[] = {
      {{"--workdir", notAFolder.string()},
       "[ERR] lindra.ini 읽기/생성 실패: " + (notAFolder / "lindra.ini").string(),
       4},
      {{"--log-dir", (notAFolder / "logs").string()},
       "[ERR] 로그 폴더 생성 실패: " + (notAFolder / "logs").string(),
       5},
      {{"--workdir", withFifo.string()},
       "[ERR] lindra.ini 읽기/생성 실패: " + (withFifo / "lindra.ini").string() + " (일반 파일이 아님)",
       4},
  };
  for (const auto& c : cases) {
    auto args = server.BaseArgs();
    args.insert(args.end(), c.args.begin(), c.args.end());
    ChildProcess daemon;
    ASSERT_TRUE(daemon.Start(LINDRA2D_PATH, args, ChildProcess::Output::Capture));
    auto status = daemon.Wait(10s);
    ASSERT_TRUE(status.has_value()) << c.line;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == c.status) << c.line;
    const std::string printed = daemon.DrainOutput();
    EXPECT_NE(printed.find("]" + c.line + "\n"), std::string::npos) << printed;
  }
  EXPECT_EQ(std::filesystem::symlink_status(withFifo / "lindra.ini").type(), std::filesystem::file_type::fifo)
      << "never replaced";
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

// Slot 1 a CTI slot with its tables; Korean text where the rewrite keeps it.
std::array<SlotConfig, kSlotCount> CtiSlots(int ctiPort, int progPort, const std::string& korean) {
  auto slots = Slots(progPort);
  slots[0].modelCode = 202;
  slots[0].lanPort = ctiPort;
  slots[1].lanIp = korean;  // unused slot: the text only has to survive
  return slots;
}

void WriteCtiTables(const ServerHarness& server) {
  WriteFile(server.workDir() / "did.tbl", "705 0333330000\r\n");
  WriteFile(server.workDir() / "ip.tbl", "203 127.0.0.2\r\n");
}

// Under a ko_KR.EUC-KR locale the edges speak EUC-KR without --codepage: the
// start-up rewrite keeps Korean text, and a Korean CTI caller name reaches the
// operator and the telephone log as EUC-KR bytes.
TEST(DaemonStart, LocaleCodePageIsUsedWithoutTheOption) {
  if (!std::filesystem::exists("/usr/bin/localedef")) GTEST_SKIP() << "localedef (package libc-bin) is not installed";
  ServerHarness server;
  const auto locales = server.root() / "locales";
  std::filesystem::create_directory(locales);
  ChildProcess localedef;
  ASSERT_TRUE(localedef.Start("/usr/bin/localedef",
                              {"-i", "ko_KR", "-f", "EUC-KR", (locales / "ko_KR.EUC-KR").string()},
                              ChildProcess::Output::Capture));
  auto built = localedef.Wait(60s);
  ASSERT_TRUE(built && WIFEXITED(*built) && WEXITSTATUS(*built) == 0) << "localedef -i ko_KR -f EUC-KR failed";

  const std::string seoul = "\xEC\x84\x9C\xEC\x9A\xB8";  // "서울" in UTF-8
  const std::string seoulEucKr = "\xBC\xAD\xBF\xEF";
  const std::string nameEucKr = "\xC8\xAB\xB1\xE6\xB5\xBF";  // "홍길동"
  const int progPort = FreeTcpPort({"127.0.0.2"});
  const int ctiPort = ClosedPort();
  Peer operatorPc = Operator("127.0.0.2", progPort);
  const auto slots = CtiSlots(ctiPort, progPort, seoul);
  const std::string previous = text::CodePage();
  ASSERT_TRUE(text::SetCodePage("EUC-KR"));
  const std::string withoutCentre = FullRewriteText(slots, "");
  const std::string rewritten = FullRewriteText(slots, "C00000");
  text::SetCodePage(previous);
  ASSERT_NE(withoutCentre.find("LAN_IP=" + seoulEucKr + "\r\n"), std::string::npos);
  WriteFile(server.workDir() / "lindra.ini", withoutCentre);
  WriteCtiTables(server);

  // glibc never frees its copy of the LOCPATH search path; under the leak checker of
  // a sanitizer build that is no leak of the server's. The frame is named
  // __argz_add_sep or, where glibc has no debug symbols, by its public alias
  // argz_add_sep; a suppression matches a part of the name, so this one takes both.
  WriteFile(server.root() / "lsan.supp", "leak:argz_add_sep\n");
  server.SetCodePage("");
  server.Start({}, {"LOCPATH=" + locales.string(), "LC_ALL=ko_KR.EUC-KR",
                    "LSAN_OPTIONS=suppressions=" + (server.root() / "lsan.supp").string()});
  ASSERT_TRUE(server.WaitFor("[WARN] DEV01 CTI - Listen CTI Event : " + std::to_string(ctiPort)));
  EXPECT_EQ(ReadFile(server.workDir() / "lindra.ini"), rewritten);
  ChildProcess cti;
  ASSERT_TRUE(
      cti.Start(LINDRA_SIM_PATH,
                {"cti", "--connect", "127.0.0.1:" + std::to_string(ctiPort), "--message", "203,705," + nameEucKr},
                ChildProcess::Output::Capture));
  ASSERT_EQ(operatorPc.Expect("|0333330000", 1), 1);
  EXPECT_EQ(NotificationText(operatorPc.received()[0]), "T|" + nameEucKr + "|0333330000");
  EXPECT_EQ(server.Stop(), 0);
  const std::string log =
      ReadFile(server.logDir() / ("Telephone_DEV01_" + LogDate(SystemClock::Instance().Now()) + ".log"));
  const std::string line = "DEV01: T " + nameEucKr + ", 705, 0333330000, 203, 127.0.0.2, , SENT:19\r\n";
  const size_t text = log.find("] ", log.find("[t-"));
  ASSERT_NE(text, std::string::npos) << log;
  EXPECT_EQ(log.substr(text + 2), line) << "after the time, the tag and the thread";
}

// lindra.ini saved as "Unicode" by a Windows editor, in either byte order, is read
// and rewritten in its own encoding; one that cannot be decoded is kept as it is.
TEST(DaemonStart, Utf16ConfigurationIsReadAndRewrittenInItsEncoding) {
  const std::string seoul = "\xEC\x84\x9C\xEC\x9A\xB8";
  for (const IniEncoding encoding : {IniEncoding::Utf16Le, IniEncoding::Utf16Be}) {
    ServerHarness server;
    const int ctiPort = ClosedPort();
    const auto slots = CtiSlots(ctiPort, ClosedPort(), seoul);
    WriteFile(server.workDir() / "lindra.ini", FullRewriteText(slots, "", encoding));
    WriteCtiTables(server);
    server.Start();
    ASSERT_TRUE(server.WaitFor("[WARN] DEV01 CTI - Listen CTI Event : " + std::to_string(ctiPort)));
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(ReadFile(server.workDir() / "lindra.ini"), FullRewriteText(slots, "C00000", encoding));
  }
  ServerHarness server;
  const std::string broken = FullRewriteText(CtiSlots(ClosedPort(), 7001, seoul), "", IniEncoding::Utf16Le) + "\xDC";
  WriteFile(server.workDir() / "lindra.ini", broken);
  server.Start();
  ASSERT_TRUE(server.WaitFor("[ERR] lindra.ini 문자 변환 실패, 파일을 바꾸지 않음: " +
                             (server.workDir() / "lindra.ini").string()));
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(ReadFile(server.workDir() / "lindra.ini"), broken);
}

// A time zone in which it is now about 14:00, far from 09:00 (when the day's logs
// change hands) and from midnight, whatever the machine's clock says; with the
// dates there `days` from today as YYMMDD and YYYYMMDD.
struct AfternoonZone {
  std::string tz;
  int offsetHours = 0;

  AfternoonZone() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    offsetHours = 14 - utc.tm_hour;
    tz = "TZ=LTZ" + std::to_string(-offsetHours);  // POSIX: "LTZ-5" is five hours ahead of UTC
  }
  std::string Date(int days, bool longForm) const {
    const std::time_t then = std::time(nullptr) + (offsetHours * 3600L) + days * 86400L;
    std::tm local{};
    ::gmtime_r(&then, &local);
    return text::Format(longForm ? "%04d%02d%02d" : "%02d%02d%02d",
                        longForm ? local.tm_year + 1900 : local.tm_year % 100, local.tm_mon + 1, local.tm_mday);
  }
};

// The uploads the statistics simulator has stored (upload-NNNN.txt), in order.
std::vector<std::string> StoredUploads(const std::filesystem::path& store) {
  std::vector<std::string> uploads;
  for (int n = 1; std::filesystem::exists(store / text::Format("upload-%04d.txt", n)); ++n)
    uploads.push_back(ReadFile(store / text::Format("upload-%04d.txt", n)));
  return uploads;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);  // polls a file written by another process
  }
  return true;
}

// The bookkeeping of uploaded days lives in the state folder: a link planted there is
// replaced, not written through, and a temporary folder emptied by a reboot does not
// make yesterday go up twice.
TEST(DaemonStart, UploadedDayIsRememberedInTheStateFolderAcrossARestart) {
  ServerHarness server;
  const AfternoonZone zone;
  const auto store = server.root() / "store";
  const auto tmp = server.root() / "tmp";
  std::filesystem::create_directories(tmp);
  Peer statServer({"statserver", "--listen", "127.0.0.1:0", "--headid", "H1234", "--did2", "0299999999",
                   "--upload-time", "00:00", "--store", store.string()});
  const std::string statArg = "127.0.0.1:" + std::to_string(statServer.port());
  const int ctiPort = ClosedPort();
  WriteFile(server.workDir() / "lindra.ini", FullRewriteText(CtiSlots(ctiPort, ClosedPort(), "x"), "C00001"));
  WriteCtiTables(server);
  const std::string yesterday = zone.Date(-1, false);
  const std::string call =
      "10:00:00.0[INFO ] [t-1] DEV01: T 0311112222, 705, 0333330000, 203, 127.0.0.2, , SENT:23\r\n";
  WriteFile(TelephoneLogPath(server.logDir(), 1, yesterday), call);
  std::filesystem::create_directories(server.stateDir());
  WriteFile(server.root() / "victim", "victim");
  std::filesystem::create_symlink(server.root() / "victim", server.stateDir() / kBookkeepingFileName);

  const std::vector<std::string> serverArgs = {"--stat-server", statArg, "--config-server", statArg};
  const std::vector<std::string> environment = {zone.tz, "TMPDIR=" + tmp.string()};
  const std::string dayUpload = "sHeadId=H1234\nsWorkDay=" + yesterday +
                                "\nnAllCnt=1\nnUsedCnt=1\nsLogFile=c:\\brenvo\\logs\\H1234_" + yesterday + ".log\n";
  server.Start(serverArgs, environment);
  ASSERT_TRUE(WaitUntil([&] { return StoredUploads(store).size() >= 2; })) << server.Printed();
  EXPECT_EQ(StoredUploads(store)[1], dayUpload);
  EXPECT_EQ(ReadFile(store / ("upload-0002-H1234_" + yesterday + ".log")),
            call + "DEV01 TOTAL CALLING COUNT: 1\r\nDEV01 BRENVO CALLING COUNT: 1\r\n");
  ASSERT_TRUE(WaitUntil([&] { return ReadLastUpdate(server.stateDir()) == zone.Date(-1, true); }));
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.CountLines("통계"), 0) << "statistics that work say nothing\n" << server.Printed();
  EXPECT_EQ(ReadFile(server.root() / "victim"), "victim");
  EXPECT_FALSE(std::filesystem::is_symlink(server.stateDir() / kBookkeepingFileName));
  EXPECT_TRUE(std::filesystem::is_empty(tmp));

  // After a reboot, which empties the temporary folder: the start is reported again,
  // yesterday is not.
  std::filesystem::remove_all(tmp);
  std::filesystem::create_directories(tmp);
  server.Start(serverArgs, environment);
  ASSERT_TRUE(WaitUntil([&] { return StoredUploads(store).size() >= 3; })) << server.Printed();
  server.CollectFor(6s);  // the scheduler's first pass comes three seconds after the report
  EXPECT_EQ(server.Stop(), 0);
  const auto uploads = StoredUploads(store);
  ASSERT_EQ(uploads.size(), 3u);
  EXPECT_NE(uploads[2].find("sWorkDay=" + zone.Date(0, false) + "\nnAllCnt=-1\n"), std::string::npos) << uploads[2];
}

TEST(DaemonStart, BadOptionsAreRefusedWithExitCodeTwo) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--broadcast", "nowhere"},
                                               {"--serial", "COM9=/dev/null"},
                                               {"--mirror", "host"},
                                               {"--http", "localhost:8780"},
                                               {"--http", "127.0.0.1"},
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
