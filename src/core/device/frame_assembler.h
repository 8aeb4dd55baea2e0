#pragma once
// Cuts a device's byte stream into frames by its model's frame rule. A partial frame
// is kept from one chunk to the next, so a frame may span several reads; only the
// models framed by their read chunks end a frame where a chunk ends.
// Pure object: bytes in, frames out; no I/O, no locks (one reader thread feeds it).
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "model/device_model.h"

namespace lindra {

// frame: the frame's bytes, a retained terminator included as the last byte; the
//        bytes after the frame are not part of it.
// length: the count of bytes gathered before the terminator.
// passes: the frame's text (up to its first zero byte) is at least 2 bytes long and
//         begins with the model's start marker, and the frame was not cut (below);
//         only such frames go to the parser.
using FrameHandler = std::function<void(std::string_view frame, size_t length, bool passes)>;

// A frame that outgrows kMaxFrameBytes is cut: its first bytes are kept, the rest up
// to its terminator is dropped, and it is handed over with passes false, so it shows
// in the program log but never reaches the parser. No model sends anything near that
// long; such a frame means a wrong model setting or line noise, and a cut piece could
// read as a bogus call.
class FrameAssembler {
 public:
  // A frame never holds more than this many bytes (a retained terminator included),
  // so it fits the device's 4096-byte frame buffer with its terminating zero.
  static constexpr size_t kMaxFrameBytes = 4095;

  FrameAssembler(uint32_t modelCode, LinkKind link);

  // Runs the rules over one read chunk and calls onFrame for every frame it ends,
  // in order. The view passed to onFrame is valid only during the call.
  void Feed(std::string_view chunk, const FrameHandler& onFrame);

  // Bytes gathered for the frame in progress.
  size_t pending() const { return length_; }

  // Forgets the frame in progress (its connection was lost, so no byte can complete
  // it) and returns the bytes it had gathered, valid until the next Feed.
  std::string_view DropPartial();

 private:
  void Gather(unsigned char byte);
  void Deliver(unsigned char terminator, const FrameHandler& onFrame);

  FrameRule rule_;
  bool pairSkip_;
  bool retainsTerminator_;
  SerialEnd end_;                   // as the rule says on a serial line; at terminators on any other
  std::string_view restartMarker_;  // empty unless a start marker restarts the frame
  std::array<bool, 256> endsFrame_{};
  size_t capacity_;  // bytes a frame may gather before its terminator
  std::array<char, kMaxFrameBytes + 1> frame_{};
  size_t length_ = 0;
  bool cut_ = false;  // the frame in progress outgrew the buffer
};

}  // namespace lindra
