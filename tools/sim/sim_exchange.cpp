// lindra-sim exchange: a LAN exchange. Listens on a loopback address, prints it as
// "ADDR:PORT" on the first line, and plays calls to the server connected to it. For
// the failure tests it misbehaves on request: it drops the first connection after K
// calls (a reset or an orderly close, optionally in the middle of a frame) and then
// refuses the reconnects for a while; it closes every connection at once; it trickles
// its frames one byte at a time; it sends garbage between frames.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "sim_command.h"
#include "sim_play.h"

namespace lindra::sim {
namespace {

using namespace std::chrono_literals;

struct ExchangeOptions {
  PlayOptions play;
  std::string listen;
  std::string drop;  // "", "reset" or "close"
  int after = 1;
  bool cutFrame = false;  // the drop comes halfway through the frame of call `after`
  int refuseReconnects = 0;
  bool closeAtOnce = false;
  int trickleMs = -1;  // >= 0: one byte per send, this far apart
  bool garbage = false;
  double hold = 1.0;
  double seconds = 0;
};

// The server's LAN link makes its announced attempts a second apart, the first a
// second after the loss, and its quiet ones after growing pauses: the port is kept
// shut for a little over N seconds, which refuses every attempt made meanwhile.
constexpr auto kServerRetryPause = 1000ms;
constexpr auto kRefuseMargin = 500ms;

// Line noise: control and high bytes, no zero byte and no line end of its own.
constexpr std::string_view kGarbage = "\x1b[2J#~\x7f\xfe\xa0 NOISE \x01\x02";

class Exchange {
 public:
  explicit Exchange(const ExchangeOptions& options) : options_(options) {}

  int Run(const sockaddr_in& address) {
    std::string error;
    if (!player_.Load(options_.play, error)) {
      std::fprintf(stderr, "lindra-sim exchange: %s\n", error.c_str());
      return 2;
    }
    port_ = Bound(address);
    if (!port_ || ::listen(port_.get(), 16) != 0) {
      std::perror("lindra-sim exchange: listen");
      return 1;
    }
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ::getsockname(port_.get(), reinterpret_cast<sockaddr*>(&bound), &size);
    address_ = bound;
    signals_ = StopSignals();
    std::printf("%s\n", AddressText(bound).c_str());
    std::fflush(stdout);
    Loop();
    std::fprintf(stderr, "lindra-sim exchange: %d calls played\n", player_.played());
    return 0;
  }

 private:
  static UniqueFd Bound(const sockaddr_in& address) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fd.Reset();
    return fd;
  }

  void Loop() {
    std::optional<SteadyTime> end;
    const std::optional<SteadyTime> limit = Deadline(options_.seconds);
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      if (!end && player_.done()) end = Deadline(options_.hold, now).value_or(now);
      if ((end && now >= *end) || (limit && now >= *limit)) return;
      if (reopenAt_ && now >= *reopenAt_) Reopen();

      std::vector<pollfd> fds{
          {signals_.get(), POLLIN, 0}, {reopenAt_ ? -1 : port_.get(), POLLIN, 0}, {client_.get(), POLLIN, 0}};
      int timeout = MsUntil(end);
      auto sooner = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
      if (client_ && !player_.done()) sooner(MsUntil(due_));
      if (reopenAt_) sooner(MsUntil(reopenAt_));
      if (limit) sooner(MsUntil(limit));
      if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
      if (fds[0].revents) return;
      if (fds[1].revents & POLLIN) Accept();
      if (fds[2].revents) ReadFromServer();
      if (client_ && !player_.done() && std::chrono::steady_clock::now() >= due_) PlayCall();
    }
  }

  void Accept() {
    UniqueFd fd(::accept4(port_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) return;
    if (options_.closeAtOnce) {
      std::fprintf(stderr, "lindra-sim exchange: the server connected; closed at once\n");
      return;
    }
    client_ = std::move(fd);  // a reconnecting server replaces its old connection
    callsOnConnection_ = 0;
    due_ = std::chrono::steady_clock::now();
    std::fprintf(stderr, "lindra-sim exchange: the server connected\n");
  }

  void ReadFromServer() {
    char buffer[256];
    const ssize_t n = ::recv(client_.get(), buffer, sizeof buffer, 0);
    if (n > 0) return;  // an exchange has nothing to do with what it is sent
    client_.Reset();
    std::fprintf(stderr, "lindra-sim exchange: the server disconnected\n");
  }

  void PlayCall() {
    std::string call = player_.Next();
    const bool dropNow = !dropped_ && !options_.drop.empty() && ++callsOnConnection_ >= options_.after;
    if (options_.garbage) Send(Garbage(call));
    // A frame cut by the drop: its first half is all the server gets of it.
    if (dropNow && options_.cutFrame) call.resize(call.size() / 2);
    Send(call);
    due_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(player_.interval());
    if (dropNow) Drop();
  }

  // Noise that ends like the model's frames (CR, or CR LF), so that it is a frame of
  // its own and the next call begins a frame as it should.
  static std::string Garbage(const std::string& call) {
    const size_t end = call.find_last_not_of("\r\n") + 1;
    return std::string(kGarbage) + call.substr(end);
  }

  void Send(std::string_view bytes) {
    if (options_.trickleMs < 0) {
      if (::send(client_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        std::perror("lindra-sim exchange: send");
      return;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options_.trickleMs));
      if (::send(client_.get(), bytes.data() + i, 1, MSG_NOSIGNAL) != 1) {
        std::perror("lindra-sim exchange: send");
        return;
      }
    }
  }

  void Drop() {
    dropped_ = true;
    if (options_.drop == "reset") {
      const linger abort{1, 0};
      ::setsockopt(client_.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    client_.Reset();
    std::fprintf(stderr, "lindra-sim exchange: connection dropped (%s)\n", options_.drop.c_str());
    if (options_.refuseReconnects <= 0) return;
    // Bound but not listening: connects are refused, and the port stays ours.
    port_.Reset();
    port_ = Bound(address_);
    reopenAt_ = std::chrono::steady_clock::now() + options_.refuseReconnects * kServerRetryPause + kRefuseMargin;
  }

  void Reopen() {
    reopenAt_.reset();
    if (::listen(port_.get(), 16) != 0) std::perror("lindra-sim exchange: listen again");
    std::fprintf(stderr, "lindra-sim exchange: accepting again\n");
  }

  const ExchangeOptions& options_;
  FramePlayer player_;
  sockaddr_in address_{};
  UniqueFd port_, client_, signals_;
  SteadyTime due_{};
  int callsOnConnection_ = 0;
  bool dropped_ = false;
  std::optional<SteadyTime> reopenAt_;
};

int RunExchange(int argc, char** argv) {
  CLI::App app{"A LAN exchange that plays calls to the server connected to it", "lindra-sim exchange"};
  ExchangeOptions options;
  AddPlayOptions(app, options.play);
  app.add_option("--listen", options.listen, "loopback ADDR:PORT (PORT 0 picks a free one)")->required();
  app.add_option("--drop", options.drop, "drop the first connection: reset or close")
      ->check(CLI::IsMember({"reset", "close"}));
  app.add_option("--after", options.after, "calls before the drop")->check(CLI::PositiveNumber);
  app.add_flag("--cut-frame", options.cutFrame, "drop halfway through the last call's frame (it is lost)");
  app.add_option("--refuse-reconnects", options.refuseReconnects,
                 "after the drop, refuse reconnects for this many seconds and a half (the first three "
                 "attempts come 1 s apart)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--close-at-once", options.closeAtOnce, "close every connection as soon as it is accepted");
  app.add_option("--trickle", options.trickleMs, "send one byte at a time, this many milliseconds apart")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--garbage", options.garbage, "send a line of noise before every call");
  app.add_option("--hold", options.hold, "seconds to stay after the last call")->check(CLI::NonNegativeNumber);
  app.add_option("--seconds", options.seconds, "exit after this many seconds in any case (0: no limit)")
      ->check(CLI::NonNegativeNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  const std::optional<sockaddr_in> address = LoopbackAddress(options.listen);
  if (!address) {
    std::fprintf(stderr, "lindra-sim exchange: --listen needs a loopback ADDR:PORT (127.x.x.x), not '%s'\n",
                 options.listen.c_str());
    return 2;
  }
  return Exchange(options).Run(*address);
}

const RegisterSimCommand kExchangeCommand{
    {"exchange", "a LAN exchange on loopback that plays calls (prints ADDR:PORT)", RunExchange}};

}  // namespace
}  // namespace lindra::sim
