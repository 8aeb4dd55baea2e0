#pragma once
// One HTTP exchange on libcurl with the request bytes under our control: the
// statistics and configuration servers are peers whose expectations are fixed byte
// for byte, so every header the library would add on its own is either replaced by
// ours or switched off, but for Host and Content-Length: those it writes as the peers
// expect them, and anew for each request a redirect leads to.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lindra {

// A web server as the command line names it (--stat-server / --config-server).
struct Endpoint {
  std::string host;
  int port = 80;
  // "host" on port 80, else "host:port": the Host header, the Referer and the URLs.
  std::string Authority() const;
};

// How long an exchange may wait. The connection must be made within `connectTimeout`;
// after that the exchange ends only once nothing has moved either way for
// `stallLimit`, so a day summary of a few megabytes over a slow uplink finishes
// however long it takes, while a silent server is given up. A stop of the service
// interrupts an exchange through the cancel flag instead.
struct HttpLimits {
  std::chrono::milliseconds connectTimeout{5'000};
  std::chrono::milliseconds stallLimit{30'000};
  // For tests: called where the library would start to look a host name up (a
  // numeric one or the proxy's too); the look-up is then refused, so a test sees it
  // without any query leaving the machine.
  std::function<void()> nameLookupProbe;
};

inline constexpr long kMaxRedirects = 3;

struct HttpRequest {
  bool post = false;                 // POST over HTTP/1.0, else GET over HTTP/1.1
  std::string url;                   // "http://authority/path"
  std::vector<std::string> headers;  // lines without CR LF, sent in this order
  std::optional<std::string> body;   // POST only; nullopt sends no body at all
};

struct HttpReply {
  bool completed = false;  // the whole reply was read (or reading stopped at the limit)
  std::string body;        // as much of the body as was read
  std::string error;       // not completed: what went wrong, in libcurl's words
};

// Performs one exchange with its own handle and connection. Reading stops, as a
// success, once `bodyLimit` bytes are held, or at the first line feed when
// `stopAtLineFeed` is set. Never throws; the cancel flag (when given) ends it early.
// Redirects are followed as the platform's HTTP client did, up to kMaxRedirects: a
// POST answered with 301, 302 or 303 is asked again as a GET without its body, as
// browsers do, one answered with 307 or 308 again as a POST. A fourth redirect fails
// the exchange.
// A proxy is used as the environment names it (http_proxy, no_proxy). A host under
// .invalid fails at once, as an unreachable one does: such names never resolve, so
// they are never looked up.
HttpReply PerformHttp(const HttpRequest& request, size_t bodyLimit, bool stopAtLineFeed,
                      const std::atomic<bool>* cancel, const HttpLimits& limits = {});

// True for "invalid" and every name under it, whatever the case, with or without
// the root's trailing dot.
bool IsReservedInvalidName(std::string_view host);

}  // namespace lindra
