// lindra-sim serial: a serial exchange or caller-ID box on a pseudo-terminal. Prints
// the terminal's device path on the first line, waits until the server has opened it,
// then plays calls at the given rate. Model 7 (MCID) answers each "Z" poll with the
// next frame due; every poll is noted on stderr.
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <deque>

#include "sim_command.h"
#include "sim_play.h"

namespace lindra::sim {
namespace {

using namespace std::chrono_literals;

// The server purges the port right after opening it: the first frame waits a moment.
constexpr auto kSettle = 200ms;
constexpr int kOpenCheckMs = 100;

// Whether the server has the other end open (a closed one reports a hang-up).
bool PeerOpen(int master) {
  pollfd look{master, POLLIN, 0};
  return ::poll(&look, 1, 0) >= 0 && !(look.revents & POLLHUP);
}

class SerialDevice {
 public:
  SerialDevice(const PlayOptions& play, double hold, double seconds) : play_(play), hold_(hold), seconds_(seconds) {}

  int Run() {
    std::string error;
    if (!player_.Load(play_, error)) {
      std::fprintf(stderr, "lindra-sim serial: %s\n", error.c_str());
      return 2;
    }
    termios raw{};
    ::cfmakeraw(&raw);
    int master = -1, slave = -1;
    char path[256] = "";
    if (::openpty(&master, &slave, path, &raw, nullptr) != 0) {
      std::perror("lindra-sim serial: openpty");
      return 1;
    }
    master_.Reset(master);
    ::close(slave);  // so the server's open shows
    signals_ = StopSignals();
    std::printf("%s\n", path);
    std::fflush(stdout);
    Loop();
    std::fprintf(stderr, "lindra-sim serial: %d of %d frames sent, %d polls\n", sent_, player_.played(), polls_);
    return 0;
  }

 private:
  void Loop() {
    std::optional<SteadyTime> due, end;
    const std::optional<SteadyTime> limit = Deadline(seconds_);
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      if (!end && player_.done() && pending_.empty()) end = Deadline(hold_, now).value_or(now);
      if ((end && now >= *end) || (limit && now >= *limit)) return;

      std::vector<pollfd> fds{{signals_.get(), POLLIN, 0}};
      if (open_) fds.push_back({master_.get(), POLLIN, 0});
      int timeout = MsUntil(end);
      auto sooner = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
      if (limit) sooner(MsUntil(limit));
      if (!open_) sooner(kOpenCheckMs);
      if (open_ && !player_.done()) sooner(MsUntil(due));
      if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
      if (fds[0].revents) return;

      if (open_ && (fds[1].revents & POLLHUP)) {
        open_ = false;
        std::fprintf(stderr, "lindra-sim serial: the server closed the port\n");
      } else if (open_ && (fds[1].revents & POLLIN)) {
        ReadPolls();
      }
      if (!open_ && PeerOpen(master_.get())) {
        open_ = true;
        due = std::chrono::steady_clock::now() +
              std::max<std::chrono::nanoseconds>(player_.interval(), std::chrono::nanoseconds(kSettle));
        std::fprintf(stderr, "lindra-sim serial: the server opened the port\n");
      }
      if (open_ && !player_.done() && std::chrono::steady_clock::now() >= *due) {
        std::string frame = player_.Next();
        if (play_.model == 7)
          pending_.push_back(std::move(frame));
        else
          Send(frame);
        *due += player_.interval();
      }
    }
  }

  void ReadPolls() {
    char buffer[256];
    const ssize_t n = ::read(master_.get(), buffer, sizeof buffer);
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != 'Z') continue;
      ++polls_;
      std::fprintf(stderr, "lindra-sim serial: poll Z\n");
      if (play_.model == 7 && !pending_.empty()) {
        Send(pending_.front());
        pending_.pop_front();
      }
    }
  }

  void Send(const std::string& frame) {
    if (WriteAll(master_.get(), frame))
      ++sent_;
    else
      std::perror("lindra-sim serial: write");
  }

  const PlayOptions& play_;
  const double hold_;
  const double seconds_;
  FramePlayer player_;
  UniqueFd master_, signals_;
  bool open_ = false;
  std::deque<std::string> pending_;  // model 7: frames waiting for a poll
  int sent_ = 0;
  int polls_ = 0;
};

int RunSerial(int argc, char** argv) {
  CLI::App app{"A serial exchange or caller-ID box on a pseudo-terminal", "lindra-sim serial"};
  PlayOptions play;
  double hold = 1.0, seconds = 0;
  AddPlayOptions(app, play);
  app.add_option("--hold", hold, "seconds to keep the line open after the last frame")->check(CLI::NonNegativeNumber);
  app.add_option("--seconds", seconds, "exit after this many seconds in any case (0: no limit)")
      ->check(CLI::NonNegativeNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return SerialDevice(play, hold, seconds).Run();
}

const RegisterSimCommand kRegistered{
    {"serial", "a serial exchange or caller-ID box on a pseudo-terminal (prints its path)", RunSerial}};

}  // namespace
}  // namespace lindra::sim
