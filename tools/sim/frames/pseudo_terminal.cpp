#include "pseudo_terminal.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace lindra::sim {

PseudoTerminal OpenPseudoTerminal() {
  termios raw{};
  ::cfmakeraw(&raw);
  int master = -1, slave = -1;
  char path[256] = "";
  if (::openpty(&master, &slave, path, &raw, nullptr) != 0) return {};
  ::close(slave);
  return {UniqueFd(master), path};
}

}  // namespace lindra::sim
