// lindra-sim serial: a serial exchange or caller-ID box on a pseudo-terminal. Prints
// the terminal's device path (or the --link path that points at it) on the first
// line, waits until the server has opened it, then plays calls at the given rate.
// Model 7 (MCID) answers each "Z" poll with the next frame due; every poll is noted
// on stderr. With --baud, frames take the time a line at that speed needs (10 bits a
// byte), back to back when the rate asks for more than the line carries; with --pace
// every byte is written on its own when its time comes, as a real line delivers it
// (at --baud, else the model's usual speed). --noise sends stray bytes (the LF of a
// CR LF) before every frame. With
// --unplug-after the device is pulled like a USB adapter and plugged back in later,
// as a new terminal behind the same --link path.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>

#include "frames/line_pacer.h"
#include "frames/pseudo_terminal.h"
#include "model/device_model.h"
#include "sim_command.h"
#include "sim_play.h"

namespace lindra::sim {
namespace {

using namespace std::chrono_literals;

// The server purges the port right after opening it: the first frame waits a moment.
constexpr auto kSettle = 200ms;
constexpr int kOpenCheckMs = 100;

struct SerialOptions {
  PlayOptions play;
  double hold = 1.0;
  double seconds = 0;
  int baud = 0;               // 0: each frame in one write (unless paced)
  bool pace = false;          // each byte in a write of its own, at the line's speed
  std::string noise;          // --noise as given, escapes not yet decoded
  bool trailingZero = false;  // a zero byte after every frame (CID-1000 boxes that send one)
  std::string link;           // a symbolic link to the terminal, re-pointed at a replug
  int unplugAfter = 0;        // frames before the adapter is pulled; 0: never
  double unplugged = 1.0;     // seconds until it is plugged back in
};

// Whether the server has the other end open (a closed one reports a hang-up).
bool PeerOpen(int master) {
  pollfd look{master, POLLIN, 0};
  return ::poll(&look, 1, 0) >= 0 && !(look.revents & POLLHUP);
}

class SerialDevice {
 public:
  SerialDevice(const SerialOptions& options, int lineBaud)
      : options_(options), lineBaud_(lineBaud), pollsWhenIdle_(ModelOf(options.play.model).pollsWhenIdle) {}

  int Run() {
    std::string error;
    if (!player_.Load(options_.play, error)) {
      std::fprintf(stderr, "lindra-sim serial: %s\n", error.c_str());
      return 2;
    }
    if (!PlugIn()) return 1;
    signals_ = StopSignals();
    std::printf("%s\n", options_.link.empty() ? path_.c_str() : options_.link.c_str());
    std::fflush(stdout);
    Loop();
    if (!options_.link.empty()) ::unlink(options_.link.c_str());
    std::fprintf(stderr, "lindra-sim serial: %d of %d frames sent, %d polls\n", sent_, player_.played(), polls_);
    return 0;
  }

 private:
  // A new terminal, behind the link when there is one.
  bool PlugIn() {
    PseudoTerminal terminal = OpenPseudoTerminal();
    if (!terminal.master.valid()) {
      std::perror("lindra-sim serial: openpty");
      return false;
    }
    master_ = std::move(terminal.master);
    path_ = std::move(terminal.path);
    if (options_.link.empty()) return true;
    // Re-pointed in one step: the link itself is replaced, never followed.
    const std::string temporary = options_.link + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(path_.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), options_.link.c_str()) != 0) {
      std::perror("lindra-sim serial: link");
      return false;
    }
    return true;
  }

  // The adapter is pulled: the server's reads fail, and its device path is gone.
  void Unplug() {
    unplugAt_.reset();
    master_.Reset();
    open_ = false;
    if (!options_.link.empty()) ::unlink(options_.link.c_str());
    replugAt_ = Deadline(options_.unplugged).value_or(std::chrono::steady_clock::now());
    std::fprintf(stderr, "lindra-sim serial: unplugged\n");
  }

  void Loop() {
    std::optional<SteadyTime> due, end;
    const std::optional<SteadyTime> limit = Deadline(options_.seconds);
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      if (!end && player_.done() && pending_.empty()) end = Deadline(options_.hold, now).value_or(now);
      if ((end && now >= *end) || (limit && now >= *limit)) return;
      if (unplugAt_ && now >= *unplugAt_) Unplug();
      if (replugAt_ && now >= *replugAt_) {
        replugAt_.reset();
        if (!PlugIn()) return;
        std::fprintf(stderr, "lindra-sim serial: plugged in again\n");
      }

      std::vector<pollfd> fds{{signals_.get(), POLLIN, 0}};
      if (open_) fds.push_back({master_.get(), POLLIN, 0});
      int timeout = MsUntil(end);
      auto sooner = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
      if (limit) sooner(MsUntil(limit));
      if (unplugAt_) sooner(MsUntil(unplugAt_));
      if (replugAt_) sooner(MsUntil(replugAt_));
      if (!open_ && master_) sooner(kOpenCheckMs);
      if (open_ && !player_.done()) sooner(MsUntil(due));
      if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
      if (fds[0].revents) return;

      if (open_ && (fds[1].revents & POLLHUP)) {
        open_ = false;
        std::fprintf(stderr, "lindra-sim serial: the server closed the port\n");
      } else if (open_ && (fds[1].revents & POLLIN)) {
        ReadPolls();
      }
      if (!open_ && master_ && PeerOpen(master_.get())) {
        open_ = true;
        due = std::chrono::steady_clock::now() +
              std::max<std::chrono::nanoseconds>(player_.interval(), std::chrono::nanoseconds(kSettle));
        std::fprintf(stderr, "lindra-sim serial: the server opened the port\n");
      }
      if (open_ && !unplugAt_ && !player_.done() && std::chrono::steady_clock::now() >= *due) {
        std::string frame = player_.Next();
        if (options_.trailingZero) frame.push_back('\0');
        if (pollsWhenIdle_)
          pending_.push_back(std::move(frame));
        else
          Send(frame);
        // A frame that left late (this program was not scheduled in time) keeps its
        // distance to the next: a quiet gap between messages is what the server frames
        // by, and catching up would send two messages as one.
        *due = std::max(*due + player_.interval(), lastStart_ + player_.interval());
        // Pulled when the next frame would be due, so the server has read this one.
        if (options_.unplugAfter > 0 && player_.played() == options_.unplugAfter) unplugAt_ = *due;
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
      if (pollsWhenIdle_ && !pending_.empty()) {
        Send(pending_.front());
        pending_.pop_front();
      }
    }
  }

  void Send(const std::string& frame) {
    bool written;
    if (lineBaud_ > 0) {
      // The line carries one frame after the other: a frame starts when it is due or
      // when the previous one has left, whichever is later.
      const auto start = std::max(LineClock::now(), lineFree_);
      lastStart_ = start;
      lineFree_ = start + LineTime(frame.size(), lineBaud_);
      written = WriteAtLineSpeed(master_.get(), frame, lineBaud_, start,
                                 options_.pace ? LineWrites::OneByteEach : LineWrites::DueTogether)
                    .has_value();
    } else {
      lastStart_ = LineClock::now();
      written = WriteAll(master_.get(), frame);
    }
    if (written)
      ++sent_;
    else
      std::perror("lindra-sim serial: write");
  }

  const SerialOptions& options_;
  const int lineBaud_;        // 0: each frame in one write
  const bool pollsWhenIdle_;  // the box holds each call until the server polls
  FramePlayer player_;
  UniqueFd master_, signals_;
  std::string path_;
  bool open_ = false;
  std::optional<SteadyTime> unplugAt_, replugAt_;
  LineClock::time_point lineFree_{};
  LineClock::time_point lastStart_{};  // when the last frame began to leave
  std::deque<std::string> pending_;    // frames waiting for a poll
  int sent_ = 0;
  int polls_ = 0;
};

int RunSerial(int argc, char** argv) {
  CLI::App app{"A serial exchange or caller-ID box on a pseudo-terminal", "lindra-sim serial"};
  SerialOptions options;
  AddPlayOptions(app, options.play);
  app.add_option("--hold", options.hold, "seconds to keep the line open after the last frame")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--seconds", options.seconds, "exit after this many seconds in any case (0: no limit)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--baud", options.baud, "write each frame at the pace of a line at this speed (10 bits a byte)")
      ->check(CLI::PositiveNumber);
  app.add_flag("--pace", options.pace,
               "write byte by byte, each byte on its own when its time comes on a line at --baud (default: the "
               "model's usual speed)");
  app.add_option("--noise", options.noise, "send these bytes before every frame (escapes as in --frames, e.g. \\n)");
  app.add_flag("--trailing-zero", options.trailingZero, "send a zero byte after every frame (CID-1000, model 12)");
  app.add_option("--link", options.link,
                 "create this symbolic link to the terminal and print it instead of the terminal's path");
  app.add_option("--unplug-after", options.unplugAfter,
                 "after this many frames pull the adapter: close the terminal and remove the link")
      ->check(CLI::PositiveNumber);
  app.add_option("--unplugged", options.unplugged,
                 "seconds until it is plugged back in: a new terminal behind the same link")
      ->check(CLI::NonNegativeNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  if (options.unplugAfter > 0 && options.link.empty()) {
    std::fprintf(stderr, "lindra-sim serial: --unplug-after needs --link (the server reopens the same path)\n");
    return 2;
  }
  const std::optional<std::string> noise = DecodeFrameLine(options.noise);
  if (!noise) {
    std::fprintf(stderr, "lindra-sim serial: --noise: malformed escape\n");
    return 2;
  }
  options.play.noise = *noise;
  const int lineBaud = options.baud > 0 ? options.baud : options.pace ? ModelOf(options.play.model).defaultBaudRate : 0;
  if (options.pace && lineBaud <= 0) {
    std::fprintf(stderr, "lindra-sim serial: --pace needs --baud for model %u\n", options.play.model);
    return 2;
  }
  return SerialDevice(options, lineBaud).Run();
}

const RegisterSimCommand kSerialCommand{
    {"serial", "a serial exchange or caller-ID box on a pseudo-terminal (prints its path)", RunSerial}};

}  // namespace
}  // namespace lindra::sim
