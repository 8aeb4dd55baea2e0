// The web console of the whole server: what a reader of the event stream sees of a
// call, and an operator row added through the interface that the next call reaches.
#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>

#include "config/lindra_ini.h"
#include "server_harness.h"

namespace lindra::testing {
namespace {

TEST(DaemonWeb, AStreamReaderSeesACallAndAnOperatorAddedOverHttpTakesTheNextOne) {
  ServerHarness server;
  const int progPort = FreeTcpPort({"127.0.0.2"});
  Peer operatorPc = Operator("127.0.0.2", progPort);
  const int ctiPort = ClosedPort();
  const int httpPort = FreeTcpPort();
  auto slots = Slots(progPort);
  slots[0].modelCode = 202;
  slots[0].lanPort = ctiPort;
  ASSERT_TRUE(SaveConfiguration(server.workDir(), slots, "C00001"));
  server.WriteTables({{"did.tbl", "705 0333330000\r\n"}, {"ip.tbl", "203 127.0.0.3\r\n"}});
  server.Start({"--http", "127.0.0.1:" + std::to_string(httpPort)});
  ASSERT_TRUE(server.WaitFor("[WARN] DEV01 CTI - Listen CTI Event : " + std::to_string(ctiPort)));

  httplib::Client client("127.0.0.1", httpPort);
  std::mutex mutex;
  std::condition_variable grew;
  std::string stream;
  bool done = false;
  std::thread reader([&] {
    httplib::Client streamClient("127.0.0.1", httpPort);
    streamClient.Get("/api/events", [&](const char* data, size_t size) {
      std::lock_guard lock(mutex);
      stream.append(data, size);
      grew.notify_all();
      return !done;
    });
  });
  // The first message of a call, with its local time taken out.
  auto nextCall = [&](size_t from) {
    std::unique_lock lock(mutex);
    const std::string start = "\n\nevent: call\ndata: ";
    size_t at = std::string::npos, end = std::string::npos;
    grew.wait_for(lock, 10s, [&] {
      at = stream.find(start, from);
      end = at == std::string::npos ? at : stream.find("\n\n", at + start.size());
      return end != std::string::npos;
    });
    if (end == std::string::npos) return std::pair<std::string, size_t>{"", from};
    const std::string data = stream.substr(at + start.size(), end - at - start.size());
    return std::pair{std::regex_replace(data, std::regex(R"("time":"[-0-9T:.]+")"), R"("time":"T")"), end};
  };
  auto play = [&](const std::string& message) {
    ChildProcess cti;
    ASSERT_TRUE(
        cti.Start(LINDRA_SIM_PATH,
                  {"cti", "--connect", "127.0.0.1:" + std::to_string(ctiPort), "--count", "1", "--message", message},
                  ChildProcess::Output::Capture));
    ASSERT_TRUE(cti.Wait(10s).has_value());
  };

  {
    // Calls before the reader's snapshot would be in it, not events of their own.
    std::unique_lock lock(mutex);
    ASSERT_TRUE(grew.wait_for(lock, 10s, [&] { return stream.find("event: snapshot\n") != std::string::npos; }));
  }
  play("204,705,0311112222");
  const auto [dropped, afterDropped] = nextCall(0);
  EXPECT_EQ(dropped, R"({"id":1,"slot":1,"time":"T","routing":"unknownExtension","kind":"T","trunk":"705","did":"",)"
                     R"("extension":"204","caller":"0311112222","pcs":[],"reachedNobody":true})");

  const std::string token = ReadFile(server.stateDir() / "token").substr(0, 64);
  auto added = client.Post("/api/tables/1/operators", {{"Authorization", "Bearer " + token}},
                           R"({"action":"add","first":"204","second":"127.0.0.2"})", "application/json");
  ASSERT_TRUE(added);
  EXPECT_EQ(added->body, R"({"accepted":true,"message":""})");
  play("204,705,0311113333");
  EXPECT_EQ(operatorPc.Expect("T|0311113333|0333330000", 1), 1);
  const auto [routed, afterRouted] = nextCall(afterDropped);
  EXPECT_EQ(routed, R"({"id":2,"slot":1,"time":"T","routing":"routed","kind":"T","trunk":"705","did":"0333330000",)"
                    R"("extension":"204","caller":"0311113333","pcs":[{"ip":"127.0.0.2","outcome":"waiting"}],)"
                    R"("reachedNobody":false})");
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  EXPECT_EQ(server.Stop(), 0) << "the stream ends with the server";
  reader.join();
  EXPECT_EQ(ReadFile(server.workDir() / "ip.tbl"), "203 127.0.0.3\r\n204 127.0.0.2\r\n");
}

}  // namespace
}  // namespace lindra::testing
