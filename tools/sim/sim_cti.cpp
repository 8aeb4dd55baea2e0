// lindra-sim cti: the CTI program. Connects to the server's CTI port once per message,
// sends the message, waits for the server to close the connection, and goes on at the
// given rate. A refused connection counts as an attempt, so the run stays bounded;
// with --wait the first message waits, quietly and for a bounded time, until the
// server listens.
//
// It can also play a CTI program that misbehaves: one that connects and says nothing,
// and one that sends its message a byte a second. Those print "CONNECTED ADDR:PORT"
// once connected and "CLOSED" when the server has closed the connection. --burst
// plays a busy CTI program: every connection opened first, then the messages sent
// one after another, so that the server receives them all at once.
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
  bool burst = false;
  bool silent = false;   // connect and send nothing
  bool trickle = false;  // send the message one byte a second, the first after a second
  double hold = 30;      // how long a silent or trickling connection stays at most
  double wait = 0;       // seconds the first message waits for the server to listen
};

enum class Outcome { Sent, Refused, Failed };

// The message of connection `index` (from 1): "{n}" stands for the index.
std::string MessageOf(const std::string& message, int index) {
  std::string text = message;
  for (size_t at = text.find("{n}"); at != std::string::npos; at = text.find("{n}", at))
    text.replace(at, 3, std::to_string(index));
  return text;
}

// A refusal sets `refused` and, while the caller still waits for the server to
// listen (`quietRefusal`), is not reported.
UniqueFd Connect(const sockaddr_in& server, bool quietRefusal = false, bool* refused = nullptr) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    const bool wasRefused = fd && errno == ECONNREFUSED;
    if (refused) *refused = wasRefused;
    if (!(quietRefusal && wasRefused)) std::perror("lindra-sim cti: connect");
    return {};
  }
  return fd;
}

bool Send(const UniqueFd& fd, std::string_view bytes) {
  if (::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) return true;
  std::perror("lindra-sim cti: send");
  return false;
}

// True when the server closed the connection within `waitMs`.
bool ClosedWithin(const UniqueFd& fd, int waitMs) {
  pollfd closed{fd.get(), POLLIN, 0};
  char buffer[64];
  while (::poll(&closed, 1, waitMs) > 0) {
    if (::recv(fd.get(), buffer, sizeof buffer, 0) <= 0) return true;
  }
  return false;
}

// One connection, one message.
Outcome SendOnce(const sockaddr_in& server, const std::string& message, bool waiting) {
  bool refused = false;
  UniqueFd fd = Connect(server, waiting, &refused);
  if (!fd) return waiting && refused ? Outcome::Refused : Outcome::Failed;
  if (!Send(fd, message)) return Outcome::Failed;
  // The server reads one message and closes; wait for that, bounded.
  ClosedWithin(fd, kCloseWaitMs);
  return Outcome::Sent;
}

// Every connection first, then every message: the server finds them all waiting.
int SendBurst(const sockaddr_in& server, const CtiOptions& options) {
  std::vector<UniqueFd> connections;
  for (int i = 1; i <= options.count; ++i) connections.push_back(Connect(server));
  int sent = 0;
  for (int i = 1; i <= options.count; ++i) {
    const UniqueFd& fd = connections[i - 1];
    if (fd && Send(fd, MessageOf(options.message, i))) ++sent;
  }
  for (const UniqueFd& fd : connections)
    if (fd) ClosedWithin(fd, kCloseWaitMs);
  return sent;
}

// A silent or trickling connection: stays until the server closes it, the message is
// out (trickle) or `hold` has passed.
bool Linger(const sockaddr_in& server, const CtiOptions& options, const UniqueFd& signals) {
  UniqueFd fd = Connect(server);
  if (!fd) return false;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length);
  std::printf("CONNECTED %s\n", AddressText(local).c_str());
  std::fflush(stdout);
  const std::string message = MessageOf(options.message, 1);
  const std::optional<SteadyTime> end = Deadline(options.hold);
  size_t next = 0;
  while (!end || std::chrono::steady_clock::now() < *end) {
    pollfd fds[2] = {{signals.get(), POLLIN, 0}, {fd.get(), POLLIN, 0}};
    const int wait = options.trickle ? std::min(1000, std::max(0, MsUntil(end))) : MsUntil(end);
    if (::poll(fds, 2, wait) < 0) continue;
    if (fds[0].revents & POLLIN) return true;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[64];
      if (::recv(fd.get(), buffer, sizeof buffer, 0) <= 0) break;
      continue;
    }
    if (options.trickle && next < message.size() && !Send(fd, message.substr(next++, 1))) break;
  }
  std::printf("CLOSED\n");
  std::fflush(stdout);
  return true;
}

int RunCti(int argc, char** argv) {
  CLI::App app{"The CTI program: one message per connection", "lindra-sim cti"};
  CtiOptions options;
  app.add_option("--connect", options.connect, "the server's CTI port, loopback ADDR:PORT")->required();
  app.add_option("--message", options.message,
                 "the message, with \\r \\n \\t \\0 \\\\ \\xHH escapes; {n} is the number of the connection");
  app.add_option("--count", options.count, "messages (connections) in all")->check(CLI::NonNegativeNumber);
  app.add_option("--rate", options.rate, "messages per second")->check(CLI::PositiveNumber);
  auto* burst = app.add_flag("--burst", options.burst, "open every connection first, then send every message");
  auto* silent = app.add_flag("--silent", options.silent, "connect and send nothing (one connection)");
  auto* trickle = app.add_flag("--trickle", options.trickle, "send the message one byte a second (one connection)");
  burst->excludes(silent)->excludes(trickle);
  silent->excludes(trickle);
  app.add_option("--hold", options.hold, "seconds a silent or trickling connection stays at most")
      ->check(CLI::PositiveNumber);
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
  options.message = *message;
  const UniqueFd signals = StopSignals();
  if (options.silent || options.trickle) return Linger(*server, options, signals) ? 0 : 1;
  if (options.burst) {
    const int sent = SendBurst(*server, options);
    std::fprintf(stderr, "lindra-sim cti: %d of %d messages sent\n", sent, options.count);
    return 0;
  }
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
    const Outcome outcome = SendOnce(*server, MessageOf(options.message, attempts + 1), waiting);
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

const RegisterSimCommand kCtiCommand{{"cti", "the CTI program: one message per connection", RunCti}};

}  // namespace
}  // namespace lindra::sim
