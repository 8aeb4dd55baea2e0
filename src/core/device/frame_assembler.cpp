#include "device/frame_assembler.h"

#include <cstring>

namespace lindra {

FrameAssembler::FrameAssembler(uint32_t modelCode, LinkKind link)
    : rule_(ModelOf(modelCode).frame),
      pairSkip_(rule_.pairSkip.Has(link)),
      retainsTerminator_(rule_.retainsTerminator.Has(link)),
      end_(link == LinkKind::Serial ? rule_.serialEnd : SerialEnd::Terminator),
      restartMarker_(rule_.restartsAtMarker ? rule_.startMarker : std::string_view()) {
  for (int i = 0; i < rule_.endingTerminators; ++i) endsFrame_[rule_.terminators[i]] = true;
  capacity_ = kMaxFrameBytes - (retainsTerminator_ ? 1 : 0);
}

void FrameAssembler::Feed(std::string_view chunk, const FrameHandler& onFrame) {
  const auto* b = reinterpret_cast<const unsigned char*>(chunk.data());
  const size_t n = chunk.size();
  // The device's read buffer holds a zero byte after the chunk, and the rules look one
  // byte ahead: at the chunk's end that look sees this zero, never the next chunk.
  auto ahead = [&](size_t i) -> unsigned char { return i < n ? b[i] : 0; };

  for (size_t p = 0; p < n; ++p) {
    // A restart drops what was gathered before the marker (noise, or the rest of a line
    // whose start was lost); the marker is gathered. Inside a line that began with the
    // marker the same bytes are data: the blanks before a time from 10:00 to 19:59, or
    // before a caller number that begins with 1, would otherwise cut the line.
    if (!restartMarker_.empty() && b[p] == restartMarker_[0] && chunk.substr(p).starts_with(restartMarker_) &&
        !std::string_view(frame_.data(), length_).starts_with(restartMarker_)) {
      length_ = 0;
      cut_ = false;
    }
    bool ends = false;
    switch (end_) {
      case SerialEnd::Terminator:
      case SerialEnd::ChunkEnd:
        ends = endsFrame_[b[p]];
        break;
      case SerialEnd::ChunkLastByte:  // the byte before a zero: the last byte of every chunk
        ends = ahead(p + 1) == rule_.terminators[0];
        break;
      case SerialEnd::EndKeyword:  // "nd" CR, with at least one byte after it in the chunk
        ends = p + 3 < n && b[p] == rule_.terminators[0] && b[p + 1] == rule_.terminators[1] &&
               b[p + 2] == rule_.terminators[2];
        break;
    }
    if (!ends) {
      Gather(b[p]);
      continue;
    }
    const unsigned char terminator = b[p];
    if (pairSkip_ && b[p] == rule_.terminators[0] && ahead(p + 1) == rule_.terminators[1]) ++p;
    Deliver(terminator, onFrame);
  }
  // The box may send no zero byte after its message: the chunk is the message.
  if (end_ == SerialEnd::ChunkEnd && (length_ > 0 || cut_)) Deliver(0, onFrame);
}

std::string_view FrameAssembler::DropPartial() {
  const std::string_view partial(frame_.data(), length_);
  length_ = 0;
  cut_ = false;
  return partial;
}

void FrameAssembler::Gather(unsigned char byte) {
  if (length_ < capacity_)
    frame_[length_++] = static_cast<char>(byte);
  else
    cut_ = true;
}

void FrameAssembler::Deliver(unsigned char terminator, const FrameHandler& onFrame) {
  size_t size = length_;
  if (retainsTerminator_) frame_[size++] = static_cast<char>(terminator);
  frame_[size] = '\0';
  const std::string_view frame(frame_.data(), size);
  // The parser's tests read the frame as a C string: its text ends at the first zero.
  const std::string_view text(frame_.data(), std::strlen(frame_.data()));
  const bool passes = !cut_ && text.size() >= 2 && text.starts_with(rule_.startMarker);
  const size_t length = length_;
  length_ = 0;
  cut_ = false;
  onFrame(frame, length, passes);
}

}  // namespace lindra
