#include "web/access_rules.h"

#include <arpa/inet.h>

namespace lindra::web {
namespace {

// The same time whatever the first wrong byte, so a peer cannot guess the token byte
// by byte.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

// The Host header without its port.
std::string HostName(const std::string& host) {
  if (host.starts_with("[")) return host.substr(0, host.find(']') + 1);
  return host.substr(0, host.rfind(':'));
}

}  // namespace

bool IsLoopbackPeer(const std::string& address) {
  return address.starts_with("127.") || address == "::1" || address.starts_with("::ffff:127.");
}

bool IsLocalReader(const RequestFacts& request) {
  const std::string name = HostName(request.host);
  in_addr address{};
  const bool loopbackName = name == "localhost" || name == "[::1]" ||
                            (::inet_pton(AF_INET, name.c_str(), &address) == 1 && name.starts_with("127."));
  return IsLoopbackPeer(request.peer) && loopbackName;
}

std::string RefusalOf(const RequestFacts& request, const std::string& token) {
  const bool needsToken = request.change || !IsLocalReader(request);
  if (needsToken && !SameSecret(request.authorization, "Bearer " + token)) return "token required";
  // A page of another site that the browser would let post here with the user's
  // token never gets this far; a program that sends no Origin is not a browser.
  if (request.change && !request.origin.empty() && request.origin != "http://" + request.host)
    return "cross-origin request refused";
  return {};
}

}  // namespace lindra::web
