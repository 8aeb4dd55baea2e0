#pragma once
// One HTTP exchange on libcurl with the request bytes under our control: the
// statistics and configuration servers are peers whose expectations are fixed byte
// for byte, so every header the library would add on its own is either replaced by
// ours or switched off.
#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace lindra {

// A web server as the command line names it (--stat-server / --config-server).
struct Endpoint {
  std::string host;
  int port = 80;
  // "host" on port 80, else "host:port": the Host header, the Referer and the URLs.
  std::string Authority() const;
};

// Bounds every exchange so that no call waits for minutes on a silent server; a
// stop of the service interrupts an exchange through the cancel flag instead.
inline constexpr long kConnectTimeoutMs = 5'000;
inline constexpr long kExchangeTimeoutMs = 30'000;

struct HttpRequest {
  bool post = false;                 // POST over HTTP/1.0, else GET over HTTP/1.1
  std::string url;                   // "http://authority/path"
  std::vector<std::string> headers;  // lines without CR LF, sent in this order
  std::optional<std::string> body;   // POST only; nullopt sends no body at all
};

struct HttpReply {
  bool completed = false;  // the whole reply was read (or reading stopped at the limit)
  std::string body;        // as much of the body as was read
};

// Performs one exchange with its own handle and connection. Reading stops, as a
// success, once `bodyLimit` bytes are held, or at the first line feed when
// `stopAtLineFeed` is set. Never throws; the cancel flag (when given) ends it early.
HttpReply PerformHttp(const HttpRequest& request, size_t bodyLimit, bool stopAtLineFeed,
                      const std::atomic<bool>* cancel);

}  // namespace lindra
