#include "stats/stat_server_client.h"

#include <gtest/gtest.h>

#include "loopback_http_server.h"
#include "platform/free_port.h"
#include "support/temp_dir.h"

namespace lindra {
namespace {

using testing::LoopbackHttpServer;
using testing::RecordedRequest;

const std::string kAccept =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*\r\n";
const std::string kBoundary = "---------------------------7d8bb10209d0";

LoopbackHttpServer::Handler Reply(std::string body) {
  return [body](const RecordedRequest&) { return body; };
}

// A port on which nothing listens.
int ClosedPort() { return FreeTcpPort(); }

std::string QueryHead(int port, size_t bodySize) {
  return "POST /stat/checkHeadID.asp HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + kAccept +
         "Accept-Language: ko\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\n"
         "Accept-Encoding: gzip, deflate\r\n"
         "Connection: Keep-Alive\r\n"
         "Cache-Control: no-cache\r\n"
         "User-Agent: Server.Lindra2\r\n"
         "Content-Length: " +
         std::to_string(bodySize) + "\r\n\r\n";
}

std::string UploadHead(int port, size_t bodySize) {
  const std::string authority = "127.0.0.1:" + std::to_string(port);
  return "POST /stat/didLogSave.asp HTTP/1.0\r\nHost: " + authority + "\r\n" + kAccept + "Referer: http://" +
         authority + "/stat/didLogForm.asp\r\n" + "Accept-Language: ko\r\n" +
         "Content-Type: multipart/form-data; boundary=" + kBoundary + "\r\n" +
         "Accept-Encoding: gzip, deflate\r\n"
         "Connection: Keep-Alive\r\n"
         "Cache-Control: no-cache\r\n"
         "User-Agent: Server.Lindra2\r\n"
         "Content-Length: " +
         std::to_string(bodySize) + "\r\n\r\n";
}

std::string Part(const std::string& name, const std::string& value) {
  return "\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}

std::string UploadBody(const std::string& headId, const std::string& day, const std::string& total,
                       const std::string& used, const std::string& fileName, const std::string& file) {
  return Part("sHeadId", headId) + Part("sWorkDay", day) + Part("nAllCnt", total) + Part("nUsedCnt", used) + "\r\n--" +
         kBoundary + "\r\nContent-Disposition: form-data; name=\"sLogFile\"; filename=\"c:\\brenvo\\logs\\" + fileName +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + file + "\r\n--" + kBoundary + "--\r\n";
}

TEST(StatServerClient, HeadIdQueryIsSentByteForByte) {
  LoopbackHttpServer server(Reply("H1234"));
  const StatServerClient client({"127.0.0.1", server.port()});
  EXPECT_EQ(client.QueryHeadId("0212345678"), "H1234");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].raw(), QueryHead(server.port(), 14) + "did=0212345678");
}

TEST(StatServerClient, HeadIdReplyKeepsLineFeedsDropsCarriageReturnsAndCutsLongLines) {
  const std::string longLine(2000, 'x');
  const struct {
    std::string body, expected;
  } cases[] = {
      {"H1234", "H1234"},
      {"H1234\r\n", "H1234\n"},
      {"a\r\nb\r\nc", "a\nb\nc"},
      {"\r\r\n\n", "\n\n"},
      {"", ""},
      {longLine + "\nH9", std::string(1023, 'x') + "H9"},
      {std::string(1022, 'y') + "\n" + "z", std::string(1022, 'y') + "\nz"},
  };
  for (const auto& c : cases) {
    LoopbackHttpServer server(Reply(c.body));
    EXPECT_EQ(StatServerClient({"127.0.0.1", server.port()}).QueryHeadId("1"), c.expected) << c.body.substr(0, 20);
  }
}

TEST(StatServerClient, UnreachableServerGivesEmptyResults) {
  testing::TempDir dir;
  testing::WriteFile(dir / "f.log", "x");
  const StatServerClient client({"127.0.0.1", ClosedPort()});
  EXPECT_EQ(client.QueryHeadId("0212"), "");
  EXPECT_EQ(client.UploadDayLog("H1", "260313", 1, 1, dir / "f.log"), "");
}

TEST(StatServerClient, ConnectionClosedWithoutReplyGivesEmptyResults) {
  testing::TempDir dir;
  testing::WriteFile(dir / "f.log", "x");
  LoopbackHttpServer server([](const RecordedRequest&) { return std::nullopt; });
  const StatServerClient client({"127.0.0.1", server.port()});
  EXPECT_EQ(client.QueryHeadId("0212"), "");
  EXPECT_EQ(client.UploadDayLog("H1", "260313", 1, 1, dir / "f.log"), "");
}

TEST(StatServerClient, UploadIsSentByteForByte) {
  testing::TempDir dir;
  constexpr char kBytes[] = "line one\r\n\0\xff\xfe binary\r\n";
  const std::string file(kBytes, sizeof kBytes - 1);
  testing::WriteFile(dir / "H1234_260313.log", file);
  LoopbackHttpServer server(Reply("200"));
  const StatServerClient client({"127.0.0.1", server.port()});

  EXPECT_EQ(client.UploadDayLog("H1234", "260313", 17, 9, dir / "H1234_260313.log"), "COMPLETE");
  const std::string body = UploadBody("H1234", "260313", "17", "9", "H1234_260313.log", file);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].raw(), UploadHead(server.port(), body.size()) + body);
}

TEST(StatServerClient, UploadOfEmptyFileWithCountsMinusOne) {
  testing::TempDir dir;
  testing::WriteFile(dir / "H1234_260314_Started.log", "");
  LoopbackHttpServer server(Reply("200"));
  StatServerClient({"127.0.0.1", server.port()})
      .UploadDayLog("H1234", "260314", -1, -1, dir / "H1234_260314_Started.log");

  const std::string body = UploadBody("H1234", "260314", "-1", "-1", "H1234_260314_Started.log", "");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].body, body);
  EXPECT_NE(body.find("application/octet-stream\r\n\r\n\r\n--" + kBoundary + "--\r\n"), std::string::npos);
}

TEST(StatServerClient, UploadWithEmptyPathSendsHeadersOnly) {
  LoopbackHttpServer server(Reply("200"));
  EXPECT_EQ(StatServerClient({"127.0.0.1", server.port()}).UploadDayLog("H1234", "260314", 3, 2, {}), "COMPLETE");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].raw(), UploadHead(server.port(), 0));
}

TEST(StatServerClient, UploadOfUnreadableFileSendsNothing) {
  testing::TempDir dir;
  LoopbackHttpServer server(Reply("200"));
  EXPECT_EQ(StatServerClient({"127.0.0.1", server.port()}).UploadDayLog("H1", "260314", 1, 1, dir / "missing.log"), "");
  EXPECT_TRUE(server.requests().empty());
}

TEST(StatServerClient, OnlyABareFirstLine200Acknowledges) {
  testing::TempDir dir;
  testing::WriteFile(dir / "f.log", "x");
  const struct {
    std::string body, expected;
  } cases[] = {
      {"200", "COMPLETE"},   {"\r2\r00\r", "COMPLETE"},
      {"200\r\n", "FAIL"},   {"200\n", "FAIL"},
      {"", "FAIL"},          {"FAIL", "FAIL"},
      {" 200", "FAIL"},      {"2000", "FAIL"},
      {"OK\r\n200", "FAIL"}, {std::string(5000, '2'), "FAIL"},
  };
  for (const auto& c : cases) {
    LoopbackHttpServer server(Reply(c.body));
    EXPECT_EQ(StatServerClient({"127.0.0.1", server.port()}).UploadDayLog("H1", "260314", 1, 1, dir / "f.log"),
              c.expected)
        << c.body.substr(0, 20);
  }
}

TEST(StatServerClient, PeerSeesTheWindowsLogFolderWhateverTheLocalOne) {
  EXPECT_EQ(PeerLogPath("/var/log/lindra2/H1234_260313.log"), "c:\\brenvo\\logs\\H1234_260313.log");
  EXPECT_EQ(PeerLogPath("Telephone_DEV01_260313.log"), "c:\\brenvo\\logs\\Telephone_DEV01_260313.log");
}

TEST(StatServerClient, AuthorityNamesThePortOnlyWhenNot80) {
  EXPECT_EQ((Endpoint{"stat.example", 80}).Authority(), "stat.example");
  EXPECT_EQ((Endpoint{"127.0.0.1", 8080}).Authority(), "127.0.0.1:8080");
}

TEST(StatServerClient, CancelledClientSendsNothing) {
  LoopbackHttpServer server(Reply("H1"));
  const std::atomic<bool> cancel{true};
  EXPECT_EQ(StatServerClient({"127.0.0.1", server.port()}, &cancel).QueryHeadId("1"), "");
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace lindra
