#pragma once
// Helpers of the parser tests: column-placed frames, and the frames a device's bytes
// make under its model's framing, computed here so the round trip needs no link.
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parse/call_event.h"

namespace lindra {
// Readable failures: the fields in the order of the telephone-log line.
inline void PrintTo(const CallEvent& e, std::ostream* os) {
  *os << "{" << e.kind << " caller[" << e.callerNumber << "] trunk[" << e.trunk << "] did[" << e.didNumber << "] ext["
      << e.extension << "] time[" << e.receivedTime << "]}";
}
}  // namespace lindra

namespace lindra::testing {

// A line of `width` blanks with each text written at its column.
inline std::string Columns(size_t width, std::initializer_list<std::pair<size_t, std::string_view>> fields) {
  std::string line(width, ' ');
  for (auto [column, value] : fields) line.replace(column, value.size(), value);
  return line;
}

struct DeliveredFrame {
  std::string bytes;  // a retained terminator included
  size_t length;      // bytes before the terminator
};

// The frames that pass to the parser when `message` arrives as one serial chunk.
inline std::vector<DeliveredFrame> FramesOf(uint32_t model, std::string_view message) {
  std::vector<DeliveredFrame> frames;
  auto deliver = [&](std::string frame, size_t length) {
    const bool marked = model == 3 || model == 4 || model == 103 || model == 104 || model == 107;
    if (std::string_view(frame.c_str()).size() >= 2 && (!marked || frame.starts_with("  1")))
      frames.push_back({std::move(frame), length});
  };
  if (model == 12 || model == 13 || model == 202) {  // one chunk, one frame
    auto text = message.substr(0, model == 12 ? message.find('\0') : message.size());
    deliver(std::string(text), model == 13 ? text.size() - 1 : text.size());
    return frames;
  }
  std::string_view ends = model == 7                                 ? "T"
                          : model == 9                               ? "]"
                          : model == 10                              ? "\x02\x03SE"
                          : model == 11                              ? "\x1F\x5F\x9F\xDF"
                          : model == 8                               ? "n"
                          : model == 5 || model == 6 || model == 105 ? "\r\n"
                                                                     : "\r";
  std::string frame;
  for (size_t p = 0; p < message.size(); ++p) {
    const char b = message[p];
    const bool seeIdEnd = model == 8 && message.substr(p, 3) == "nd\r" && p + 3 < message.size();
    if (ends.find(b) == std::string_view::npos || (model == 8 && !seeIdEnd)) {
      frame += b;
      continue;
    }
    if (b == '\r' && p + 1 < message.size() && message[p + 1] == '\n') ++p;  // one CR LF pair, one frame
    const size_t length = frame.size();
    if (model == 11) frame += b;
    deliver(std::move(frame), length);
    frame.clear();
  }
  return frames;
}

}  // namespace lindra::testing
