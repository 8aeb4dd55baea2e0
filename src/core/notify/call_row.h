#pragma once
// What a routed or dropped call shows in the call grids, decided by the routing step
// so that both front ends and the tests share it.
#include <array>
#include <cstdint>
#include <string>

namespace lindra {

// Background colours as COLORREF values (0x00BBGGRR), the values the operators know.
using Colour = uint32_t;
inline constexpr Colour kNoColour = 0xFFFFFFFF;

// One row of a call grid: cells of columns 1 to 7 (column 0, the row number, is the
// grid's own), the background of columns 1 to 7, and whether the grid scrolls to it.
struct CallRow {
  std::array<std::string, 7> cells;  // 국선, 내선, 대표전화, 상담원확인번호, 고객전화, 수신 시간, 구분
  Colour colour = kNoColour;
  bool scrollToEnd = false;

  bool operator==(const CallRow&) const = default;
};

}  // namespace lindra
