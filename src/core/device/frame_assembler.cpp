#include "device/frame_assembler.h"

#include <algorithm>
#include <cstring>
#include <utility>

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

template <typename At>
FrameAssembler::Ahead FrameAssembler::Reads(const At& at, size_t p, size_t size, std::string_view pattern,
                                            size_t needed) {
  for (size_t k = 0; k < pattern.size(); ++k) {
    if (p + k >= size) return Ahead::Wait;
    if (at(p + k) != static_cast<unsigned char>(pattern[k])) return Ahead::No;
  }
  return p + needed <= size ? Ahead::Yes : Ahead::Wait;
}

void FrameAssembler::Feed(std::string_view chunk, const FrameHandler& onFrame) {
  const auto* b = reinterpret_cast<const unsigned char*>(chunk.data());
  // The stream this chunk continues: the bytes held back last time, then the chunk.
  const size_t held = heldCount_;
  const size_t size = held + chunk.size();
  auto at = [&](size_t i) -> unsigned char { return i < held ? held_[i] : b[i - held]; };
  const char keyword[] = {static_cast<char>(rule_.terminators[0]), static_cast<char>(rule_.terminators[1]),
                          static_cast<char>(rule_.terminators[2])};

  bool pairEndPending = pairEndPending_;
  size_t p = 0;
  for (; p < size; ++p) {
    const unsigned char byte = at(p);
    // A T2 right after the T1 that ended a frame belongs to that end, whichever read
    // brings it.
    if (std::exchange(pairEndPending, false) && byte == rule_.terminators[1]) continue;
    // A restart drops what was gathered before the marker (noise, or the rest of a line
    // whose start was lost); the marker is gathered. Inside a line that began with the
    // marker the same bytes are data: the blanks before a time from 10:00 to 19:59, or
    // before a caller number that begins with 1, would otherwise cut the line.
    if (!restartMarker_.empty() && byte == static_cast<unsigned char>(restartMarker_[0]) &&
        !std::string_view(frame_.data(), length_).starts_with(restartMarker_)) {
      const Ahead marker = Reads(at, p, size, restartMarker_, restartMarker_.size());
      if (marker == Ahead::Wait) break;
      if (marker == Ahead::Yes) {
        length_ = 0;
        cut_ = false;
      }
    }
    Ahead ends = Ahead::No;
    switch (end_) {
      case SerialEnd::Terminator:
      case SerialEnd::ChunkEnd:
        ends = endsFrame_[byte] ? Ahead::Yes : Ahead::No;
        break;
      case SerialEnd::ChunkLastByte:  // the byte before a zero: the last byte of every chunk
        ends = (p + 1 < size ? at(p + 1) : 0) == rule_.terminators[0] ? Ahead::Yes : Ahead::No;
        break;
      case SerialEnd::EndKeyword:  // "nd" CR, with at least one byte after it
        ends = Reads(at, p, size, std::string_view(keyword, sizeof keyword), sizeof keyword + 1);
        break;
    }
    if (ends == Ahead::Wait) break;
    if (ends == Ahead::No) {
      Gather(byte);
      continue;
    }
    pairEndPending = pairSkip_ && byte == rule_.terminators[0];
    Deliver(byte, onFrame);
  }
  pairEndPending_ = pairEndPending;
  // What the rules could not decide yet waits for the next chunk.
  std::array<unsigned char, kMaxHeld> rest{};
  heldCount_ = size - p;
  for (size_t i = 0; i < heldCount_; ++i) rest[i] = at(p + i);
  held_ = rest;
  // The box may send no zero byte after its message: the chunk is the message.
  if (end_ == SerialEnd::ChunkEnd && (length_ > 0 || cut_)) Deliver(0, onFrame);
}

std::string_view FrameAssembler::DropPartial() {
  std::copy_n(held_.begin(), heldCount_, frame_.begin() + static_cast<std::ptrdiff_t>(length_));
  const std::string_view partial(frame_.data(), length_ + heldCount_);
  length_ = 0;
  cut_ = false;
  heldCount_ = 0;
  pairEndPending_ = false;
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
