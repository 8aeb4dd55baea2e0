#include "web/web_server.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <utility>

#include "app/server_controller.h"
#include "web/access_rules.h"
#include "web/access_token.h"
#include "web/console_json.h"
#include "web/event_stream.h"
#include "web/give_way.h"
#include "web/monitoring.h"
#include "web/page_assets.h"

namespace lindra::web {
namespace {

// Enough for every browser's held event stream and the requests beside them; the
// pool's threads are made once.
constexpr size_t kRequestThreads = 48;
constexpr size_t kMaxBody = 64 * 1024;
constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kBusy = "the server did not take the request in time";

void Reply(httplib::Response& response, int status, const Json& body) {
  response.status = status;
  response.set_content(Dump(body), kJson);
}

void Refuse(httplib::Response& response, int status, const std::string& why) {
  Reply(response, status, {{"error", why}});
}

RequestFacts FactsOf(const httplib::Request& request) {
  return {request.method == "POST", request.remote_addr, request.get_header_value("Authorization"),
          request.get_header_value("Origin"), request.get_header_value("Host")};
}

// The slot of "/api/tables/N...", or 0.
int SlotOf(const httplib::Request& request) {
  const std::string text = request.matches[1];
  return text.size() == 1 && text[0] >= '1' && text[0] <= '0' + kSlotCount ? text[0] - '0' : 0;
}

// The index page served to a local reader carries the token for the page's changes.
std::string IndexPage(std::string_view bytes, const std::string& token) {
  std::string page(bytes);
  const size_t head = page.find("<head>");
  if (head != std::string::npos) page.insert(head + 6, "\n<meta name=\"lindra-token\" content=\"" + token + "\">");
  return page;
}

}  // namespace

WebServer::WebServer(ServerController& controller, WebSettings settings)
    : controller_(controller),
      settings_(std::move(settings)),
      http_(std::make_unique<httplib::Server>()),
      stream_(controller.model()) {
  http_->new_task_queue = [] { return new httplib::ThreadPool(kRequestThreads); };
  http_->set_payload_max_length(kMaxBody);
  http_->set_keep_alive_timeout(2);
  Route();
}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(std::string& error) {
  if (!http_->bind_to_port(settings_.address.host, settings_.address.port)) {
    error = "cannot listen on " + settings_.address.host + ":" + std::to_string(settings_.address.port) + ": " +
            std::strerror(errno);
    return false;
  }
  listener_ = std::thread([this] {
    http_->listen_after_bind();
    listenerDone_ = true;
  });
  return true;
}

void WebServer::Stop() {
  if (!listener_.joinable()) return;
  // The library ignores a stop that comes before its loop has begun.
  while (!http_->is_running() && !listenerDone_) std::this_thread::yield();
  http_->stop();
  stream_.CloseAll();
  listener_.join();
}

template <typename Result>
std::optional<Result> WebServer::OnFrontEnd(std::function<Result(ServerController&)> work) const {
  auto done = std::make_shared<std::promise<Result>>();
  std::future<Result> result = done->get_future();
  // The work holds nothing of the request: it may still run after the wait gave up.
  settings_.post([work = std::move(work), done, &controller = controller_] { done->set_value(work(controller)); });
  if (result.wait_for(settings_.frontEndWait) != std::future_status::ready) return std::nullopt;
  return result.get();
}

void WebServer::Route() {
  http_->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    GiveWayToCalls();
    // The page's files hold nothing of the server: a browser off this machine loads
    // them, then asks for the token.
    if (request.method == "GET" && FindPageAsset(request.path)) return httplib::Server::HandlerResponse::Unhandled;
    const std::string refusal = RefusalOf(FactsOf(request), settings_.token);
    if (refusal.empty()) return httplib::Server::HandlerResponse::Unhandled;
    Refuse(response, 401, refusal);
    response.set_header("WWW-Authenticate", "Bearer");
    return httplib::Server::HandlerResponse::Handled;
  });

  for (const PageAsset& asset : PageAssets()) {
    const auto serve = [this, &asset](const httplib::Request& request, httplib::Response& response) {
      response.set_header("Cache-Control", "no-store");
      if (asset.path == "/index.html" && IsLocalReader(FactsOf(request)))
        response.set_content(IndexPage(asset.bytes, settings_.token), std::string(asset.contentType));
      else
        response.set_content(asset.bytes.data(), asset.bytes.size(), std::string(asset.contentType));
    };
    http_->Get(std::string(asset.path), serve);
    if (asset.path == "/index.html") http_->Get("/", serve);
  }

  http_->Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
    Reply(response, 200, SnapshotJson(controller_.model().Snapshot()));
  });

  http_->Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
    auto [reader, snapshot] = stream_.Attach();
    std::string pending = StreamMessage("snapshot", SnapshotJson(snapshot));
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, reader, pending = std::move(pending), lastWrite = std::chrono::steady_clock::now()](
            size_t, httplib::DataSink& sink) mutable {
          if (pending.empty()) {
            const auto quiet = std::chrono::steady_clock::now() - lastWrite;
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(settings_.keepalive - quiet);
            pending = reader->Take(std::max(wait, std::chrono::milliseconds(0)));
            if (reader->dropped() || reader->closed()) return false;
            if (pending.empty()) {
              if (std::chrono::steady_clock::now() - lastWrite < settings_.keepalive) return true;
              pending = ": keepalive\n\n";
            }
          }
          if (!sink.write(pending.data(), pending.size())) return false;
          pending.clear();
          lastWrite = std::chrono::steady_clock::now();
          return true;
        },
        [this, reader](bool) { stream_.Detach(reader); });
  });

  http_->Get(R"(/api/tables/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
    const int slotNo = SlotOf(request);
    if (slotNo == 0) return Refuse(response, 404, "no such slot");
    const auto tables = OnFrontEnd<Json>([slotNo](ServerController& controller) {
      const RoutingTables& t = controller.tables(slotNo - 1);
      return TablesJson(slotNo, *t.Dids(), *t.Agents());
    });
    if (!tables) return Refuse(response, 503, kBusy);
    Reply(response, 200, *tables);
  });

  http_->Post(R"(/api/tables/(\d+)/(dids|operators))", [this](const httplib::Request& request,
                                                              httplib::Response& response) {
    const int slotNo = SlotOf(request);
    if (slotNo == 0) return Refuse(response, 404, "no such slot");
    const Json body = Json::parse(request.body, nullptr, false);
    if (!body.is_object()) return Refuse(response, 400, "body is not a JSON object");
    const std::string action = body.value("action", "");
    const int row = body.contains("row") && body["row"].is_number_integer() ? body["row"].get<int>() : -1;
    const bool hasFields =
        body.contains("first") && body["first"].is_string() && body.contains("second") && body["second"].is_string();
    const std::string first = hasFields ? body["first"].get<std::string>() : "";
    const std::string second = hasFields ? body["second"].get<std::string>() : "";
    const bool dids = request.matches[2] == "dids";
    if (!(action == "add" && hasFields) && !(action == "modify" && hasFields && row >= 0) &&
        !(action == "delete" && row >= 0))
      return Refuse(response, 400, "expected action add (first, second), modify (row, first, second) or delete (row)");

    const auto reply = OnFrontEnd<Json>([index = slotNo - 1, dids, action, row, first, second](ServerController& c) {
      EditOutcome outcome;
      if (action == "add")
        outcome = dids ? c.AddDidRow(index, first, second) : c.AddAgentRow(index, first, second);
      else if (action == "modify")
        outcome = dids ? c.ModifyDidRow(index, row, first, second) : c.ModifyAgentRow(index, row, first, second);
      else
        outcome = dids ? c.DeleteDidRow(index, row) : c.DeleteAgentRow(index, row);
      return Json{{"accepted", outcome.accepted}, {"message", outcome.message}};
    });
    if (!reply) return Refuse(response, 503, kBusy);
    Reply(response, 200, *reply);
  });

  http_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    // The channels belong to the front-end thread.
    const auto queues = OnFrontEnd<std::array<SlotQueues, kSlotCount>>(
        [](ServerController& controller) { return controller.Queues(); });
    if (!queues) return Refuse(response, 503, kBusy);
    MonitoredState state;
    state.queues = *queues;
    const ServerSnapshot snapshot = controller_.model().Snapshot();
    state.slots = snapshot.slots;
    state.statistics = snapshot.statistics;
    state.totals = controller_.model().Totals();
    state.streamClients = stream_.readers();
    response.set_content(MetricsText(state), "text/plain; version=0.0.4; charset=utf-8");
  });

  http_->Get("/healthz", [this](const httplib::Request&, httplib::Response& response) {
    const Health health = HealthOf(controller_.model().Slots());
    response.status = health.healthy ? 200 : 503;
    response.set_content(health.text, "text/plain; charset=utf-8");
  });
}

std::unique_ptr<WebServer> StartConsole(const ServerOptions& options, ServerController& controller,
                                        std::function<void(std::function<void()>)> post) {
  std::string error;
  std::unique_ptr<WebServer> console;
  if (const auto token = LoadOrCreateToken(options.httpTokenFile, error)) {
    console = std::make_unique<WebServer>(controller, WebSettings{*options.http, *token, std::move(post)});
    if (!console->Start(error)) console.reset();
  }
  if (!console) controller.model().AddMessage(StatusLine::Error("[ERR] 웹 콘솔 시작 실패 : " + error));
  return console;
}

}  // namespace lindra::web
