#include "stats/http_exchange.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "text/strings.h"

namespace lindra {
namespace {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
  std::string body;
  size_t limit = 0;
  bool stopAtLineFeed = false;
  bool stoppedOnPurpose = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& sink = *static_cast<Sink*>(user);
  const size_t bytes = size * count;
  size_t take = std::min(bytes, sink.limit - sink.body.size());
  if (sink.stopAtLineFeed)
    if (const void* lf = std::memchr(data, '\n', take)) take = static_cast<const char*>(lf) - data + 1;
  sink.body.append(data, take);
  const bool full = sink.body.size() >= sink.limit;
  const bool line = sink.stopAtLineFeed && !sink.body.empty() && sink.body.back() == '\n';
  if (take < bytes || full || line) {
    sink.stoppedOnPurpose = true;
    return 0;  // a count other than `bytes` ends the transfer
  }
  return bytes;
}

// What the progress callback watches: the cancel flag, and when bytes last moved.
struct Watch {
  const std::atomic<bool>* cancel = nullptr;
  std::chrono::milliseconds stallLimit{};
  curl_off_t moved = 0;
  std::chrono::steady_clock::time_point lastMove = std::chrono::steady_clock::now();
};

// libcurl calls it at least about once a second, also while nothing moves.
int OnProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
  auto& watch = *static_cast<Watch*>(user);
  if (watch.cancel && watch.cancel->load()) return 1;
  const auto now = std::chrono::steady_clock::now();
  if (received + sent != watch.moved) {
    watch.moved = received + sent;
    watch.lastMove = now;
  }
  return now - watch.lastMove >= watch.stallLimit ? 1 : 0;
}

// What libcurl counts as sent has only reached the kernel's send buffer, which grows to
// megabytes on its own: a slow uplink would show no progress while that drains, and
// the stall limit would end a healthy upload. A small buffer keeps the count close
// to what has left the machine; 64 KiB still keeps an uplink of several megabits a
// second busy.
int OnSocketCreated(void*, curl_socket_t socket, curlsocktype) {
  constexpr int kSendBuffer = 64 * 1024;
  ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  return CURL_SOCKOPT_OK;
}

int OnNameLookup(void*, void*, void* user) {
  (*static_cast<const std::function<void()>*>(user))();
  return 1;  // refused
}

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::string HostOf(const std::string& url) {
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  char* host = nullptr;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK)
    return {};
  std::string text(host);
  curl_free(host);
  return text;
}

HeaderList BuildHeaders(const std::vector<std::string>& lines) {
  HeaderList list;
  for (const auto& line : lines) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) return {};
    list.release();
    list.reset(grown);
  }
  return list;
}

}  // namespace

std::string Endpoint::Authority() const { return port == 80 ? host : host + ":" + std::to_string(port); }

bool IsReservedInvalidName(std::string_view host) {
  if (host.ends_with('.')) host.remove_suffix(1);
  constexpr std::string_view kInvalid = "invalid";
  if (host.size() < kInvalid.size()) return false;
  const size_t at = host.size() - kInvalid.size();
  return text::EqualsIgnoreCase(host.substr(at), kInvalid) && (at == 0 || host[at - 1] == '.');
}

HttpReply PerformHttp(const HttpRequest& request, size_t bodyLimit, bool stopAtLineFeed,
                      const std::atomic<bool>* cancel, const HttpLimits& limits) {
  HttpReply reply;
  auto failed = [&reply](CURLcode code) {
    reply.error = curl_easy_strerror(code);
    return reply;
  };
  if (cancel && cancel->load()) return failed(CURLE_ABORTED_BY_CALLBACK);
  InitCurlOnce();
  if (IsReservedInvalidName(HostOf(request.url))) return failed(CURLE_COULDNT_RESOLVE_HOST);
  EasyHandle easy(curl_easy_init());
  if (!easy) return failed(CURLE_FAILED_INIT);
  HeaderList headers = BuildHeaders(request.headers);
  if (!request.headers.empty() && !headers) return failed(CURLE_OUT_OF_MEMORY);

  Sink sink;
  sink.limit = bodyLimit;
  sink.stopAtLineFeed = stopAtLineFeed;
  Watch watch;
  watch.cancel = cancel;
  watch.stallLimit = limits.stallLimit;
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  // No proxy option is set: libcurl then takes http_proxy and no_proxy from the
  // environment, which is where this platform keeps the machine's proxy setting.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &watch);
  curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, OnSocketCreated);
  if (limits.nameLookupProbe) {
    curl_easy_setopt(h, CURLOPT_RESOLVER_START_FUNCTION, OnNameLookup);
    curl_easy_setopt(h, CURLOPT_RESOLVER_START_DATA, const_cast<std::function<void()>*>(&limits.nameLookupProbe));
  }
  // libcurl's defaults for a redirected POST are the browsers' rules; the redirect
  // carries our header lines along, but Host and Content-Length are libcurl's own,
  // made for each request, so the next server never sees the first one's name.
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  if (request.post) {
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    static const std::string kNoBody;
    const std::string& body = request.body ? *request.body : kNoBody;
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  } else {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  }
  const CURLcode code = curl_easy_perform(h);
  reply.completed = code == CURLE_OK || (code == CURLE_WRITE_ERROR && sink.stoppedOnPurpose);
  reply.body = std::move(sink.body);
  if (!reply.completed) reply.error = error[0] ? error : curl_easy_strerror(code);
  return reply;
}

}  // namespace lindra
