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
// one after another, so that the server receives them all at once. --send-after plays
// a CTI program that holds its connections: each opened at the rate and sending its
// message that long after its connect, so that many are open at once.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "platform/descriptor_limit.h"
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
  bool silent = false;    // connect and send nothing
  bool trickle = false;   // send the message one byte a second, the first after a second
  double hold = 30;       // how long a silent, trickling or held connection stays at most
  double wait = 0;        // seconds the first message waits for the server to listen
  double sendAfter = -1;  // >= 0: held connections, each sending this long after its connect
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

// One of the held connections and where it stands.
struct Held {
  UniqueFd fd;
  int index = 0;  // from 1, for the message's {n}
  SteadyTime sendAt{}, giveUpAt{};
  bool connecting = true;
  bool sent = false;
  bool done = false;
};

SteadyTime After(SteadyTime from, double seconds) {
  return from + std::chrono::duration_cast<SteadyTime::duration>(std::chrono::duration<double>(seconds));
}

// Starts a connect without waiting for the handshake; an empty fd (reported) when
// the system refuses at once.
UniqueFd StartConnect(const sockaddr_in& server, bool& connected) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    std::perror("lindra-sim cti: socket");
    return {};
  }
  const int result = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server);
  if (result != 0 && errno != EINPROGRESS) {
    std::perror("lindra-sim cti: connect");
    return {};
  }
  connected = result == 0;
  return fd;
}

// The held connections, on one thread: connection i is opened i / rate seconds after
// the start, sends its message `sendAfter` seconds after its connect, and is kept until
// the server closes it or `hold` seconds after its connect. Like a real CTI program it
// writes without looking whether the server is still there: a message it sends on a
// connection the server has closed counts as sent, as it would for that program.
int SendHeld(const sockaddr_in& server, const CtiOptions& options, const UniqueFd& signals) {
  // Every connection is open at once: far more than the usual soft limit of descriptors.
  RaiseDescriptorLimit();
  const auto start = std::chrono::steady_clock::now();
  std::vector<Held> open;
  int opened = 0, sent = 0;
  auto connected = [&](Held& held, SteadyTime now) {
    held.connecting = false;
    held.sendAt = After(now, options.sendAfter);
  };
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    for (; opened < options.count && now >= After(start, opened / options.rate); ++opened) {
      bool atOnce = false;
      UniqueFd fd = StartConnect(server, atOnce);
      if (!fd) continue;
      Held& held = open.emplace_back(Held{std::move(fd), opened + 1, {}, After(now, options.hold)});
      if (atOnce) connected(held, now);
    }
    for (Held& held : open) {
      if (held.connecting || held.sent || now < held.sendAt) continue;
      held.sent = Send(held.fd, MessageOf(options.message, held.index));
      if (held.sent)
        ++sent;
      else
        held.done = true;
    }
    for (Held& held : open) held.done = held.done || now >= held.giveUpAt;
    std::erase_if(open, [](const Held& held) { return held.done; });
    if (opened >= options.count && open.empty()) break;

    std::optional<SteadyTime> next;
    auto sooner = [&next](SteadyTime when) { next = next ? std::min(*next, when) : when; };
    if (opened < options.count) sooner(After(start, opened / options.rate));
    std::vector<pollfd> fds{{signals.get(), POLLIN, 0}};
    for (const Held& held : open) {
      sooner(held.giveUpAt);
      if (!held.connecting && !held.sent) sooner(held.sendAt);
      // Before its message a connection is not watched for the server's close.
      fds.push_back({held.fd.get(), static_cast<short>(held.connecting ? POLLOUT : held.sent ? POLLIN : 0), 0});
    }
    if (::poll(fds.data(), fds.size(), MsUntil(next)) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) break;
    now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < open.size(); ++i) {
      Held& held = open[i];
      const short events = fds[i + 1].revents;
      if (events == 0) continue;
      if (held.connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(held.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) {
          connected(held, now);
          continue;
        }
        errno = error;
        std::perror("lindra-sim cti: connect");
        held.done = true;
        continue;
      }
      char buffer[64];
      if (held.sent && ::recv(held.fd.get(), buffer, sizeof buffer, 0) > 0) continue;
      if (!held.sent) std::fprintf(stderr, "lindra-sim cti: connection %d broken before its message\n", held.index);
      held.done = true;
    }
  }
  std::fprintf(stderr, "lindra-sim cti: %d of %d messages sent\n", sent, options.count);
  return 0;
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
  auto* held = app.add_option("--send-after", options.sendAfter,
                              "hold the connections: each opened at --rate, sending its message this many seconds "
                              "after its connect")
                   ->check(CLI::NonNegativeNumber);
  burst->excludes(silent)->excludes(trickle)->excludes(held);
  silent->excludes(trickle)->excludes(held);
  trickle->excludes(held);
  app.add_option("--hold", options.hold, "seconds a silent, trickling or held connection stays at most")
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
  if (*held) return SendHeld(*server, options, signals);
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
