#pragma once
// The frames a device's bytes make under its model's framing rules, worked out here
// on their own so that the parser's round trips, fuzz seeds and benchmarks need no
// link and stay an independent check of the frame builder.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lindra::testing {

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
