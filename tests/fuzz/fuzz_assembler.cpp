// The frame assembler over arbitrary byte streams cut into arbitrary chunks, for every
// model and both links. Beyond the sanitizers' checks: every frame fits the device's
// buffer, its length matches its bytes, nothing is lost or invented except by rule,
// and the frames are those of the stream fed whole, unless the model is framed by its
// reads.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "device/frame_assembler.h"

namespace {

constexpr std::array<uint32_t, 21> kModels{2,  3,   4,   5,   6,   7,   8,   9,   10, 11, 12,
                                           13, 102, 103, 104, 105, 106, 107, 202, 1,  500};

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

// Input: byte 0 picks the model and link, byte 1 the chunk size; the rest is the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t model = kModels[data[0] % kModels.size()];
  const lindra::LinkKind link = (data[0] / kModels.size()) % 2 ? lindra::LinkKind::Lan : lindra::LinkKind::Serial;
  const size_t chunkSize = 1 + data[1] * 24;  // 1 .. 6121, past the buffer's size
  const bool retains = model == 11 || (model == 13 && link == lindra::LinkKind::Serial);
  const std::string_view whole(reinterpret_cast<const char*>(data + 2), size - 2);

  lindra::FrameAssembler assembler(model, link);
  size_t gathered = 0;
  std::vector<std::string> frames;
  for (std::string_view stream = whole; !stream.empty();) {
    const std::string_view chunk = stream.substr(0, chunkSize);
    stream.remove_prefix(chunk.size());
    assembler.Feed(chunk, [&](std::string_view frame, size_t length, bool passes) {
      Require(frame.size() <= lindra::FrameAssembler::kMaxFrameBytes);
      Require(frame.size() == length + (retains ? 1 : 0));
      Require(!passes || (frame.size() >= 2 && frame[0] != '\0'));
      gathered += frame.size();
      frames.emplace_back(frame).push_back(passes ? 'P' : '-');
    });
    Require(assembler.pending() <= lindra::FrameAssembler::kMaxFrameBytes);
  }
  Require(gathered <= size);

  if (link == lindra::LinkKind::Serial && lindra::ModelOf(model).frame.ChunkFramed()) return 0;
  lindra::FrameAssembler once(model, link);
  std::vector<std::string> wholeFrames;
  once.Feed(whole, [&](std::string_view frame, size_t, bool passes) {
    wholeFrames.emplace_back(frame).push_back(passes ? 'P' : '-');
  });
  Require(frames == wholeFrames);
  return 0;
}
