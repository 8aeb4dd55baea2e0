#include "stats/stat_server_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

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

// Sets (nullptr: removes) environment variables for one scope, then restores them.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> values) {
    for (const auto& [name, value] : values) {
      const char* old = std::getenv(name);
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_)
      value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The headers every request of the client ends with.
std::string HeadTail(size_t bodySize) {
  return "Accept-Encoding: gzip, deflate\r\nConnection: Keep-Alive\r\nCache-Control: no-cache\r\n"
         "User-Agent: Server.Lindra2\r\nContent-Length: " +
         std::to_string(bodySize) + "\r\n\r\n";
}

std::string QueryHead(int port, size_t bodySize) {
  return "POST /stat/checkHeadID.asp HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + kAccept +
         "Accept-Language: ko\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\n" +
         HeadTail(bodySize);
}

std::string UploadHead(int port, size_t bodySize) {
  const std::string authority = "127.0.0.1:" + std::to_string(port);
  return "POST /stat/didLogSave.asp HTTP/1.0\r\nHost: " + authority + "\r\n" + kAccept + "Referer: http://" +
         authority + "/stat/didLogForm.asp\r\n" + "Accept-Language: ko\r\n" +
         "Content-Type: multipart/form-data; boundary=" + kBoundary + "\r\n" + HeadTail(bodySize);
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
  const UploadOutcome upload = client.UploadDayLog("H1", "260313", 1, 1, dir / "f.log");
  EXPECT_EQ(upload.result, "");
  EXPECT_NE(upload.transportError.find("Couldn't connect to server"), std::string::npos) << upload.transportError;
}

TEST(StatServerClient, ConnectionClosedWithoutReplyGivesEmptyResults) {
  testing::TempDir dir;
  testing::WriteFile(dir / "f.log", "x");
  LoopbackHttpServer server([](const RecordedRequest&) { return std::nullopt; });
  const StatServerClient client({"127.0.0.1", server.port()});
  EXPECT_EQ(client.QueryHeadId("0212"), "");
  const UploadOutcome upload = client.UploadDayLog("H1", "260313", 1, 1, dir / "f.log");
  EXPECT_EQ(upload.result, "");
  EXPECT_EQ(upload.transportError, "Empty reply from server");
}

TEST(StatServerClient, UploadIsSentByteForByte) {
  testing::TempDir dir;
  constexpr char kBytes[] = "line one\r\n\0\xff\xfe binary\r\n";
  const std::string file(kBytes, sizeof kBytes - 1);
  testing::WriteFile(dir / "H1234_260313.log", file);
  LoopbackHttpServer server(Reply("200"));
  const StatServerClient client({"127.0.0.1", server.port()});

  EXPECT_EQ(client.UploadDayLog("H1234", "260313", 17, 9, dir / "H1234_260313.log").result, "COMPLETE");
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
  EXPECT_EQ(StatServerClient({"127.0.0.1", server.port()}).UploadDayLog("H1234", "260314", 3, 2, {}).result,
            "COMPLETE");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].raw(), UploadHead(server.port(), 0));
}

TEST(StatServerClient, UploadOfUnreadableFileSendsNothing) {
  testing::TempDir dir;
  LoopbackHttpServer server(Reply("200"));
  const UploadOutcome upload =
      StatServerClient({"127.0.0.1", server.port()}).UploadDayLog("H1", "260314", 1, 1, dir / "missing.log");
  EXPECT_EQ(upload.result, "");
  EXPECT_EQ(upload.transportError, "");
  EXPECT_TRUE(server.requests().empty());
}

TEST(StatServerClient, OnlyABareFirstLine200Acknowledges) {
  testing::TempDir dir;
  testing::WriteFile(dir / "f.log", "x");
  // A refusal keeps the first line it read, for the message log.
  const struct {
    std::string body, expected, replyLine;
  } cases[] = {
      {"200", "COMPLETE", ""},
      {"\r2\r00\r", "COMPLETE", ""},
      {"200\r\n", "FAIL", "200"},
      {"200\n", "FAIL", "200"},
      {"", "FAIL", ""},
      {"FAIL", "FAIL", "FAIL"},
      {" 200", "FAIL", " 200"},
      {"2000", "FAIL", "2000"},
      {"OK\r\n200", "FAIL", "OK"},
      {std::string(5000, '2'), "FAIL", std::string(1023, '2')},
  };
  for (const auto& c : cases) {
    LoopbackHttpServer server(Reply(c.body));
    const UploadOutcome upload =
        StatServerClient({"127.0.0.1", server.port()}).UploadDayLog("H1", "260314", 1, 1, dir / "f.log");
    EXPECT_EQ(upload.result, c.expected) << c.body.substr(0, 20);
    EXPECT_EQ(upload.replyLine, c.replyLine) << c.body.substr(0, 20);
    EXPECT_EQ(upload.transportError, "");
  }
}

std::string ReplacedFirst(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

// Redirects are followed as the platform's client did: after 301, 302 and 303 the
// request is asked again as a GET without its body, after 307 and 308 as the same
// POST; either way its Host names the server it now goes to, and its length the
// body it now carries.
TEST(StatServerClient, RedirectedUploadIsAskedAgainOfTheNewServerAsBrowsersDo) {
  testing::TempDir dir;
  testing::WriteFile(dir / "f.log", "x");
  const std::string body = UploadBody("H1", "260313", "1", "1", "f.log", "x");
  for (const char* host : {"127.0.0.2", "127.0.0.1"}) {
    for (const int status : {301, 302, 303, 307, 308}) {
      LoopbackHttpServer target(Reply("200"), std::nullopt, host);
      const std::string authority = host + (":" + std::to_string(target.port()));
      LoopbackHttpServer first([&](const RecordedRequest&) {
        return testing::LoopbackReply::Redirect(status, "http://" + authority + "/stat/moved.asp");
      });
      EXPECT_EQ(StatServerClient({"127.0.0.1", first.port()}).UploadDayLog("H1", "260313", 1, 1, dir / "f.log").result,
                "COMPLETE");
      const bool post = status >= 307;
      std::string expected = UploadHead(first.port(), body.size()) + body;
      expected =
          ReplacedFirst(expected, "POST /stat/didLogSave.asp", post ? "POST /stat/moved.asp" : "GET /stat/moved.asp");
      expected = ReplacedFirst(expected, "Host: 127.0.0.1:" + std::to_string(first.port()), "Host: " + authority);
      if (!post) expected = ReplacedFirst(expected, "Content-Length: " + std::to_string(body.size()) + "\r\n", "");
      if (!post) expected.resize(expected.size() - body.size());
      ASSERT_EQ(target.requests().size(), 1u) << status;
      EXPECT_EQ(target.requests()[0].raw(), expected) << host << " " << status;
    }
  }
}

// Three redirects are followed, a fourth is not: the exchange fails. What the
// redirects said is no part of the reply.
TEST(StatServerClient, AFourthRedirectIsNotFollowed) {
  testing::TempDir dir;
  testing::WriteFile(dir / "f.log", "x");
  for (const int hops : {3, 4}) {
    LoopbackHttpServer server([hops](const RecordedRequest& r) {
      const int hop = r.path().starts_with("/hop") ? std::stoi(r.path().substr(4)) : 0;
      if (hop < hops) return testing::LoopbackReply::Redirect(307, "/hop" + std::to_string(hop + 1), "H9999");
      return testing::LoopbackReply("200");
    });
    const StatServerClient client({"127.0.0.1", server.port()});
    const UploadOutcome upload = client.UploadDayLog("H1", "260313", 1, 1, dir / "f.log");
    EXPECT_EQ(client.QueryHeadId("0212"), hops == 3 ? "200" : "");
    EXPECT_EQ(upload.result, hops == 3 ? "COMPLETE" : "");
    EXPECT_EQ(upload.transportError, hops == 3 ? "" : "Maximum (3) redirects followed");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 8u) << hops;
    EXPECT_EQ(requests[3].path(), "/hop3");
    EXPECT_EQ(requests[7].path(), "/hop3");
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

TEST(StatServerClient, RequestsGoThroughTheProxyTheEnvironmentNames) {
  LoopbackHttpServer proxy(Reply("H1234"));
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  const int closed = ClosedPort();  // the server itself cannot be reached directly
  const StatServerClient client({"127.0.0.1", closed});
  {
    ScopedEnvironment environment({{"http_proxy", proxyUrl.c_str()}, {"no_proxy", ""}});
    EXPECT_EQ(client.QueryHeadId("0212345678"), "H1234");
  }
  // The proxy is asked for the whole address; the rest of the request is unchanged.
  std::string expected = QueryHead(closed, 14) + "did=0212345678";
  expected.insert(expected.find('/'), "http://127.0.0.1:" + std::to_string(closed));
  expected.insert(expected.find("\r\nAccept:"), "\r\nProxy-Connection: Keep-Alive");
  ASSERT_EQ(proxy.requests().size(), 1u);
  EXPECT_EQ(proxy.requests()[0].raw(), expected);

  // A server that no_proxy names is reached directly.
  ScopedEnvironment environment({{"http_proxy", proxyUrl.c_str()}, {"no_proxy", "127.0.0.1"}});
  EXPECT_EQ(client.QueryHeadId("0212345678"), "");
  EXPECT_EQ(proxy.requests().size(), 1u);
}

TEST(StatServerClient, NamesUnderInvalidAreNeverLookedUp) {
  ScopedEnvironment environment({{"http_proxy", nullptr}, {"no_proxy", nullptr}});
  int lookups = 0;
  HttpLimits limits;
  limits.nameLookupProbe = [&lookups] { ++lookups; };
  for (const char* host : {"stat.lindra.invalid", "CONFIG.Invalid.", "invalid"}) {
    const StatServerClient client({host, 80}, nullptr, limits);
    EXPECT_EQ(client.QueryHeadId("0212"), "") << host;
    EXPECT_EQ(client.UploadDayLog("H1", "260313", 1, 1, {}).result, "") << host;
  }
  EXPECT_EQ(lookups, 0);
  // The probe does see look-ups: names that only resemble the reserved one are looked up.
  for (const char* host : {"invalid.example", "notinvalid"})
    EXPECT_EQ(StatServerClient({host, 80}, nullptr, limits).QueryHeadId("0212"), "");
  EXPECT_EQ(lookups, 2);
}

TEST(StatServerClient, ASlowUploadThatKeepsMovingOutlastsTheStallLimit) {
  testing::TempDir dir;
  const std::string file(3'000'000, 'x');
  testing::WriteFile(dir / "H1234_260313.log", file);
  // About 1.5 MB/s: the upload takes about two seconds, one small read at a time.
  LoopbackHttpServer server(Reply("200"), testing::ReadPace{16 * 1024, std::chrono::milliseconds(10)});
  HttpLimits limits;
  limits.stallLimit = std::chrono::milliseconds(1000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StatServerClient({"127.0.0.1", server.port()}, nullptr, limits)
                .UploadDayLog("H1234", "260313", 1, 1, dir / "H1234_260313.log")
                .result,
            "COMPLETE");
  ASSERT_GT(std::chrono::steady_clock::now() - start, limits.stallLimit) << "the line was not slow enough";
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_TRUE(server.requests()[0].body.find(file) != std::string::npos);
}

TEST(StatServerClient, AServerThatStopsAnsweringIsGivenUpAfterTheStallLimit) {
  testing::TempDir dir;
  testing::WriteFile(dir / "f.log", "x");
  std::promise<void> clientReturned;
  // Answers only when the client waited in vain: the acknowledgement must not arrive.
  LoopbackHttpServer server([done = clientReturned.get_future().share()](const RecordedRequest&) {
    done.wait_for(std::chrono::seconds(20));
    return std::optional<std::string>("200");
  });
  HttpLimits limits;
  limits.stallLimit = std::chrono::milliseconds(300);
  const UploadOutcome upload =
      StatServerClient({"127.0.0.1", server.port()}, nullptr, limits).UploadDayLog("H1", "260313", 1, 1, dir / "f.log");
  clientReturned.set_value();
  EXPECT_EQ(upload.result, "");
}

}  // namespace
}  // namespace lindra
