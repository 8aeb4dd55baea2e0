#include "web/web_server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <condition_variable>
#include <fstream>
#include <future>
#include <numeric>
#include <thread>

#include "app/server_controller.h"
#include "device/channel_view.h"
#include "notify/agent_connection.h"
#include "platform/free_port.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "web/access_rules.h"
#include "web/access_token.h"
#include "web/event_stream.h"
#include "web/monitoring.h"

namespace lindra::web {
namespace {

using namespace std::chrono_literals;

class QuietView final : public ControllerView {
 public:
  void Publish(const ServerEvent&) override {}
  void RunLater(std::chrono::milliseconds, std::function<void()>) override {}
};

// The daemon's front-end thread: an io_context of its own.
class FrontEnd {
 public:
  FrontEnd() : thread_([this] { io_.run(); }) {}
  ~FrontEnd() {
    guard_.reset();
    thread_.join();
  }
  void Post(std::function<void()> work) { asio::post(io_, std::move(work)); }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_{io_.get_executor()};
  std::thread thread_;
};

std::string EmptySlot(int slotNo) {
  return "{\"slot\":" + std::to_string(slotNo) +
         ",\"model\":0,\"modelName\":null,\"inUse\":false,\"link\":{\"state\":\"off\",\"attempt\":0,\"error\":null,"
         "\"text\":\"\"},\"lastFrame\":null,\"today\":{\"calls\":0,\"notified\":0,\"notSent\":0,\"reachedNobody\":0,"
         "\"perHour\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],\"perDid\":{}}}";
}

class WebServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.workDir = dir_.path();
    options_.logDir = dir_ / "logs";
    options_.stateDir = dir_ / "state";
    options_.broadcastAddress = "127.255.255.255";
    options_.statServer = options_.configServer = HostPort{"127.0.0.1", FreeTcpPort()};
  }

  // The web server in front of a controller that is not started: its model is what
  // the test makes it.
  void Serve(std::chrono::milliseconds frontEndWait = WebSettings{}.frontEndWait) {
    controller_ = std::make_unique<ServerController>(options_, view_, clock_);
    port_ = FreeTcpPort();
    const int port = port_;
    ASSERT_NE(port, 0);
    server_ = std::make_unique<WebServer>(
        *controller_, WebSettings{.address = {"127.0.0.1", port},
                                  .token = kToken,
                                  .post = [this](std::function<void()> work) { frontEnd_.Post(work); },
                                  .keepalive = 100ms,
                                  .frontEndWait = frontEndWait});
    std::string error;
    ASSERT_TRUE(server_->Start(error)) << error;
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
  }

  void TearDown() override {
    if (server_) server_->Stop();
  }

  // A connected LAN slot 1 with one operator PC that took one call.
  void PlayOneCall() {
    ServerModel& model = controller_->model();
    ChannelView& channels = model.channelView();
    model.SlotConfigured(1, 102, true);
    channels.LinkStateChanged(1, {LinkState::Phase::Connected, 0, std::nullopt, ""});
    channels.OperatorsFollowed(1, {{"201", "127.0.0.2", kAgentConnected}});
    channels.FrameReceived(1);
    CallRecord call;
    call.slotNo = 1;
    call.time = clock_.Now();
    call.event = {"T", "0212340000", "701", "0211110000", "201", {"127.0.0.2"}, "", 0};
    call.pcs = {{"127.0.0.2", PcOutcome::Waiting}};
    const uint64_t id = channels.CallTaken(call);
    channels.CallOutcome(1, id, 0, "127.0.0.2", PcOutcome::Sent);
    model.AddMessage(StatusLine::Warning("[WARN] 경고"));
  }

  static constexpr const char* kToken = "0123456789abcdef";
  static inline const std::string kCall =
      R"({"id":1,"slot":1,"time":"2026-03-14T10:00:00.000","routing":"routed","kind":"T","trunk":"701",)"
      R"("did":"0211110000","extension":"201","caller":"0212340000","pcs":[{"ip":"127.0.0.2","outcome":"sent"}],)"
      R"("reachedNobody":false})";

  testing::TempDir dir_;
  ServerOptions options_;
  testing::FakeClock clock_;
  QuietView view_;
  FrontEnd frontEnd_;
  std::unique_ptr<ServerController> controller_;
  std::unique_ptr<WebServer> server_;
  std::unique_ptr<httplib::Client> client_;
  int port_ = 0;
};

TEST_F(WebServerTest, StateMetricsAndHealthAreExact) {
  Serve(500ms);
  controller_->model().SlotConfigured(2, 202, true);
  auto health = client_->Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  EXPECT_EQ(health->body, "DEV02 off\n");
  controller_->model().SlotConfigured(2, 0, false);
  PlayOneCall();

  auto state = client_->Get("/api/state");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->status, 200);
  EXPECT_EQ(state->get_header_value("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(state->body,
            R"({"slots":[{"slot":1,"model":102,"modelName":"삼성 DCS 828(816i) LAN","inUse":true,)"
            R"("link":{"state":"connected","attempt":0,"error":null,"text":""},"lastFrame":"2026-03-14T10:00:00.000",)"
            R"("today":{"calls":1,"notified":1,"notSent":0,"reachedNobody":0,)"
            R"("perHour":[0,0,0,0,0,0,0,0,0,0,1,0,0,0,0,0,0,0,0,0,0,0,0,0],"perDid":{"0211110000":1}}},)" +
                EmptySlot(2) + "," + EmptySlot(3) + "," + EmptySlot(4) +
                R"(],"operators":[[{"extension":"201","ip":"127.0.0.2","state":"connected",)"
                R"("lastSuccess":"2026-03-14T10:00:00.000","lastFailure":null}],[],[],[]],"calls":[)" +
                kCall +
                R"(],"messages":[{"line":"[10:00:00.000][WARN] 경고","severity":"warning","error":null}],)"
                R"("statistics":{"headId":"","lastUpload":null,"lastFailure":""}})");

  health = client_->Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(health->body, "ok\n");

  // No log is open and no operator sender runs before the server starts.
  auto perLog = [](const std::string& family) {
    std::string lines;
    for (int slot = 1; slot <= kSlotCount; ++slot)
      for (const char* log : {"program", "telephone"})
        lines += family + "{slot=\"" + std::to_string(slot) + "\",log=\"" + log + "\"} 0\n";
    return lines;
  };
  auto metrics = client_->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->body,
            "# HELP lindra_calls_total Calls taken since the start, routed or dropped.\n"
            "# TYPE lindra_calls_total counter\n"
            "lindra_calls_total{slot=\"1\"} 1\nlindra_calls_total{slot=\"2\"} 0\n"
            "lindra_calls_total{slot=\"3\"} 0\nlindra_calls_total{slot=\"4\"} 0\n"
            "# HELP lindra_notifications_total Notifications to operator PCs since the start, by outcome.\n"
            "# TYPE lindra_notifications_total counter\n"
            "lindra_notifications_total{slot=\"1\",ip=\"127.0.0.2\",outcome=\"sent\"} 1\n"
            "lindra_notifications_total{slot=\"1\",ip=\"127.0.0.2\",outcome=\"not_sent\"} 0\n"
            "# HELP lindra_link_up 1 when the slot's link to its exchange is connected.\n"
            "# TYPE lindra_link_up gauge\n"
            "lindra_link_up{slot=\"1\"} 1\nlindra_link_up{slot=\"2\"} 0\n"
            "lindra_link_up{slot=\"3\"} 0\nlindra_link_up{slot=\"4\"} 0\n"
            "# HELP lindra_link_reconnects_total Lost links that connected again since the start.\n"
            "# TYPE lindra_link_reconnects_total counter\n"
            "lindra_link_reconnects_total{slot=\"1\"} 0\nlindra_link_reconnects_total{slot=\"2\"} 0\n"
            "lindra_link_reconnects_total{slot=\"3\"} 0\nlindra_link_reconnects_total{slot=\"4\"} 0\n"
            "# HELP lindra_stream_clients Readers of the event stream.\n"
            "# TYPE lindra_stream_clients gauge\n"
            "lindra_stream_clients 0\n"
            "# HELP lindra_uploads_total Statistics uploads since the start, by outcome.\n"
            "# TYPE lindra_uploads_total counter\n"
            "lindra_uploads_total{outcome=\"ok\"} 0\nlindra_uploads_total{outcome=\"failed\"} 0\n"
            "# HELP lindra_operator_calls_waiting Calls waiting for an operator PC, by extension value and PC.\n"
            "# TYPE lindra_operator_calls_waiting gauge\n"
            "# HELP lindra_log_lines_waiting Log lines not yet in their file.\n"
            "# TYPE lindra_log_lines_waiting gauge\n" +
                perLog("lindra_log_lines_waiting") +
                "# HELP lindra_log_write_failures_total Writes of a log since the start that left lines out of "
                "its file.\n"
                "# TYPE lindra_log_write_failures_total counter\n" +
                perLog("lindra_log_write_failures_total") +
                "# HELP lindra_log_lines_dropped_total Log lines dropped since the start: beyond the waiting limit, "
                "or given up.\n"
                "# TYPE lindra_log_lines_dropped_total counter\n" +
                perLog("lindra_log_lines_dropped_total"));

  // Rows that route alike are one series, and each figure of a log its own.
  MonitoredState queued;
  queued.queues[1].senders = {{202, "127.0.0.3", 0}, {201, "127.0.0.2", 3}, {201, "127.0.0.2", 2}};
  queued.queues[1].logs.telephone = {.writeFailures = 4, .linesDropped = 5, .linesWaiting = 6};
  const std::string text = MetricsText(queued);
  for (const char* expected : {"gauge\nlindra_operator_calls_waiting{slot=\"2\",ext=\"201\",ip=\"127.0.0.2\"} 5\n"
                               "lindra_operator_calls_waiting{slot=\"2\",ext=\"202\",ip=\"127.0.0.3\"} 0\n# HELP",
                               "\nlindra_log_lines_waiting{slot=\"2\",log=\"telephone\"} 6\n",
                               "\nlindra_log_write_failures_total{slot=\"2\",log=\"telephone\"} 4\n",
                               "\nlindra_log_lines_dropped_total{slot=\"2\",log=\"telephone\"} 5\n"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nin:\n" << text;

  // The figures come from the front-end thread: one that does not answer in time gets
  // the scrape refused, and the next scrape after it answers again is served.
  std::promise<void> release;
  frontEnd_.Post([held = release.get_future().share()] { held.wait(); });
  auto busy = client_->Get("/metrics");
  release.set_value();
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, 503);
  EXPECT_EQ(busy->body, R"({"error":"the server did not take the request in time"})");
  metrics = client_->Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
}

// A reader of the stream gets the state, then each event as one message, and a
// keepalive while nothing happens.
TEST_F(WebServerTest, AStreamReaderGetsTheSnapshotThenEachEvent) {
  Serve();
  std::mutex mutex;
  std::condition_variable grew;
  std::string received;
  bool done = false;
  std::thread reader([&] {
    client_->Get("/api/events", [&](const char* data, size_t size) {
      std::lock_guard lock(mutex);
      received.append(data, size);
      grew.notify_all();
      return !done;
    });
  });
  auto waitFor = [&](const std::string& text) {
    std::unique_lock lock(mutex);
    return grew.wait_for(lock, 5s, [&] { return received.find(text) != std::string::npos; });
  };
  ASSERT_TRUE(waitFor("event: snapshot\ndata: {\"slots\":[" + EmptySlot(1) + ","));
  ASSERT_TRUE(waitFor(": keepalive\n\n"));
  PlayOneCall();
  EXPECT_TRUE(waitFor("\n\nevent: call-update\ndata: " + kCall + "\n\n"));
  EXPECT_TRUE(
      waitFor("\n\nevent: message\ndata: {\"line\":\"[10:00:00.000][WARN] 경고\",\"severity\":\"warning\","
              "\"error\":null}\n\n"));
  {
    std::lock_guard lock(mutex);
    const std::string call = "event: call\ndata: ";
    const size_t at = received.find(call);
    ASSERT_NE(at, std::string::npos) << received;
    const size_t end = received.find("\n\n", at);
    EXPECT_EQ(received.substr(at + call.size(), end - at - call.size()),
              std::string(kCall).replace(std::string(kCall).find("\"sent\""), 6, "\"waiting\""));
    done = true;
  }
  reader.join();
}

// Readers that attach while the events flow, and one that never reads: each reader
// gets exactly the events after its snapshot, none twice and none missing, and the
// one that does not read is let go once it leaves too many untaken.
TEST(EventStream, EveryReaderGetsTheEventsAfterItsSnapshotAndOneFarBehindIsDropped) {
  testing::FakeClock clock;
  ServerModel model(clock, {});
  EventStream stream(model);
  const auto [idle, idleSnapshot] = stream.Attach();
  const auto addLines = [&](int from, int to) {
    for (int n = from; n < to; ++n) model.AddMessage(StatusLine::Warning("[WARN] " + std::to_string(n)));
  };
  const auto numberOf = [](const std::string& line) { return std::stoi(line.substr(line.rfind(' ') + 1)); };
  // Fewer than a reader may leave untaken, and than three attaches can miss however
  // the stream's thread gathers them: whatever the machine's load, no reader that
  // reads is let go.
  constexpr int kLines = 2000;
  std::thread writer(addLines, 0, kLines);
  // Each reader: where its snapshot ends, then the number of each line it was handed.
  std::vector<std::vector<int>> seen(20);
  const auto readUpTo = [&](StreamReader& reader, std::vector<int>& numbers, int last) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (numbers.back() < last && !reader.dropped() && std::chrono::steady_clock::now() < deadline) {
      const std::string taken = reader.Take(100ms);
      for (size_t at = taken.find("\"line\":\""); at != std::string::npos; at = taken.find("\"line\":\"", at + 1))
        numbers.push_back(numberOf(taken.substr(at + 8, taken.find('"', at + 8) - at - 8)));
    }
  };
  std::vector<std::thread> readers;
  for (auto& numbers : seen)
    readers.emplace_back([&] {
      const auto [reader, snapshot] = stream.Attach();
      numbers.push_back(snapshot.messageLog.empty() ? -1 : numberOf(snapshot.messageLog.back().line));
      readUpTo(*reader, numbers, kLines - 1);
    });
  writer.join();
  for (std::thread& reader : readers) reader.join();
  for (const std::vector<int>& numbers : seen) {
    std::vector<int> expected(static_cast<size_t>(kLines - numbers.front()));
    std::iota(expected.begin(), expected.end(), numbers.front());
    EXPECT_EQ(numbers, expected);
  }

  // The idle reader now holds every line. Filled up to the limit it is still served;
  // the next hand lets it go. One stream thread hands in order, so once a reader has
  // a line, a later line comes in a later hand.
  const auto [last, lastSnapshot] = stream.Attach();
  std::vector<int> lastSeen = {kLines - 1};
  const int full = static_cast<int>(StreamReader::kMaxQueued);
  addLines(kLines, full);
  readUpTo(*last, lastSeen, full - 1);
  ASSERT_EQ(lastSeen.back(), full - 1);
  EXPECT_FALSE(idle->dropped());
  addLines(full, full + 1);
  readUpTo(*last, lastSeen, full);
  EXPECT_EQ(stream.readers(), 22u);  // taken after the hand to every reader
  EXPECT_TRUE(idle->dropped());
  EXPECT_EQ(idle->Take(0ms), "");
}

// A reader whose snapshot was taken before messages were handed to the others gets
// them from those kept; one whose snapshot is older than those kept, or than an event
// nobody read, gets no reader.
TEST(EventStream, ASnapshotTakenBeforeAHandIsFollowedFromTheMessagesKept) {
  testing::FakeClock clock;
  ServerModel model(clock, {});
  EventStream stream(model);
  const ServerSnapshot unwatched = model.Snapshot();
  model.AddMessage(StatusLine::Warning("[WARN] 아무도 안 읽는 줄"));
  EXPECT_EQ(stream.Follow(unwatched), nullptr) << "the line went to no reader";
  const auto [live, liveSnapshot] = stream.Attach();
  const ServerSnapshot before = model.Snapshot();
  const auto addAndHand = [&](int lines) {
    for (int n = 0; n < lines; ++n) model.AddMessage(StatusLine::Warning("[WARN] 줄"));
    std::string taken;
    for (int tries = 0; tries < 100 && static_cast<int>(std::count(taken.begin(), taken.end(), '\n')) < 3 * lines;
         ++tries)
      taken += live->Take(100ms);
    ASSERT_EQ(std::count(taken.begin(), taken.end(), '\n'), 3 * lines);  // "event:", "data:", blank
  };
  addAndHand(2);
  const std::shared_ptr<StreamReader> late = stream.Follow(before);
  ASSERT_NE(late, nullptr);
  const std::string message =
      "event: message\ndata: {\"line\":\"[10:00:00.000][WARN] 줄\",\"severity\":\"warning\","
      "\"error\":null}\n\n";
  EXPECT_EQ(late->Take(0ms), message + message);
  addAndHand(static_cast<int>(EventStream::kRecentKept));
  EXPECT_EQ(stream.Follow(before), nullptr);
}

// Reads on loopback are free; every change needs the token and, from a browser, the
// page's own origin; a refused change leaves the table file as it was.
TEST_F(WebServerTest, ChangesNeedTheTokenAndTheSameOriginAndAnEditIsSaved) {
  testing::WriteFile(dir_ / "lindra.ini",
                     "[DEVICE01]\r\nDEV_NAME=102\r\nLAN_IP=127.0.0.1\r\nLAN_PORT=1\r\n"
                     "[CLIENT]\r\nPROG_PORT=7001\r\nCENTERID=C1\r\nENCRYPTION=Y\r\n");
  testing::WriteFile(dir_ / "did.tbl", "701 0211110000\r\n");
  Serve();
  frontEnd_.Post([this] { (void)controller_->Start(); });
  const std::string host = "127.0.0.1:" + std::to_string(port_);
  const std::string add = R"({"action":"add","first":"702","second":"0222220000"})";
  const httplib::Headers token = {{"Authorization", std::string("Bearer ") + kToken}};
  const httplib::Headers foreign = {{"Authorization", std::string("Bearer ") + kToken},
                                    {"Origin", "http://evil.example"}};
  for (const httplib::Headers& headers : {httplib::Headers{}, foreign}) {
    auto refused = client_->Post("/api/tables/1/dids", headers, add, "application/json");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    EXPECT_EQ(refused->body,
              headers.empty() ? R"({"error":"token required"})" : R"({"error":"cross-origin request refused"})");
  }
  EXPECT_EQ(testing::ReadFile(dir_ / "did.tbl"), "701 0211110000\r\n");

  httplib::Headers sameOrigin = token;
  sameOrigin.emplace("Origin", "http://" + host);
  auto accepted = client_->Post("/api/tables/1/dids", sameOrigin, add, "application/json");
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->body, R"({"accepted":true,"message":""})");
  auto duplicate = client_->Post("/api/tables/1/dids", token, add, "application/json");
  ASSERT_TRUE(duplicate);
  EXPECT_EQ(duplicate->status, 200);
  EXPECT_EQ(duplicate->body, R"({"accepted":false,"message":"국선이 중복 됩니다."})") << "the window's text";
  EXPECT_EQ(testing::ReadFile(dir_ / "did.tbl"), "701 0211110000\r\n702 0222220000\r\n");
  auto tables = client_->Get("/api/tables/1");
  ASSERT_TRUE(tables);
  EXPECT_EQ(tables->body, R"({"slot":1,"dids":[{"trunk":"701","did":"0211110000"},{"trunk":"702","did":"0222220000"}],)"
                          R"("operators":[]})");
  auto malformed = client_->Post("/api/tables/1/dids", token, R"({"action":"modify"})", "application/json");
  ASSERT_TRUE(malformed);
  EXPECT_EQ(malformed->status, 400);
}

// The rule as the server sees each peer: another machine reads with the token only,
// and a loopback peer asking for another site's name is another site.
TEST(AccessRules, PeersHostsTokensAndOrigins) {
  const std::string token = "secret";
  const struct {
    RequestFacts request;
    std::string refusal;
  } cases[] = {
      {{false, "127.0.0.1", "", "", "127.0.0.1:8780"}, ""},
      {{false, "127.3.4.5", "", "", "localhost:8780"}, ""},
      {{false, "::1", "", "", "[::1]:8780"}, ""},
      {{false, "192.168.10.7", "", "", "192.168.10.5:8780"}, "token required"},
      {{false, "192.168.10.7", "Bearer secreT", "", "192.168.10.5:8780"}, "token required"},
      {{false, "192.168.10.7", "Bearer secret", "", "192.168.10.5:8780"}, ""},
      {{false, "127.0.0.1", "", "", "127.evil.example:8780"}, "token required"},
      {{true, "127.0.0.1", "", "", "127.0.0.1:8780"}, "token required"},
      {{true, "127.0.0.1", "Bearer secret", "http://127.0.0.1:8781", "127.0.0.1:8780"}, "cross-origin request refused"},
      {{true, "192.168.10.7", "Bearer secret", "http://192.168.10.5:8780", "192.168.10.5:8780"}, ""},
      {{true, "192.168.10.7", "Bearer secret", "", "192.168.10.5:8780"}, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(RefusalOf(c.request, token), c.refusal) << c.request.peer << " " << c.request.host;
}

TEST(AccessToken, MadePrivateOnceThenReadAndRefusedWhenOthersCouldReachIt) {
  testing::TempDir dir;
  std::string error;
  const auto made = LoadOrCreateToken(dir / "token", error);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(made->size(), 64u);
  EXPECT_EQ(made->find_first_not_of("0123456789abcdef"), std::string::npos);
  struct stat status {};
  ASSERT_EQ(::stat((dir / "token").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(LoadOrCreateToken(dir / "token", error), made);

  std::filesystem::create_symlink(dir / "token", dir / "link");
  EXPECT_FALSE(LoadOrCreateToken(dir / "link", error));
  EXPECT_EQ(error, "--http-token-file: " + (dir / "link").string() + ": a symbolic link, not read");
  ::chmod((dir / "token").c_str(), 0640);
  EXPECT_FALSE(LoadOrCreateToken(dir / "token", error));
  EXPECT_EQ(error,
            "--http-token-file: " + (dir / "token").string() + ": must belong to this user with mode 0600 (chmod 600)");
}

}  // namespace
}  // namespace lindra::web
