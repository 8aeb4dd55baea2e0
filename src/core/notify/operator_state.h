#pragma once
// One row of a slot's operator table as its sender sees it: the row's values and the
// colour of its connection. The row is its place in the table the senders followed
// last; colours belong to rows, never to an address text.
#include <string>

#include "notify/call_row.h"

namespace lindra {

struct OperatorState {
  std::string extension;
  std::string ip;
  Colour colour = kNoColour;  // kNoColour: no sender (the slot is not connected)
  bool operator==(const OperatorState&) const = default;
};

}  // namespace lindra
