#include "stats/http_exchange.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

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

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* cancel = static_cast<const std::atomic<bool>*>(user);
  return cancel && cancel->load() ? 1 : 0;
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

HttpReply PerformHttp(const HttpRequest& request, size_t bodyLimit, bool stopAtLineFeed,
                      const std::atomic<bool>* cancel) {
  HttpReply reply;
  if (cancel && cancel->load()) return reply;
  InitCurlOnce();
  EasyHandle easy(curl_easy_init());
  if (!easy) return reply;
  HeaderList headers = BuildHeaders(request.headers);
  if (!request.headers.empty() && !headers) return reply;

  Sink sink;
  sink.limit = bodyLimit;
  sink.stopAtLineFeed = stopAtLineFeed;
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  // Direct connections only: a proxy would rewrite the request line the peer expects.
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, kExchangeTimeoutMs);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
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
  return reply;
}

}  // namespace lindra
