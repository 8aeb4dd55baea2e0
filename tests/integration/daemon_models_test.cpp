// Every serial and LAN model end to end: a call played by the simulated device on a
// pseudo-terminal or a TCP connection is framed, parsed, routed and sent, and its fields show in the
// slot's telephone log.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <ostream>

#include "config/lindra_ini.h"
#include "server_harness.h"

namespace lindra::testing {
namespace {

struct SerialModel {
  uint32_t code;
  const char* line;       // the trunk (caller-ID boxes: their line)
  const char* extension;  // empty: the model reports no extension, so the slot broadcasts
};

// Test names show the model code, not the structure's bytes.
void PrintTo(const SerialModel& model, std::ostream* out) { *out << "model " << model.code; }

class DaemonSerialModels : public ::testing::TestWithParam<SerialModel> {};

std::string TelephoneLines(const ServerHarness& server) { return server.LogText("Telephone_DEV01_"); }

TEST_P(DaemonSerialModels, ACallReachesTheTelephoneLogWithItsFields) {
  const SerialModel model = GetParam();
  const bool broadcast = *model.extension == '\0';
  ServerHarness server;
  ChildProcess device;
  std::vector<std::string> args{"serial", "--model", std::to_string(model.code), "--count", "1", "--trunks", model.line,
                                "--hold", "60"};
  if (!broadcast) args.insert(args.end(), {"--extensions", model.extension});
  ASSERT_TRUE(device.Start(LINDRA_SIM_PATH, args, ChildProcess::Output::Capture));
  auto ptyPath = device.ReadLine(10s);
  ASSERT_TRUE(ptyPath.has_value());

  std::array<SlotConfig, kSlotCount> slots{};
  const int progPort = ClosedPort();
  for (auto& slot : slots) slot.progPort = progPort;
  slots[0].modelCode = model.code;
  slots[0].comPort = "COM2";
  slots[0].baudRate = 19200;
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  WriteFile(server.workDir() / "did.tbl", std::string(model.line) + " 0211110000\r\n");
  if (!broadcast) WriteFile(server.workDir() / "ip.tbl", std::string(model.extension) + " 127.0.0.2\r\n");
  std::optional<Peer> operatorPc;
  if (!broadcast) operatorPc.emplace(Operator("127.0.0.2", slots[0].progPort));

  server.Start({"--serial", "COM2=" + *ptyPath});
  ASSERT_TRUE(server.WaitFor("[WARN] Connected PBX : COM2, 19200"));
  const std::string expected = broadcast ? "send : 0 -> DID:0211110000, CID:0212340000"
                                         : std::string("DEV01: T 0212340000, ") + model.line + ", 0211110000, " +
                                               model.extension + ", 127.0.0.2, ";
  if (broadcast)
    ASSERT_TRUE(server.WaitFor(expected));
  else
    ASSERT_EQ(operatorPc->Expect("T|0212340000|0211110000", 1), 1);
  // Every queued telephone-log line is written when the server stops.
  EXPECT_EQ(server.Stop(), 0);
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
                                           SerialModel{4, "703", "203"}, SerialModel{5, "704", "204"},
                                           SerialModel{6, "705", "205"}, SerialModel{7, "01", ""},
                                           SerialModel{8, "1", "1"}, SerialModel{9, "2", "2"},
                                           SerialModel{10, "3", "3"}, SerialModel{11, "4", "4"},
                                           SerialModel{12, "1", ""}, SerialModel{13, "2", ""}),
                         [](const auto& info) { return "Model" + std::to_string(info.param.code); });

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
