#include "frames/line_pacer.h"

#include <algorithm>
#include <thread>

#include "platform/unique_fd.h"

namespace lindra::sim {

LineClock::duration LineTime(size_t bytes, int baud) {
  const auto nanos = static_cast<long double>(bytes) * 10.0L * 1e9L / static_cast<long double>(std::max(baud, 1));
  return std::chrono::duration_cast<LineClock::duration>(std::chrono::nanoseconds(static_cast<long long>(nanos)));
}

std::optional<LineClock::time_point> WriteAtLineSpeed(int fd, std::string_view bytes, int baud,
                                                      LineClock::time_point start, LineWrites writes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    // Wait for the next byte's time, then write it with every other byte due by now.
    std::this_thread::sleep_until(start + LineTime(sent, baud));
    const auto elapsed = LineClock::now() - start;
    size_t due = sent + 1;
    while (writes == LineWrites::DueTogether && due < bytes.size() && LineTime(due, baud) <= elapsed) ++due;
    if (!WriteAll(fd, bytes.substr(sent, due - sent))) return std::nullopt;
    sent = due;
  }
  return LineClock::now();
}

}  // namespace lindra::sim
