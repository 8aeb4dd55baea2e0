#pragma once
// Name resolution, in one place: the IPv4 addresses of the hosts that lindra.ini and
// the options name (a LAN exchange, the diagnostic mirror, this machine).
#include <asio/ip/address_v4.hpp>
#include <functional>
#include <optional>
#include <string>

#include "platform/event_loop.h"

namespace lindra {

struct Ipv4Lookup {
  std::optional<asio::ip::address_v4> address;  // the first IPv4 address found
  // When the look-up itself failed: the resolver's code (an EAI_ value, negative), or
  // errno for a system failure. 0 with no address: the name has no IPv4 address.
  int lookupError = 0;
};

// A numeric address as inet_aton reads it ("127.0.0.1", also the short forms such as
// "127.1"); nullopt for anything else.
std::optional<asio::ip::address_v4> NumericIpv4(const std::string& text);

// Looks `host` up with the system's resolver; blocks while it asks (a numeric address
// is answered at once). For threads that may wait: the controller's.
Ipv4Lookup LookUpIpv4(const std::string& host);

// This machine's own IPv4 address: its host name looked up as above.
Ipv4Lookup LookUpThisHostIpv4();

// The same without blocking the loop: a numeric address is answered at once, a name
// is looked up on the resolver's own thread. `done` runs on `strand`.
void LookUpIpv4Async(const Strand& strand, const std::string& host, std::function<void(Ipv4Lookup)> done);

}  // namespace lindra
