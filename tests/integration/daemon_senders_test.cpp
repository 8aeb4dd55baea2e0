// Calls through the whole server where the peers misbehave or the input is awkward:
// operator PCs that hang, drop or read slowly, CTI programs that burst, keep silent,
// trickle or hold thousands of connections, Korean names longer than their field, LG
// arrows and area codes.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>

#include "config/lindra_ini.h"
#include "server_harness.h"
#include "text/strings.h"

namespace lindra::testing {
namespace {

constexpr int kPersistentPort = 8001;

std::string Notification(const std::string& caller, const std::string& did) { return "T|" + caller + "|" + did; }

std::string TelephoneEntry(int slotNo, const std::string& caller, const std::string& trunk, const std::string& did,
                           const std::string& extension, const std::string& ip, int sent) {
  return "DEV0" + std::to_string(slotNo) + ": T " + caller + ", " + trunk + ", " + did + ", " + extension + ", " + ip +
         ", , SENT:" + std::to_string(sent);
}

// The entries of one slot's telephone log that name `ip`, in order.
std::vector<std::string> EntriesFor(const ServerHarness& server, int slotNo, const std::string& ip) {
  std::vector<std::string> found;
  for (const auto& entry : LogEntries(server.LogText("Telephone_DEV0" + std::to_string(slotNo) + "_")))
    if (entry.find(", " + ip + ", ") != std::string::npos) found.push_back(entry);
  return found;
}

// A server whose slot 1 is a CTI link; calls to extension 203 on trunk 705 go to `ips`.
struct CtiServer {
  CtiServer(int progPort, const std::vector<std::string>& ips, std::vector<std::string> extra = {}) {
    auto slots = Slots(progPort);
    slots[0].modelCode = 202;
    slots[0].lanPort = ctiPort;
    EXPECT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
    std::string operators;
    for (const auto& ip : ips) operators += "203 " + ip + "\r\n";
    server.WriteTables({{"did.tbl", "705 0333330000\r\n"}, {"ip.tbl", operators}});
    server.Start(std::move(extra));
    EXPECT_TRUE(server.WaitFor("[WARN] DEV01 CTI - Listen CTI Event : " + std::to_string(ctiPort)));
  }

  std::string ctiAddress() const { return "127.0.0.1:" + std::to_string(ctiPort); }

  // Sends the messages one connection each, one after another, and waits until the
  // program has sent them all.
  void Call(int count, const std::string& message, std::vector<std::string> mode = {"--rate", "20"}) const {
    ChildProcess cti;
    std::vector<std::string> args{"cti",       "--connect", ctiAddress(), "--count", std::to_string(count),
                                  "--message", message};
    args.insert(args.end(), mode.begin(), mode.end());
    ASSERT_TRUE(cti.Start(LINDRA_SIM_PATH, args, ChildProcess::Output::Capture));
    ASSERT_TRUE(cti.Wait(60s).has_value());
  }

  const int ctiPort = ClosedPort();
  ServerHarness server;
};

TEST(DaemonSenders, OperatorPcsThatHangDropOrReadSlowlyCostOnlyTheirOwnNotifications) {
  for (const bool persistent : {false, true}) {
    SCOPED_TRACE(persistent ? "PROG_PORT 8001" : "one connection per call");
    std::vector<std::string> ips{"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    int progPort = FreeTcpPort(ips);
    if (persistent) {
      progPort = kPersistentPort;
      for (auto& ip : ips) ip = LoopbackAddressWithFreePort(kPersistentPort);
    }
    auto pc = [&](int i, std::vector<std::string> mode) {
      std::vector<std::string> args{"operator", "--listen", ips[i] + ":" + std::to_string(progPort), "--seconds",
                                    "120"};
      if (persistent) args.push_back("--persistent");
      args.insert(args.end(), mode.begin(), mode.end());
      return Peer(args);
    };
    Peer normal = pc(0, {});
    Peer hanging = pc(1, {"--never-read"});
    Peer dropping = pc(2, {"--drop", "reset"});
    Peer slow = pc(3, {"--read-gap", "20"});
    CtiServer cti(progPort, ips);
    cti.Call(3, "203,705,031111222{n}");

    std::string expected;
    for (const char* caller : {"0311112221", "0311112222", "0311112223"})
      expected += Notification(caller, "0333330000");
    EXPECT_EQ(normal.WaitForBytes(expected.size()), expected);
    EXPECT_EQ(slow.WaitForBytes(expected.size()), expected);
    // Every call has its line for every operator, whatever the PC did with it.
    ASSERT_TRUE(cti.server.WaitForLogEntries("Telephone_DEV01_", 12));
    EXPECT_EQ(cti.server.Stop(), 0);
    for (int i : {0, 1, 3}) {
      std::vector<std::string> sent;
      for (const char* caller : {"0311112221", "0311112222", "0311112223"})
        sent.push_back(TelephoneEntry(1, caller, "705", "0333330000", "203", ips[i], 23));
      EXPECT_EQ(EntriesFor(cti.server, 1, ips[i]), sent) << ips[i];
    }
    // A PC that resets every connection may still take a notification before the reset
    // reaches the server; either way the call is logged once, and the server does not
    // spin on reconnects: the start test, then at most two connections per call.
    const std::vector<std::string> dropped = EntriesFor(cti.server, 1, ips[2]);
    ASSERT_EQ(dropped.size(), 3u);
    for (const std::string& entry : dropped) {
      EXPECT_TRUE(entry.ends_with(", SENT:-1") || entry.ends_with(", SENT:23")) << entry;
      EXPECT_TRUE(entry.starts_with("DEV01: T 031111222")) << entry;
    }
    dropping.Stop();
    EXPECT_LE(Count(dropping.Bytes(), "(reset)"), 7);
    hanging.Stop();
    EXPECT_EQ(Count(hanging.Bytes(), "(accepted)"), persistent ? 1 : 4);
  }
}

TEST(DaemonSenders, AnOperatorPcThatGoesAwayOrComesBackIsOneMessageAndJournalLineEachTime) {
  const int progPort = FreeTcpPort({"127.0.0.2", "127.0.0.3"});
  const std::string away = "127.0.0.3:" + std::to_string(progPort);
  Peer present = Operator("127.0.0.2", progPort);
  auto hanging = std::make_unique<Peer>(std::vector<std::string>{"operator", "--listen", away, "--hang"});
  CtiServer cti(progPort, {"127.0.0.2", "127.0.0.3"}, {"--journal"});
  // The start tests: the PC that drops connection requests fails at the connect time
  // limit; the one that is there says nothing.
  ASSERT_TRUE(cti.server.WaitFor("[ERR] DEV01 상담원 PC 응답 없음: 127.0.0.3 (110)"));
  hanging.reset();
  auto back = std::make_unique<Peer>(std::vector<std::string>{"operator", "--listen", away, "--seconds", "120"});
  cti.Call(1, "203,705,0311112221");
  const std::string first = Notification("0311112221", "0333330000");
  EXPECT_EQ(back->WaitForBytes(first.size()), first);
  ASSERT_TRUE(cti.server.WaitFor("[WARN] DEV01 상담원 PC 연결 복구: 127.0.0.3"));
  back->Stop();  // refusing from now on
  cti.Call(1, "203,705,0311112222");
  ASSERT_TRUE(cti.server.WaitFor("[ERR] DEV01 상담원 PC 응답 없음: 127.0.0.3 (111)"));
  cti.Call(1, "203,705,0311112223");
  ASSERT_TRUE(cti.server.WaitForLogEntries("Telephone_DEV01_", 6));
  EXPECT_EQ(cti.server.Stop(), 0);

  std::vector<std::string> rowLines;  // "<priority>" and the text, without the time between them
  for (const auto& line : cti.server.lines())
    if (line.find("상담원 PC") != std::string::npos)
      rowLines.push_back(line.substr(0, 3) + line.substr(line.find(']') + 1));
  EXPECT_EQ(rowLines, (std::vector<std::string>{"<3>[ERR] DEV01 상담원 PC 응답 없음: 127.0.0.3 (110)",
                                                "<4>[WARN] DEV01 상담원 PC 연결 복구: 127.0.0.3",
                                                "<3>[ERR] DEV01 상담원 PC 응답 없음: 127.0.0.3 (111)"}));
  EXPECT_EQ(EntriesFor(cti.server, 1, "127.0.0.3"),
            (std::vector<std::string>{TelephoneEntry(1, "0311112221", "705", "0333330000", "203", "127.0.0.3", 23),
                                      TelephoneEntry(1, "0311112222", "705", "0333330000", "203", "127.0.0.3", -1),
                                      TelephoneEntry(1, "0311112223", "705", "0333330000", "203", "127.0.0.3", -1)}));
  EXPECT_EQ(present.WaitForBytes(3 * first.size()),
            first + Notification("0311112222", "0333330000") + Notification("0311112223", "0333330000"));
}

TEST(DaemonSenders, CallsWaitingForAPcThatClosedAndCannotBeReachedAreLoggedAsNotSent) {
  const std::string ip = LoopbackAddressWithFreePort(kPersistentPort);
  Peer pc({"operator", "--listen", ip + ":8001", "--persistent", "--seconds", "120"});
  CtiServer cti(kPersistentPort, {ip});
  cti.Call(1, "203,705,0311112221");
  const std::string first = Notification("0311112221", "0333330000");
  ASSERT_EQ(pc.WaitForBytes(first.size()), first);
  pc.Stop();  // the PC closes its connection and refuses from now on

  cti.Call(2, "203,705,031111222{n}");
  ASSERT_TRUE(cti.server.WaitForLogEntries("Telephone_DEV01_", 3));
  EXPECT_EQ(EntriesFor(cti.server, 1, ip),
            (std::vector<std::string>{TelephoneEntry(1, "0311112221", "705", "0333330000", "203", ip, 23),
                                      TelephoneEntry(1, "0311112221", "705", "0333330000", "203", ip, -1),
                                      TelephoneEntry(1, "0311112222", "705", "0333330000", "203", ip, -1)}));
  EXPECT_EQ(cti.server.Stop(), 0);
}

TEST(DaemonSenders, ABurstOfCtiCallsKeepsItsOrderPastSilentAndTricklingPrograms) {
  const std::string ip = LoopbackAddressWithFreePort(kPersistentPort);
  Peer pc({"operator", "--listen", ip + ":8001", "--persistent", "--seconds", "120"});
  CtiServer cti(kPersistentPort, {ip});
  Peer silent({"cti", "--connect", cti.ctiAddress(), "--silent", "--hold", "60"});
  Peer trickling({"cti", "--connect", cti.ctiAddress(), "--trickle", "--hold", "60"});
  cti.Call(12, "203,705,0310000{n}", {"--burst"});

  std::string expected;
  std::vector<std::string> entries;
  for (int n = 1; n <= 12; ++n) {
    const std::string caller = "0310000" + std::to_string(n);
    expected += Notification(caller, "0333330000");
    entries.push_back(TelephoneEntry(1, caller, "705", "0333330000", "203", ip, static_cast<int>(caller.size()) + 13));
  }
  EXPECT_EQ(pc.WaitForBytes(expected.size()), expected);
  EXPECT_EQ(cti.server.Stop(), 0);
  EXPECT_EQ(EntriesFor(cti.server, 1, ip), entries);
  // The burst went on while the silent program was still connected: its connection
  // ends (at the idle limit or the stop) after the last of the burst was parsed.
  const std::vector<std::string> program = LogEntries(cti.server.LogText("Program_DEV01_"));
  size_t lastBurst = 0, silentEnd = 0;
  for (size_t i = 0; i < program.size(); ++i) {
    if (program[i] == "203,705,031000012") lastBurst = i;
    if (program[i].starts_with("접속 끊김: [CONTEXT:1,")) silentEnd = i;
  }
  EXPECT_GT(lastBurst, 0u);
  EXPECT_GT(silentEnd, lastBurst) << cti.server.LogText("Program_DEV01_");
}

// A CTI program that opens its connections well before it sends: 2,000 of them open
// at once, each message sent 1.5 s after its connect. Every call reaches the operator
// and the telephone log, and no connection is closed before it has spoken.
TEST(DaemonSenders, TwoThousandCtiConnectionsHeldOpenAtOnceAllDeliverTheirCalls) {
  constexpr int kCalls = 2000;
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  ASSERT_GE(files.rlim_max, rlim_t{kCalls} + 100) << "too few descriptors for the test's CTI program";
  const int progPort = FreeTcpPort({"127.0.0.2"});
  Peer pc = Operator("127.0.0.2", progPort);
  CtiServer cti(progPort, {"127.0.0.2"});
  cti.Call(kCalls, "203,705,0310{n}", {"--rate", "1000", "--send-after", "1.5", "--hold", "30"});

  std::vector<std::string> expected, entries;
  for (int n = 1; n <= kCalls; ++n) {
    const std::string caller = "0310" + std::to_string(n);
    expected.push_back(Notification(caller, "0333330000"));
    entries.push_back(
        TelephoneEntry(1, caller, "705", "0333330000", "203", "127.0.0.2", static_cast<int>(expected.back().size())));
  }
  // Each message goes on as it arrives; messages sent a millisecond apart may swap.
  std::sort(expected.begin(), expected.end());
  std::sort(entries.begin(), entries.end());
  ASSERT_EQ(pc.Expect("T|", kCalls), kCalls);
  std::vector<std::string> received = NotificationTexts(pc);
  std::sort(received.begin(), received.end());
  EXPECT_EQ(received, expected);
  EXPECT_EQ(cti.server.Stop(), 0);
  std::vector<std::string> logged = EntriesFor(cti.server, 1, "127.0.0.2");
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged, entries);
  EXPECT_EQ(Count(cti.server.LogText("Program_DEV01_"), "접속 끊김"), 0);
}

TEST(DaemonSenders, AKoreanNameLongerThanItsFieldIsCutBetweenCharacters) {
  const std::string cp949Name = "\xB1\xE8\xC3\xB6\xBC\xF6";  // 김철수
  struct Case {
    const char* codePage;
    std::string message;  // as the CTI program sends it
    std::string caller;   // the caller field's bytes, cut at 15 bytes or just before
  } cases[] = {
      {"UTF-8", "203,705,0312김철수김철수", "0312김철수"},
      {"CP949", "203,705,0312" + cp949Name + cp949Name, "0312" + cp949Name + "\xB1\xE8\xC3\xB6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    const int progPort = FreeTcpPort({"127.0.0.2"});
    Peer pc = Operator("127.0.0.2", progPort);
    CtiServer cti(progPort, {"127.0.0.2"}, {"--codepage", c.codePage});
    cti.Call(1, c.message);
    const std::string expected = Notification(c.caller, "0333330000");
    EXPECT_EQ(pc.WaitForBytes(expected.size()), expected);
    EXPECT_EQ(cti.server.Stop(), 0);
    EXPECT_EQ(EntriesFor(cti.server, 1, "127.0.0.2"),
              (std::vector<std::string>{TelephoneEntry(1, c.caller, "705", "0333330000", "203", "127.0.0.2",
                                                       static_cast<int>(expected.size()))}));
  }
}

TEST(DaemonSenders, AnLgExtensionRightAfterTheArrowAndALocalNumberGetTheirOperatorAndOneAreaCode) {
  ServerHarness server;
  const int progPort = FreeTcpPort({"127.0.0.2"});
  Peer pc = Operator("127.0.0.2", progPort);
  // An answered line of the older layout: trunk 701, a local caller number, "->2011".
  std::string line(26, ' ');
  line[0] = line[1] = '\x06';
  line.replace(2, 4, "701 ");
  line.replace(8, 7, "5551234");
  line.replace(20, 6, "->2011");
  std::string hex = "hex:";
  for (unsigned char byte : line + "\r\n") hex += text::Format("%02x", byte);
  WriteFile(server.root() / "frames.txt", hex + "\n");
  Peer serial({"serial", "--model", "5", "--frames", (server.root() / "frames.txt").string(), "--hold", "60"});

  auto slots = Slots(progPort);
  slots[0].modelCode = 5;
  slots[0].areaCode = "31";
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  server.WriteTables({{"did.tbl", "701 0211110000\r\n"}, {"ip.tbl", "2011 127.0.0.2\r\n"}});
  server.Start({"--serial", "COM1=" + serial.announced()});

  const std::string expected = Notification("315551234", "0211110000");
  EXPECT_EQ(pc.WaitForBytes(expected.size()), expected);
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(EntriesFor(server, 1, "127.0.0.2"),
            (std::vector<std::string>{TelephoneEntry(1, "315551234", "701", "0211110000", "2011", "127.0.0.2", 22)}));
}

}  // namespace
}  // namespace lindra::testing
