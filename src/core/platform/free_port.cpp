#include "platform/free_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/unique_fd.h"

namespace lindra {
namespace {

// Binds `address`:`port` (0: any); the bound port, or 0 on failure.
int BindTo(const std::string& address, int port, UniqueFd& socket) {
  socket.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof sa;
  if (!socket || ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
      ::bind(socket.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&sa), &length) != 0)
    return 0;
  return ntohs(sa.sin_port);
}

}  // namespace

int FreeTcpPort(const std::vector<std::string>& addresses) {
  constexpr int kAttempts = 50;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::vector<UniqueFd> held(addresses.size());
    int port = 0;
    bool free = !addresses.empty();
    for (size_t i = 0; i < addresses.size() && free; ++i) {
      const int bound = BindTo(addresses[i], port, held[i]);
      free = bound != 0;
      port = bound;
    }
    if (free) return port;
  }
  return 0;
}

}  // namespace lindra
