#pragma once
// Input layout shared by the parser fuzz targets and their seed writer:
// byte 0 picks a model code from the target's list, bytes 1 and 2 are the length the
// channel passes (little endian), the rest is the frame.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lindra::fuzz {

inline constexpr uint32_t kSamsungModels[] = {2, 3, 4, 102, 103, 104, 106, 107};
inline constexpr uint32_t kLgModels[] = {5, 6, 105};
inline constexpr uint32_t kCallerIdModels[] = {7, 8, 9, 10, 11, 12, 13};
inline constexpr uint32_t kCtiModels[] = {202};
// Every code with a format, and codes around them that have none.
inline constexpr uint32_t kAnyModels[] = {0,   1,   2,   3,   4,   5,   6,   7,   8,         9,
                                          10,  11,  12,  13,  14,  100, 101, 102, 103,       104,
                                          105, 106, 107, 108, 200, 201, 202, 203, 0xFFFFFFFF};

inline constexpr size_t kHeaderBytes = 3;

inline std::string EncodeInput(uint8_t modelIndex, size_t length, std::string_view frame) {
  std::string input{static_cast<char>(modelIndex), static_cast<char>(length & 0xFF),
                    static_cast<char>((length >> 8) & 0xFF)};
  return input.append(frame);
}

}  // namespace lindra::fuzz
