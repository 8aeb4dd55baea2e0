// CPU used by an idle serial link: one SerialLink, on the event loop as the server runs
// it, reads a pseudo-terminal on which nothing arrives, for a given time; the process's
// user and system time come from getrusage. Usage: serial_idle_bench [SECONDS=10] [--model7]
// With --model7 the link writes its "Z" polls (about ten a second), drained here.
#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "device/serial_link.h"
#include "frames/pseudo_terminal.h"
#include "platform/event_loop.h"
#include "platform/timer.h"

namespace {

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  bool model7 = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--model7") == 0)
      model7 = true;
    else
      seconds = std::max(1, std::atoi(argv[i]));
  }
  const lindra::sim::PseudoTerminal terminal = lindra::sim::OpenPseudoTerminal();
  if (!terminal.master.valid()) {
    std::perror("openpty");
    return 1;
  }
  const int master = terminal.master.get();
  lindra::EventLoop loop;
  loop.Start();
  lindra::SerialLink link(loop.MakeStrand(), lindra::SteadyTimerMaker::Instance());
  const lindra::LinkResult started = link.Start(terminal.path, "COM1", 9600, {.pollWithZ = model7});
  if (!started.ok) {
    std::fprintf(stderr, "%s\n", started.line.text.c_str());
    return 1;
  }
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  link.Begin({.chunk = [](std::string_view) {},
              .status = [](lindra::StatusLine) {},
              .event = [](const lindra::LinkEvent&) {}});

  // Drain the polls (if any) until the time is up; this thread sleeps in poll().
  size_t polls = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
    pollfd fd{master, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    if (::poll(&fd, 1, static_cast<int>(left) + 1) > 0) {
      char buffer[256];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) polls += static_cast<size_t>(n);
    }
  }
  link.Stop();
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  const double user = Seconds(after.ru_utime) - Seconds(before.ru_utime);
  const double system = Seconds(after.ru_stime) - Seconds(before.ru_stime);
  std::printf("idle serial link%s, %d s: user %.4f s, system %.4f s, %.4f %% of one core; %zu polls written\n",
              model7 ? " (model 7)" : "", seconds, user, system, 100.0 * (user + system) / seconds, polls);
  return 0;
}
