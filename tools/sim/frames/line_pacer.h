#pragma once
// Writes a device's bytes at the pace of its serial line, so that a simulated device
// or a benchmark shows the server what a real line would: a frame arrives over its
// transmission time, never all at once.
#include <chrono>
#include <optional>
#include <string_view>

namespace lindra::sim {

using LineClock = std::chrono::steady_clock;

// Time a line at `baud` takes for `bytes` bytes: 10 bits a byte (start, 8 data, stop).
LineClock::duration LineTime(size_t bytes, int baud);

// How the bytes due leave: together in one write, or each in a write of its own, as
// a UART hands them over one character time apart (a reader then mostly sees one or
// two bytes a read).
enum class LineWrites { DueTogether, OneByteEach };

// Writes `bytes` to fd as a line at `baud` carries them: byte i leaves at
// start + LineTime(i, baud) (start may lie in the past: the bytes then due leave at
// once). Returns when the last byte is written, with the time it was; nullopt when
// the descriptor refused a write.
std::optional<LineClock::time_point> WriteAtLineSpeed(int fd, std::string_view bytes, int baud,
                                                      LineClock::time_point start,
                                                      LineWrites writes = LineWrites::DueTogether);

}  // namespace lindra::sim
