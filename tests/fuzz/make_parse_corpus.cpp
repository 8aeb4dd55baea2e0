// Writes the seed corpora of the parser fuzz targets: every call the frame builder
// can send for the target's models, cut the way the framing cuts it, with the length
// the channel would pass.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "frames/frame_builder.h"
#include "parse_fuzz_input.h"
#include "support/delivered_frames.h"

namespace {

using lindra::sim::CallSpec;

CallSpec SpecFor(uint32_t model, char kind) {
  if (model >= 7 && model <= 13) return {kind, model == 7 ? "01" : "2", "", "0212345678", "0115 0941", ""};
  return {kind, "7012", "201", "01012345678", "09:41:07", "1234"};
}

void WriteSeeds(const std::filesystem::path& dir, std::span<const uint32_t> models) {
  std::filesystem::create_directories(dir);
  for (size_t index = 0; index < models.size(); ++index) {
    const uint32_t model = models[index];
    for (char kind : lindra::sim::SupportedKinds(model)) {
      for (const auto& frame : lindra::testing::FramesOf(model, lindra::sim::BuildFrame(model, SpecFor(model, kind))))
        std::ofstream(dir / (std::to_string(model) + "_" + kind), std::ios::binary)
            << lindra::fuzz::EncodeInput(static_cast<uint8_t>(index), frame.length, frame.bytes);
    }
  }
  // The older LG answered layout, which BuildFrame does not send.
  const auto lg = lindra::sim::BuildLgOlderAnswered({'T', "701", "201", "0212345678", "", ""});
  for (size_t index = 0; index < models.size(); ++index)
    if (models[index] == 5)
      for (const auto& frame : lindra::testing::FramesOf(5, lg))
        std::ofstream(dir / "5_T_older", std::ios::binary)
            << lindra::fuzz::EncodeInput(static_cast<uint8_t>(index), frame.length, frame.bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  WriteSeeds(root / "fuzz_samsung", lindra::fuzz::kSamsungModels);
  WriteSeeds(root / "fuzz_lg", lindra::fuzz::kLgModels);
  WriteSeeds(root / "fuzz_callerid", lindra::fuzz::kCallerIdModels);
  WriteSeeds(root / "fuzz_cti", lindra::fuzz::kCtiModels);
  WriteSeeds(root / "fuzz_any_model", lindra::fuzz::kAnyModels);
  return 0;
}
