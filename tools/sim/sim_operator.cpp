// lindra-sim operator: an operator PC. It receives the server's notifications over
// TCP (one per connection, or several on a kept connection for PROG_PORT 8001) or as
// UDP datagrams (broadcast mode) and prints each one as "HH:MM:SS.mmm PEER TEXT",
// after its --label when it has one (the demo names each operator PC so).
//
// It can also play a PC that misbehaves: one that accepts and never reads, one that
// closes or resets every connection at once, and one that reads slowly. Those print
// "HH:MM:SS.mmm PEER (accepted)", "(closed)" or "(reset)" for every connection. One
// that hangs drops every connection request without a word, as a PC switched off
// behind a firewall does: its accept queue is kept full (backlog 0, holding one
// connection of its own that is never accepted), so connects to it neither succeed
// nor fail.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "sim_command.h"
#include "sim_play.h"
#include "text/strings.h"

namespace lindra::sim {
namespace {

struct Options {
  std::string listen;
  bool persistent = false;
  bool refuse = false;
  bool hang = false;  // connects to it hang
  bool udp = false;
  bool neverRead = false;  // accept, keep the connection open, never read it
  std::string drop;        // "close" or "reset" every connection at once
  int readGapMs = 0;       // read one byte per gap (a PC that reads slowly)
  int count = 0;           // stop after this many notifications (0: no limit)
  double seconds = 0;      // stop after this long (0: no limit)
  std::string label;       // printed first on every line
};

std::string BoundText(int fd) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  return AddressText(bound);
}

using SteadyClock = std::chrono::steady_clock;

void PrintNotification(const std::string& label, const std::string& peer, const std::string& bytes) {
  LocalTime now = SystemClock::Instance().Now();
  std::printf("%s%02d:%02d:%02d.%03d %s %s\n", label.c_str(), now.hour, now.minute, now.second, now.millisecond,
              peer.c_str(), bytes.c_str());
  std::fflush(stdout);
}

class OperatorPc {
 public:
  explicit OperatorPc(const Options& options)
      : options_(options), label_(options.label.empty() ? "" : options.label + " ") {}

  int Run(const sockaddr_in& address) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    signals_.Reset(::signalfd(-1, &signals, SFD_CLOEXEC));

    socket_.Reset(::socket(AF_INET, (options_.udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0));
    int on = 1;
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!socket_ || ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      std::perror("lindra-sim operator: bind");
      return 1;
    }
    // Refusing: bound but not listening, so every connect is refused.
    if (!options_.udp && !options_.refuse && ::listen(socket_.get(), options_.hang ? 0 : 64) != 0) {
      std::perror("lindra-sim operator: listen");
      return 1;
    }
    if (options_.hang && !FillAcceptQueue()) {
      std::perror("lindra-sim operator: connect");
      return 1;
    }
    const char* mode = options_.udp ? "udp" : options_.refuse ? "refusing" : options_.hang ? "hanging" : "tcp";
    std::printf("LISTEN %s %s\n", mode, BoundText(socket_.get()).c_str());
    std::fflush(stdout);
    return Loop();
  }

 private:
  int Loop() {
    const std::optional<SteadyTime> deadline = Deadline(options_.seconds);
    while (options_.count == 0 || printed_ < options_.count) {
      const SteadyTime now = SteadyClock::now();
      if (deadline && now >= *deadline) return 0;
      std::vector<pollfd> fds{{signals_.get(), POLLIN, 0}};
      if (!options_.refuse && !options_.hang) fds.push_back({socket_.get(), POLLIN, 0});
      // A slow reader's connections are looked at again only when their next read is due.
      std::optional<SteadyTime> wake = deadline;
      for (const auto& [fd, client] : clients_) {
        if (client.readAt <= now) {
          fds.push_back({fd, POLLIN, 0});
        } else if (!wake || client.readAt < *wake) {
          wake = client.readAt;
        }
      }
      if (::poll(fds.data(), fds.size(), MsUntil(wake)) < 0) continue;
      if (fds[0].revents & POLLIN) return 0;
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (fds[i].fd == socket_.get()) {
          options_.udp ? ReceiveDatagram() : Accept();
        } else {
          ReceiveFrom(fds[i].fd);
        }
      }
    }
    return 0;
  }

  // The one connection a listener of backlog 0 queues, never accepted.
  bool FillAcceptQueue() {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    filler_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return filler_ && ::connect(filler_.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) == 0;
  }

  void ReceiveDatagram() {
    char buffer[2048];
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    ssize_t n = ::recvfrom(socket_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &length);
    if (n < 0) return;
    Print(AddressText(peer), std::string(buffer, static_cast<size_t>(n)));
  }

  void Accept() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    UniqueFd fd(::accept4(socket_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
    if (!fd) return;
    const std::string peerText = AddressText(peer);
    if (!options_.drop.empty()) {
      // A reset: closing with a zero linger time sends RST instead of FIN.
      const linger abort{1, 0};
      if (options_.drop == "reset") ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      fd.Reset();
      PrintNotification(label_, peerText, options_.drop == "reset" ? "(reset)" : "(closed)");
    } else if (options_.neverRead) {
      unread_.push_back(std::move(fd));
      PrintNotification(label_, peerText, "(accepted)");
    } else {
      const int raw = fd.get();
      clients_.emplace(raw, Client{std::move(fd), peerText, {}, {}});
    }
  }

  // Per-event connections carry one notification, complete at the close; a kept
  // connection carries one notification per read, the sender pausing between them.
  void ReceiveFrom(int fd) {
    Client& client = clients_.at(fd);
    char buffer[2048];
    ssize_t n = ::recv(fd, buffer, options_.readGapMs > 0 ? 1 : sizeof buffer, 0);
    if (options_.readGapMs > 0) client.readAt = SteadyClock::now() + std::chrono::milliseconds(options_.readGapMs);
    if (n > 0) {
      if (options_.persistent) {
        Print(client.peer, std::string(buffer, static_cast<size_t>(n)));
      } else {
        client.pending.append(buffer, static_cast<size_t>(n));
      }
      return;
    }
    if (!client.pending.empty()) {
      Print(client.peer, client.pending);
    } else if (!options_.persistent) {
      std::fprintf(stderr, "%sprobe from %s\n", label_.c_str(), client.peer.c_str());
    }
    clients_.erase(fd);
  }

  void Print(const std::string& peer, const std::string& bytes) {
    if (options_.count != 0 && printed_ >= options_.count) return;
    PrintNotification(label_, peer, bytes);
    ++printed_;
  }

  struct Client {
    UniqueFd fd;
    std::string peer;
    std::string pending;
    SteadyTime readAt;  // a slow reader's next read
  };

  const Options& options_;
  const std::string label_;
  UniqueFd signals_;
  UniqueFd socket_;
  UniqueFd filler_;
  std::map<int, Client> clients_;
  std::vector<UniqueFd> unread_;
  int printed_ = 0;
};

int RunOperator(int argc, char** argv) {
  CLI::App app{"An operator PC: prints every notification it receives", "lindra-sim operator"};
  Options options;
  app.add_option("--listen", options.listen, "loopback ADDR:PORT to listen on (PORT 0 picks a free one)")->required();
  app.add_flag("--persistent", options.persistent, "a kept connection: one notification per read (PROG_PORT 8001)");
  app.add_flag("--refuse", options.refuse, "hold the port but refuse every connection (an operator PC that is down)");
  app.add_flag("--hang", options.hang,
               "drop every connection request silently, so connects hang (a PC switched off behind a firewall)")
      ->excludes("--refuse");
  app.add_flag("--udp", options.udp, "receive datagrams (broadcast mode; listen on 127.255.255.255)");
  app.add_flag("--never-read", options.neverRead, "accept every connection and never read it (a PC that hangs)");
  app.add_option("--drop", options.drop, "close or reset every connection as soon as it is accepted")
      ->check(CLI::IsMember({"close", "reset"}));
  app.add_option("--read-gap", options.readGapMs, "read one byte every this many milliseconds (a PC that reads slowly)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--count", options.count, "exit after this many notifications");
  app.add_option("--seconds", options.seconds, "exit after this many seconds");
  app.add_option("--label", options.label, "text printed first on every line, e.g. the PC's name");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  std::optional<sockaddr_in> address = LoopbackAddress(options.listen);
  if (!address) {
    std::fprintf(stderr, "lindra-sim operator: --listen needs a loopback ADDR:PORT (127.x.x.x), not '%s'\n",
                 options.listen.c_str());
    return 2;
  }
  return OperatorPc(options).Run(*address);
}

const RegisterSimCommand kOperatorCommand{
    {"operator", "an operator PC that prints the notifications it receives", RunOperator}};

}  // namespace
}  // namespace lindra::sim
