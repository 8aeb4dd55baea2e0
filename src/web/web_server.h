#pragma once
// The web console of the server: the page, the JSON interface, the event stream and
// the monitoring endpoints, served on one address by the HTTP library's own threads.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/server_options.h"
#include "web/console_json.h"
#include "web/event_stream.h"

namespace httplib {
class Server;
}

namespace lindra {
class ServerController;
}

namespace lindra::web {

struct WebSettings {
  HostPort address;
  std::string token;
  // Runs work on the thread that drives the controller (its table editors and tables
  // belong there).
  std::function<void(std::function<void()>)> post;
  std::chrono::milliseconds keepalive{15000};    // of an idle event stream
  std::chrono::milliseconds frontEndWait{5000};  // for an edit on the front-end thread
};

// Start and Stop on the front-end thread; the request threads read the model (which
// is thread-safe) and reach the controller only through `post`; the event stream
// keeps its readers.
class WebServer {
 public:
  WebServer(ServerController& controller, WebSettings settings);
  ~WebServer();  // Stop()
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds the address and serves; false with `error` when it cannot be bound.
  bool Start(std::string& error);
  // Ends every request and stream; the controller is not touched again.
  void Stop();

 private:
  void Route();
  // `work` run on the front-end thread, its result; nothing when it did not run in time.
  template <typename Result>
  std::optional<Result> OnFrontEnd(std::function<Result(ServerController&)> work) const;

  ServerController& controller_;
  const WebSettings settings_;
  std::unique_ptr<httplib::Server> http_;
  std::thread listener_;
  std::atomic<bool> listenerDone_{false};
  EventStream stream_;
};

// The console of a server started with --http: its token loaded or made, its address
// bound. The console serves the people who watch the server; the calls it routes
// matter more: a console that cannot start is said in the message log (null
// returned), and the server goes on without it.
std::unique_ptr<WebServer> StartConsole(const ServerOptions& options, ServerController& controller,
                                        std::function<void(std::function<void()>)> post);

}  // namespace lindra::web
