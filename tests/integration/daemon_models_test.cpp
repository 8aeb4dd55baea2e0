// Every serial and LAN model end to end: calls played by the simulated device on a
// pseudo-terminal (byte by byte at the model's usual speed) or a TCP connection are
// framed, parsed, routed and sent, and their fields show in the slot's telephone log.
#include <gtest/gtest.h>

#include <array>
#include <ostream>

#include "config/lindra_ini.h"
#include "model/device_model.h"
#include "server_harness.h"
#include "text/strings.h"

namespace lindra::testing {
namespace {

struct SerialModel {
  uint32_t code;
  const char* line;           // the trunk (caller-ID boxes: their line)
  const char* extension;      // empty: the model reports no extension, so the slot broadcasts
  bool trailingZero = false;  // a CID-1000 that ends its message with a zero byte
  const char* noise = "";     // bytes before every line: the LF of an exchange that ends its lines with CR LF
};

// Test names show the model code, not the structure's bytes.
void PrintTo(const SerialModel& model, std::ostream* out) {
  *out << "model " << model.code << (model.trailingZero ? " with trailing zero" : "")
       << (*model.noise ? " with noise" : "");
}

std::vector<std::string> Calls(int first, int count) {
  std::vector<std::string> texts;
  for (int i = first; i < first + count; ++i) texts.push_back(text::Format("T|02%08d|0211110000", 12340000 + i));
  return texts;
}

class DaemonSerialModels : public ::testing::TestWithParam<SerialModel> {};

std::string TelephoneLines(const ServerHarness& server) { return server.LogText("Telephone_DEV01_"); }

// A real line hands the server a byte or two a read: every frame rule must hold on
// the byte stream, and the caller-ID boxes framed by quiet gaps must see none inside a
// message.
TEST_P(DaemonSerialModels, CallsPlayedByteByByteAtTheModelsSpeedReachTheOperatorExactly) {
  const SerialModel model = GetParam();
  const bool broadcast = *model.extension == '\0';
  const int baud = ModelOf(model.code).defaultBaudRate;
  ServerHarness server;
  const int progPort = FreeTcpPort({"127.0.0.2"});
  Peer operatorPc =
      broadcast
          ? Peer({"operator", "--udp", "--listen", "127.255.255.255:" + std::to_string(progPort), "--seconds", "120"})
          : Operator("127.0.0.2", progPort);
  std::vector<std::string> args{
      "serial", "--model", std::to_string(model.code), "--count", "2", "--rate", "5", "--pace", "--trunks", model.line,
      "--hold", "60"};
  if (!broadcast) args.insert(args.end(), {"--extensions", model.extension});
  if (model.trailingZero) args.push_back("--trailing-zero");
  if (*model.noise) args.insert(args.end(), {"--noise", model.noise});
  Peer device(args);

  std::array<SlotConfig, kSlotCount> slots{};
  for (auto& slot : slots) slot.progPort = progPort;
  slots[0].modelCode = model.code;
  slots[0].comPort = "COM2";
  slots[0].baudRate = baud;
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  WriteFile(server.workDir() / "did.tbl", std::string(model.line) + " 0211110000\r\n");
  if (!broadcast) WriteFile(server.workDir() / "ip.tbl", std::string(model.extension) + " 127.0.0.2\r\n");

  server.Start({"--serial", "COM2=" + device.announced()});
  ASSERT_TRUE(server.WaitFor(text::Format("[WARN] Connected PBX : COM2, %d", baud)));
  ASSERT_EQ(operatorPc.Expect("T|", 2), 2);
  EXPECT_EQ(NotificationTexts(operatorPc), Calls(0, 2));
  // Every queued telephone-log line is written when the server stops.
  EXPECT_EQ(server.Stop(), 0);
  const std::string expected = broadcast ? "send : 0 -> DID:0211110000, CID:0212340000"
                                         : std::string("DEV01: T 0212340000, ") + model.line + ", 0211110000, " +
                                               model.extension + ", 127.0.0.2, ";
  const std::string log = TelephoneLines(server);
  EXPECT_NE(log.find(expected), std::string::npos) << log << "\nserver:\n" << server.Printed();
  // The program log shows the chunk as read and the frame as handed to the parser,
  // each a heading line followed by the bytes.
  const std::string program = server.LogText("Program_DEV01_");
  EXPECT_NE(program.find("[DEBUG] "), std::string::npos);
  EXPECT_NE(program.find("DEV01: READ ----->\r\n"), std::string::npos) << program;
  EXPECT_NE(program.find("DEV01: PARSE ----->\r\n"), std::string::npos) << program;
  if (model.code == 5) {
    EXPECT_NE(program.find("] LDK50 NEW\r\n"), std::string::npos) << program;
  }
  if (model.code == 6) {
    EXPECT_NE(program.find("] LG Digital Keyphone\r\n"), std::string::npos) << program;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryModel, DaemonSerialModels,
                         ::testing::Values(SerialModel{2, "701", "201"}, SerialModel{3, "702", "202"},
                                           SerialModel{3, "702", "202", false, "\\n"}, SerialModel{4, "703", "203"},
                                           SerialModel{5, "704", "204"}, SerialModel{6, "705", "205"},
                                           SerialModel{7, "01", ""}, SerialModel{8, "1", "1"}, SerialModel{9, "2", "2"},
                                           SerialModel{10, "3", "3"}, SerialModel{11, "4", "4"},
                                           SerialModel{12, "1", ""}, SerialModel{12, "3", "", true},
                                           SerialModel{13, "2", ""}),
                         [](const auto& info) {
                           return "Model" + std::to_string(info.param.code) +
                                  (info.param.trailingZero ? "TrailingZero" : "") +
                                  (*info.param.noise ? "LineFeedBeforeEachLine" : "");
                         });

// A serial slot on COM1 at 9600 baud: model 2 with one operator for trunk 701 and
// extension 201, or a caller-ID box of another model that broadcasts its line 2.
void ConfigureSerialSlot(const ServerHarness& server, int progPort, uint32_t model = 2) {
  std::array<SlotConfig, kSlotCount> slots{};
  for (auto& slot : slots) slot.progPort = progPort;
  slots[0].modelCode = model;
  slots[0].comPort = "COM1";
  slots[0].baudRate = 9600;
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  WriteFile(server.workDir() / "did.tbl", model == 2 ? "701 0211110000\r\n" : "2 0211110000\r\n");
  if (model == 2) WriteFile(server.workDir() / "ip.tbl", "201 127.0.0.2\r\n");
}

TEST(DaemonSerialLine, BackToBackFramesAtLineSpeedAllReachTheOperatorInOrder) {
  ServerHarness server;
  const int progPort = FreeTcpPort({"127.0.0.2"});
  Peer operatorPc = Operator("127.0.0.2", progPort);
  // 20 calls asked for at 100 a second: the 9600 baud line carries them back to back.
  Peer device({"serial", "--model", "2", "--count", "20", "--rate", "100", "--baud", "9600", "--trunks", "701",
               "--extensions", "201", "--hold", "60"});
  ConfigureSerialSlot(server, progPort);

  server.Start({"--serial", "COM1=" + device.announced()});
  ASSERT_EQ(operatorPc.Expect("T|", 20), 20);
  EXPECT_EQ(NotificationTexts(operatorPc), Calls(0, 20));
  EXPECT_EQ(server.Stop(), 0);
}

TEST(DaemonSerialLine, CallerIdMessagesAQuietGapApartAreSeparateCalls) {
  // A CID-1000A's message is what the line carries between quiet gaps: messages 125 ms
  // apart (about 110 ms of quiet between them) are separate calls, each broadcast on its own.
  ServerHarness server;
  const int progPort = FreeTcpPort({"127.0.0.2"});
  Peer receiver({"operator", "--udp", "--listen", "127.255.255.255:" + std::to_string(progPort), "--seconds", "120"});
  Peer device(
      {"serial", "--model", "13", "--count", "10", "--rate", "8", "--baud", "9600", "--trunks", "2", "--hold", "60"});
  ConfigureSerialSlot(server, progPort, 13);

  server.Start({"--serial", "COM1=" + device.announced()});
  ASSERT_EQ(receiver.Expect("T|", 10), 10);
  EXPECT_EQ(NotificationTexts(receiver), Calls(0, 10));
  EXPECT_EQ(server.Stop(), 0);
}

TEST(DaemonSerialLine, AnUnpluggedAdapterIsReportedOnceAndServesAgainWhenPluggedBackIn) {
  ServerHarness server;
  const int progPort = FreeTcpPort({"127.0.0.2"});
  Peer operatorPc = Operator("127.0.0.2", progPort);
  const std::string path = (server.root() / "ttyUSB0").string();
  // Pulled after two calls, plugged back in 3 s later behind the same path.
  Peer device({"serial", "--model", "2", "--count", "4", "--rate", "5", "--trunks", "701", "--extensions", "201",
               "--link", path, "--unplug-after", "2", "--unplugged", "3", "--hold", "60"});
  ConfigureSerialSlot(server, progPort);

  server.Start({"--serial", "COM1=" + path});
  ASSERT_TRUE(server.WaitFor("[WARN] Reconnected PBX : COM1, 9600", 20s));
  ASSERT_EQ(operatorPc.Expect("T|", 4), 4);
  EXPECT_EQ(NotificationTexts(operatorPc), Calls(0, 4));
  EXPECT_EQ(server.MessagesFrom("[ERR] ReadFIle 실패 : 5"),
            (std::vector<std::string>{"[ERR] ReadFIle 실패 : 5", "[WARN] Reconnected PBX : COM1, 9600"}));
  EXPECT_EQ(server.Stop(), 0);
}

class DaemonLanModels : public ::testing::TestWithParam<uint32_t> {};

TEST_P(DaemonLanModels, ACallReachesTheOperatorAndTheTelephoneLog) {
  const uint32_t model = GetParam();
  ServerHarness server;
  Peer exchange({"exchange", "--model", std::to_string(model), "--listen", "127.0.0.1:0", "--count", "1", "--trunks",
                 "7012", "--extensions", "2013", "--hold", "60"});
  std::array<SlotConfig, kSlotCount> slots{};
  const int progPort = ClosedPort();
  for (auto& slot : slots) slot.progPort = progPort;
  slots[0].modelCode = model;
  slots[0].lanIp = "localhost";
  slots[0].lanPort = exchange.port();
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  WriteFile(server.workDir() / "did.tbl", "7000:7099 0211110000\r\n");
  WriteFile(server.workDir() / "ip.tbl", "2013 127.0.0.2\r\n");
  Peer operatorPc = Operator("127.0.0.2", progPort);

  server.Start();
  ASSERT_TRUE(server.WaitFor("[WARN] DEV01 Connected PBX : localhost, " + std::to_string(exchange.port())));
  ASSERT_EQ(operatorPc.Expect("T|0212340000|0211110000", 1), 1);
  EXPECT_EQ(server.Stop(), 0);
  const std::string log = TelephoneLines(server);
  EXPECT_NE(log.find("DEV01: T 0212340000, 7012, 0211110000, 2013, 127.0.0.2, "), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(EveryModel, DaemonLanModels, ::testing::Values(102u, 103u, 104u, 105u, 106u, 107u),
                         [](const auto& info) { return "Model" + std::to_string(info.param); });

}  // namespace
}  // namespace lindra::testing
