// lindra-sim cti: the CTI program. Connects to the server's CTI port once per message,
// sends the message, waits for the server to close the connection, and goes on at the
// given rate. A refused connection counts as an attempt, so the run stays bounded;
// with --wait the first message waits, quietly and for a bounded time, until the
// server listens.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "sim_command.h"
#include "sim_play.h"

namespace lindra::sim {
namespace {

using namespace std::chrono_literals;

constexpr int kCloseWaitMs = 5000;
constexpr auto kRetryPause = 100ms;

struct CtiOptions {
  std::string connect;
  std::string message = "201,701,0212345678";
  int count = 1;
  double rate = 1.0;
  double wait = 0;  // seconds the first message waits for the server to listen
};

enum class Outcome { Sent, Refused, Failed };

// One connection, one message. A refusal is reported unless the caller still waits
// for the server.
Outcome SendOnce(const sockaddr_in& server, const std::string& message, bool waiting) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    if (fd && waiting && errno == ECONNREFUSED) return Outcome::Refused;
    std::perror("lindra-sim cti: connect");
    return Outcome::Failed;
  }
  if (::send(fd.get(), message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
    std::perror("lindra-sim cti: send");
    return Outcome::Failed;
  }
  // The server reads one message and closes; wait for that, bounded.
  pollfd closed{fd.get(), POLLIN, 0};
  char buffer[64];
  while (::poll(&closed, 1, kCloseWaitMs) > 0 && ::recv(fd.get(), buffer, sizeof buffer, 0) > 0) {
  }
  return Outcome::Sent;
}

int RunCti(int argc, char** argv) {
  CLI::App app{"The CTI program: one message per connection", "lindra-sim cti"};
  CtiOptions options;
  app.add_option("--connect", options.connect, "the server's CTI port, loopback ADDR:PORT")->required();
  app.add_option("--message", options.message, "the message, with \\r \\n \\t \\0 \\\\ \\xHH escapes");
  app.add_option("--count", options.count, "messages (connections) in all")->check(CLI::NonNegativeNumber);
  app.add_option("--rate", options.rate, "messages per second")->check(CLI::PositiveNumber);
  app.add_option("--wait", options.wait, "seconds the first message waits, quietly, for the server to listen")
      ->check(CLI::NonNegativeNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  const std::optional<sockaddr_in> server = LoopbackAddress(options.connect);
  if (!server) {
    std::fprintf(stderr, "lindra-sim cti: --connect needs a loopback ADDR:PORT (127.x.x.x), not '%s'\n",
                 options.connect.c_str());
    return 2;
  }
  const std::optional<std::string> message = DecodeFrameLine(options.message);
  if (!message || message->empty()) {
    std::fprintf(stderr, "lindra-sim cti: malformed --message\n");
    return 2;
  }
  const UniqueFd signals = StopSignals();
  const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / options.rate));
  auto due = std::chrono::steady_clock::now();
  const auto waitUntil = due + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(options.wait));
  int sent = 0, attempts = 0;
  while (attempts < options.count) {
    pollfd stop{signals.get(), POLLIN, 0};
    if (::poll(&stop, 1, MsUntil(due)) > 0) break;
    const bool waiting = attempts == 0 && std::chrono::steady_clock::now() < waitUntil;
    const Outcome outcome = SendOnce(*server, *message, waiting);
    if (outcome == Outcome::Refused) {
      due = std::chrono::steady_clock::now() + kRetryPause;
      continue;
    }
    ++attempts;
    if (outcome == Outcome::Sent) ++sent;
    due += interval;
  }
  std::fprintf(stderr, "lindra-sim cti: %d of %d messages sent\n", sent, attempts);
  return 0;
}

const RegisterSimCommand kRegistered{{"cti", "the CTI program: one message per connection", RunCti}};

}  // namespace
}  // namespace lindra::sim
