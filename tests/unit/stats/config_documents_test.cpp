#include "stats/config_documents.h"

#include <gtest/gtest.h>

#include <map>
#include <variant>

#include "loopback_http_server.h"

namespace lindra {
namespace {

using testing::kListPath;
using testing::kTimePath;
using testing::LoopbackHttpServer;
using testing::RecordedRequest;

std::string TimeDocument(const char* hour, const char* minute) {
  return std::string("<?xml version=\"1.0\" encoding=\"euc-kr\"?>\r\n<BV_Lindra><time><hour>") + hour + "</hour><min>" +
         minute + "</min></time></BV_Lindra>\r\n";
}

const std::string kBranchList =
    "<BV_Lindra>"
    "<Branch><DID2>0200000000</DID2></Branch>"
    "<Branch><ID>H1111</ID><DID2>0211111111</DID2></Branch>"
    "<Branch><ID>H1234</ID><DID2>0212341234</DID2></Branch>"
    "<Branch><ID>H1234</ID><DID2>0299999999</DID2></Branch>"
    "<Branch><ID>H5555</ID></Branch>"
    "</BV_Lindra>";

// Serves fixed documents by path; anything else gets an HTML error page.
LoopbackHttpServer::Handler Documents(std::map<std::string, std::string> documents) {
  return [documents](const RecordedRequest& request) {
    const auto found = documents.find(request.path());
    return found != documents.end() ? found->second : std::string("<html><body>404 Not Found</body></html");
  };
}

TEST(ConfigDocuments, FetchIsANoCacheGetAndTheTextIsTrimmed) {
  LoopbackHttpServer server(Documents({{kTimePath, " \r\n<BV_Lindra/>\r\n\r\n"}}));
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + kTimePath;
  EXPECT_EQ(FetchText(url, nullptr), "<BV_Lindra/>");
  ASSERT_EQ(server.requests().size(), 1u);
  const std::string head = server.requests()[0].head;
  EXPECT_EQ(head.rfind(std::string("GET ") + kTimePath + " HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("\r\nCache-Control: no-cache\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("\r\nPragma: no-cache\r\n"), std::string::npos) << head;
}

// A document that moved is fetched where it went, with a request made for that server.
TEST(ConfigDocuments, FetchFollowsARedirectToAnotherServer) {
  LoopbackHttpServer target(Documents({{"/moved/uploadTime.xml", "<BV_Lindra/>"}}), std::nullopt, "127.0.0.2");
  const std::string authority = "127.0.0.2:" + std::to_string(target.port());
  LoopbackHttpServer first([&authority](const RecordedRequest&) {
    return testing::LoopbackReply::Redirect(302, "http://" + authority + "/moved/uploadTime.xml");
  });
  EXPECT_EQ(FetchText("http://127.0.0.1:" + std::to_string(first.port()) + kTimePath, nullptr), "<BV_Lindra/>");
  ASSERT_EQ(target.requests().size(), 1u);
  EXPECT_EQ(target.requests()[0].raw(), "GET /moved/uploadTime.xml HTTP/1.1\r\nHost: " + authority +
                                            "\r\nAccept: */*\r\nUser-Agent: Server.Lindra2\r\n"
                                            "Cache-Control: no-cache\r\nPragma: no-cache\r\n\r\n");
}

TEST(ConfigDocuments, UploadTimeDocument) {
  const struct {
    std::string document;
    UploadTimeRead result;
    int hour, minute;  // starting from 5:55
  } cases[] = {
      {TimeDocument("3", "30"), UploadTimeRead::Updated, 3, 30},
      {TimeDocument("03", " 7"), UploadTimeRead::Updated, 3, 7},
      {TimeDocument("x", "15min"), UploadTimeRead::Updated, 0, 15},
      {"<BV_Lindra><time><hour>1</hour><min>2</min></time><time><hour>9</hour><min>9</min></time></BV_Lindra>",
       UploadTimeRead::Updated, 1, 2},
      {"<BV_Lindra><time><hour>4</hour></time></BV_Lindra>", UploadTimeRead::Malformed, 4, 55},
      {"<BV_Lindra><time><min>4</min></time></BV_Lindra>", UploadTimeRead::Malformed, 5, 55},
      {"<BV_Lindra><hour>4</hour><min>4</min></BV_Lindra>", UploadTimeRead::Malformed, 5, 55},
      {"<Other><time><hour>4</hour><min>4</min></time></Other>", UploadTimeRead::Malformed, 5, 55},
      {"<BV_Lindra><time><hour>4</hour>", UploadTimeRead::Unavailable, 5, 55},
      {"Service Unavailable", UploadTimeRead::Unavailable, 5, 55},
  };
  for (const auto& c : cases) {
    UploadTime time{5, 55};
    EXPECT_EQ(ReadUploadTime(c.document, time), c.result) << c.document;
    EXPECT_EQ(time.hour, c.hour) << c.document;
    EXPECT_EQ(time.minute, c.minute) << c.document;
  }
}

TEST(ConfigDocuments, BranchListFirstMatchingEntryWins) {
  using Found = BranchEntry::Found;
  // The DID2 of a listed branch, or how the branch was not found.
  const auto did2 = [](std::string_view document, const std::string& headId) -> std::variant<Found, std::string> {
    BranchEntry branch = FindBranch(document, headId);
    if (branch.found == Found::Listed) return std::move(branch.did2);
    return branch.found;
  };
  using Result = std::variant<Found, std::string>;
  EXPECT_EQ(did2(kBranchList, "H1234"), Result("0212341234"));
  EXPECT_EQ(did2(kBranchList, "H1111"), Result("0211111111"));
  EXPECT_EQ(did2(kBranchList, "H5555"), Result(""));  // listed without DID2
  EXPECT_EQ(did2(kBranchList, "H9999"), Result(Found::NotListed));
  EXPECT_EQ(did2(kBranchList, "H1234\n"), Result(Found::NotListed));  // compared exactly
  EXPECT_EQ(did2("<BV_Lindra><Branch><ID> H7 </ID><DID2><![CDATA[02]]>7</DID2></Branch></BV_Lindra>", "H7"),
            Result("027"));
  EXPECT_EQ(did2("<html><body>H1234</body>", "H1234"), Result(Found::Unreadable));
}

TEST(ConfigDocuments, UnavailableDocumentLeavesTheUploadTime) {
  LoopbackHttpServer server(Documents({}));
  UploadTime time{3, 30};
  EXPECT_EQ(RefreshUploadTime({"127.0.0.1", server.port()}, time, nullptr), UploadTimeRead::Unavailable);
  EXPECT_EQ(time.hour, 3);
  EXPECT_EQ(time.minute, 30);
}

TEST(ConfigDocuments, ListedBranchStartsTheSchedulerWithItsDid2AndUploadTime) {
  LoopbackHttpServer server(Documents({{kListPath, kBranchList}, {kTimePath, TimeDocument("03", "30")}}));
  UploadTime time;
  const BranchCheck check = CheckBranchList({"127.0.0.1", server.port()}, "H1234", time, nullptr);
  EXPECT_TRUE(check.startScheduler);
  EXPECT_EQ(check.did2, "0212341234");
  EXPECT_EQ(time.hour, 3);
  EXPECT_EQ(time.minute, 30);
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0].path(), kListPath);
  EXPECT_EQ(server.requests()[1].path(), kTimePath);
}

TEST(ConfigDocuments, NoSchedulerForUnlistedBranchMissingListOrMalformedUploadTime) {
  const struct {
    const char* name;
    std::map<std::string, std::string> documents;
    std::string headId;
  } cases[] = {
      {"branch not listed", {{kListPath, kBranchList}, {kTimePath, TimeDocument("3", "30")}}, "H9999"},
      {"no branch list", {{kTimePath, TimeDocument("3", "30")}}, "H1234"},
      {"empty branch list", {{kListPath, "  \r\n"}, {kTimePath, TimeDocument("3", "30")}}, "H1234"},
      {"malformed upload time", {{kListPath, kBranchList}, {kTimePath, "<BV_Lindra/>"}}, "H1234"},
  };
  for (const auto& c : cases) {
    LoopbackHttpServer server(Documents(c.documents));
    UploadTime time;
    EXPECT_FALSE(CheckBranchList({"127.0.0.1", server.port()}, c.headId, time, nullptr).startScheduler) << c.name;
  }
}

TEST(ConfigDocuments, UnavailableUploadTimeDoesNotVetoTheScheduler) {
  LoopbackHttpServer server(Documents({{kListPath, kBranchList}}));
  UploadTime time;
  EXPECT_TRUE(CheckBranchList({"127.0.0.1", server.port()}, "H1234", time, nullptr).startScheduler);
  EXPECT_EQ(time.hour, 0);
  EXPECT_EQ(time.minute, 0);
}

}  // namespace
}  // namespace lindra
