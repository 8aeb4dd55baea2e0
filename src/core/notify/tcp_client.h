#pragma once
// The TCP client steps shared by the operator senders and the frame mirror: a
// connect with a time limit, a send that never raises SIGPIPE, and a look at whether
// the peer has closed a connection we only write to.
#include <netinet/in.h>

#include <chrono>
#include <optional>
#include <string_view>

namespace lindra::net {

// A dotted IPv4 address and a port; nullopt when the text is not a dotted address.
std::optional<sockaddr_in> Ipv4Address(std::string_view dotted, int port);

// Connects the blocking TCP socket `fd` within `timeout`; the socket stays blocking
// and a later send gives up after `sendTimeout`. Returns 0 or the errno of the
// failure (ETIMEDOUT when the time ran out). A shutdown() of `fd` from another
// thread cuts the wait short.
int ConnectWithin(int fd, const sockaddr_in& address, std::chrono::milliseconds timeout,
                  std::chrono::milliseconds sendTimeout);

// Sends all bytes; returns the number sent, or -1 with errno set.
int SendAll(int fd, std::string_view bytes);

// True when the peer has closed the connection or it has failed. Bytes the peer
// sent (operator PCs send none) are read and discarded.
bool PeerHasClosed(int fd);

}  // namespace lindra::net
