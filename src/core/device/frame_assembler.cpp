#include "device/frame_assembler.h"

#include <cstring>

namespace lindra {
namespace {

constexpr std::string_view kStartMarker = "  1";

bool SkipsPairOn(uint32_t model, LinkKind link) {
  // A CR LF pair ends one frame only on these; models 4 and 104 have no pair skip.
  switch (link) {
    case LinkKind::Serial:
      return model == 2 || model == 3 || model == 5 || model == 6;
    case LinkKind::Lan:
      return model == 102 || model == 103 || model == 105 || model == 106 || model == 107;
    default:
      return false;
  }
}

}  // namespace

FrameRule FrameRuleFor(uint32_t modelCode) {
  switch (modelCode) {
    case 2:
    case 102:
    case 106:
      return {{0x0D, 0x00}, {}};
    case 3:
    case 4:
    case 103:
    case 104:
    case 107:
      return {{0x0D, 0x00}, kStartMarker};
    case 5:
    case 6:
    case 105:
      return {{0x0D, 0x0A}, {}};
    case 7:
      return {{'T', 'T'}, {}};
    case 8:
      return {{'n', 'd', 0x0D, 0x0A}, {}};
    case 9:
      return {{']', ']'}, {}};
    case 10:
      return {{0x02, 0x03, 'S', 'E'}, {}};
    case 11:
      return {{0x1F, 0x5F, 0x9F, 0xDF}, {}};
    default:
      return {{0x00, 0x00}, {}};
  }
}

FrameAssembler::FrameAssembler(uint32_t modelCode, LinkKind link)
    : model_(modelCode),
      rule_(FrameRuleFor(modelCode)),
      pairSkip_(SkipsPairOn(modelCode, link)),
      retainsTerminator_(modelCode == 11 || (modelCode == 13 && link == LinkKind::Serial)),
      endsAtChunkEnd_(modelCode == 12 && link == LinkKind::Serial) {
  if (link == LinkKind::Serial && modelCode == 8)
    test_ = Test::EndKeyword;
  else if (link == LinkKind::Serial && modelCode == 13)
    test_ = Test::NextIsZero;
  // Models 10 and 11 end at any of their four bytes, the others at T1 or T2.
  const size_t used = (modelCode == 10 || modelCode == 11) ? 4 : 2;
  for (size_t i = 0; i < used; ++i) endsFrame_[rule_.terminators[i]] = true;
  capacity_ = kMaxFrameBytes - (retainsTerminator_ ? 1 : 0);
}

void FrameAssembler::Feed(std::string_view chunk, const FrameHandler& onFrame) {
  const auto* b = reinterpret_cast<const unsigned char*>(chunk.data());
  const size_t n = chunk.size();
  // The device's read buffer holds a zero byte after the chunk, and the rules look one
  // byte ahead: at the chunk's end that look sees this zero, never the next chunk.
  auto ahead = [&](size_t i) -> unsigned char { return i < n ? b[i] : 0; };

  for (size_t p = 0; p < n; ++p) {
    // Model 3 restarts its frame at every start marker, dropping what came before.
    if (model_ == 3 && b[p] == ' ' && chunk.substr(p, kStartMarker.size()) == kStartMarker) {
      length_ = 0;
      cut_ = false;
    }
    bool ends = false;
    switch (test_) {
      case Test::Table:
        ends = endsFrame_[b[p]];
        break;
      case Test::NextIsZero:  // so the last byte of every chunk ends a frame
        ends = ahead(p + 1) == rule_.terminators[0];
        break;
      case Test::EndKeyword:  // "nd" CR, with at least one byte after it in the chunk
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
  // A CID-1000 may send no zero byte after its message: the chunk is the message.
  if (endsAtChunkEnd_ && (length_ > 0 || cut_)) Deliver(0, onFrame);
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
