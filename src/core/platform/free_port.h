#pragma once
// Picking a TCP port for a peer of our own (the demo's simulators, tests, benchmarks).
#include <string>
#include <vector>

namespace lindra {

// A TCP port free at this moment on every given IPv4 address at once (the operator
// PCs of a slot share its notification port, each on its own address); 0 when none
// was found. Nothing listens on it when it is returned.
int FreeTcpPort(const std::vector<std::string>& addresses = {"127.0.0.1"});

}  // namespace lindra
