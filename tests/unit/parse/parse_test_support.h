#pragma once
// Helpers of the parser tests: readable events and column-placed frames.
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "parse/call_event.h"
#include "support/delivered_frames.h"
#include "text/codec.h"

namespace lindra {
// Readable failures: the fields in the order of the telephone-log line.
inline void PrintTo(const CallEvent& e, std::ostream* os) {
  *os << "{" << e.kind << " caller[" << e.callerNumber << "] trunk[" << e.trunk << "] did[" << e.didNumber << "] ext["
      << e.extension << "] time[" << e.receivedTime << "]}";
}
}  // namespace lindra

namespace lindra::testing {

// The code page of the frames of these tests, whatever the process has selected.
inline const text::Encoding kUtf8("UTF-8");

// A line of `width` blanks with each text written at its column.
inline std::string Columns(size_t width, std::initializer_list<std::pair<size_t, std::string_view>> fields) {
  std::string line(width, ' ');
  for (auto [column, value] : fields) line.replace(column, value.size(), value);
  return line;
}

}  // namespace lindra::testing
