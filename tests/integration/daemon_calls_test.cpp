// Calls through the whole server: simulated exchanges and the CTI program on one
// side, simulated operator PCs on the other, lindra2d in between.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <regex>

#include "config/lindra_ini.h"
#include "server_harness.h"

namespace lindra::testing {
namespace {

// The operators of a slot share its notification port, each on its own address.
int FreeOperatorPort() { return FreeTcpPort({"127.0.0.2", "127.0.0.3"}); }

std::string TelephoneLog(const ServerHarness& server, int slotNo) {
  return server.LogText("Telephone_DEV0" + std::to_string(slotNo) + "_");
}

TEST(DaemonCalls, SerialLanAndCtiSlotsReachTheirOperatorsAndLogEverySend) {
  ServerHarness server;
  const int progPort = FreeOperatorPort();
  Peer operatorA = Operator("127.0.0.2", progPort);
  Peer operatorB = Operator("127.0.0.3", progPort);
  Peer serial({"serial", "--model", "2", "--count", "3", "--rate", "20", "--trunks", "701", "--extensions", "201",
               "--hold", "60"});
  Peer exchange({"exchange", "--model", "102", "--listen", "127.0.0.1:0", "--count", "3", "--rate", "20", "--trunks",
                 "703", "--extensions", "202", "--hold", "60"});
  const int ctiPort = ClosedPort();

  auto slots = Slots(progPort);
  slots[0].modelCode = 2;
  slots[1].devUse = true;
  slots[1].modelCode = 102;
  slots[1].lanPort = exchange.port();
  slots[2].devUse = true;
  slots[2].modelCode = 202;
  slots[2].lanPort = ctiPort;
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  server.WriteTables({{"did.tbl", "701 0211110000\r\n"},
                      {"ip.tbl", "201 127.0.0.2\r\n"},
                      {"did2.tbl", "700:709 0222220000\r\n"},
                      {"ip2.tbl", "202 127.0.0.3\r\n"},
                      {"did3.tbl", "705 0333330000\r\n"},
                      {"ip3.tbl", "203 127.0.0.2\r\n203 127.0.0.3\r\n"}});

  server.Start({"--serial", "COM1=" + serial.announced()});
  ASSERT_TRUE(server.WaitFor("[WARN] Connected PBX : COM1, 9600"));
  ASSERT_TRUE(server.WaitFor("[WARN] DEV02 Connected PBX : 127.0.0.1, " + std::to_string(exchange.port())));
  ASSERT_TRUE(server.WaitFor("[WARN] DEV03 CTI - Listen CTI Event : " + std::to_string(ctiPort)));

  ChildProcess cti;
  ASSERT_TRUE(cti.Start(LINDRA_SIM_PATH,
                        {"cti", "--connect", "127.0.0.1:" + std::to_string(ctiPort), "--count", "2", "--rate", "20",
                         "--message", "203,705,0311112222"},
                        ChildProcess::Output::Capture));

  EXPECT_EQ(operatorA.Expect("|0211110000", 3), 3) << "serial calls of trunk 701 to extension 201";
  EXPECT_EQ(operatorA.Expect("T|0311112222|0333330000", 2), 2) << "CTI calls to both operators of 203";
  EXPECT_EQ(operatorB.Expect("|0222220000", 3), 3) << "LAN calls of the range 700:709 to extension 202";
  EXPECT_EQ(operatorB.Expect("T|0311112222|0333330000", 2), 2);

  EXPECT_EQ(server.Stop(), 0);
  const std::string dev1 = TelephoneLog(server, 1);
  EXPECT_EQ(Count(dev1, ", 701, 0211110000, 201, 127.0.0.2, "), 3) << dev1;
  EXPECT_EQ(Count(dev1, "SENT:23\r\n"), 3) << "T|<10-digit caller>|<10-digit DID> is 23 bytes";
  EXPECT_EQ(Count(TelephoneLog(server, 2), ", 703, 0222220000, 202, 127.0.0.3, "), 3);
  const std::string dev3 = TelephoneLog(server, 3);
  EXPECT_EQ(Count(dev3, "DEV03: T 0311112222, 705, 0333330000, 203, 127.0.0.2, , SENT:23\r\n"), 2) << dev3;
  EXPECT_EQ(Count(dev3, "DEV03: T 0311112222, 705, 0333330000, 203, 127.0.0.3, , SENT:23\r\n"), 2) << dev3;
}

TEST(DaemonCalls, OneSlotThatCannotConnectIsReportedOnceAndTheOthersServe) {
  ServerHarness server;
  const int progPort = FreeOperatorPort();
  Peer operatorA = Operator("127.0.0.2", progPort);
  Peer serial({"serial", "--model", "5", "--count", "2", "--rate", "20", "--trunks", "701", "--extensions", "201",
               "--hold", "60"});
  auto slots = Slots(progPort);
  slots[0].modelCode = 5;
  slots[1].devUse = true;
  slots[1].modelCode = 102;
  slots[1].lanPort = ClosedPort();
  slots[0].areaCode = slots[1].areaCode = "02";
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  server.WriteTables({{"did.tbl", "701 0211110000\r\n"}, {"ip.tbl", "201 127.0.0.2\r\n"}});

  server.Start({"--serial", "COM1=" + serial.announced()});
  ASSERT_TRUE(server.WaitFor("[WARN] Connected PBX : COM1, 9600"));
  ASSERT_TRUE(server.WaitFor("[ERR] DEV02 LAN - connect 실패 ErrNo:111"));
  ASSERT_TRUE(server.WaitFor("일부 DEVICE가 연결되지 않았습니다."));
  EXPECT_EQ(operatorA.Expect("|0211110000", 2), 2);
  server.CollectFor(500ms);
  EXPECT_EQ(server.CountLines("일부 DEVICE가 연결되지 않았습니다."), 1);
  EXPECT_EQ(server.Stop(), 0);
}

// A LAN slot with one operator for trunk 701 and extension 201, on `exchange`.
void ConfigureLanSlot(const ServerHarness& server, uint32_t model, int exchangePort, int progPort) {
  auto slots = Slots(progPort);
  slots[0].modelCode = model;
  slots[0].lanPort = exchangePort;
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  server.WriteTables({{"did.tbl", "701 0211110000\r\n"}, {"ip.tbl", "201 127.0.0.2\r\n"}});
}

// Counted and retried like any refused connect, then quietly with a short back-off:
// the exchange is down for about 5.5 s, the link back at its quiet attempt 6 s after
// the loss (after 1, 2 and 3 s announced, 4 s quiet).
TEST(DaemonCalls, AnExchangeThatRebootsIsAnnouncedThreeTimesThenRetriedQuietlyUntilItServesAgain) {
  ServerHarness server;
  const int progPort = FreeOperatorPort();
  Peer operatorPc = Operator("127.0.0.2", progPort);
  // The reset comes with the second call, half a second after the connect; the third
  // waits for the next connection.
  Peer exchange({"exchange", "--model", "102",   "--listen", "127.0.0.1:0", "--count",
                 "3",        "--rate",  "2",     "--trunks", "701",         "--extensions",
                 "201",      "--drop",  "reset", "--after",  "2",           "--refuse-reconnects",
                 "5",        "--hold",  "60"});
  ConfigureLanSlot(server, 102, exchange.port(), progPort);

  server.Start();
  ASSERT_TRUE(server.WaitFor("[WARN] DEV01 Connected PBX : 127.0.0.1"));
  ASSERT_TRUE(server.WaitFor("[WARN] DEV01 Reconnected PBX : 127.0.0.1", 20s));
  ASSERT_EQ(operatorPc.Expect("T|", 3), 3);
  EXPECT_EQ(
      NotificationTexts(operatorPc),
      (std::vector<std::string>{"T|0212340000|0211110000", "T|0212340001|0211110000", "T|0212340002|0211110000"}));
  EXPECT_EQ(server.MessagesFrom("[ERR] recv 실패 : 104"),
            (std::vector<std::string>{
                "[ERR] recv 실패 : 104",
                "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)",
                "[ERR] connect 실패: 111",
                "[ERR] recv 실패 : 107",
                "[ERR] 기존 연결 에러/종료됨. 연결 재시도(2회)",
                "[ERR] connect 실패: 111",
                "[ERR] recv 실패 : 107",
                "[ERR] 기존 연결 에러/종료됨. 연결 재시도(3회)",
                "[ERR] connect 실패: 111",
                "[ERR] DEV01 연결 재시도 3회 실패. 최대 5초 간격으로 재연결 시도",
                "[WARN] DEV01 Reconnected PBX : 127.0.0.1, " + std::to_string(exchange.port()),
            }));
  EXPECT_EQ(server.Stop(), 0);
}

// The quiet attempts after the three announced ones wait a second, then two: a link
// driven flat out would print the same lines milliseconds apart.
TEST(DaemonCalls, AnExchangeThatClosesEveryConnectionAtOnceUsesUpThreeAttempts) {
  ServerHarness server;
  // An operator PC that answers: the server's connect to it prints nothing among the link's lines.
  const int progPort = FreeOperatorPort();
  Peer operatorPc = Operator("127.0.0.2", progPort);
  Peer exchange({"exchange", "--model", "102", "--listen", "127.0.0.1:0", "--close-at-once", "--seconds", "60"});
  ConfigureLanSlot(server, 102, exchange.port(), progPort);

  server.Start();
  const std::string givenUp = "[ERR] DEV01 연결 재시도 3회 실패. 최대 5초 간격으로 재연결 시도";
  const std::string reconnected = "[WARN] DEV01 Reconnected PBX : 127.0.0.1, " + std::to_string(exchange.port());
  for (int quiet = 0; quiet < 2; ++quiet) {
    ASSERT_TRUE(server.WaitFor(givenUp));
    ASSERT_TRUE(server.WaitFor(reconnected));
  }
  EXPECT_EQ(server.MessagesFrom("[ERR] recv 실패 : 0"),
            (std::vector<std::string>{
                "[ERR] recv 실패 : 0",
                "[ERR] 기존 연결 에러/종료됨. 연결 재시도(1회)",
                "[ERR] recv 실패 : 0",
                "[ERR] 기존 연결 에러/종료됨. 연결 재시도(2회)",
                "[ERR] recv 실패 : 0",
                "[ERR] 기존 연결 에러/종료됨. 연결 재시도(3회)",
                "[ERR] recv 실패 : 0",
                givenUp,
                reconnected,
                "[ERR] recv 실패 : 0",
                givenUp,
                reconnected,
            }));
  const auto given = server.StampsOf(givenUp), back = server.StampsOf(reconnected);
  ASSERT_EQ(given.size(), 2u);
  ASSERT_EQ(back.size(), 2u);
  // A stamp keeps whole milliseconds; a run across midnight wraps.
  const auto pause = [](std::chrono::milliseconds from, std::chrono::milliseconds to) {
    return (to - from + 24h) % 24h + 1ms;
  };
  EXPECT_GE(pause(given[0], back[0]), 1000ms);
  EXPECT_GE(pause(given[1], back[1]), 2000ms);
  EXPECT_EQ(server.Stop(), 0);
}

TEST(DaemonCalls, AFrameCutByAResetIsDroppedAndLoggedAndTheNextConnectionStartsAfresh) {
  ServerHarness server;
  const int progPort = FreeOperatorPort();
  Peer operatorPc = Operator("127.0.0.2", progPort);
  // Call 1 whole, call 2 cut in half by the reset, call 3 whole on the next connection.
  Peer exchange({"exchange", "--model", "103",      "--listen",    "127.0.0.1:0",  "--count", "3",
                 "--rate",   "5",       "--trunks", "701",         "--extensions", "201",     "--drop",
                 "reset",    "--after", "2",        "--cut-frame", "--hold",       "60"});
  ConfigureLanSlot(server, 103, exchange.port(), progPort);

  server.Start();
  ASSERT_EQ(operatorPc.Expect("T|", 2), 2);
  EXPECT_EQ(NotificationTexts(operatorPc),
            (std::vector<std::string>{"T|0212340000|0211110000", "T|0212340002|0211110000"}));
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(server.CountLines("구분에러"), 0) << server.Printed();
  const std::string program = server.LogText("Program_DEV01_");
  EXPECT_EQ(Count(program, "DEV01: PARSE ----->"), 2) << program;
  EXPECT_EQ(Count(program, "연결 끊김, 미완성 프레임 버림 ("), 1) << program;
  EXPECT_EQ(Count(TelephoneLog(server, 1), ", 701, 0211110000, 201, 127.0.0.2, "), 2);
}

TEST(DaemonCalls, FramesTrickledByteByByteWithGarbageBetweenArriveWhole) {
  ServerHarness server;
  const int progPort = FreeOperatorPort();
  Peer operatorPc = Operator("127.0.0.2", progPort);
  Peer exchange({"exchange", "--model", "105", "--listen", "127.0.0.1:0", "--count", "3", "--rate", "5", "--trunks",
                 "701", "--extensions", "201", "--trickle", "2", "--garbage", "--hold", "60"});
  ConfigureLanSlot(server, 105, exchange.port(), progPort);

  server.Start();
  ASSERT_EQ(operatorPc.Expect("T|", 3), 3);
  EXPECT_EQ(
      NotificationTexts(operatorPc),
      (std::vector<std::string>{"T|0212340000|0211110000", "T|0212340001|0211110000", "T|0212340002|0211110000"}));
  EXPECT_EQ(server.Stop(), 0);
}

// A CTI slot without operator table broadcasts nothing: its events go through the
// operators' senders, which have no operator for them.
TEST(DaemonCalls, WithoutOperatorTableEachSerialEventIsOneDatagramAndNoCtiEventIsBroadcast) {
  ServerHarness server;
  const int progPort = FreeOperatorPort();
  const int ctiPort = ClosedPort();
  Peer receiver({"operator", "--udp", "--listen", "127.255.255.255:" + std::to_string(progPort), "--seconds", "120"});
  Peer serial({"serial", "--model", "2", "--count", "2", "--rate", "20", "--trunks", "701", "--extensions", "201",
               "--hold", "60"});
  auto slots = Slots(progPort);
  slots[0].modelCode = 2;
  slots[1].devUse = true;
  slots[1].modelCode = 202;
  slots[1].lanPort = ctiPort;
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  server.WriteTables({{"did.tbl", "701 0211110000\r\n"}, {"did2.tbl", "705 0333330000\r\n"}});

  server.Start({"--serial", "COM1=" + serial.announced()});
  ASSERT_TRUE(server.WaitFor("[WARN] DEV01 Broadcasting으로 전환"));
  ASSERT_TRUE(server.WaitFor("[WARN] DEV02 Broadcasting으로 전환"));
  ASSERT_TRUE(server.WaitFor("[WARN] DEV02 CTI - Listen CTI Event : " + std::to_string(ctiPort)));
  EXPECT_EQ(receiver.Expect("|0211110000", 2), 2);
  EXPECT_TRUE(server.WaitFor("send : 0 -> DID:0211110000, CID:0212340000"));
  ChildProcess cti;
  ASSERT_TRUE(cti.Start(LINDRA_SIM_PATH,
                        {"cti", "--connect", "127.0.0.1:" + std::to_string(ctiPort), "--message", "203,705,0311112222"},
                        ChildProcess::Output::Capture));
  ASSERT_TRUE(cti.Wait(20s).has_value());
  EXPECT_EQ(server.Stop(), 0);  // the message received is handed on first
  EXPECT_EQ(Count(TelephoneLog(server, 1), "send : 0 -> DID:0211110000, CID:"), 2);
  EXPECT_EQ(server.CountLines("send : "), 2) << server.Printed();
  EXPECT_EQ(TelephoneLog(server, 2), "");
  const std::vector<std::string> program = LogEntries(server.LogText("Program_DEV02_"));
  const auto parsed = std::find(program.begin(), program.end(), "203,705,0311112222");
  ASSERT_NE(parsed, program.end()) << server.LogText("Program_DEV02_");
  EXPECT_NE(std::find(parsed, program.end(), "IP LIST COUNT: 0"), program.end()) << server.LogText("Program_DEV02_");
}

// What a newcomer sees first: labelled calls, each operator PC named on what it
// received, no refused connection on the way, and nothing left behind but the logs
// asked for.
TEST(DaemonCalls, TheDemoShowsLabelledCallsAndLeavesOnlyTheLogsAskedFor) {
  ServerHarness server;
  const auto tmp = server.root() / "tmp";
  std::filesystem::create_directories(tmp);
  server.CaptureStandardError();
  server.Start({"--demo"}, {"TMPDIR=" + tmp.string()});
  ASSERT_TRUE(server.WaitFor("[WARN] DEV03 CTI - Listen CTI Event", 20s));
  ASSERT_TRUE(server.WaitFor("T|0312345678|0312340002", 20s)) << "the CTI program's call reaches its operator";
  EXPECT_EQ(server.Stop(), 0);
  const std::regex call(
      R"(CALL DEV0[1-3]: trunk=\d+ ext=\d+ DID=\d+ operator=127\.0\.0\.[23] caller=\d+ time=[\d:.]+ kind=\S+)");
  const std::regex received(R"(PC 127\.0\.0\.[23]: [\d:.]+ 127\.0\.0\.1:\d+ [TRHN]\|\d+\|\d+)");
  int calls = 0, receipts = 0;
  for (const auto& line : server.lines()) {
    EXPECT_EQ(line.find("refused"), std::string::npos) << line;  // a peer started too early
    if (line.starts_with("CALL ")) {
      EXPECT_TRUE(std::regex_match(line, call)) << line;
      ++calls;
    }
    if (line.starts_with("PC ") && line.find("probe") == std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, received)) << line;
      ++receipts;
    }
  }
  EXPECT_GT(calls, 0);
  EXPECT_GT(receipts, 0);
  EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "the demo's folder is gone";
  bool logged = false;
  for (const auto& entry : std::filesystem::directory_iterator(server.logDir()))
    logged = logged || entry.path().filename().string().starts_with("Program_DEV03_");
  EXPECT_TRUE(logged) << "the logs went to --log-dir";
}

}  // namespace
}  // namespace lindra::testing
