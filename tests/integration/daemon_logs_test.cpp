// The logs of a running server on a disk that fills or holds a FIFO at a log's name:
// every call still reaches its operator, the log says once what failed and once that
// it works again, and what it holds is whole lines in order.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "config/lindra_ini.h"
#include "log/log_date.h"
#include "server_harness.h"

namespace lindra::testing {
namespace {

// One CTI slot whose calls of extension 203 go to one operator PC at 127.0.0.2.
class CtiSlotServer {
 public:
  CtiSlotServer() : progPort_(FreeTcpPort({"127.0.0.2"})), operator_(Operator("127.0.0.2", progPort_)) {}

  // `levelText`: the program log's [LOG] LEVEL.
  void Start(const std::string& levelText) {
    auto slots = Slots(progPort_);
    slots[0].modelCode = 202;
    slots[0].lanPort = ctiPort_;
    ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
    server.WriteTables(
        {{"lindra.ini", ReadFile(server.workDir() / "lindra.ini") + "[LOG]\r\nLEVEL=" + levelText + "\r\n"},
         {"did.tbl", "705 0333330000\r\n"},
         {"ip.tbl", "203 127.0.0.2\r\n"}});
    server.Start();
    ASSERT_TRUE(server.WaitFor("[WARN] DEV01 CTI - Listen CTI Event : " + std::to_string(ctiPort_)));
  }

  // The CTI program sends call `n` (caller 03111100nn); waits until the operator has
  // every notification so far.
  void Call(int n) {
    const std::string caller = CallerNumber(n);
    ChildProcess cti;
    ASSERT_TRUE(cti.Start(
        LINDRA_SIM_PATH,
        {"cti", "--connect", "127.0.0.1:" + std::to_string(ctiPort_), "--count", "1", "--message", "203,705," + caller},
        ChildProcess::Output::Capture));
    notifications_ += "T|" + caller + "|0333330000";
    EXPECT_EQ(operator_.WaitForBytes(notifications_.size()), notifications_);
  }

  static std::string CallerNumber(int n) {
    return n < 10 ? "031111000" + std::to_string(n) : "03111100" + std::to_string(n);
  }
  static std::string TelephoneEntry(int n) {
    return "DEV01: T " + CallerNumber(n) + ", 705, 0333330000, 203, 127.0.0.2, , SENT:23";
  }

  // How many printed message-log lines are exactly `line`.
  int Said(const std::string& line) const {
    const auto messages = server.MessagesFrom(kStarting);
    return static_cast<int>(std::count(messages.begin(), messages.end(), line));
  }

  ServerHarness server;

 private:
  const int progPort_;
  const int ctiPort_ = ClosedPort();
  Peer operator_;
  std::string notifications_;
};

TEST(DaemonLogs, AFullDiskLosesNoCallAndTheTelephoneLogCatchesUpWholeAndInOrder) {
  CtiSlotServer cti;
  cti.Start("ERROR");  // the program log stays empty: only the telephone log meets the limit
  cti.Call(1);
  cti.Call(2);
  ASSERT_TRUE(cti.server.WaitForLogEntries("Telephone_DEV01_", 2));
  std::filesystem::path telephone;
  for (const auto& entry : std::filesystem::directory_iterator(cti.server.logDir()))
    if (entry.path().filename().string().starts_with("Telephone_DEV01_")) telephone = entry.path();
  // Room for 30 bytes more: the next line is torn by the limit and has to be cut back.
  ASSERT_TRUE(cti.server.LimitFileSize(std::filesystem::file_size(telephone) + 30));
  for (int n = 3; n <= 5; ++n) cti.Call(n);
  const std::string failed = "[ERR] 로그 파일 쓰기 실패: " + telephone.string() + " (ErrNo:27)";
  ASSERT_TRUE(cti.server.WaitFor(failed));
  cti.server.CollectFor(1500ms);  // a retry or more, each failing again
  EXPECT_EQ(cti.Said(failed), 1);

  ASSERT_TRUE(cti.server.LimitFileSize(std::nullopt));
  const std::string recovered = "[WARN] 로그 파일 쓰기 복구: " + telephone.string();
  ASSERT_TRUE(cti.server.WaitFor(recovered));
  EXPECT_EQ(cti.server.Stop(), 0);
  EXPECT_EQ(cti.Said(failed), 1);
  EXPECT_EQ(cti.Said(recovered), 1);
  const std::string log = ReadFile(telephone);
  EXPECT_TRUE(log.ends_with("\r\n")) << log;
  std::vector<std::string> expected;
  for (int n = 1; n <= 5; ++n) expected.push_back(CtiSlotServer::TelephoneEntry(n));
  EXPECT_EQ(LogEntries(log), expected) << log;
}

TEST(DaemonLogs, AFifoAtTodaysTelephoneLogHoldsUpNeitherTheStartNorTheCallsNorTheStop) {
  CtiSlotServer cti;
  // Today's log date, and the next one should the test run into 09:00.
  const LocalTime now = SystemClock::Instance().Now();
  std::set<std::filesystem::path> fifos;
  for (const std::string& date : {LogDate(now), DateShift(now, 0, false)})
    fifos.insert(cti.server.logDir() / ("Telephone_DEV01_" + date + ".log"));
  for (const auto& fifo : fifos) ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  cti.Start("DEBUG");
  const std::string failedPrefix = "[ERR] 로그 파일 열기 실패: ";
  // Said at the start, before the link's own lines (or after, were the writer late).
  ASSERT_TRUE(cti.server.CountLines(failedPrefix) > 0 || cti.server.WaitFor(failedPrefix));
  const auto messages = cti.server.MessagesFrom(kStarting);
  const auto failed =
      std::find_if(messages.begin(), messages.end(), [&](const std::string& m) { return m.starts_with(failedPrefix); });
  ASSERT_NE(failed, messages.end());
  std::filesystem::path fifo;
  for (const auto& name : fifos)
    if (*failed == failedPrefix + name.string() + " (ErrNo:6)") fifo = name;
  ASSERT_FALSE(fifo.empty()) << *failed;

  cti.Call(1);
  EXPECT_EQ(cti.server.Stop(), 0);
  EXPECT_EQ(cti.Said(*failed), 1);
  EXPECT_EQ(cti.Said("[ERR] 로그 파일 쓰기 포기: " + fifo.string() + " (버린 줄 1)"), 1) << cti.server.Printed();
  for (const auto& name : fifos) EXPECT_EQ(std::filesystem::status(name).type(), std::filesystem::file_type::fifo);
  const auto program = LogEntries(cti.server.LogText("Program_DEV01_"));
  EXPECT_EQ(std::count(program.begin(), program.end(), "CTI Server stopped ----------------------"), 1)
      << "the program log goes on";
}

}  // namespace
}  // namespace lindra::testing
