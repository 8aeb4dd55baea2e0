#include "platform/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <memory>

namespace lindra {

std::optional<asio::ip::address_v4> NumericIpv4(const std::string& text) {
  in_addr address{};
  if (::inet_aton(text.c_str(), &address) == 0) return std::nullopt;
  return asio::ip::address_v4(ntohl(address.s_addr));
}

Ipv4Lookup LookUpIpv4(const std::string& host) {
  if (auto numeric = NumericIpv4(host)) return {numeric};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0)
    return {std::nullopt, rc == EAI_SYSTEM ? errno : rc};
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
  if (!found || !found->ai_addr) return {};
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  return {asio::ip::address_v4(ntohl(ipv4->sin_addr.s_addr))};
}

Ipv4Lookup LookUpThisHostIpv4() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {std::nullopt, errno};
  return LookUpIpv4(name);
}

void LookUpIpv4Async(const Strand& strand, const std::string& host, std::function<void(Ipv4Lookup)> done) {
  if (auto numeric = NumericIpv4(host)) {
    asio::post(strand, [done = std::move(done), address = *numeric] { done({address}); });
    return;
  }
  auto resolver = std::make_shared<asio::ip::tcp::resolver>(strand);
  resolver->async_resolve(asio::ip::tcp::v4(), host, "",
                          [resolver, done = std::move(done)](const asio::error_code& ec,
                                                             const asio::ip::tcp::resolver::results_type& results) {
                            if (ec) return done({std::nullopt, ec.value()});
                            if (results.empty()) return done({});
                            done({results.begin()->endpoint().address().to_v4()});
                          });
}

}  // namespace lindra
