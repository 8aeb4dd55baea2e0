#pragma once
// Which message format family a device model code selects. Shared by the parser's
// dispatch and the simulators' frame builder, so both follow one table.
#include <cstdint>

namespace lindra {

enum class FormatFamily {
  Samsung,   // 2, 3, 4, 102, 103, 104, 106, 107
  Lg,        // 5, 6, 105
  CallerId,  // 7 to 13
  Cti,       // 202
  None,      // every other code: frames are rejected
};

// clang-format off
constexpr FormatFamily FormatFamilyOf(uint32_t modelCode) {
  switch (modelCode) {
    case 2: case 3: case 4: case 102: case 103: case 104: case 106: case 107:
      return FormatFamily::Samsung;
    case 5: case 6: case 105:
      return FormatFamily::Lg;
    case 7: case 8: case 9: case 10: case 11: case 12: case 13:
      return FormatFamily::CallerId;
    case 202:
      return FormatFamily::Cti;
    default:
      return FormatFamily::None;
  }
}
// clang-format on

}  // namespace lindra
