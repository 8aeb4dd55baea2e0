#pragma once
// A raw pseudo-terminal that plays a serial device: the program under test opens
// `path` as its port, the player reads and writes `master`.
#include <string>

#include "platform/unique_fd.h"

namespace lindra::sim {

struct PseudoTerminal {
  UniqueFd master;   // invalid when none could be made (errno says why)
  std::string path;  // of the terminal's other end, closed here so that its first open is the port's
};

PseudoTerminal OpenPseudoTerminal();

}  // namespace lindra::sim
