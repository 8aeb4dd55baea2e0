#pragma once
// What the whole-server benchmarks share: loopback listeners and what /proc tells of
// the server process. Figures only; nothing here asserts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace lindra::bench {

inline UniqueFd Listen(const char* address, int port, int backlog = 512) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &sa.sin_addr);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd.get(), backlog) != 0) return {};
  return fd;
}

inline int PortOf(const UniqueFd& fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

struct ProcessUsage {
  double cpuSeconds = 0;  // user + system
  long peakKb = 0;        // VmHWM
  long rssKb = 0;         // VmRSS
  long threads = 0;
};

inline ProcessUsage UsageOf(pid_t pid) {
  ProcessUsage usage;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  unsigned long ticks = 0;
  // Fields 14 and 15: user and system time; the command name (field 2) has no blanks here.
  for (int i = 1; i <= 15 && stat >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stoul(field);
  usage.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") status >> usage.peakKb;
    if (key == "VmRSS:") status >> usage.rssKb;
    if (key == "Threads:") status >> usage.threads;
  }
  return usage;
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace lindra::bench
