// How long the daily statistics job takes over a day of telephone logs, and how
// much memory it needs.
//
//   stats_bench [LINES]      (default 1,000,000, spread over the four slots)
//
// The logs are written first, line by line. The job then reads them, counts the
// calls, writes the day summary and uploads it with the real client to a loopback
// server that discards the body and acknowledges. Peak memory is the process's
// maximum resident set (getrusage) before and after the job.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"
#include "stats/daily_statistics.h"
#include "stats/stat_server_client.h"
#include "text/strings.h"

namespace {

using namespace lindra;

long MaxRssKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

class FixedClock final : public Clock {
 public:
  LocalTime Now() const override { return {2026, 3, 14, 10, 0, 0, 0}; }
  std::chrono::milliseconds Steady() const override { return {}; }
};

// Answers one upload with "200" after reading and dropping its body.
class SinkServer {
 public:
  SinkServer() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_.get(), 4) == 0 &&
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~SinkServer() { thread_.join(); }
  int port() const { return port_; }
  long long received() const { return received_; }

 private:
  void Serve() {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, 60'000) != 1) return;
    UniqueFd peer(::accept(fd_.get(), nullptr, nullptr));
    std::string head;
    char buffer[1 << 16];
    long long want = -1;
    while (want < 0 || received_ < want) {
      const ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return;
      if (want >= 0) {
        received_ += n;
        continue;
      }
      head.append(buffer, static_cast<size_t>(n));
      const size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      want = text::LeadingInt(head.substr(head.find("Content-Length: ") + 16));
      received_ = static_cast<long long>(head.size() - end - 4);
    }
    WriteAll(peer.get(), "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\n200");
  }

  UniqueFd fd_;
  int port_ = 0;
  long long received_ = 0;
  std::thread thread_;
};

void WriteLogs(const std::filesystem::path& dir, long lines) {
  for (int slot = 1; slot <= 4; ++slot) {
    std::ofstream out(TelephoneLogPath(dir, slot, "260313"), std::ios::binary);
    for (long i = slot - 1; i < lines; i += 4) {
      const long second = i * 86400 / lines;
      out << text::Format(
          "%02ld:%02ld:%02ld.4[INFO ] [t-2044] DEV%02d: T 0212345%03ld, 3, 021555%04ld, %ld, 127.0.0.2, "
          "2026-03-13 %02ld:%02ld:%02ld, SENT:%d\r\n",
          second / 3600, second / 60 % 60, second % 60, slot, i % 1000, i % 7, 200 + i % 20, second / 3600,
          second / 60 % 60, second % 60, i % 50 == 0 ? -1 : 30);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 1'000'000;
  if (lines <= 0) return 2;
  std::string root = (TempDirectory() / "lindra-stats-bench-XXXXXX").string();
  if (!::mkdtemp(root.data())) return 1;
  const std::filesystem::path dir = root;
  WriteLogs(dir, lines);
  uintmax_t logBytes = 0;
  for (const auto& f : std::filesystem::directory_iterator(dir)) logBytes += f.file_size();

  SinkServer server;
  const StatServerClient client({"127.0.0.1", server.port()});
  const FixedClock clock;
  const DayContext context{dir, dir, "H1234", "0215550000"};
  const long rssBefore = MaxRssKiB();
  const auto start = std::chrono::steady_clock::now();
  const bool acknowledged = RunDailyStatistics(
      context, clock, [&](const std::string& h, const std::string& d, int t, int u, const std::filesystem::path& f) {
        return client.UploadDayLog(h, d, t, u, f).result;
      });
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const long rssAfter = MaxRssKiB();

  std::printf("RunDailyStatistics: %ld lines in 4 telephone logs (%.1f MiB), upload of %.1f MiB to loopback\n", lines,
              logBytes / 1048576.0, server.received() / 1048576.0);
  std::printf("  %s in %.3f s (%.0f lines/s)\n", acknowledged ? "acknowledged" : "NOT acknowledged", elapsed.count(),
              lines / elapsed.count());
  std::printf("  peak resident memory %.1f MiB (before the job %.1f MiB, grown by %.1f MiB)\n", rssAfter / 1024.0,
              rssBefore / 1024.0, (rssAfter - rssBefore) / 1024.0);
  std::filesystem::remove_all(dir);
  return acknowledged ? 0 : 1;
}
