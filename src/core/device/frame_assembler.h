#pragma once
// Cuts a device's byte stream into frames by its model's frame rule. Every rule holds
// on the stream, however the reads cut it (a real line hands over a byte or two a
// read): a partial frame is kept from one chunk to the next, a rule that looks at the
// bytes after the current one waits for them, and the pair skip remembers its first
// byte until the next comes. Only the models framed by their read chunks end a frame
// where a chunk ends.
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

  // Bytes gathered for the frame in progress (bytes held back for a look ahead not
  // counted).
  size_t pending() const { return length_; }

  // Forgets the frame in progress (its connection was lost, so no byte can complete
  // it) and returns its bytes, the ones held back for a look ahead included, valid
  // until the next Feed.
  std::string_view DropPartial();

 private:
  // At most this many bytes wait for the bytes after them: "nd" CR of the SeeID-PC.
  static constexpr size_t kMaxHeld = 3;

  enum class Ahead { No, Yes, Wait };
  // Whether the stream from p reads `pattern` and holds at least `needed` bytes.
  template <typename At>
  static Ahead Reads(const At& at, size_t p, size_t size, std::string_view pattern, size_t needed);

  void Gather(unsigned char byte);
  void Deliver(unsigned char terminator, const FrameHandler& onFrame);

  FrameRule rule_;
  bool pairSkip_;
  bool retainsTerminator_;
  SerialEnd end_;                   // as the rule says on a serial line; at terminators on any other
  std::string_view restartMarker_;  // empty unless a start marker restarts the frame
  std::array<bool, 256> endsFrame_{};
  size_t capacity_;  // bytes a frame may gather before its terminator
  // The frame, then room for the held bytes that DropPartial hands back with it.
  std::array<char, kMaxFrameBytes + 1 + kMaxHeld> frame_{};
  size_t length_ = 0;
  bool cut_ = false;  // the frame in progress outgrew the buffer
  // The stream's last bytes, not yet run through the rules: the rule at the first of
  // them needs to see the bytes after it.
  std::array<unsigned char, kMaxHeld> held_{};
  size_t heldCount_ = 0;
  bool pairEndPending_ = false;  // the last byte was a T1 that ended a frame: a T2 next is part of that end
};

}  // namespace lindra
