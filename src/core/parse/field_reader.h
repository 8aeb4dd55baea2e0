#pragma once
// Bounded reads over one frame, shared by every format.
//
// The devices' formats address fields by fixed offsets and widths and never check
// them against the frame, and each field lands in a small zero-terminated area of
// the parser. Here a read never leaves the bytes delivered: a field that lies beyond
// the frame is empty, one that runs past its end is cut there, a negative width is
// empty, and a field stops at a zero byte, as the C-string areas would. Fields keep
// being read at their own offsets after a zero byte; only the formats that search
// the frame as text (keywords, separators, arrows) stop at its first zero byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "parse/call_event.h"
#include "text/codec.h"
#include "text/strings.h"

namespace lindra::parse {

// One frame and the code page its text is in.
class FrameBytes {
 public:
  FrameBytes(std::string_view frame, const text::Encoding& encoding) : frame_(frame), encoding_(encoding) {}

  std::string_view bytes() const { return frame_; }
  // The frame as a C string: up to its first zero byte.
  std::string_view text() const { return text::UpToNul(frame_); }

  // The byte at pos, or 0 outside the frame.
  unsigned char At(long long pos) const {
    return pos >= 0 && static_cast<size_t>(pos) < frame_.size() ? static_cast<unsigned char>(frame_[pos]) : 0;
  }
  bool DigitAt(long long pos) const { return text::IsDigit(static_cast<char>(At(pos))); }

  // Up to `width` bytes from `offset`, cut at the frame's end and at a zero byte.
  std::string_view Span(long long offset, long long width) const {
    if (offset < 0 || width <= 0 || static_cast<size_t>(offset) >= frame_.size()) return {};
    auto field = frame_.substr(static_cast<size_t>(offset), static_cast<size_t>(width));
    return text::UpToNul(field);
  }
  // From `offset` to the end of the frame, cut at a zero byte.
  std::string_view Rest(long long offset) const { return Span(offset, static_cast<long long>(frame_.size())); }

  // ShortNumberRule: four characters when the one at offset + 3 is a digit, else three.
  std::string_view ShortNumber(long long offset) const { return Span(offset, DigitAt(offset + 3) ? 4 : 3); }

  // A field cut to the byte capacity of its area. A cut never splits a character of
  // the code page: half a Korean character would reach the operator as a stray byte.
  std::string_view Cut(std::string_view field, size_t capacity) const {
    return encoding_.CutToCapacity(field, capacity);
  }
  // Edge bytes as internal text.
  std::string Text(std::string_view bytes) const { return encoding_.ToInternal(bytes); }
  // A field as its area holds it: cut to the area, then trimmed where the format
  // says, then widened to internal text.
  std::string Area(std::string_view field, size_t capacity) const { return Text(Cut(field, capacity)); }
  std::string TrimmedArea(std::string_view field, size_t capacity) const {
    return Text(text::TrimView(Cut(field, capacity)));
  }

 private:
  std::string_view frame_;
  const text::Encoding& encoding_;
};

// Field areas of the parser in bytes of the edge text, terminator excluded: the
// event's capacities, so that no field outgrows what the event promises.
inline constexpr size_t kCallerArea = kCallerNumberCapacity;
inline constexpr size_t kTrunkArea = kTrunkCapacity;
inline constexpr size_t kSecondNumberArea = kDidNumberCapacity;
inline constexpr size_t kExtensionArea = kExtensionCapacity;
inline constexpr size_t kTimeArea = kReceivedTimeCapacity;

}  // namespace lindra::parse
